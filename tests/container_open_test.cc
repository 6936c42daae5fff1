#include <gtest/gtest.h>

#include <functional>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

constexpr uint32_t kArea = 256;
constexpr uint64_t kDataStart = 16 + kArea;

class OpenTest : public ::testing::Test {
 protected:
  // Writes a file with a zone of kArea bytes holding "lines" (each
  // "key:value\n"), followed by "data".
  void write_raw(const std::string& lines, const std::string& data) {
    std::string zone = lines + "\n";
    zone.resize(kArea, '\0');
    write_file(path_, std::string("TARVEL\x01\x01\x00\x01\x00\x00\x00\x00\x00\x00", 16) + zone +
                          data);
  }
  static std::string fixed_lines(const std::string& extra) {
    return "_schema:rec\n_schema_fields:\n_record:fixed:10\n" + extra;
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

TEST_F(OpenTest, FilesThatDoNotHoldAHeadFail) {
  EXPECT_EQ(err(Container::open_read(path_)),
            "Io: " + path_ + ": No such file or directory (os error 2)");
  EXPECT_EQ(err(Container::open_append(path_)),
            "Io: " + path_ + ": No such file or directory (os error 2)");
  for (size_t n : {0u, 15u}) {
    write_file(path_, std::string("TARVEL\x01\x01\x00\x01\x00\x00\x00\x00\x00\x00", n));
    EXPECT_EQ(err(Container::open_read(path_)), "Io: failed to fill whole buffer") << n;
  }
  write_raw(fixed_lines(""), "");
  std::string bytes = read_file(path_);
  write_file(path_, bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(err(Container::open_read(path_)),
            "Malformed: header zone claims 256 bytes but the file is 271 bytes");
}

TEST_F(OpenTest, IoFailuresCarryThePathOnlyForOpenAndLength) {
  write_raw(fixed_lines(""), rec(25));
  const std::string bytes = read_file(path_);
  const std::string eio = "Input/output error (os error 5)";
  struct Case {
    unsigned ops;
    std::string error;
  };
  for (const Case& k : {Case{FaultEnv::kOpen, "Io: " + path_ + ": " + eio},
                        Case{FaultEnv::kLength, "Io: " + path_ + ": " + eio},
                        Case{FaultEnv::kRead, "Io: " + eio}}) {
    FaultEnv env;
    env.fail_nth(k.ops, 1, EIO);
    EXPECT_EQ(err(Container::open_read(path_, env)), k.error);
  }
  // The cut of open_append and its flush; a fixed-size tail is counted
  // without a read.
  for (unsigned ops : {FaultEnv::kTruncate, FaultEnv::kSync}) {
    write_file(path_, bytes);
    FaultEnv env;
    env.fail_nth(ops, 1, EIO);
    EXPECT_EQ(err(Container::open_append(path_, env)), "Io: " + eio);
    if (ops == FaultEnv::kTruncate) {
      EXPECT_EQ(read_file(path_), bytes);
    }
  }
  // The read of a prefixed tail, after the preamble's and the zone's.
  write_raw("_schema:rec\n_schema_fields:\n_record:prefixed\n",
            std::string("\x03\x00" "abc" "\x05\x00" "xy", 9));
  const std::string prefixed = read_file(path_);
  FaultEnv env;
  env.fail_nth(FaultEnv::kRead, 3, EIO);
  EXPECT_EQ(err(Container::open_append(path_, env)), "Io: " + eio);
  EXPECT_EQ(read_file(path_), prefixed);
}

TEST_F(OpenTest, HeadOnlyFileHasNoFramesAndNoTail) {
  { Container c = create_or_die(path_, fixed_schema(10), kArea); }
  for (bool append : {false, true}) {
    Container c = value_or_die(append ? Container::open_append(path_) : Container::open_read(path_));
    EXPECT_EQ(c.writable(), append);
    EXPECT_TRUE(c.frames().empty());
    EXPECT_EQ(c.file_len(), kDataStart);
    EXPECT_EQ(c.tail_start(), kDataStart);
    EXPECT_EQ(value_or_die(c.read_tail()), "");
  }
}

TEST_F(OpenTest, MissingOrUnreadableCountersCountAsZero) {
  for (const char* extra : {"", "_records:abc\n_bytes_raw:-1\n", "_records:18446744073709551616\n"}) {
    write_raw(fixed_lines(extra), "");
    Container c = value_or_die(Container::open_read(path_));
    EXPECT_EQ(c.records(), 0u) << extra;
    EXPECT_EQ(c.bytes_raw(), 0u) << extra;
    EXPECT_TRUE(c.frames().empty());
  }
  write_raw(fixed_lines("_records:+18446744073709551615\n"), "");
  EXPECT_EQ(value_or_die(Container::open_read(path_)).records(), UINT64_MAX);
}

TEST_F(OpenTest, TailCountsOnlyForAppendAndTheTornRecordIsCut) {
  // Five whole 10-byte records and 5 torn bytes behind _records 10.
  write_raw(fixed_lines("_records:10\n_bytes_raw:100\n"), rec(55));
  {
    Container r = value_or_die(Container::open_read(path_));
    EXPECT_EQ(r.records(), 10u);
    EXPECT_EQ(r.bytes_raw(), 100u);
    EXPECT_EQ(r.file_len(), kDataStart + 55);
    EXPECT_EQ(value_or_die(r.read_tail()), rec(50));
  }
  EXPECT_EQ(read_file(path_).size(), kDataStart + 55);

  Container a = value_or_die(Container::open_append(path_));
  EXPECT_EQ(a.records(), 15u);
  EXPECT_EQ(a.bytes_raw(), 150u);
  EXPECT_EQ(a.records_committed(), 10u);
  EXPECT_EQ(a.bytes_raw_committed(), 100u);
  EXPECT_EQ(a.file_len(), kDataStart + 50);
  EXPECT_EQ(read_file(path_).size(), kDataStart + 50);
  // Appends continue right behind the last whole record.
  TARVEL_ASSERT_OK(a.append_record(rec(10, 50)));
  TARVEL_ASSERT_OK(a.flush_data());
  EXPECT_EQ(read_file(path_).substr(kDataStart), rec(60));
}

TEST_F(OpenTest, TornPrefixedRecordIsCutWithItsPrefix) {
  std::string tail = std::string("\x03\x00" "abc" "\x00\x00" "\x05\x00" "xy", 11);
  write_raw("_schema:rec\n_schema_fields:\n_record:prefixed\n", tail);
  Container a = value_or_die(Container::open_append(path_));
  EXPECT_EQ(a.records(), 2u);
  EXPECT_EQ(a.bytes_raw(), 7u);
  EXPECT_EQ(read_file(path_).substr(kDataStart), tail.substr(0, 7));
}

// The cut of a torn record is durable before anything is written behind it:
// a power loss that kept the appends and lost the cut would bring back the
// rest of the torn record, read as records.
TEST_F(OpenTest, TornRecordCutIsDurableBeforeAppends) {
  // One whole record, then a prefix of 300 bytes with 228 of them.
  const std::string whole("\x03\x00" "abc", 5);
  write_raw("_schema:rec\n_schema_fields:\n_record:prefixed\n",
            whole + std::string("\x2c\x01", 2) + std::string(228, '\0'));
  FaultEnv env;
  {
    Container a = value_or_die(Container::open_append(path_, env));
    TARVEL_ASSERT_OK(a.append_record(""));
    TARVEL_ASSERT_OK(a.flush_data());
  }
  env.crash_keeping_writes();
  Container r = value_or_die(Container::open_append(path_));
  EXPECT_EQ(r.records(), 2u);
  EXPECT_EQ(value_or_die(r.read_tail()), whole + std::string(2, '\0'));
}

TEST_F(OpenTest, SealedFileAcceptsAppends) {
  {
    Container c = create_or_die(path_, fixed_schema(10));
    TARVEL_ASSERT_OK(c.append_record(rec(10)));
    TARVEL_ASSERT_OK(c.seal(1, 3));
  }
  Container a = value_or_die(Container::open_append(path_));
  EXPECT_EQ(header(a, "_sealed"), "true");
  TARVEL_ASSERT_OK(a.append_record(rec(10)));
  TARVEL_ASSERT_OK(a.close_frame(2, 3));
  EXPECT_EQ(a.frames().size(), 2u);
}

TEST_F(OpenTest, FrameBeyondTheFileFailsTheOpen) {
  write_raw(fixed_lines("_frames:1,0,10;2,10,11\n"), rec(20));
  const std::string msg = "Malformed: frame 2 ends at 293 but the file is 292 bytes";
  EXPECT_EQ(err(Container::open_read(path_)), msg);
  EXPECT_EQ(err(Container::open_append(path_)), msg);
  write_raw(fixed_lines("_frames:1,0,10;2,10,10\n"), rec(20));
  Container c = value_or_die(Container::open_read(path_));
  EXPECT_EQ(c.frames().size(), 2u);
  EXPECT_EQ(c.tail_start(), c.file_len());
}

TEST_F(OpenTest, AppendReplaysACompleteJournalFirst) {
  // The state before a close and the bytes that close writes.
  std::string before, after;
  {
    Container c = create_or_die(path_, fixed_schema(10), kArea);
    for (int i = 0; i < 3; ++i) {
      TARVEL_ASSERT_OK(c.append_record(rec(10, static_cast<unsigned char>(i))));
    }
    TARVEL_ASSERT_OK(c.flush_data());
    before = read_file(path_);
    TARVEL_ASSERT_OK(c.close_frame(9, 3));
    after = read_file(path_);
  }
  // A crash right after the journal reached the disk.
  write_file(path_, before);
  TARVEL_ASSERT_OK(write_journal(Env::posix(), path_, kDataStart, after.substr(16, kArea),
                                 after.substr(kDataStart)));
  // A reader neither replays it nor reads the half-written file.
  EXPECT_EQ(err(Container::open_read(path_)),
            "Usage: \"" + path_ +
                "\" has a pending seal journal from an interrupted write; recover it with "
                "open_append, validate or rebuild_headers before reading");
  EXPECT_EQ(read_file(path_), before);
  Container a = value_or_die(Container::open_append(path_));
  EXPECT_EQ(read_file(path_), after);
  EXPECT_FALSE(file_exists(journal_path(path_)));
  ASSERT_EQ(a.frames().size(), 1u);
  EXPECT_EQ(a.frames()[0].id, 9u);
  EXPECT_EQ(a.records(), 3u);
  EXPECT_EQ(a.records_committed(), 3u);
  EXPECT_EQ(value_or_die(a.read_frame(9)), rec(10, 0) + rec(10, 1) + rec(10, 2));
}

// A journal that exists but cannot be read may hold a close to redo, and
// the file may be half-spliced: every operation that replays journals fails
// with the journal's path and writes nothing (no torn record is cut). The
// other causes (permissions, I/O errors) are in journal_test.cc.
TEST_F(OpenTest, UnreadableJournalFailsEveryReplayingOperation) {
  write_raw(fixed_lines(""), rec(25));
  const std::string bytes = read_file(path_);
  const std::string journal = journal_path(path_);
  const std::pair<const char*, std::function<std::string()>> ops[] = {
      {"open_append", [&] { return err(Container::open_append(path_)); }},
      {"validate", [&] { return err(validate(path_)); }},
      {"rebuild_headers", [&] { return err(rebuild_headers(path_, true)); }},
      {"repack", [&] { return err(repack(path_, 3)); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(std::filesystem::create_directory(journal));
    EXPECT_EQ(op(), "Io: " + journal + ": Is a directory (os error 21)");
    EXPECT_TRUE(std::filesystem::is_directory(journal));
    std::filesystem::remove(journal);
    EXPECT_EQ(read_file(path_), bytes);
  }
}

}  // namespace
}  // namespace tarvel::testing
