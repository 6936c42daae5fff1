// A close reads the raw tail a piece at a time, compresses it as it goes
// and writes the journal from where the frame was made. Its bytes must be
// those of a close that holds the whole tail at once: every container file
// and every journal is compared with the one built here from the whole
// tail by the one-shot codec, as closes always built them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "container/frames.h"
#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/preview.h"
#include "container/internal/workspace.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

std::string u64le(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// The real file system, keeping the bytes written to the last journal.
class JournalCapture final : public EnvWrapper {
 public:
  JournalCapture() : EnvWrapper(Env::posix()) {}

  std::string journal;

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(path, mode));
    if (!path.ends_with(".seal") || mode != OpenMode::kCreateTruncate) return f;
    journal.clear();
    return std::unique_ptr<File>(new Captured(std::move(f), &journal));
  }

 private:
  // The journal is written front to back without a seek.
  class Captured final : public FileWrapper {
   public:
    Captured(std::unique_ptr<File> f, std::string* out) : FileWrapper(std::move(f)), out_(out) {}
    Result<size_t> write(const char* buf, size_t n) override {
      Result<size_t> r = FileWrapper::write(buf, n);
      if (r) out_->append(buf, *r);
      return r;
    }

   private:
    std::string* out_;
  };
};

struct Expected {
  std::string file;
  std::string journal;
};

// The close of the whole raw tail of the file "before", which "c" describes
// as it stands before the close, built in one piece: the stored bytes of
// encode_frame, the preview of the whole tail, the header zone, the file
// with the frame over the tail and the journal as one image.
Expected one_shot_close(const Container& c, const std::string& before, uint64_t id,
                        int32_t level) {
  const uint64_t start = c.tail_start();
  const std::string tail = before.substr(start);
  const StoredFrame stored = value_or_die(encode_frame(tail, level));
  std::vector<Frame> frames = c.frames();
  frames.push_back(Frame{id, start - c.data_start(), stored.bytes.size(), xxh64(stored.bytes)});
  Headers headers = c.headers();
  const std::string* preview = headers.get("_preview");
  if (preview == nullptr || preview->empty()) {
    TARVEL_EXPECT_OK(headers.set("_preview", preview_text(tail, c.schema())));
  }
  TARVEL_EXPECT_OK(headers.set("_frames", render_frames(frames)));
  TARVEL_EXPECT_OK(headers.set("_records", std::to_string(c.records())));
  TARVEL_EXPECT_OK(headers.set("_bytes_raw", std::to_string(c.bytes_raw())));
  TARVEL_EXPECT_OK(headers.set("_compression_level", std::to_string(stored.level)));
  TARVEL_EXPECT_OK(headers.set("_compression", stored.level == 0 ? "none" : "zstd"));
  const std::string zone = value_or_die(headers.render(c.preamble().header_area));

  Expected out;
  out.file = before.substr(0, PREAMBLE_LEN) + zone +
             before.substr(PREAMBLE_LEN + zone.size(), start - PREAMBLE_LEN - zone.size()) +
             stored.bytes;
  const std::string body = u64le(start) + u64le(zone.size()) + zone + stored.bytes;
  out.journal = "TJRNL2" + u64le(body.size()) + u64le(fnv1a64(body)) + body;
  return out;
}

// Bytes that compress a few times over: a counter and a little noise.
std::string tail_bytes(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(i % 4 == 3 ? x : i / 64);
  }
  return out;
}

// The bodies of records that make up a raw tail of exactly "bytes.size()"
// bytes in "layout" (for a fixed layout, a multiple of its size): fixed
// records are the bytes themselves, prefixed ones take their bodies from
// the bytes behind the place of their prefix.
std::vector<std::string> records_of(const RecordLayout& layout, std::string_view bytes) {
  std::vector<std::string> out;
  for (size_t p = 0; p < bytes.size();) {
    if (layout.is_fixed()) {
      out.emplace_back(bytes.substr(p, layout.size));
      p += layout.size;
      continue;
    }
    const size_t left = bytes.size() - p - 2;
    size_t n = std::min<size_t>(left, 500 + out.size() * 37 % 3000);
    // What is left after this record must hold a record of its own.
    if (left - n < 2) n = left;
    out.emplace_back(bytes.substr(p + 2, n));
    p += 2 + n;
  }
  return out;
}

struct CloseBytesCase {
  const char* name;
  Schema schema;
  size_t tail;      // bytes in the raw tail of the first close
  int32_t level;
  bool magic;       // the tail begins with the zstd magic
};

void PrintTo(const CloseBytesCase& c, std::ostream* os) { *os << c.name; }

