#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>

#include "container/internal/preview.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

struct F64Case {
  double v;
  std::string text;
};

void PrintTo(const F64Case& c, std::ostream* os) {
  *os << std::setprecision(17) << c.v;
}

class FormatF64Test : public ::testing::TestWithParam<F64Case> {};

TEST_P(FormatF64Test, ShortestDigitsInPlainNotation) {
  EXPECT_EQ(format_f64(GetParam().v), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatF64Test,
    ::testing::Values(
        F64Case{3.0, "3"}, F64Case{1.0, "1"}, F64Case{2.5, "2.5"}, F64Case{0.1, "0.1"},
        F64Case{-1.5, "-1.5"}, F64Case{0.0, "0"}, F64Case{-0.0, "-0"},
        F64Case{1e21, "1000000000000000000000"}, F64Case{1e23, "100000000000000000000000"},
        F64Case{1e-7, "0.0000001"}, F64Case{123.456, "123.456"}, F64Case{0.3, "0.3"},
        F64Case{0.1 + 0.2, "0.30000000000000004"}, F64Case{1234567.0, "1234567"},
        F64Case{9007199254740993.0, "9007199254740992"},
        F64Case{5e-324, "0." + std::string(323, '0') + "5"},
        F64Case{1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
        F64Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        F64Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        F64Case{INFINITY, "inf"}, F64Case{-INFINITY, "-inf"}),
    [](const ::testing::TestParamInfo<F64Case>& param_info) {
      return std::to_string(param_info.index);
    });

// Little-endian bytes of "v", "width" of them.
std::string le(uint64_t v, size_t width) {
  std::string out;
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

std::string f64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  return le(bits, 8);
}

TEST(PreviewTest, EachFieldTypeRenders) {
  Schema schema = fixed_schema(
      39, {{"a", "u8", 0}, {"b", "u16", 1}, {"c", "u32", 3}, {"d", "u64", 7}, {"e", "i64", 15},
           {"f", "f64", 23}, {"g", "uuid", 23}, {"h", "U8", 0}, {"i", "u128", 0}, {"j", "u8", 39}});
  std::string r = le(255, 1) + le(65535, 2) + le(4294967295u, 4) + le(UINT64_MAX, 8) +
                  le(static_cast<uint64_t>(INT64_MIN), 8) + f64(2.5) + rec(8, 8);
  ASSERT_EQ(r.size(), 39u);
  EXPECT_EQ(preview_text(r, schema),
            "255,65535,4294967295,18446744073709551615,-9223372036854775808,2.5,"
            "00000000000004400809" "0a0b0c0d0e0f,?,?,?");
}

TEST(PreviewTest, UuidInStoredOrder) {
  Schema schema = fixed_schema(16, {{"id", "uuid", 0}});
  EXPECT_EQ(preview_text(rec(16), schema), "000102030405060708090a0b0c0d0e0f");
}

TEST(PreviewTest, FieldRunningPastTheRecordIsUnknown) {
  // A u32 three bytes before the end of a prefixed body of 10 bytes.
  Schema schema = prefixed_schema({{"a", "u8", 0}, {"b", "u32", 7}, {"c", "u16", 8}});
  std::string tail = std::string("\x0a\x00", 2) + rec(10, 1);
  EXPECT_EQ(preview_text(tail, schema), "1,?,2569");
}

TEST(PreviewTest, AtMostThreeRecords) {
  Schema schema = fixed_schema(1, {{"a", "u8", 0}});
  EXPECT_EQ(preview_text(rec(5, 1), schema), "1;2;3");
  EXPECT_EQ(preview_text(rec(2, 1), schema), "1;2");
  EXPECT_EQ(preview_text("", schema), "");
  // Torn bytes are ignored; no fields give empty record texts.
  EXPECT_EQ(preview_text(rec(3), fixed_schema(2, {{"a", "u8", 0}})), "0");
  EXPECT_EQ(preview_text(rec(6), fixed_schema(2)), ";;");
  EXPECT_EQ(preview_text(rec(6), fixed_schema(0, {{"a", "u8", 0}})), "");
  // Prefixed: whole records only, the walk stopping at a torn one.
  Schema prefixed = prefixed_schema({{"a", "u8", 0}});
  auto one = [](char byte) { return std::string("\x01\x00", 2) + byte; };
  EXPECT_EQ(preview_text(one(5) + one(6) + one(7) + one(8) + one(9), prefixed), "5;6;7");
  EXPECT_EQ(preview_text(one(5) + one(7) + std::string("\x05\x00\x01", 3), prefixed), "5;7");
  EXPECT_EQ(preview_text(std::string("\x00\x00", 2) + one(4), prefixed), "?;4");
}

TEST(PreviewTest, TextOverTheLimitIsReplacedByTheFirstRecord) {
  // A u8 and 169 fields of an unknown type: "255,?,...,?" is 341 bytes.
  std::vector<FieldSpec> fields{{"a", "u8", 0}};
  fields.resize(170, FieldSpec{"x", "bool", 0});
  Schema schema = fixed_schema(1, fields);
  std::string rest;
  for (int i = 0; i < 169; ++i) rest += ",?";
  const std::string at_limit = "255" + rest + ";255" + rest + ";55" + rest;
  ASSERT_EQ(at_limit.size(), 1024u);
  EXPECT_EQ(preview_text("\xff\xff\x37", schema), at_limit);
  EXPECT_EQ(preview_text("\xff\xfe\xfd", schema), "255" + rest);
}

}  // namespace
}  // namespace tarvel::testing
