#include "container/headers.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel {
namespace {

using namespace std::string_literals;

std::string preamble_bytes(uint8_t version, uint8_t flags, uint32_t area,
                           std::string reserved = "\0\0\0\0"s) {
  std::string p = "TARVEL";
  p.push_back(static_cast<char>(version));
  p.push_back(static_cast<char>(flags));
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<char>((area >> (8 * i)) & 0xFF));
  return p + reserved;
}

// ---- Preamble ----

TEST(PreambleDecode, AcceptsAnyFlagsAndReservedBytes) {
  for (auto [flags, reserved] : {std::pair{uint8_t{0}, "\0\0\0\0"s},
                                 std::pair{uint8_t{0xFF}, "\xAA\xBB\xCC\xDD"s}}) {
    auto p = Preamble::decode(preamble_bytes(1, flags, 4096, reserved));
    TARVEL_ASSERT_OK(p);
    EXPECT_EQ(p->version, 1);
    EXPECT_EQ(p->flags, flags);
    EXPECT_EQ(p->header_area, 4096u);
  }
}

TEST(PreambleDecode, HeaderAreaCeilingIsInclusive) {
  auto at = Preamble::decode(preamble_bytes(1, 1, MAX_HEADER_AREA));
  TARVEL_ASSERT_OK(at);
  EXPECT_EQ(at->header_area, 16777216u);
  auto over = Preamble::decode(preamble_bytes(1, 1, MAX_HEADER_AREA + 1));
  TARVEL_ASSERT_ERROR(over);
  EXPECT_EQ(over.error().kind(), ErrorKind::kMalformed);
  EXPECT_EQ(over.error().to_string(),
            "header zone claims 16777217 bytes, the ceiling is 16777216");
}

// Every prefix of a good preamble, and prefixes with another version, fail
// by the first rule in the decoder's order that they break.
TEST(PreambleDecode, PrefixesFailInOrder) {
  const std::string good = preamble_bytes(1, 0, 4096);
  for (size_t n = 0; n <= 16; ++n) {
    auto p = Preamble::decode(std::string_view(good).substr(0, n));
    const char* want = n < 6 ? "not a tarvel file: bad magic"
                       : n < 12 ? "preamble too short"
                                : nullptr;
    if (want == nullptr) {
      TARVEL_EXPECT_OK(p) << n;
      continue;
    }
    TARVEL_ASSERT_ERROR(p) << n;
    EXPECT_EQ(p.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(p.error().to_string(), want) << n;
  }
  const std::string v2 = preamble_bytes(2, 0, 4096);
  for (size_t n : {7u, 11u, 16u}) {
    auto p = Preamble::decode(std::string_view(v2).substr(0, n));
    TARVEL_ASSERT_ERROR(p);
    EXPECT_EQ(p.error().to_string(), "unsupported tarvel version 2") << n;
  }
}

TEST(PreambleDecode, OtherFailures) {
  struct Case {
    std::string bytes;
    const char* message;
  } cases[] = {
      {"TARVEX\1\0\0\x10\0\0\0\0\0\0"s, "not a tarvel file: bad magic"},
      {"tarvel\1\0\0\x10\0\0\0\0\0\0"s, "not a tarvel file: bad magic"},
      {preamble_bytes(0, 0, 4096), "unsupported tarvel version 0"},
      {preamble_bytes(255, 0, 4096), "unsupported tarvel version 255"},
      {preamble_bytes(1, 0, 0), "header zone size is zero"},
      {preamble_bytes(1, 0, 0xFFFFFFFF), "header zone claims 4294967295 bytes, the ceiling is 16777216"},
  };
  for (const Case& c : cases) {
    auto p = Preamble::decode(c.bytes);
    TARVEL_ASSERT_ERROR(p) << c.message;
    EXPECT_EQ(p.error().to_string(), c.message);
  }
}

TEST(PreambleEncode, RoundTrips) {
  Preamble p{1, FLAG_COMPRESSED, 70000};
  EXPECT_EQ(p.encode(), preamble_bytes(1, 1, 70000));
  auto back = Preamble::decode(p.encode());
  TARVEL_ASSERT_OK(back);
  EXPECT_EQ(*back, p);
}

// ---- Keys and escaping ----

TEST(KeyIsValid, AcceptAndReject) {
  for (const char* k : {"a", "0", "_a", "a_", "a__b", "_0_", "_schema_fields", "z9"}) {
    EXPECT_TRUE(key_is_valid(k)) << k;
  }
  for (const char* k : {"", "_", "__a", "A", "aB", "a-b", "a.b", "\xC3\xA9", " a", "a ", "a:b", "_A"}) {
    EXPECT_FALSE(key_is_valid(k)) << k;
  }
}

TEST(Escaping, EscapeAndUnescape) {
  struct Case {
    std::string raw;
    std::string stored;
  } cases[] = {
      {"", ""},
      {"a\nb", "a\\nb"},
      {"a\\b", "a\\\\b"},
      {"\\n", "\\\\n"},
      {"\r\t\0:;"s, "\r\t\0:;"s},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escape_value(c.raw), c.stored);
    EXPECT_EQ(unescape_value(c.stored), c.raw);
  }
  // Stored forms that escape_value never writes.
  EXPECT_EQ(unescape_value("a\\tb"), "atb");
  EXPECT_EQ(unescape_value("end\\"), "end");
  EXPECT_EQ(unescape_value("\\"), "");
  EXPECT_EQ(unescape_value("\\\\\\"), "\\");
}