class CloseBytesTest : public ::testing::TestWithParam<CloseBytesCase> {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// Two closes per case: the first makes the preview and the first frame, the
// second, of a small tail, keeps the preview and lists a second frame.
TEST_P(CloseBytesTest, AreThoseOfTheWholeTailAtOnce) {
  const CloseBytesCase& k = GetParam();
  JournalCapture env;
  Container c = create_or_die(path_, k.schema, 4096, {}, env);
  const uint32_t second = k.schema.layout.is_fixed() ? 7 * k.schema.layout.size : 700;
  for (const auto& [id, size] : {std::pair<uint64_t, size_t>{5, k.tail}, {6, second}}) {
    SCOPED_TRACE("close of frame " + std::to_string(id));
    std::string bytes = tail_bytes(size, static_cast<uint32_t>(id));
    if (k.magic && id == 5) {
      const size_t n = std::min<size_t>(4, size);
      bytes.replace(0, n, std::string_view("\x28\xB5\x2F\xFD", n));
    }
    for (const std::string& r : records_of(k.schema.layout, bytes)) {
      ASSERT_EQ(err(c.append_record(r)), "ok");
    }
    ASSERT_EQ(err(c.flush_data()), "ok");
    const std::string before = read_file(path_);
    ASSERT_EQ(before.size() - c.tail_start(), size);
    const Expected expected = one_shot_close(c, before, id, k.level);
    ASSERT_EQ(err(c.close_frame(id, k.level)), "ok");
    // EXPECT_TRUE, not EXPECT_EQ: a failure must not print megabytes.
    EXPECT_TRUE(read_file(path_) == expected.file);
    EXPECT_TRUE(env.journal == expected.journal);
    EXPECT_EQ(env.journal.size(), expected.journal.size());
  }
}

const Schema kBytes = fixed_schema(1, {{"b", "u8", 0}});
const Schema kWords = fixed_schema(16, {{"n", "u64", 0}, {"x", "f64", 8}});
const Schema kPrefixed = prefixed_schema({{"a", "u32", 0}, {"b", "u16", 2}});
// Three records reach beyond the first piece of the tail, so the preview
// collects them from more than one.
const Schema kLarge = fixed_schema(400000, {{"head", "u32", 0}, {"end", "u64", 399992}});

constexpr size_t kChunk = CLOSE_READ_CHUNK;
constexpr size_t kFewMiB = 3 * kChunk + 48;

INSTANTIATE_TEST_SUITE_P(
    Tails, CloseBytesTest,
    ::testing::Values(
        CloseBytesCase{"OneByteLevel3", kBytes, 1, 3, false},
        CloseBytesCase{"OneByteLevel0", kBytes, 1, 0, false},
        CloseBytesCase{"OneChunkLevel3", kBytes, kChunk, 3, false},
        CloseBytesCase{"OneChunkLevel0", kBytes, kChunk, 0, false},
        CloseBytesCase{"ChunkAndOneLevel3", kBytes, kChunk + 1, 3, false},
        CloseBytesCase{"ChunkAndOneLevel0", kBytes, kChunk + 1, 0, false},
        CloseBytesCase{"ChunkAndOneLevel19", kBytes, kChunk + 1, 19, false},
        CloseBytesCase{"ChunkAndOneNegative", kBytes, kChunk + 1, -5, false},
        CloseBytesCase{"FewMiBLevel3", kWords, kFewMiB, 3, false},
        CloseBytesCase{"FewMiBLevel0", kWords, kFewMiB, 0, false},
        CloseBytesCase{"FewMiBNegative", kWords, kFewMiB, -5, false},
        CloseBytesCase{"SmallLevel19", kWords, 100000, 19, false},
        CloseBytesCase{"PrefixedFewMiBLevel3", kPrefixed, kFewMiB + 7, 3, false},
        CloseBytesCase{"PrefixedChunkLevel0", kPrefixed, kChunk, 0, false},
        // Level 0 cannot store these raw: a zstd frame at RAW_FALLBACK_LEVEL.
        CloseBytesCase{"MagicLevel0", kBytes, 2 * kChunk + 4, 0, true},
        CloseBytesCase{"MagicOnlyLevel0", kBytes, 4, 0, true},
        // Three bytes of the magic are no magic: stored raw.
        CloseBytesCase{"ThreeMagicBytesLevel0", kBytes, 3, 0, true},
        CloseBytesCase{"LargeRecordsLevel3", kLarge, 5 * 400000, 3, false},
        CloseBytesCase{"LargeRecordsLevel0", kLarge, 5 * 400000, 0, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarvel::testing
