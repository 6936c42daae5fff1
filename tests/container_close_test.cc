#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/frames.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/tool_access.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

class CloseTest : public ::testing::Test {
 protected:
  // The stored bytes of frame "i" as they stand in the file.
  std::string stored(const Container& c, size_t i) {
    const Frame& f = c.frames()[i];
    return read_file(path_).substr(c.data_start() + f.offset, f.len);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

struct LevelCase {
  int32_t level;
  const char* compression;
  const char* level_text;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << "level " << c.level; }

class CloseLevelTest : public CloseTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(CloseLevelTest, TailBecomesOneCommittedFrame) {
  const LevelCase& k = GetParam();
  Container c = create_or_die(path_, prefixed_schema());
  std::string tail;
  for (size_t i = 0; i < 300; ++i) {
    std::string body = rec(i % 50, static_cast<unsigned char>(i));
    TARVEL_ASSERT_OK(c.append_record(body));
    tail += std::string{static_cast<char>(body.size()), '\0'} + body;
  }
  TARVEL_ASSERT_OK(c.close_frame(42, k.level));

  ASSERT_EQ(c.frames().size(), 1u);
  const Frame f = c.frames()[0];
  EXPECT_EQ(f.id, 42u);
  EXPECT_EQ(f.offset, 0u);
  const std::string bytes = stored(c, 0);
  EXPECT_EQ(f.hash, xxh64(bytes));
  EXPECT_EQ(c.file_len(), c.data_start() + f.len);
  EXPECT_EQ(read_file(path_).size(), c.file_len());
  if (k.level == 0) {
    EXPECT_EQ(bytes, tail);
  } else {
    EXPECT_TRUE(has_zstd_magic(bytes));
  }
  EXPECT_EQ(c.records_committed(), 300u);
  EXPECT_EQ(c.bytes_raw_committed(), tail.size());
  EXPECT_EQ(c.buffered(), 0u);
  EXPECT_FALSE(file_exists(journal_path(path_)));

  // The zone on disk agrees with memory.
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(r.headers(), c.headers());
  EXPECT_EQ(header(r, "_compression"), k.compression);
  EXPECT_EQ(header(r, "_compression_level"), k.level_text);
  EXPECT_EQ(header(r, "_records"), "300");
  EXPECT_EQ(header(r, "_bytes_raw"), std::to_string(tail.size()));
  EXPECT_EQ(r.frames(), c.frames());
  EXPECT_EQ(value_or_die(r.read_frame(42)), tail);
  EXPECT_EQ(value_or_die(r.read_tail()), "");
}

INSTANTIATE_TEST_SUITE_P(Levels, CloseLevelTest,
                         ::testing::Values(LevelCase{0, "none", "0"}, LevelCase{3, "zstd", "3"},
                                           LevelCase{19, "zstd", "19"},
                                           LevelCase{-5, "zstd", "-5"}),
                         [](const ::testing::TestParamInfo<LevelCase>& param_info) {
                           return std::string("level_") +
                                  (param_info.param.level < 0 ? "minus" : "") +
                                  std::to_string(std::abs(param_info.param.level));
                         });

TEST_F(CloseTest, EmptyTailChangesNothing) {
  Container c = create_or_die(path_, fixed_schema(4));
  const std::string before = read_file(path_);
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(read_file(path_), before);

  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  const std::string after = read_file(path_);
  TARVEL_ASSERT_OK(c.close_frame(2, 0));
  EXPECT_EQ(c.frames().size(), 1u);
  EXPECT_EQ(header(c, "_compression"), "zstd");
  EXPECT_EQ(read_file(path_), after);
  EXPECT_FALSE(file_exists(journal_path(path_)));
}

TEST_F(CloseTest, FramesFollowEachOtherAndIdsMayRepeat) {
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.append_record("aaaa"));
  TARVEL_ASSERT_OK(c.close_frame(5, 0));
  TARVEL_ASSERT_OK(c.append_record("bbbb"));
  TARVEL_ASSERT_OK(c.append_record("cccc"));
  TARVEL_ASSERT_OK(c.close_frame(5, 3));
  TARVEL_ASSERT_OK(c.append_record("dddd"));
  TARVEL_ASSERT_OK(c.flush_data());

  ASSERT_EQ(c.frames().size(), 2u);
  EXPECT_EQ(c.frames()[1].offset, 4u);
  EXPECT_EQ(header(c, "_compression_level"), "3");
  EXPECT_EQ(value_or_die(c.read_frame(5)), "aaaa");
  EXPECT_EQ(value_or_die(c.read_frame_at(1)), "bbbbcccc");
  EXPECT_EQ(value_or_die(c.read_tail()), "dddd");
  EXPECT_EQ(c.records(), 4u);
  EXPECT_EQ(c.records_committed(), 3u);
}

TEST_F(CloseTest, PreviewIsMadeOnceFromTheFirstRecords) {
  Schema schema = fixed_schema(12, {{"n", "u32", 0}, {"x", "f64", 4}});
  Container c = create_or_die(path_, schema);
  auto record = [](uint32_t n, double x) {
    std::string r(12, '\0');
    for (size_t i = 0; i < 4; ++i) r[i] = static_cast<char>(n >> (8 * i));
    std::memcpy(r.data() + 4, &x, 8);
    return r;
  };
  for (uint32_t i = 1; i <= 5; ++i) TARVEL_ASSERT_OK(c.append_record(record(i, i * 0.5)));
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  EXPECT_EQ(header(c, "_preview"), "1,0.5;2,1;3,1.5");

  TARVEL_ASSERT_OK(c.append_record(record(9, 9)));
  TARVEL_ASSERT_OK(c.close_frame(2, 3));
  EXPECT_EQ(header(c, "_preview"), "1,0.5;2,1;3,1.5");
}

TEST_F(CloseTest, TailOfTornBytesOnlyClosesWithAnEmptyPreview) {
  {
    Container c = create_or_die(path_, fixed_schema(4, {{"a", "u8", 0}}));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
  }
  std::string bytes = read_file(path_);
  write_file(path_, bytes.substr(0, bytes.size() - 1));
  // open_read does not cut; its Container is read-only, so a writable one
  // over the same file is made by open_inner.
  Container c = value_or_die(ToolAccess::open_inner(path_, true));
  TARVEL_ASSERT_OK(c.close_frame(1, 0));
  EXPECT_EQ(header(c, "_preview"), "");
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abc");
}

TEST_F(CloseTest, ZoneFullLeavesTheTailRawAndWritesNoJournal) {
  // Room for the headers of a new file and little more.
  Container c = create_or_die(path_, fixed_schema(4), 270, {{"pad", std::string(30, 'p')}});
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  const std::string head = read_file(path_);
  Status s = c.close_frame(1, 3);
  ASSERT_EQ(err(s).rfind("ZoneFull: headers need ", 0), 0u) << err(s);
  EXPECT_EQ(err(s).substr(err(s).size() - 20), ", the zone holds 270");
  EXPECT_FALSE(file_exists(journal_path(path_)));
  // Only the buffer write reached the file.
  EXPECT_EQ(read_file(path_), head + "abcd");
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(c.records_committed(), 0u);
  EXPECT_EQ(header(c, "_frames"), "");

  // The container stays usable: make room, and the same tail closes.
  TARVEL_ASSERT_OK(c.set_user_header("pad", ""));
  TARVEL_ASSERT_OK(c.append_record("efgh"));
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abcdefgh");
}

// A directory that cannot be opened for reading (mode 0333, say) or a file
// system that does not flush directories leaves closes working.
TEST_F(CloseTest, DirectoryThatCannotBeFlushedDoesNotStopCloses) {
  FaultEnv env;
  Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env);
  // A close opens its journal, then the directory; it flushes the journal,
  // then the directory.
  struct Case {
    unsigned op;
    int errnum;
  } cases[] = {{FaultEnv::kOpen, EACCES}, {FaultEnv::kSync, EINVAL}};
  uint64_t id = 0;
  for (const Case& k : cases) {
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    env.fail_nth(k.op, 2, k.errnum);
    TARVEL_ASSERT_OK(c.close_frame(++id, 3));
    EXPECT_TRUE(env.failed());
    EXPECT_EQ(value_or_die(c.read_frame(id)), "abcd");
  }
}