// ---- Headers ----

TEST(Headers, SetReplacesInPlaceAndSetUserGuardsSystemKeys) {
  Headers h;
  TARVEL_ASSERT_OK(h.set("a", "1"));
  TARVEL_ASSERT_OK(h.set("b", "2"));
  TARVEL_ASSERT_OK(h.set("a", "3"));
  ASSERT_EQ(h.entries().size(), 2u);
  EXPECT_EQ(h.entries()[0], (Headers::Entry{"a", "3"}));
  EXPECT_EQ(h.get("c"), nullptr);

  auto bad = h.set("Bad Key", "x");
  TARVEL_ASSERT_ERROR(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::kUsage);
  EXPECT_EQ(bad.error().to_string(), "invalid header key \"Bad Key\"");

  auto sys = h.set_user("_records", "9");
  TARVEL_ASSERT_ERROR(sys);
  EXPECT_EQ(sys.error().kind(), ErrorKind::kUsage);
  EXPECT_EQ(sys.error().to_string(), "user header key \"_records\" may not start with '_'");
  auto empty = h.set_user("", "9");
  TARVEL_ASSERT_ERROR(empty);
  EXPECT_EQ(empty.error().to_string(), "invalid header key \"\"");
  EXPECT_EQ(h.entries().size(), 2u);

  TARVEL_EXPECT_OK(h.set("_records", "9"));
  TARVEL_EXPECT_OK(h.set_user("site", "x"));
  EXPECT_EQ(h.entries().size(), 4u);
}

TEST(HeadersRender, ExactFitPaddingAndZoneFull) {
  Headers h;
  TARVEL_ASSERT_OK(h.set("a", "1"));
  auto exact = h.render(5);
  TARVEL_ASSERT_OK(exact);
  EXPECT_EQ(*exact, "a:1\n\n");
  auto padded = h.render(8);
  TARVEL_ASSERT_OK(padded);
  EXPECT_EQ(*padded, "a:1\n\n\0\0\0"s);
  auto full = h.render(4);
  TARVEL_ASSERT_ERROR(full);
  EXPECT_EQ(full.error().kind(), ErrorKind::kZoneFull);
  EXPECT_EQ(full.error().need(), 5u);
  EXPECT_EQ(full.error().have(), 4u);
  EXPECT_EQ(full.error().to_string(), "headers need 5 bytes, the zone holds 4");

  EXPECT_EQ(*Headers().render(3), "\n\0\0"s);
}

