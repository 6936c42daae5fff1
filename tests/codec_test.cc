#include "container/internal/codec.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/result_assertions.h"

namespace tarvel {
namespace {

const std::string kMagic("\x28\xB5\x2F\xFD", 4);

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& ch : s) ch = static_cast<char>(rng());
  return s;
}

std::string compressed(std::string_view data, int32_t level) {
  Result<std::string> stored = compress_frame(data, level);
  TARVEL_EXPECT_OK(stored);
  return stored ? *stored : std::string();
}

void expect_error(const Result<DecodedFrame>& r, ErrorKind kind, const std::string& text) {
  TARVEL_ASSERT_ERROR(r);
  EXPECT_EQ(r.error().kind(), kind);
  EXPECT_EQ(r.error().to_string(), text);
}

TEST(CompressFrame, LevelZeroStoresTheBytesAsTheyAre) {
  const std::string cases[] = {"", "abc", kMagic + "looks like a frame", random_bytes(70000, 1)};
  for (const std::string& data : cases) EXPECT_EQ(compressed(data, 0), data);
}

TEST(CompressFrame, RoundTripsAtAnyLevel) {
  struct Case {
    std::string data;
    int32_t level;
  } cases[] = {
      {"", 3},
      {"", -1},
      {"ts:u64:0;v:f64:8", 1},
      // Longer than an encode chunk once compressed, and than a decode chunk.
      {random_bytes(3 * DECODE_CHUNK + 17, 2), 3},
      {std::string(200'000, 'z'), 19},
      {random_bytes(5000, 3), -7},
      {random_bytes(5000, 4), ZSTD_maxCLevel() + 100},
      {random_bytes(5000, 5), INT32_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level) + ", " + std::to_string(c.data.size()) +
                 " bytes");
    std::string stored = compressed(c.data, c.level);
    ASSERT_TRUE(has_zstd_magic(stored));
    ASSERT_GE(stored.size(), 6u);
    // Frame header descriptor: content checksum set, no dictionary id.
    const auto descriptor = static_cast<unsigned char>(stored[4]);
    EXPECT_EQ(descriptor & 0x04, 0x04);
    EXPECT_EQ(descriptor & 0x03, 0x00);

    Result<DecodedFrame> decoded = decode_one_frame(stored);
    TARVEL_ASSERT_OK(decoded);
    EXPECT_TRUE(decoded->body == c.data);
    EXPECT_EQ(decoded->consumed, stored.size());
  }
}

// What a writer stores: level 0 keeps bytes raw unless a reader would take
// them for a zstd frame; those become a frame at level 1. Other levels are
// compress_frame's.
TEST(EncodeFrame, LevelZeroNeverStoresTheMagicRaw) {
  struct Case {
    std::string data;
    int32_t level;
    int32_t used;
  } cases[] = {
      {"", 0, 0},
      {"abc", 0, 0},
      {kMagic.substr(0, 3), 0, 0},  // too short to be read as a frame
      {"x" + kMagic, 0, 0},
      {kMagic, 0, RAW_FALLBACK_LEVEL},
      {kMagic + random_bytes(70000, 6), 0, RAW_FALLBACK_LEVEL},
      {kMagic + "abc", 5, 5},
      {"abc", -3, -3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level) + ", " + std::to_string(c.data.size()) +
                 " bytes");
    Result<StoredFrame> stored = encode_frame(c.data, c.level);
    TARVEL_ASSERT_OK(stored);
    EXPECT_EQ(stored->level, c.used);
    EXPECT_EQ(stored->bytes, compressed(c.data, c.used));
    if (has_zstd_magic(stored->bytes)) {
      Result<DecodedFrame> decoded = decode_one_frame(stored->bytes);
      TARVEL_ASSERT_OK(decoded);
      EXPECT_TRUE(decoded->body == c.data);
    }
  }
}

// A frame fed in pieces is encode_frame's frame whatever the cut, and the
// views the calls return are exactly the stored bytes, in order. One
// encoder serves every frame, as a Container's does.
TEST(FrameEncoder, AnyCutOfTheInputGivesTheFrameOfTheWhole) {
  // Compressible, so that the frame spans several output chunks.
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "record " + std::to_string(i * 7 % 1000) + ";";
  struct Case {
    std::string data;
    int32_t level;
  } cases[] = {
      {text, 3},    {text, -5},         {text, 0}, {kMagic + text, 0},
      {"", 3},      {kMagic.substr(0, 3), 0},     {text.substr(0, 40000), 19},
  };
  FrameEncoder encoder;
  for (const Case& c : cases) {
    Result<StoredFrame> encoded = encode_frame(c.data, c.level);
    TARVEL_ASSERT_OK(encoded);
    const StoredFrame& whole = *encoded;
    for (size_t cut : {size_t{1}, size_t{4093}, ENCODE_CHUNK, c.data.size() + 1}) {
      SCOPED_TRACE("level " + std::to_string(c.level) + ", " + std::to_string(c.data.size()) +
                   " bytes in pieces of " + std::to_string(cut));
      Result<int32_t> used = encoder.begin(c.level, std::string_view(c.data).substr(0, 4),
                                           c.data.size());
      TARVEL_ASSERT_OK(used);
      EXPECT_EQ(*used, whole.level);
      std::string added;
      for (size_t at = 0; at < c.data.size(); at += cut) {
        Result<std::string_view> piece = encoder.add(std::string_view(c.data).substr(at, cut));
        TARVEL_ASSERT_OK(piece);
        added += *piece;
      }
      Result<std::string_view> last = encoder.finish();
      TARVEL_ASSERT_OK(last);
      added += *last;
      EXPECT_TRUE(encoder.stored() == whole.bytes);
      EXPECT_TRUE(added == whole.bytes);
    }
  }
}

