#include "container/schema.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {
namespace {

struct CursorCase {
  const char* name;
  RecordLayout layout;
  std::string_view run;
  std::vector<std::string_view> records;
  size_t left;     // torn bytes after the last whole record
  size_t missing;  // bytes that would complete the next record
};

void PrintTo(const CursorCase& c, std::ostream* os) { *os << c.name; }

class RecordCursorTest : public ::testing::TestWithParam<CursorCase> {};

// next() hands out the whole records and stops at the torn rest; skip_all
// walks the same records; missing() says how many more bytes the rest needs
// before it holds a record (a cut prefix first).
TEST_P(RecordCursorTest, WalksWholeRecordsAndMeasuresTheRest) {
  const CursorCase& c = GetParam();
  RecordCursor cursor(c.run, c.layout);
  std::vector<std::string_view> records;
  while (const std::optional<std::string_view> record = cursor.next()) records.push_back(*record);
  EXPECT_EQ(records, c.records);
  EXPECT_EQ(cursor.left(), c.left);
  EXPECT_EQ(cursor.pos(), c.run.size() - c.left);
  EXPECT_EQ(cursor.missing(), c.missing);

  RecordCursor skipping(c.run, c.layout);
  EXPECT_EQ(skipping.skip_all(), c.records.size());
  EXPECT_EQ(skipping.pos(), cursor.pos());
  EXPECT_EQ(whole_records_len(c.run, c.layout), cursor.pos());
}

using std::string_view_literals::operator""sv;

INSTANTIATE_TEST_SUITE_P(
    Runs, RecordCursorTest,
    ::testing::Values(
        CursorCase{"PrefixedEmptyRun", RecordLayout::prefixed(), ""sv, {}, 0, 2},
        CursorCase{"PrefixedCutInItsPrefix", RecordLayout::prefixed(),
                   "\x02\x00" "AB\x00\x00\x05"sv, {"AB"sv, ""sv}, 1, 1},
        CursorCase{"PrefixedCutInItsBody", RecordLayout::prefixed(), "\x03\x00" "AB"sv, {}, 4, 1},
        CursorCase{"PrefixedEndingWhole", RecordLayout::prefixed(), "\x01\x00" "A"sv, {"A"sv}, 0,
                   2},
        CursorCase{"PrefixedLongestBody", RecordLayout::prefixed(), "\xFF\xFF" "A"sv, {}, 3,
                   65534},
        CursorCase{"FixedCut", RecordLayout::fixed(4), "abcdefghij"sv, {"abcd"sv, "efgh"sv}, 2, 2},
        CursorCase{"FixedEndingWhole", RecordLayout::fixed(2), "abcd"sv, {"ab"sv, "cd"sv}, 0, 2},
        CursorCase{"FixedSizeZeroHoldsNone", RecordLayout::fixed(0), "abc"sv, {}, 3, 0}),
    [](const ::testing::TestParamInfo<CursorCase>& c) { return c.param.name; });

}  // namespace
}  // namespace tarvel
