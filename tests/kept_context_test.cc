// The zstd contexts that a Container and a repack keep from frame to frame
// must not change a single stored byte: every frame is compared with the
// frame that a fresh context makes with the same streaming calls.
#include <gtest/gtest.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "container/internal/codec.h"
#include "container/repack.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

// A frame made the way every frame was made before contexts were kept: a
// new context per frame, the level, an empty dictionary, the checksum flag,
// ENCODE_CHUNK-sized output for each streaming call.
std::string fresh_context_frame(std::string_view data, int level) {
  if (level == 0) return std::string(data);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_loadDictionary(cctx, nullptr, 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string chunk(ENCODE_CHUNK, '\0');
  std::string out;
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  while (in.pos < in.size) {
    ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
    EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream(cctx, &o, &in)));
    out.append(chunk.data(), o.pos);
  }
  for (;;) {
    ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
    size_t rc = ZSTD_endStream(cctx, &o);
    EXPECT_FALSE(ZSTD_isError(rc));
    out.append(chunk.data(), o.pos);
    if (rc == 0 || ZSTD_isError(rc)) break;
  }
  ZSTD_freeCCtx(cctx);
  return out;
}

// Records that compress, but not to nothing: a counter and a few noisy
// bytes in each 16-byte record.
std::string tail_bytes(size_t records, uint32_t seed) {
  std::string out;
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < records; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    std::string r(16, '\0');
    for (size_t b = 0; b < 8; ++b) r[b] = static_cast<char>((i + seed) >> (8 * b));
    for (size_t b = 8; b < 11; ++b) r[b] = static_cast<char>(x >> (8 * (b - 8)));
    out += r;
  }
  return out;
}

std::string stored_bytes(const std::string& file, uint64_t data_start, const Frame& f) {
  return file.substr(data_start + f.offset, f.len);
}

TEST(KeptContext, ClosesMakeTheFramesOfAFreshContext) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  // Levels revisited out of order, so that each frame follows one of
  // another level, and tails both smaller and larger than ENCODE_CHUNK.
  const int levels[] = {0, 1, 3, 19, 3, 19, 1, 0, 19};
  std::vector<std::string> tails;
  {
    Container c = create_or_die(path, fixed_schema(16));
    for (size_t i = 0; i < std::size(levels); ++i) {
      tails.push_back(tail_bytes(i % 2 == 0 ? 9000 : 300, static_cast<uint32_t>(i)));
      for (size_t at = 0; at < tails.back().size(); at += 16) {
        ASSERT_EQ(err(c.append_record(std::string_view(tails.back()).substr(at, 16))), "ok");
      }
      ASSERT_EQ(err(c.close_frame(i, levels[i])), "ok");
    }
  }
  Container c = value_or_die(Container::open_read(path));
  const std::string file = read_file(path);
  ASSERT_EQ(c.frames().size(), std::size(levels));
  for (size_t i = 0; i < std::size(levels); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i) + " at level " + std::to_string(levels[i]));
    EXPECT_TRUE(stored_bytes(file, c.data_start(), c.frames()[i]) ==
                fresh_context_frame(tails[i], levels[i]));
    EXPECT_TRUE(value_or_die(c.read_frame_at(i)) == tails[i]);
  }
}

TEST(KeptContext, RepackMakesTheFramesOfAFreshContext) {
  ScratchDir dir;
  const std::string path = dir.file("r.tarvel");
  std::vector<std::string> tails;
  {
    Container c = create_or_die(path, fixed_schema(16));
    for (uint32_t i = 0; i < 4; ++i) {
      tails.push_back(tail_bytes(i == 2 ? 20 : 5000, i));
      for (size_t at = 0; at < tails.back().size(); at += 16) {
        ASSERT_EQ(err(c.append_record(std::string_view(tails.back()).substr(at, 16))), "ok");
      }
      ASSERT_EQ(err(c.close_frame(i, 3)), "ok");
    }
  }
  for (int level : {19, 1, 0, 3}) {
    SCOPED_TRACE("repack at level " + std::to_string(level));
    ASSERT_EQ(err(repack(path, level)), "ok");
    Container c = value_or_die(Container::open_read(path));
    const std::string file = read_file(path);
    ASSERT_EQ(c.frames().size(), tails.size());
    for (size_t i = 0; i < tails.size(); ++i) {
      EXPECT_TRUE(stored_bytes(file, c.data_start(), c.frames()[i]) ==
                  fresh_context_frame(tails[i], level));
    }
  }
}

// One decoder for many frames: a frame that fails half-way must not leak
// into the next, and a body shorter than an earlier one must not carry the
// earlier one's bytes.
TEST(KeptContext, ADecoderGoesOnCleanlyAfterAnErrorAndAfterLargerBodies) {
  const std::string big = tail_bytes(20000, 1);
  const std::string small = tail_bytes(3, 2);
  const std::string big_frame = fresh_context_frame(big, 3);
  const std::string small_frame = fresh_context_frame(small, 3);
  BodyDecoder decoder;
  std::string work;
  uint64_t consumed = 0;

  Result<std::string_view> got = decoder.decode(big_frame, &work, &consumed);
  ASSERT_EQ(err(got), "ok");
  EXPECT_TRUE(*got == big);
  EXPECT_EQ(consumed, big_frame.size());

  got = decoder.decode(std::string_view(big_frame).substr(0, big_frame.size() / 2), &work);
  EXPECT_EQ(err(got), "Malformed: truncated zstd frame");

  got = decoder.decode(small_frame + "trailing", &work, &consumed);
  ASSERT_EQ(err(got), "ok");
  EXPECT_TRUE(*got == small);
  EXPECT_EQ(consumed, small_frame.size());
}

// The piecewise decoder, reset between frames as the tools' loops use it.
TEST(KeptContext, APiecewiseDecoderResetsCleanly) {
  const std::string big = tail_bytes(20000, 1);
  const std::string small = tail_bytes(3, 2);
  const std::string big_frame = fresh_context_frame(big, 3);
  const std::string small_frame = fresh_context_frame(small, 3);
  FrameDecoder decoder;
  std::string out;
  // Half a frame, then its end is declared: truncated.
  ASSERT_EQ(err(decoder.feed(std::string_view(big_frame).substr(0, 1000), false, &out)), "ok");
  EXPECT_EQ(err(decoder.feed(std::string_view(big_frame).substr(1000, 1000), true, &out)),
            "Malformed: truncated zstd frame");
  for (const auto& [frame, content] : {std::pair{small_frame, small}, std::pair{big_frame, big}}) {
    decoder.reset();
    out.clear();
    Result<bool> done = decoder.feed(frame + "rest", true, &out);
    ASSERT_EQ(err(done), "ok");
    EXPECT_TRUE(*done);
    EXPECT_TRUE(out == content);
    EXPECT_EQ(decoder.consumed(), frame.size());
  }
}

}  // namespace
}  // namespace tarvel::testing