// A journal file that the close could not open is not the close's own, and
// stays as it was.
TEST_F(CloseTest, JournalThatCouldNotBeOpenedIsLeftAlone) {
  FaultEnv env;
  Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env);
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  const std::string journal = journal_path(path_);
  write_file(journal, "another user's file");
  env.fail_nth(FaultEnv::kOpen, 1, EACCES);
  EXPECT_EQ(err(c.close_frame(1, 3)), "Io: " + journal + ": Permission denied (os error 13)");
  EXPECT_EQ(read_file(journal), "another user's file");
  EXPECT_TRUE(c.frames().empty());
}

TEST_F(CloseTest, SealMarksTheFileAndAcceptsMore) {
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.seal(1, 3));
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(header(value_or_die(Container::open_read(path_)), "_sealed"), "true");

  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.seal(2, 3));
  TARVEL_ASSERT_OK(c.append_record("efgh"));
  TARVEL_ASSERT_OK(c.close_frame(3, 3));
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(header(r, "_sealed"), "true");
  EXPECT_EQ(r.frames().size(), 2u);
  EXPECT_EQ(header(r, "_records"), "2");
}

// An odd but valid list whose last entry lies lower in the file than
// another: the raw tail begins behind the frame that ends furthest, so its
// records are counted once and the next close writes behind every frame.
TEST_F(CloseTest, TailStartsBehindTheFrameThatEndsFurthest) {
  std::string frame;
  {
    Container c = create_or_die(path_, fixed_schema(4));
    for (unsigned char i = 0; i < 100; ++i) {
      frame += rec(4, i);
      TARVEL_ASSERT_OK(c.append_record(rec(4, i)));
    }
    TARVEL_ASSERT_OK(c.close_frame(1, 0));
    Headers h = c.headers();
    TARVEL_ASSERT_OK(h.set("_frames", render_frames(c.frames()) + ";2,0,0"));
    std::string bytes = read_file(path_);
    bytes.replace(PREAMBLE_LEN, 4096, value_or_die(h.render(4096)));
    write_file(path_, bytes);
  }
  {
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_EQ(c.records(), 100u);
    TARVEL_ASSERT_OK(c.append_record("wxyz"));
    TARVEL_ASSERT_OK(c.close_frame(3, 0));
    EXPECT_EQ(c.frames().back().offset, frame.size());
  }
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(value_or_die(r.read_frame(1)), frame);
  EXPECT_EQ(value_or_die(r.read_frame(2)), "");
  EXPECT_EQ(value_or_die(r.read_frame(3)), "wxyz");
  EXPECT_EQ(value_or_die(r.read_tail()), "");
}

}  // namespace
}  // namespace tarvel::testing

