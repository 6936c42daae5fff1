#include "container/internal/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tarvel {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Quoted, Cases) {
  struct Case {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"", R"("")"},
      {"run7", R"("run7")"},
      // Short escapes; the single quote stays as it is.
      {"a\tb\"c'd", R"("a\tb\"c'd")"},
      {std::string("\0\n\r\\", 4), R"("\0\n\r\\")"},
      // Controls and other characters that are not printable.
      {"\x01", R"("\u{1}")"},
      {"\x1f", R"("\u{1f}")"},
      {"\x7f", R"("\u{7f}")"},
      {"\xC2\x85", R"("\u{85}")"},            // U+0085, a C1 control
      {"\xC2\xA0", R"("\u{a0}")"},            // NO-BREAK SPACE (Zs)
      {"\xC2\xAD", R"("\u{ad}")"},            // SOFT HYPHEN (Cf)
      {"\xCD\xB8", R"("\u{378}")"},           // unassigned (Cn)
      {"\xE2\x80\x8B", R"("\u{200b}")"},      // ZERO WIDTH SPACE (Cf)
      {"\xE2\x80\xA8", R"("\u{2028}")"},      // LINE SEPARATOR (Zl)
      {"\xE2\x80\xA9", R"("\u{2029}")"},      // PARAGRAPH SEPARATOR (Zp)
      {"\xE3\x80\x80", R"("\u{3000}")"},      // IDEOGRAPHIC SPACE (Zs)
      {"\xEE\x80\x80", R"("\u{e000}")"},      // private use (Co)
      {"\xEF\xBB\xBF", R"("\u{feff}")"},      // BYTE ORDER MARK (Cf)
      {"\xF3\xA0\x80\x81", R"("\u{e0001}")"},  // LANGUAGE TAG (Cf)
      {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},  // noncharacter (Cn)
      // Grapheme_Extend is escaped even where the category is printable.
      {"e\xCC\x81", R"("e\u{301}")"},         // COMBINING ACUTE ACCENT (Mn)
      {"\xEF\xB8\x8F", R"("\u{fe0f}")"},      // VARIATION SELECTOR-16 (Mn)
      {"\xEF\xBE\x9E", R"("\u{ff9e}")"},      // HALFWIDTH KATAKANA VOICED SOUND MARK (Lm)
      {"\xE2\x80\x8C", R"("\u{200c}")"},      // ZERO WIDTH NON-JOINER (Cf)
      // Printable characters are written as themselves.
      {"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},      // été
      {"\xE0\xA4\x83", "\"\xE0\xA4\x83\""},                // U+0903, a spacing mark (Mc)
      {"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},                // U+FFFD
      {"\xE6\xBC\xA2\xE5\xAD\x97", "\"\xE6\xBC\xA2\xE5\xAD\x97\""},  // 漢字
      {"\xE3\x90\x80", "\"\xE3\x90\x80\""},                // U+3400, first of a ranged block
      {"\xED\x9E\xA3", "\"\xED\x9E\xA3\""},                // U+D7A3, last Hangul syllable
      {"\xF0\xAA\x9B\x9F", "\"\xF0\xAA\x9B\x9F\""},        // U+2A6DF, last of a ranged block
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},        // U+1F600, an emoji
      // Ill-formed bytes read as U+FFFD, which is printable.
      {"a\xFF" "b", "\"a" + kFffd + "b\""},
  };
  for (const Case& c : cases) EXPECT_EQ(tarvel::quoted(c.text), c.quoted) << c.quoted;
}

TEST(UnicodeTables, Boundaries) {
  struct Case {
    char32_t c;
    bool printable;
    bool extend;
  } cases[] = {
      {0x00, false, false},     {0x1F, false, false},   {0x20, true, false},
      {0x7E, true, false},      {0x7F, false, false},   {0x80, false, false},
      {0x9F, false, false},     {0xA0, false, false},   {0xA1, true, false},
      {0x2FF, true, false},     {0x300, true, true},    {0x36F, true, true},
      {0x370, true, false},     {0xD800, false, false}, {0xDFFF, false, false},
      {0x20000, true, false},   {0x2A6E0, false, false}, {0xE0100, true, true},
      {0xE01EF, true, true},   {0xE01F0, false, false}, {0xF0000, false, false},
      {0x10FFFD, false, false}, {0x110000, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_printable(c.c), c.printable) << std::hex << static_cast<uint32_t>(c.c);
    EXPECT_EQ(is_grapheme_extend(c.c), c.extend) << std::hex << static_cast<uint32_t>(c.c);
  }
}

// Each maximal ill-formed subpart becomes exactly one U+FFFD.
TEST(DisplayPath, ReplacesMaximalSubparts) {
  const std::string r = kFffd;
  struct Case {
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"data/run7.tarvel", "data/run7.tarvel"},
      {"../r\xC3\xA9sum\xC3\xA9 \"x\"\t", "../r\xC3\xA9sum\xC3\xA9 \"x\"\t"},
      {"run\xFF.tarvel", "run" + r + ".tarvel"},
      {"\x80\x80", r + r},
      {"\xC0\xAF", r + r},                // overlong lead, then a lone continuation
      {"\xE0\x80\x80", r + r + r},        // overlong three-byte form
      {"\xED\xA0\x80", r + r + r},        // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF5", r},
      {"a\xE2\x82", "a" + r},             // valid prefix cut by the end
      {"\xE2\x82" "A", r + "A"},
      {"\xF0\x9F\x98" "x", r + "x"},
      {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d",
       "a" + r + r + r + "b" + r + "c" + r + r + "d"},
  };
  for (const Case& c : cases) EXPECT_EQ(display_path(c.bytes), c.shown) << c.shown;
}

