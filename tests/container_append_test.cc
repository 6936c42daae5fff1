#include <gtest/gtest.h>

#include <filesystem>

#include "container/container.h"
#include "container/internal/codec.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

class AppendTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// How many appends of one body size stay buffered, and the size of the
// write made by the next one.
struct WriteBehindCase {
  Schema schema;
  size_t body;
  size_t buffered_appends;
  size_t buffered_bytes;
  size_t first_write;
};

void PrintTo(const WriteBehindCase& c, std::ostream* os) {
  *os << (c.schema.layout.is_fixed() ? "fixed" : "prefixed") << " bodies of " << c.body << " bytes";
}

class WriteBehindTest : public AppendTest,
                        public ::testing::WithParamInterface<WriteBehindCase> {};

TEST_P(WriteBehindTest, BufferIsWrittenOnceItPassesTheLimit) {
  const WriteBehindCase& k = GetParam();
  Container c = create_or_die(path_, k.schema);
  const uint64_t start = c.file_len();
  for (size_t i = 0; i < k.buffered_appends; ++i) TARVEL_ASSERT_OK(c.append_record(rec(k.body)));
  EXPECT_EQ(c.buffered(), k.buffered_bytes);
  EXPECT_EQ(c.file_len(), start);
  EXPECT_EQ(read_file(path_).size(), start);

  TARVEL_ASSERT_OK(c.append_record(rec(k.body)));
  EXPECT_EQ(c.buffered(), 0u);
  EXPECT_EQ(c.file_len(), start + k.first_write);
  EXPECT_EQ(read_file(path_).size(), start + k.first_write);
  EXPECT_EQ(c.records(), k.buffered_appends + 1);
  EXPECT_EQ(c.bytes_raw(), k.first_write);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, WriteBehindTest,
    ::testing::Values(WriteBehindCase{fixed_schema(100), 100, 655, 65500, 65600},
                      WriteBehindCase{prefixed_schema(), 10, 5461, 65532, 65544},
                      WriteBehindCase{prefixed_schema(), 65533, 1, 65535, 131070},
                      WriteBehindCase{fixed_schema(65536), 65536, 0, 0, 65536}),
    [](const ::testing::TestParamInfo<WriteBehindCase>& param_info) {
      return std::string(param_info.param.schema.layout.is_fixed() ? "fixed_" : "prefixed_") +
             std::to_string(param_info.param.body);
    });

// A raw tail never grows past what one frame may hold. The tails here are
// holes in sparse files, behind a closed frame, so that nothing of them is
// written or read.
class TailLimitTest : public AppendTest {
 protected:
  // A file of 1-byte records with one closed frame, whose raw tail is then
  // extended to "tail" bytes; open for appending.
  Container open_with_tail(uint64_t tail) {
    uint64_t tail_start;
    {
      Container c = create_or_die(path_, fixed_schema(1));
      TARVEL_EXPECT_OK(c.append_record("a"));
      TARVEL_EXPECT_OK(c.close_frame(1, 3));
      tail_start = c.file_len();
    }
    std::filesystem::resize_file(path_, tail_start + tail);
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_EQ(c.records(), 1 + tail);
    return c;
  }
};

TEST_F(TailLimitTest, RecordThatWouldPassTheLimitIsRefused) {
  Container c = open_with_tail(MAX_FRAME_BODY - 2);
  TARVEL_ASSERT_OK(c.append_record("x"));
  TARVEL_ASSERT_OK(c.append_record("y"));  // exactly MAX_FRAME_BODY bytes
  EXPECT_EQ(err(c.append_record("z")),
            "Usage: record would make the raw tail of \"" + path_ +
                "\" longer than 4294967296 bytes, more than one frame may hold; close a frame "
                "first");
  EXPECT_EQ(c.records(), 1 + MAX_FRAME_BODY);
  EXPECT_EQ(c.buffered(), 2u);
}

// A tail that an older writer let grow too long is refused at the close,
// before anything is read or written; its records stay in the raw tail.
TEST_F(TailLimitTest, TooLongTailIsRefusedAtTheCloseAndNothingIsWritten) {
  Container c = open_with_tail(MAX_FRAME_BODY + 1);
  const uint64_t len = c.file_len();
  EXPECT_EQ(err(c.append_record("z")),
            "Usage: record would make the raw tail of \"" + path_ +
                "\" longer than 4294967296 bytes, more than one frame may hold; close a frame "
                "first");
  const std::string refused = "Usage: the raw tail of \"" + path_ +
                              "\" holds 4294967297 bytes, more than one frame may hold "
                              "(4294967296); it cannot be closed into a frame";
  EXPECT_EQ(err(c.close_frame(2, 3)), refused);
  EXPECT_EQ(err(c.seal(2, 3)), refused);
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(path_), len);
  EXPECT_FALSE(file_exists(path_ + ".seal"));
}