namespace tarvel::testing {
namespace {

// What _frames says, in memory and on disk, must be the frames list however
// the closes before went: the rendering that a close extends is kept from
// close to close, so a close that fails after extending it, and a list
// replaced in between, must not leave it behind.
TEST_F(CloseTest, FramesHeaderFollowsFailedClosesAndReplacedLists) {
  FaultEnv env;
  Container c = create_or_die(path_, fixed_schema(4), 512, {{"pad", std::string(150, 'p')}}, env);
  auto close = [&](uint64_t id) {
    TARVEL_EXPECT_OK(c.append_record("abcd"));
    return err(c.close_frame(id, 3));
  };
  auto expect_listed = [&] {
    EXPECT_EQ(header(c, "_frames"), render_frames(c.frames()));
    auto [pre, on_disk] = value_or_die(peek_headers(path_));
    EXPECT_EQ(*on_disk.get("_frames"), render_frames(c.frames()));
  };
  ASSERT_EQ(close(1), "ok");

  // The journal cannot be made: the close fails before the file is touched.
  env.fail_nth(FaultEnv::kOpen, 1, EIO);
  EXPECT_NE(close(2), "ok");
  ASSERT_EQ(close(3), "ok");
  expect_listed();

  // Closes until the zone is full, then room again.
  std::string last;
  for (uint64_t id = 10; (last = close(id)) == "ok"; ++id) {
  }
  EXPECT_EQ(last.substr(0, 9), "ZoneFull:");
  ASSERT_EQ(err(c.set_user_header("pad", "")), "ok");
  ASSERT_EQ(close(99), "ok");
  expect_listed();

  // A list of the same length that differs only in its first entry.
  std::vector<Frame> frames = c.frames();
  frames[0].id = 7;
  ToolAccess::replace_counts(c, frames, c.records(), c.bytes_raw());
  ASSERT_EQ(close(100), "ok");
  expect_listed();
  EXPECT_EQ(c.frames()[0].id, 7u);
}

}  // namespace
}  // namespace tarvel::testing
