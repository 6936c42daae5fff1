#include "container/schema.h"

#include <gtest/gtest.h>

#include <string>

#include "container/hash.h"
#include "container/headers.h"
#include "tests/result_assertions.h"

namespace tarvel {
namespace {

using namespace std::string_literals;

TEST(Fnv1a64, ReferenceValues) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a64("ts:u64:0;v:f64:8"), 0xeb5fa341fe6d3a90ULL);
  // Bytes above 0x7F enter unsigned.
  EXPECT_EQ(fnv1a64("\xFF"), (0xcbf29ce484222325ULL ^ 0xFF) * 0x100000001b3ULL);
}

TEST(Schema, FieldsValueAndHash) {
  Schema empty;
  EXPECT_EQ(empty.fields_value(), "");
  EXPECT_EQ(empty.hash_hex(), "cbf29ce484222325");

  Schema s{"ticks", {{"ts", "u64", 0}, {"v", "f64", 8}}, RecordLayout::fixed(16)};
  EXPECT_EQ(s.fields_value(), "ts:u64:0;v:f64:8");
  EXPECT_EQ(s.hash_hex(), "eb5fa341fe6d3a90");

  // Only the field list enters the fingerprint.
  Schema renamed = s;
  renamed.name = "other";
  renamed.layout = RecordLayout::prefixed();
  EXPECT_EQ(renamed.hash_hex(), s.hash_hex());
  for (auto change : {+[](Schema& x) { x.fields[1].name = "w"; },
                      +[](Schema& x) { x.fields[1].ty = "i64"; },
                      +[](Schema& x) { x.fields[1].offset = 9; }}) {
    Schema changed = s;
    change(changed);
    EXPECT_NE(changed.hash_hex(), s.hash_hex()) << changed.fields_value();
  }
}

TEST(RecordLayout, ParseAccepts) {
  struct Case {
    const char* text;
    RecordLayout layout;
  } cases[] = {
      {"prefixed", RecordLayout::prefixed()},
      {"fixed:16", RecordLayout::fixed(16)},
      {"fixed:+16", RecordLayout::fixed(16)},
      {"fixed:0016", RecordLayout::fixed(16)},
      {"fixed:4294967295", RecordLayout::fixed(4294967295u)},
  };
  for (const Case& c : cases) {
    auto l = RecordLayout::parse(c.text);
    TARVEL_ASSERT_OK(l) << c.text;
    EXPECT_EQ(*l, c.layout) << c.text;
  }
  EXPECT_EQ(RecordLayout::prefixed().text(), "prefixed");
  EXPECT_EQ(RecordLayout::fixed(16).text(), "fixed:16");
  EXPECT_EQ(RecordLayout::fixed(0).text(), "fixed:0");
}

TEST(RecordLayout, ParseRejects) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"fixed:-16", "bad record size \"-16\": invalid digit found in string"},
      {"fixed:", "bad record size \"\": cannot parse integer from empty string"},
      {"fixed:+", "bad record size \"+\": invalid digit found in string"},
      {"fixed: 16", "bad record size \" 16\": invalid digit found in string"},
      {"fixed:0x10", "bad record size \"0x10\": invalid digit found in string"},
      {"fixed:4294967296", "bad record size \"4294967296\": number too large to fit in target type"},
      // The overflow is met before the bad digit.
      {"fixed:99999999999x", "bad record size \"99999999999x\": number too large to fit in target type"},
      {"fixed:0", "record size is zero"},
      {"fixed:000", "record size is zero"},
      {"Prefixed", "unknown record layout \"Prefixed\""},
      {"prefixed ", "unknown record layout \"prefixed \""},
      {"fixed", "unknown record layout \"fixed\""},
      {"FIXED:16", "unknown record layout \"FIXED:16\""},
      {"", "unknown record layout \"\""},
  };
  for (const Case& c : cases) {
    auto l = RecordLayout::parse(c.text);
    TARVEL_ASSERT_ERROR(l) << c.text;
    EXPECT_EQ(l.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(l.error().to_string(), c.message);
  }
}

Headers schema_headers(const char* fields, const char* record = "fixed:16") {
  Headers h;
  TARVEL_EXPECT_OK(h.set("_schema", "ticks"));
  TARVEL_EXPECT_OK(h.set("_schema_fields", fields));
  TARVEL_EXPECT_OK(h.set("_record", record));
  return h;
}

TEST(SchemaFromHeaders, FieldTokens) {
  struct Case {
    const char* fields;
    std::vector<FieldSpec> want;
  } cases[] = {
      {"", {}},
      {";;", {}},
      {"a:u8:0;;b:u16:2;", {{"a", "u8", 0}, {"b", "u16", 2}}},
      {";x:bool:+007", {{"x", "bool", 7}}},
      {"a:u8:4294967295;a:u8:0", {{"a", "u8", 4294967295u}, {"a", "u8", 0}}},
  };
  for (const Case& c : cases) {
    auto s = Schema::from_headers(schema_headers(c.fields));
    TARVEL_ASSERT_OK(s) << c.fields;
    EXPECT_EQ(s->name, "ticks");
    EXPECT_EQ(s->layout, RecordLayout::fixed(16));
    EXPECT_EQ(s->fields, c.want) << c.fields;
  }
}

