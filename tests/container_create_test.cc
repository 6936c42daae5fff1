#include <gtest/gtest.h>

#include "container/container.h"
#include "container/hash.h"
#include "container/internal/journal.h"
#include "container/internal/text.h"
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

// Arguments that no open would accept back are refused before anything is
// built, and nothing is left on disk.
struct RefusalCase {
  const char* name;
  Schema schema;
  std::string error;
  uint32_t header_area = 4096;
  UserHeaders user = {};
  std::string source = "s";
  std::string writer = "w";
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class CreateRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CreateRefusal, LeavesNoFile) {
  const RefusalCase& k = GetParam();
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  Result<Container> c =
      Container::create(path, k.schema, k.source, k.writer, 0, k.header_area, k.user);
  EXPECT_EQ(err(c), k.error);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

constexpr const char* kBadField = " cannot be stored: it is empty or holds ':' or ';'";

Schema with_field(std::string name, std::string ty) {
  return prefixed_schema({{std::move(name), std::move(ty), 0}});
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CreateRefusal,
    ::testing::Values(
        RefusalCase{"UserKeyWithUnderscore", prefixed_schema(),
                    "Usage: user header key \"_x\" may not start with '_'", 4096, {{"_x", "1"}}},
        RefusalCase{"UserKeyUpperCase", prefixed_schema(), "Usage: invalid header key \"Bad\"",
                    4096, {{"ok", "1"}, {"Bad", "1"}}},
        RefusalCase{"UserKeyEmpty", prefixed_schema(), "Usage: invalid header key \"\"", 4096,
                    {{"", "1"}}},
        RefusalCase{"ZoneOfZeroBytes", prefixed_schema(),
                    "ZoneFull: headers need 225 bytes, the zone holds 0", 0},
        RefusalCase{"ZoneOneByteShort", prefixed_schema(),
                    "ZoneFull: headers need 225 bytes, the zone holds 224", 224},
        RefusalCase{"ZoneOneByteOverTheCeiling", prefixed_schema(),
                    "Usage: header zone of 16777217 bytes is outside 1..=16777216", 16777217},
        RefusalCase{"Zone2To31", prefixed_schema(),
                    "Usage: header zone of 2147483648 bytes is outside 1..=16777216", 1u << 31},
        RefusalCase{"ZoneU32Max", prefixed_schema(),
                    "Usage: header zone of 4294967295 bytes is outside 1..=16777216", UINT32_MAX},
        RefusalCase{"FixedSizeZero", fixed_schema(0),
                    "Usage: record size is zero: a fixed layout needs records of at least 1 "
                    "byte"},
        RefusalCase{"FieldNameEmpty", with_field("", "u8"),
                    std::string("Usage: field name \"\"") + kBadField},
        RefusalCase{"FieldNameWithColon", with_field("a:b", "u8"),
                    std::string("Usage: field name \"a:b\"") + kBadField},
        RefusalCase{"FieldNameWithSemicolon", with_field("a;b", "u8"),
                    std::string("Usage: field name \"a;b\"") + kBadField},
        RefusalCase{"FieldTypeEmpty", with_field("a", ""),
                    std::string("Usage: field type \"\" of field \"a\"") + kBadField},
        RefusalCase{"FieldTypeWithColon", with_field("a", "u8:1"),
                    std::string("Usage: field type \"u8:1\" of field \"a\"") + kBadField},
        RefusalCase{"FieldTypeWithSemicolon", with_field("a", "u8;b:u8"),
                    std::string("Usage: field type \"u8;b:u8\" of field \"a\"") + kBadField},
        // Text that is not UTF-8 only a native caller can pass.
        RefusalCase{"SchemaNameNotUtf8", Schema{"r\xff", {}, RecordLayout::prefixed()},
                    "Usage: header \"_schema\" cannot be stored: its value is not UTF-8"},
        RefusalCase{"SourceNotUtf8", prefixed_schema(),
                    "Usage: header \"_source\" cannot be stored: its value is not UTF-8", 4096,
                    {}, "s\xc3"},
        RefusalCase{"WriterNotUtf8", prefixed_schema(),
                    "Usage: header \"_writer\" cannot be stored: its value is not UTF-8", 4096,
                    {}, "s", "\xed\xa0\x80"},
        RefusalCase{"UserValueNotUtf8", prefixed_schema(),
                    "Usage: header \"site\" cannot be stored: its value is not UTF-8", 4096,
                    {{"site", "\x80"}}},
        RefusalCase{"FieldNameNotUtf8", with_field("a\xfe", "u8"),
                    "Usage: header \"_schema_fields\" cannot be stored: its value is not UTF-8"},
        RefusalCase{"FieldTypeNotUtf8", with_field("a", "u\xc0\x80"),
                    "Usage: header \"_schema_fields\" cannot be stored: its value is not "
                    "UTF-8"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Everything else that create accepts opens as it was written, whatever the
// bytes of its texts.
TEST_F(CreateTest, UnusualTextReadsBackAsWritten) {
  const std::string odd = std::string("a\0b\r\n\\:;\t ", 10) + "\xc3\xa9\xf0\x9f\x98\x80";
  Schema schema{odd,
                {{"name with spaces\n\\", std::string("bool\r\0x", 7), 7},
                 {"é", "u8", UINT32_MAX}},
                RecordLayout::fixed(UINT32_MAX)};
  UserHeaders user = {{"k", odd}, {"empty", ""}, {"nul", std::string(1, '\0')}};
  Container c = value_or_die(
      Container::create(path_, schema, odd, odd, UINT64_MAX, MAX_HEADER_AREA, user));
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(r.headers(), c.headers());
  EXPECT_EQ(r.schema(), schema);
  EXPECT_EQ(header(r, "_source"), odd);
  EXPECT_EQ(header(r, "nul"), std::string(1, '\0'));
}

// The smallest zone that holds the headers is an exact fit, with no NUL.
TEST_F(CreateTest, ExactFitZoneHasNoPadding) {
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
      TARVEL_ASSERT_OK(c.append_record("abc"));
      TARVEL_ASSERT_OK(c.close_frame(1, 3));
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

TEST_F(CreateTest, ReleaseWritesTheBufferWithoutTouchingTheZone) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(c.append_record("efgh"));
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
    TARVEL_ASSERT_OK(a.append_record("abcd"));
    Container b(std::move(a));
    TARVEL_ASSERT_OK(b.append_record("efgh"));
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
    TARVEL_ASSERT_OK(old.append_record("oldr"));
    TARVEL_ASSERT_OK(old.close_frame(1, 3));
    const std::string bytes = read_file(path_);
    TARVEL_ASSERT_OK(write_journal(Env::posix(), path_, 16 + 4096, bytes.substr(16, 4096),
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
      for (int i = 0; i < 10; ++i) {
        TARVEL_ASSERT_OK(c.append_record(rec(4, static_cast<unsigned char>(i))));
      }
      TARVEL_ASSERT_OK(c.flush_data());
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