TEST(HasZstdMagic, FirstFourBytesOnly) {
  EXPECT_TRUE(has_zstd_magic(kMagic));
  EXPECT_TRUE(has_zstd_magic(kMagic + "anything"));
  EXPECT_FALSE(has_zstd_magic(kMagic.substr(0, 3)));
  EXPECT_FALSE(has_zstd_magic(""));
  EXPECT_FALSE(has_zstd_magic("\x28\xB5\x2F\xFE"));
  EXPECT_FALSE(has_zstd_magic("x" + kMagic));
}

TEST(DecodeOneFrame, StopsAtTheEndOfTheFirstFrame) {
  const std::string body = random_bytes(1000, 6);
  const std::string stored = compressed(body, 3);
  const std::string followers[] = {"", "trailing bytes", compressed("second frame", 3), kMagic};
  for (const std::string& after : followers) {
    Result<DecodedFrame> decoded = decode_one_frame(stored + after);
    TARVEL_ASSERT_OK(decoded);
    EXPECT_TRUE(decoded->body == body);
    EXPECT_EQ(decoded->consumed, stored.size());
  }
}

TEST(DecodeOneFrame, SinkSeesTheBodyInChunks) {
  const std::string body = random_bytes(2 * DECODE_CHUNK + 5, 7);
  const std::string stored = compressed(body, 1);
  std::string seen;
  size_t pieces = 0;
  Result<uint64_t> consumed = decode_one_frame_to(stored + "x", [&](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    EXPECT_LE(piece.size(), DECODE_CHUNK);
    seen.append(piece);
    ++pieces;
  });
  TARVEL_ASSERT_OK(consumed);
  EXPECT_EQ(*consumed, stored.size());
  EXPECT_TRUE(seen == body);
  EXPECT_GE(pieces, 3u);
}

// Every proper prefix of a frame, the empty one included, ends too early.
TEST(DecodeOneFrame, EveryPrefixIsTruncated) {
  const std::string stored = compressed(random_bytes(300, 8), 3);
  for (size_t len = 0; len < stored.size(); ++len) {
    SCOPED_TRACE("prefix of " + std::to_string(len) + " bytes");
    expect_error(decode_one_frame(std::string_view(stored).substr(0, len)),
                 ErrorKind::kMalformed, "truncated zstd frame");
  }
}

TEST(DecodeOneFrame, ZstdErrorsAreCompressionErrors) {
  const std::string body = random_bytes(4000, 9);
  std::string stored = compressed(body, 3);
  std::string bad_checksum = stored;
  bad_checksum[bad_checksum.size() - 2] ^= 0x01;
  expect_error(decode_one_frame(bad_checksum), ErrorKind::kCompression,
               "Restored data doesn't match checksum");

  Result<DecodedFrame> not_a_frame = decode_one_frame("definitely not zstd");
  TARVEL_ASSERT_ERROR(not_a_frame);
  EXPECT_EQ(not_a_frame.error().kind(), ErrorKind::kCompression);
  EXPECT_EQ(not_a_frame.error().to_string(), "Unknown frame descriptor");
}

// One zstd frame of "size" zero bytes, with its content checksum, made by
// streaming compression so that the input is never held whole. Each size is
// made at most once per test binary.
const std::string& zero_frame(uint64_t size) {
  static std::map<uint64_t, std::string> made;
  auto it = made.find(size);
  if (it != made.end()) return it->second;

  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  const std::vector<char> zeros(1 << 20, 0);
  std::vector<char> out(ZSTD_CStreamOutSize());
  std::string frame;
  uint64_t left = size;
  for (;;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    left -= n;
    const ZSTD_EndDirective mode = left == 0 ? ZSTD_e_end : ZSTD_e_continue;
    ZSTD_inBuffer in{zeros.data(), n, 0};
    size_t rc;
    do {
      ZSTD_outBuffer o{out.data(), out.size(), 0};
      rc = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(rc)) abort();
      frame.append(out.data(), o.pos);
    } while (mode == ZSTD_e_end ? rc != 0 : in.pos < in.size);
    if (left == 0) break;
  }
  ZSTD_freeCCtx(cctx);
  return made.emplace(size, std::move(frame)).first->second;
}

struct CeilingCase {
  const char* name;
  uint64_t size;
  bool accepted;
};

void PrintTo(const CeilingCase& c, std::ostream* os) { *os << c.name; }

class FrameCeiling : public ::testing::TestWithParam<CeilingCase> {};

// The decoded size is counted, not held: the sink keeps only a tally.
TEST_P(FrameCeiling, DecodedSize) {
  const CeilingCase c = GetParam();
  const std::string& stored = zero_frame(c.size);
  uint64_t seen = 0;
  bool all_zero = true;
  Result<uint64_t> consumed = decode_one_frame_to(stored, [&](std::string_view piece) {
    seen += piece.size();
    if (piece.front() != '\0' || piece.back() != '\0') all_zero = false;
  });
  EXPECT_TRUE(all_zero);
  if (c.accepted) {
    TARVEL_ASSERT_OK(consumed);
    EXPECT_EQ(*consumed, stored.size());
    EXPECT_EQ(seen, c.size);
  } else {
    TARVEL_ASSERT_ERROR(consumed);
    EXPECT_EQ(consumed.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(consumed.error().to_string(),
              "frame decompresses to more than 4294967296 bytes");
    EXPECT_LE(seen, MAX_FRAME_BODY);
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, FrameCeiling,
                         ::testing::Values(CeilingCase{"Exactly4294967296", MAX_FRAME_BODY, true},
                                           CeilingCase{"OneByteMore", MAX_FRAME_BODY + 1, false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarvel
