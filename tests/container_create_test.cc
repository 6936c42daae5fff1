#include <gtest/gtest.h>

#include "container/container.h"
#include "container/journal.h"
#include "container/text.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

class CreateTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

TEST_F(CreateTest, NewFileHoldsPreambleSystemHeadersUserHeadersAndPadding) {
  Schema schema = fixed_schema(8, {{"a", "u32", 0}, {"b", "u32", 4}});
  Container c = value_or_die(Container::create(
      path_, schema, "probe 7", "writer 1", 951782400123, 512, {{"site", "x"}, {"run", "7"}}));

  std::string zone =
      "_schema:rec\n"
      "_schema_fields:a:u32:0;b:u32:4\n"
      "_schema_hash:" + hex16(fnv1a64("a:u32:0;b:u32:4")) + "\n"
      "_record:fixed:8\n"
      "_source:probe 7\n"
      "_created_at:2000-02-29T00:00:00Z\n"
      "_writer:writer 1\n"
      "_compression:zstd\n"
      "_compression_level:3\n"
      "_records:0\n"
      "_bytes_raw:0\n"
      "_frames:\n"
      "_preview:\n"
      "_sealed:false\n"
      "site:x\n"
      "run:7\n"
      "\n";
  zone.resize(512, '\0');
  const std::string preamble("TARVEL\x01\x01\x00\x02\x00\x00\x00\x00\x00\x00", 16);
  EXPECT_EQ(read_file(path_), preamble + zone);

  EXPECT_EQ(c.file_len(), 16u + 512);
  EXPECT_EQ(c.data_start(), 16u + 512);
  EXPECT_EQ(c.records(), 0u);
  EXPECT_EQ(c.bytes_raw(), 0u);
  EXPECT_TRUE(c.writable());
  EXPECT_TRUE(c.frames().empty());
  EXPECT_EQ(c.schema(), schema);
  EXPECT_EQ(c.preamble(), (Preamble{1, 1, 512}));
}

TEST_F(CreateTest, CreatedAtFromTheDayCount) {
  struct Case {
    uint64_t millis;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {999, "1970-01-01T00:00:00Z"},
      {951782400000, "2000-02-29T00:00:00Z"},
      {951868799999, "2000-02-29T23:59:59Z"},
      {1709210096000, "2024-02-29T12:34:56Z"},
      {253402300799999, "9999-12-31T23:59:59Z"},
      {253402300800000, "10000-01-01T00:00:00Z"},
  };
  int n = 0;
  for (const Case& k : cases) {
    std::string path = dir_.file(std::to_string(n++));
    Container c = value_or_die(
        Container::create(path, prefixed_schema(), "s", "w", k.millis, 4096, {}));
    EXPECT_EQ(header(c, "_created_at"), k.text) << k.millis;
  }
}

TEST_F(CreateTest, FailuresBeforeTheOpenLeaveNoFile) {
  struct Case {
    uint32_t header_area;
    UserHeaders user;
    const char* error;
  };
  const Case cases[] = {
      {4096, {{"_x", "1"}}, "Usage: user header key \"_x\" may not start with '_'"},
      {4096, {{"ok", "1"}, {"Bad", "1"}}, "Usage: invalid header key \"Bad\""},
      {4096, {{"", "1"}}, "Usage: invalid header key \"\""},
      {0, {}, "ZoneFull: headers need 225 bytes, the zone holds 0"},
      {224, {}, "ZoneFull: headers need 225 bytes, the zone holds 224"},
  };
  for (const Case& k : cases) {
    Result<Container> c =
        Container::create(path_, prefixed_schema(), "s", "w", 0, k.header_area, k.user);
    EXPECT_EQ(err(c), k.error);
    EXPECT_FALSE(file_exists(path_));
  }
  // The smallest zone that holds the headers is an exact fit, with no NUL.
  Container c = value_or_die(Container::create(path_, prefixed_schema(), "s", "w", 0, 225, {}));
  EXPECT_EQ(read_file(path_).back(), '\n');
}

// A full disk or a failed flush after the exclusive open removes the new
// file, so that a retry creates it.
TEST_F(CreateTest, FailuresAfterTheOpenLeaveNoFile) {
  struct Case {
    unsigned op;
    uint64_t n;
    int errnum;
  } cases[] = {{FaultEnv::kWrite, 1, ENOSPC},  // the preamble
               {FaultEnv::kWrite, 2, ENOSPC},  // the zone
               {FaultEnv::kSync, 1, EIO}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.op) + " #" + std::to_string(k.n));
    FaultEnv env;
    env.fail_nth(k.op, k.n, k.errnum);
    Result<Container> failed =
        Container::create(path_, prefixed_schema(), "s", "w", 0, 4096, {}, env);
    EXPECT_EQ(err(failed), "Io: " + IoFailure::os(k.errnum).text());
    EXPECT_FALSE(file_exists(path_));
    {
      Container c = create_or_die(path_, fixed_schema(3), 4096, {}, env);
      ASSERT_TRUE(c.append_record("abc").ok());
      ASSERT_TRUE(c.close_frame(1, 3).ok());
    }
    EXPECT_EQ(value_or_die(value_or_die(Container::open_read(path_)).read_frame(1)), "abc");
    std::filesystem::remove(path_);
  }
}