TEST(HeadersRender, RoundTripsValuesThatNeedEscaping) {
  Headers h;
  TARVEL_ASSERT_OK(h.set("_schema", "two\nlines \\ and: colons\r"));
  TARVEL_ASSERT_OK(h.set("empty", ""));
  TARVEL_ASSERT_OK(h.set("utf8", "\xC3\xA9\xE2\x82\xAC"));
  auto zone = h.render(4096);
  TARVEL_ASSERT_OK(zone);
  ASSERT_EQ(zone->size(), 4096u);
  auto back = Headers::parse(*zone);
  TARVEL_ASSERT_OK(back);
  EXPECT_EQ(*back, h);
}

// A buffer kept across renders holds the last zone; a new render must
// replace every byte of it, escapes and padding alike.
TEST(HeadersRender, IntoAKeptBufferGivesTheSameZone) {
  std::string kept(64, 'x');
  for (std::string value : {"plain"s, ""s, "\n"s, "\\"s, "a\n\\b\\\n"s, "\\\\n\n\n"s}) {
    SCOPED_TRACE(escape_value(value));
    Headers h;
    TARVEL_ASSERT_OK(h.set("k", value));
    TARVEL_ASSERT_OK(h.render_into(32, &kept));
    std::string want = "k:" + escape_value(value) + "\n\n";
    want.resize(32, '\0');
    EXPECT_EQ(kept, want);
    EXPECT_EQ(*h.render(32), want);
  }
  Headers h;
  TARVEL_ASSERT_OK(h.set("k", std::string(40, 'v')));
  EXPECT_EQ(h.render_into(32, &kept).error().to_string(), "headers need 44 bytes, the zone holds 32");
}

TEST(HeadersParse, Successes) {
  struct Case {
    std::string zone;
    std::vector<Headers::Entry> entries;
  } cases[] = {
      {std::string(64, '\0'), {}},
      {"\na:1\n"s, {}},
      {""s, {}},
      {"a:1\n"s, {{"a", "1"}}},  // fills the zone exactly, no empty line
      {"a:1\n\0\0"s, {{"a", "1"}}},
      {"a:1\nb:x:y\n\nnot a header"s, {{"a", "1"}, {"b", "x:y"}}},
      {"a:1\na:2\n\n"s, {{"a", "1"}, {"a", "2"}}},
      {"a: 1 \r\n\n"s, {{"a", " 1 \r"}}},
      {"a:end\\\nb:\\t\n\n"s, {{"a", "end"}, {"b", "t"}}},
      {"a:1\n\0junk without colon"s, {{"a", "1"}}},
  };
  for (const Case& c : cases) {
    auto h = Headers::parse(c.zone);
    TARVEL_ASSERT_OK(h) << ::testing::PrintToString(c.zone);
    EXPECT_EQ(h->entries(), c.entries) << ::testing::PrintToString(c.zone);
  }
}

TEST(HeadersParse, DuplicateKeysGetAndSetTakeTheFirst) {
  auto h = Headers::parse("k:1\nk:2\n\n");
  TARVEL_ASSERT_OK(h);
  EXPECT_EQ(*h->get("k"), "1");
  TARVEL_ASSERT_OK(h->set("k", "3"));
  EXPECT_EQ(h->entries()[0].value, "3");
  EXPECT_EQ(h->entries()[1].value, "2");
}