TEST_F(AppendTest, PrefixedBodyLimits) {
  Container c = create_or_die(path_, prefixed_schema());
  TARVEL_ASSERT_OK(c.append_record(""));
  EXPECT_EQ(c.buffered(), 2u);
  EXPECT_EQ(c.bytes_raw(), 2u);
  EXPECT_EQ(c.records(), 1u);

  EXPECT_EQ(err(c.append_record(std::string(65536, 'x'))),
            "Usage: record of 65536 bytes overflows the u16 prefix");
  EXPECT_EQ(c.records(), 1u);
  EXPECT_EQ(c.buffered(), 2u);

  // 65537 buffered bytes for the largest body: written at once.
  TARVEL_ASSERT_OK(c.append_record(std::string(65535, 'x')));
  EXPECT_EQ(c.buffered(), 0u);
  std::string tail = read_file(path_).substr(c.data_start());
  ASSERT_EQ(tail.size(), 2u + 65537);
  EXPECT_EQ(tail.substr(0, 4), std::string("\x00\x00\xff\xff", 4));
  EXPECT_EQ(c.bytes_raw(), 65539u);
}

TEST_F(AppendTest, FixedBodyOfTheWrongLengthChangesNothing) {
  Container c = create_or_die(path_, fixed_schema(8));
  EXPECT_EQ(err(c.append_record(rec(7))), "Usage: record is 7 bytes, the schema says 8");
  EXPECT_EQ(err(c.append_record(rec(9))), "Usage: record is 9 bytes, the schema says 8");
  EXPECT_EQ(c.records(), 0u);
  EXPECT_EQ(c.bytes_raw(), 0u);
  EXPECT_EQ(c.buffered(), 0u);
}

TEST_F(AppendTest, ReadOnlyContainerRefusesEveryWrite) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
  }
  const std::string before = read_file(path_);
  {
    Container r = value_or_die(Container::open_read(path_));
    const std::string ro = "Usage: file is open read-only";
    EXPECT_EQ(err(r.append_record("abcd")), ro);
    EXPECT_EQ(err(r.flush_headers()), ro);
    EXPECT_EQ(err(r.close_frame(1, 3)), ro);
    EXPECT_EQ(err(r.seal(1, 3)), ro);
    TARVEL_EXPECT_OK(r.flush_data());
    // The new value stays in memory, and only there.
    EXPECT_EQ(err(r.set_user_header("x", "1")), ro);
    EXPECT_EQ(header(r, "x"), "1");
    EXPECT_EQ(err(r.set_user_header("_x", "1")),
              "Usage: user header key \"_x\" may not start with '_'");
    EXPECT_EQ(value_or_die(r.read_tail()), "abcd");
  }
  EXPECT_EQ(read_file(path_), before);
}

TEST_F(AppendTest, FlushHeadersWritesTheCommittedCounters) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(c.close_frame(1, 0));
  }
  Container c = value_or_die(Container::open_append(path_));
  TARVEL_ASSERT_OK(c.append_record("efgh"));
  TARVEL_ASSERT_OK(c.flush_data());
  TARVEL_ASSERT_OK(c.flush_headers());
  EXPECT_EQ(c.records(), 2u);
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(header(r, "_records"), "1");
  EXPECT_EQ(header(r, "_bytes_raw"), "4");
  EXPECT_EQ(r.records(), 1u);
}

TEST_F(AppendTest, SetUserHeader) {
  Container c = create_or_die(path_, prefixed_schema(), 300, {{"a", "1"}, {"b", "2"}});
  EXPECT_EQ(err(c.set_user_header("_x", "1")),
            "Usage: user header key \"_x\" may not start with '_'");
  EXPECT_EQ(err(c.set_user_header("", "1")), "Usage: invalid header key \"\"");
  EXPECT_EQ(err(c.set_user_header("a-b", "1")), "Usage: invalid header key \"a-b\"");
  EXPECT_EQ(c.headers().entries().size(), 16u);

  // An existing key keeps its place; a new one goes to the end.
  TARVEL_ASSERT_OK(c.set_user_header("a", "line\nfeed"));
  TARVEL_ASSERT_OK(c.set_user_header("c", "3"));
  {
    Container r = value_or_die(Container::open_read(path_));
    const auto& e = r.headers().entries();
    ASSERT_EQ(e.size(), 17u);
    EXPECT_EQ(e[14], (Headers::Entry{"a", "line\nfeed"}));
    EXPECT_EQ(e[16], (Headers::Entry{"c", "3"}));
  }

  // A value too long for the zone stays in memory and keeps failing every
  // header rewrite until the key gets a value that fits.
  const std::string on_disk = read_file(path_);
  std::string zone_full = err(c.set_user_header("c", std::string(100, 'v')));
  EXPECT_EQ(zone_full.rfind("ZoneFull: headers need ", 0), 0u) << zone_full;
  EXPECT_EQ(header(c, "c"), std::string(100, 'v'));
  EXPECT_EQ(err(c.flush_headers()), zone_full);
  TARVEL_ASSERT_OK(c.append_record("r"));
  EXPECT_EQ(err(c.close_frame(1, 3)).rfind("ZoneFull: headers need ", 0), 0u);
  EXPECT_EQ(read_file(path_).substr(0, 316), on_disk.substr(0, 316));
  TARVEL_ASSERT_OK(c.set_user_header("c", "4"));
  TARVEL_ASSERT_OK(c.flush_headers());
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
}

}  // namespace
}  // namespace tarvel::testing