TEST(CheckUtf8, FirstErrorAndItsLength) {
  struct Case {
    std::string bytes;
    bool valid;
    size_t index;
    size_t bad_len;
    bool incomplete;
  } cases[] = {
      {"", true, 0, 0, false},
      {"k=v\n\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80", true, 0, 0, false},
      {"ab\xFF", false, 2, 1, false},
      {"\xC3\xA9\x80", false, 2, 1, false},
      {"\xED\xA0\x80", false, 0, 1, false},  // ED admits only 80..9F next
      {"a\xE2\x82" "A", false, 1, 2, false},
      {"\xF0\x9F\x98" "X", false, 0, 3, false},
      {"\xFF\xE2\x82", false, 0, 1, false},  // the first error decides
      {"\xC2", false, 0, 1, true},
      {"a\xE2\x82", false, 1, 2, true},
      {"ok\xF0\x9F\x98", false, 2, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(display_path(c.bytes));
    Utf8Check got = check_utf8(c.bytes);
    EXPECT_EQ(got.valid, c.valid);
    if (c.valid) continue;
    EXPECT_EQ(got.index, c.index);
    EXPECT_EQ(got.bad_len, c.bad_len);
    EXPECT_EQ(got.incomplete, c.incomplete);
  }
}

TEST(NumberForms, HexAndZeroPadded) {
  EXPECT_EQ(hex16(0), "0000000000000000");
  EXPECT_EQ(hex16(255), "00000000000000ff");
  EXPECT_EQ(hex16(UINT64_MAX), "ffffffffffffffff");
  EXPECT_EQ(hex_prefixed18(0), "0x0000000000000000");
  EXPECT_EQ(hex_prefixed18(0xDEADBEEF), "0x00000000deadbeef");
  EXPECT_EQ(hex_prefixed18(UINT64_MAX), "0xffffffffffffffff");
  EXPECT_EQ(zero_padded(7, 4), "0007");
  EXPECT_EQ(zero_padded(0, 2), "00");
  EXPECT_EQ(zero_padded(12345, 4), "12345");
  EXPECT_EQ(zero_padded(UINT64_MAX, 2), "18446744073709551615");
}

TEST(ParseUint, ReasonTexts) {
  EXPECT_STREQ(int_error_text(IntError::kEmpty), "cannot parse integer from empty string");
  EXPECT_STREQ(int_error_text(IntError::kInvalidDigit), "invalid digit found in string");
  EXPECT_STREQ(int_error_text(IntError::kTooLarge), "number too large to fit in target type");
}

TEST(ParseUint, Cases) {
  constexpr uint64_t kU32 = 4294967295u;
  constexpr IntError kEmpty = IntError::kEmpty;
  constexpr IntError kInvalid = IntError::kInvalidDigit;
  constexpr IntError kTooLarge = IntError::kTooLarge;
  struct Case {
    const char* text;
    int radix;
    uint64_t max;
    bool ok;
    uint64_t value;  // when ok
    IntError error;  // when !ok
  } cases[] = {
      {"16", 10, kU32, true, 16, kEmpty},
      {"+16", 10, kU32, true, 16, kEmpty},
      {"0016", 10, kU32, true, 16, kEmpty},
      {"4294967295", 10, kU32, true, kU32, kEmpty},
      {"18446744073709551615", 10, UINT64_MAX, true, UINT64_MAX, kEmpty},
      {"", 10, kU32, false, 0, kEmpty},
      {"+", 10, kU32, false, 0, kInvalid},
      {"-", 10, kU32, false, 0, kInvalid},
      {"-16", 10, kU32, false, 0, kInvalid},
      {"++1", 10, kU32, false, 0, kInvalid},
      {"1+", 10, kU32, false, 0, kInvalid},
      {" 1", 10, kU32, false, 0, kInvalid},
      {"1 ", 10, kU32, false, 0, kInvalid},
      {"1a", 10, kU32, false, 0, kInvalid},
      {"0x10", 10, UINT64_MAX, false, 0, kInvalid},
      {"4294967296", 10, kU32, false, 0, kTooLarge},
      {"18446744073709551616", 10, UINT64_MAX, false, 0, kTooLarge},
      // Left to right, the first failure met decides.
      {"99999999999x", 10, kU32, false, 0, kTooLarge},
      {"1x99999999999", 10, kU32, false, 0, kInvalid},
      // A single digit already past a small maximum.
      {"9", 10, 5, false, 0, kTooLarge},
      {"5", 10, 5, true, 5, kEmpty},
      // Hexadecimal: either case, leading zeros, no prefix.
      {"ff", 16, UINT64_MAX, true, 255, kEmpty},
      {"+dEaD", 16, UINT64_MAX, true, 0xDEAD, kEmpty},
      {"0000000000000000ff", 16, UINT64_MAX, true, 255, kEmpty},
      {"ffffffffffffffff", 16, UINT64_MAX, true, UINT64_MAX, kEmpty},
      {"10000000000000000", 16, UINT64_MAX, false, 0, kTooLarge},
      {"0x1", 16, UINT64_MAX, false, 0, kInvalid},
      {"g", 16, UINT64_MAX, false, 0, kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " radix " + std::to_string(c.radix));
    ParsedUint got = parse_uint(c.text, c.radix, c.max);
    ASSERT_EQ(got.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(got.value, c.value);
    } else {
      EXPECT_STREQ(int_error_text(got.error), int_error_text(c.error));
    }
  }
}

}  // namespace
}  // namespace tarvel