TEST(SchemaFromHeaders, BadFieldTokens) {
  struct Case {
    const char* fields;
    const char* message;
  } cases[] = {
      {"a:u8", "bad field token \"a:u8\": cannot parse integer from empty string"},
      {"a", "bad field token \"a\": cannot parse integer from empty string"},
      {"ok:u8:0;a:u8:", "bad field token \"a:u8:\": cannot parse integer from empty string"},
      {":u8:0", "bad field token \":u8:0\""},
      {"a::0", "bad field token \"a::0\""},
      {"::0", "bad field token \"::0\""},
      {"a:u8:x", "bad field token \"a:u8:x\": invalid digit found in string"},
      {"a:u8:0:9", "bad field token \"a:u8:0:9\": invalid digit found in string"},
      {"a:u8:-1", "bad field token \"a:u8:-1\": invalid digit found in string"},
      {"a:u8:4294967296", "bad field token \"a:u8:4294967296\": number too large to fit in target type"},
      // The offset is read before the name and type are looked at.
      {":u8:x", "bad field token \":u8:x\": invalid digit found in string"},
  };
  for (const Case& c : cases) {
    auto s = Schema::from_headers(schema_headers(c.fields));
    TARVEL_ASSERT_ERROR(s) << c.fields;
    EXPECT_EQ(s.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(s.error().to_string(), c.message);
  }
}

TEST(SchemaFromHeaders, MissingKeysAndBadLayoutInOrder) {
  auto without = [](const char* key) {
    Headers h;
    for (std::string k : {"_schema", "_schema_fields", "_record"}) {
      if (k == key) continue;
      TARVEL_EXPECT_OK(h.set(k, k == "_record" ? "prefixed" : ""));
    }
    return h;
  };
  EXPECT_EQ(Schema::from_headers(Headers()).error().to_string(), "missing _schema");
  EXPECT_EQ(Schema::from_headers(without("_schema")).error().to_string(), "missing _schema");
  EXPECT_EQ(Schema::from_headers(without("_record")).error().to_string(), "missing _record");
  EXPECT_EQ(Schema::from_headers(without("_schema_fields")).error().to_string(),
            "missing _schema_fields");
  // The layout is read before the fields.
  EXPECT_EQ(Schema::from_headers(schema_headers("a:u8", "fixed:0")).error().to_string(),
            "record size is zero");
}

TEST(SchemaFromHeaders, FirstEntryOfADuplicatedKeyWins) {
  auto h = Headers::parse("_schema:first\n_record:prefixed\n_schema_fields:\n_schema:second\n\n");
  TARVEL_ASSERT_OK(h);
  auto s = Schema::from_headers(*h);
  TARVEL_ASSERT_OK(s);
  EXPECT_EQ(s->name, "first");
  EXPECT_EQ(s->layout, RecordLayout::prefixed());
}

TEST(SplitRecords, Cases) {
  struct Case {
    std::string data;
    RecordLayout layout;
    std::vector<std::string> records;
    uint64_t torn;
  } cases[] = {
      {"0123456789", RecordLayout::fixed(4), {"0123", "4567"}, 2},
      {"01234567", RecordLayout::fixed(4), {"0123", "4567"}, 0},
      {"012", RecordLayout::fixed(4), {}, 3},
      {"0123456789", RecordLayout::fixed(0), {}, 10},
      {"", RecordLayout::fixed(4), {}, 0},
      {"", RecordLayout::fixed(0), {}, 0},
      {"", RecordLayout::prefixed(), {}, 0},
      {"\x02\x00"s "AB" "\x00\x00"s "\x05"s, RecordLayout::prefixed(), {"AB", ""}, 1},
      {"\x03\x00"s "AB", RecordLayout::prefixed(), {}, 4},
      {"\x01"s, RecordLayout::prefixed(), {}, 1},
      {"\x00\x00"s, RecordLayout::prefixed(), {""}, 0},
      {"\x01\x00" "A" "\x02\x00" "B"s, RecordLayout::prefixed(), {"A"}, 3},
  };
  for (const Case& c : cases) {
    SplitRecords got = split_records(c.data, c.layout);
    std::vector<std::string> records(got.records.begin(), got.records.end());
    EXPECT_EQ(records, c.records) << ::testing::PrintToString(c.data);
    EXPECT_EQ(got.torn, c.torn) << ::testing::PrintToString(c.data);
  }
}

TEST(SplitRecords, ViewsPointIntoTheInput) {
  const std::string fixed = "aaaabbbbcc";
  SplitRecords f = split_records(fixed, RecordLayout::fixed(4));
  ASSERT_EQ(f.records.size(), 2u);
  EXPECT_EQ(f.records[0].data(), fixed.data());
  EXPECT_EQ(f.records[1].data(), fixed.data() + 4);

  // A 65535-byte record, the largest a u16 prefix can describe.
  std::string big = "\xFF\xFF"s + std::string(65535, 'x') + "\x00\x00"s;
  SplitRecords p = split_records(big, RecordLayout::prefixed());
  ASSERT_EQ(p.records.size(), 2u);
  EXPECT_EQ(p.records[0].data(), big.data() + 2);
  EXPECT_EQ(p.records[0].size(), 65535u);
  EXPECT_EQ(p.records[1].data(), big.data() + 65539);
  EXPECT_EQ(p.torn, 0u);
}

}  // namespace
}  // namespace tarvel