TEST_F(CreateTest, ExistingPathFailsWithThePathAndIsLeftAlone) {
  write_file(path_, "keep");
  Result<Container> c = Container::create(path_, prefixed_schema(), "s", "w", 0, 4096, {});
  EXPECT_EQ(err(c), "Io: " + path_ + ": File exists (os error 17)");
  EXPECT_EQ(read_file(path_), "keep");
}

TEST_F(CreateTest, RepeatedUserKeyKeepsFirstPositionAndLastValue) {
  Container c = create_or_die(path_, prefixed_schema(), 4096, {{"a", "1"}, {"b", "2"}, {"a", "3"}});
  const auto& e = c.headers().entries();
  ASSERT_EQ(e.size(), 16u);
  EXPECT_EQ(e[14], (Headers::Entry{"a", "3"}));
  EXPECT_EQ(e[15], (Headers::Entry{"b", "2"}));
}

TEST_F(CreateTest, FixedSizeZeroIsCreatedButNeverOpens) {
  { Container c = create_or_die(path_, fixed_schema(0)); }
  EXPECT_EQ(err(Container::open_read(path_)), "Malformed: record size is zero");
}

TEST_F(CreateTest, ReleaseWritesTheBufferWithoutTouchingTheZone) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    ASSERT_TRUE(c.append_record("abcd").ok());
    ASSERT_TRUE(c.append_record("efgh").ok());
    EXPECT_EQ(c.buffered(), 8u);
  }
  std::string bytes = read_file(path_);
  ASSERT_EQ(bytes.size(), 16u + 4096 + 8);
  EXPECT_EQ(bytes.substr(16 + 4096), "abcdefgh");
  EXPECT_NE(bytes.find("_records:0\n"), std::string::npos);

  Container again = value_or_die(Container::open_append(path_));
  EXPECT_EQ(again.records(), 2u);
  EXPECT_EQ(again.records_committed(), 0u);
}

TEST_F(CreateTest, MovedContainerReleasesOnce) {
  {
    Container a = create_or_die(path_, fixed_schema(4));
    ASSERT_TRUE(a.append_record("abcd").ok());
    Container b(std::move(a));
    ASSERT_TRUE(b.append_record("efgh").ok());
  }
  EXPECT_EQ(read_file(path_).substr(16 + 4096), "abcdefgh");
}

TEST_F(CreateTest, ReadOnlyReleaseWritesNothing) {
  { Container c = create_or_die(path_, fixed_schema(4)); }
  const std::string before = read_file(path_);
  {
    Container r = value_or_die(Container::open_read(path_));
    EXPECT_EQ(err(r.append_record("abcd")), "Usage: file is open read-only");
  }
  EXPECT_EQ(read_file(path_), before);
}

// A complete journal left by an earlier file of the same name must never be
// replayed into the new one.
TEST_F(CreateTest, RemovesAStaleJournalDurably) {
  const std::string journal = journal_path(path_);
  std::string stale;
  {
    Container old = create_or_die(path_, fixed_schema(4));
    ASSERT_TRUE(old.append_record("oldr").ok());
    ASSERT_TRUE(old.close_frame(1, 3).ok());
    const std::string bytes = read_file(path_);
    ASSERT_TRUE(write_journal(Env::posix(), path_, 16 + 4096, bytes.substr(16, 4096),
                              bytes.substr(16 + 4096)));
    stale = read_file(journal);
  }
  for (bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "crash" : "no crash");
    std::filesystem::remove(path_);
    write_file(journal, stale);
    FaultEnv env;
    {
      Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env);
      EXPECT_FALSE(file_exists(journal));
      for (int i = 0; i < 10; ++i) ASSERT_TRUE(c.append_record(rec(4, i)).ok());
      ASSERT_TRUE(c.flush_data().ok());
    }
    // A crash may lose the unflushed records, never bring the journal back.
    if (crash) env.crash();
    EXPECT_FALSE(file_exists(journal));
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_TRUE(c.frames().empty());
    EXPECT_EQ(c.records(), crash ? 0u : 10u);
  }
}

// A journal path that cannot be cleared (a directory of that name) would
// fail every later replay: the create fails and leaves no file behind.
TEST_F(CreateTest, JournalPathThatCannotBeClearedFailsTheCreate) {
  const std::string journal = journal_path(path_);
  ASSERT_TRUE(std::filesystem::create_directory(journal));
  EXPECT_EQ(err(Container::create(path_, fixed_schema(4), "s", "w", 0, 4096, {})),
            "Io: " + journal + ": Is a directory (os error 21)");
  EXPECT_FALSE(file_exists(path_));
  EXPECT_TRUE(std::filesystem::is_directory(journal));
}

}  // namespace
}  // namespace tarvel::testing