TEST(HeadersParse, Failures) {
  struct Case {
    std::string zone;
    ErrorKind kind;
    const char* message;
  } cases[] = {
      {"a:1"s, ErrorKind::kMalformed, "header zone has no empty-line terminator"},
      {"a:1\nb:2"s, ErrorKind::kMalformed, "header zone has no empty-line terminator"},
      {"a:1\0\0"s, ErrorKind::kMalformed, "header zone has no empty-line terminator"},
      {"a:1\nno colon\t\"here\"\n\n"s, ErrorKind::kMalformed,
       "header line without ':': \"no colon\\t\\\"here\\\"\""},
      {"Key:1\n\n"s, ErrorKind::kUsage, "invalid header key \"Key\""},
      {" a:1\n\n"s, ErrorKind::kUsage, "invalid header key \" a\""},
      {":1\n\n"s, ErrorKind::kUsage, "invalid header key \"\""},
      {"a:1\n\n\0\0\xFF\0"s, ErrorKind::kMalformed,
       "header zone is not UTF-8: invalid utf-8 sequence of 1 bytes from index 7"},
      {"a:\xE2\x82x\n\n"s, ErrorKind::kMalformed,
       "header zone is not UTF-8: invalid utf-8 sequence of 2 bytes from index 2"},
      {"a:1\n\n\0\xE2\x82"s, ErrorKind::kMalformed,
       "header zone is not UTF-8: incomplete utf-8 byte sequence from index 6"},
  };
  for (const Case& c : cases) {
    auto h = Headers::parse(c.zone);
    TARVEL_ASSERT_ERROR(h) << c.message;
    EXPECT_EQ(h.error().kind(), c.kind) << c.message;
    EXPECT_EQ(h.error().to_string(), c.message);
  }
}

// ---- peek_headers ----

class PeekHeadersTest : public ::testing::Test {
 protected:
  std::string write(const std::string& bytes) {
    std::string path = dir_.file("c.tarvel");
    testing::write_file(path, bytes);
    return path;
  }
  testing::ScratchDir dir_;
};

TEST_F(PeekHeadersTest, ReadsPreambleAndZoneOnly) {
  Headers h;
  TARVEL_ASSERT_OK(h.set("_schema", "ticks"));
  TARVEL_ASSERT_OK(h.set("site", "north"));
  // Whatever follows the zone is not looked at.
  std::string path = write(preamble_bytes(1, 1, 64) + *h.render(64) + "\xFF\xFF data");
  auto got = peek_headers(path);
  TARVEL_ASSERT_OK(got);
  EXPECT_EQ(got->first, (Preamble{1, 1, 64}));
  EXPECT_EQ(got->second, h);
}

TEST_F(PeekHeadersTest, Failures) {
  struct Case {
    std::string bytes;
    const char* message;
  } cases[] = {
      {"TARVEL\1\0"s, "failed to fill whole buffer"},
      {""s, "failed to fill whole buffer"},
      {preamble_bytes(1, 1, 4096), "header zone claims 4096 bytes but the file is 16 bytes"},
      {preamble_bytes(1, 1, 8) + "a:1\n"s, "header zone claims 8 bytes but the file is 20 bytes"},
      {preamble_bytes(3, 1, 8) + "a:1\n\n\0\0\0"s, "unsupported tarvel version 3"},
      {preamble_bytes(1, 1, 8) + "A:1\n\n\0\0\0"s, "invalid header key \"A\""},
  };
  for (const Case& c : cases) {
    auto got = peek_headers(write(c.bytes));
    TARVEL_ASSERT_ERROR(got) << c.message;
    EXPECT_EQ(got.error().to_string(), c.message);
  }
}

TEST_F(PeekHeadersTest, OpenFailureCarriesThePath) {
  std::string path = dir_.file("missing.tarvel");
  auto got = peek_headers(path);
  TARVEL_ASSERT_ERROR(got);
  EXPECT_EQ(got.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(got.error().path(), path);
  EXPECT_EQ(got.error().to_string(), path + ": No such file or directory (os error 2)");
}

TEST_F(PeekHeadersTest, ShortReadCarriesNoPath) {
  auto got = peek_headers(write("TARVEL"));
  TARVEL_ASSERT_ERROR(got);
  EXPECT_EQ(got.error().kind(), ErrorKind::kIo);
  EXPECT_FALSE(got.error().path().has_value());
}

}  // namespace
}  // namespace tarvel
