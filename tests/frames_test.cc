#include "container/frames.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/result_assertions.h"

namespace tarvel {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

TEST(RenderFrames, HashPresentAndAbsent) {
  EXPECT_EQ(render_frames({}), "");
  EXPECT_EQ(render_frames({{7, 0, 4096, 255}, {8, 4096, 12, 0}}),
            "7,0,4096,00000000000000ff;8,4096,12");
  EXPECT_EQ(render_frames({{kMax, kMax, kMax, kMax}}),
            "18446744073709551615,18446744073709551615,18446744073709551615,ffffffffffffffff");
}

TEST(ParseFrames, Accepts) {
  struct Case {
    const char* text;
    std::vector<Frame> frames;
  } cases[] = {
      {"", {}},
      {";", {}},
      {";;", {}},
      {";;1,0,5;;", {{1, 0, 5, 0}}},
      {"1,0,5,", {{1, 0, 5, 0}}},
      {"1,0,5,0", {{1, 0, 5, 0}}},
      {"+1,+0,+5,+FF", {{1, 0, 5, 255}}},
      {"1,0,5,000000000000000000ff", {{1, 0, 5, 255}}},
      {"1,0,5,aBcDeF0123456789", {{1, 0, 5, 0xabcdef0123456789ULL}}},
      {"007,0,5", {{7, 0, 5, 0}}},
      {"18446744073709551615,0,0,ffffffffffffffff", {{kMax, 0, 0, kMax}}},
      // Out of order, overlapping and repeated ids are taken as they stand.
      {"2,100,10;2,0,200;1,50,0", {{2, 100, 10, 0}, {2, 0, 200, 0}, {1, 50, 0, 0}}},
  };
  for (const Case& c : cases) {
    auto f = parse_frames(c.text);
    TARVEL_ASSERT_OK(f) << c.text;
    EXPECT_EQ(*f, c.frames) << c.text;
  }
}

TEST(ParseFrames, Rejects) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"1,0", "bad frame \"1,0\": cannot parse integer from empty string"},
      {"1", "bad frame \"1\": cannot parse integer from empty string"},
      {",0,5", "bad frame \",0,5\": cannot parse integer from empty string"},
      {"1,0,,ff", "bad frame \"1,0,,ff\": cannot parse integer from empty string"},
      {"1, 0,5", "bad frame \"1, 0,5\": invalid digit found in string"},
      {"1,0,5,1,2", "bad frame \"1,0,5,1,2\": invalid digit found in string"},
      {"1,-0,5", "bad frame \"1,-0,5\": invalid digit found in string"},
      {"+,0,5", "bad frame \"+,0,5\": invalid digit found in string"},
      {"1+,0,5", "bad frame \"1+,0,5\": invalid digit found in string"},
      {"++1,0,5", "bad frame \"++1,0,5\": invalid digit found in string"},
      {"0x1,0,5", "bad frame \"0x1,0,5\": invalid digit found in string"},
      {"1,0,5,0xff", "bad frame \"1,0,5,0xff\": invalid digit found in string"},
      {"1,0,5,+", "bad frame \"1,0,5,+\": invalid digit found in string"},
      {"1,0,ff", "bad frame \"1,0,ff\": invalid digit found in string"},
      {"18446744073709551616,0,0", "bad frame \"18446744073709551616,0,0\": number too large to fit in target type"},
      {"1,0,5,10000000000000000", "bad frame \"1,0,5,10000000000000000\": number too large to fit in target type"},
      // The first entry that fails is named; earlier ones do not survive.
      {"1,0,5;2,5,x;3,y,1", "bad frame \"2,5,x\": invalid digit found in string"},
      // Fields are read in order: the id's fault is reported, not the len's.
      {"x,0,", "bad frame \"x,0,\": invalid digit found in string"},
  };
  for (const Case& c : cases) {
    auto f = parse_frames(c.text);
    TARVEL_ASSERT_ERROR(f) << c.text;
    EXPECT_EQ(f.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(f.error().to_string(), c.message);
  }
}

TEST(ParseFrames, RoundTripsRenderedLists) {
  const std::vector<Frame> lists[] = {
      {},
      {{7, 0, 4096, 255}, {8, 4096, 12, 0}},
      {{0, 0, 0, 0}, {kMax, kMax, kMax, kMax}, {3, 1, 2, 1}},
  };
  for (const auto& frames : lists) {
    auto back = parse_frames(render_frames(frames));
    TARVEL_ASSERT_OK(back);
    EXPECT_EQ(*back, frames);
  }
  EXPECT_EQ(render_frames(*parse_frames("1,0,5,")), "1,0,5");
  EXPECT_EQ(render_frames(*parse_frames("1,0,5,0")), "1,0,5");
}

TEST(CheckFramesFit, Cases) {
  struct Case {
    std::vector<Frame> frames;
    uint64_t data_start;
    uint64_t file_len;
    const char* message;  // nullptr: fits
  } cases[] = {
      {{}, 4112, 4112, nullptr},
      {{{1, 0, 888, 0}}, 4112, 5000, nullptr},
      {{{1, 0, 889, 0}}, 4112, 5000, "frame 1 ends at 5001 but the file is 5000 bytes"},
      {{{1, 888, 0, 0}}, 4112, 5000, nullptr},
      {{{1, 889, 0, 0}}, 4112, 5000, "frame 1 ends at 5001 but the file is 5000 bytes"},
      // Overlapping and out of order frames pass while each ends in the file.
      {{{2, 500, 100, 0}, {1, 0, 888, 0}, {3, 0, 10, 0}}, 4112, 5000, nullptr},
      {{{1, 0, 10, 0}, {9, 0, 889, 0}, {8, kMax, 0, 0}}, 4112, 5000,
       "frame 9 ends at 5001 but the file is 5000 bytes"},
      {{{5, kMax, 0, 0}}, 16, kMax, "frame 5 overflows a u64 offset"},
      {{{5, kMax - 16, 0, 0}}, 16, kMax, nullptr},
      {{{6, kMax - 16, 1, 0}}, 16, kMax, "frame 6 overflows a u64 offset"},
      {{{6, 0, kMax, 0}}, 16, kMax, "frame 6 overflows a u64 offset"},
  };
  for (const Case& c : cases) {
    Status s = check_frames_fit(c.frames, c.data_start, c.file_len);
    if (c.message == nullptr) {
      TARVEL_EXPECT_OK(s) << render_frames(c.frames);
      continue;
    }
    TARVEL_ASSERT_ERROR(s) << c.message;
    EXPECT_EQ(s.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(s.error().to_string(), c.message);
  }
}

TEST(TailStart, FurthestEndSaturating) {
  EXPECT_EQ(tail_start({}, 4112), 4112u);
  EXPECT_EQ(tail_start({{1, 0, 100, 0}, {2, 100, 50, 0}}, 4112), 4262u);
  // The entry that ends furthest decides, wherever it stands in the list.
  EXPECT_EQ(tail_start({{1, 1000, 100, 0}, {2, 0, 50, 0}}, 4112), 5212u);
  EXPECT_EQ(tail_start({{1, 0, 400, 0}, {2, 0, 0, 0}}, 4112), 4512u);
  EXPECT_EQ(tail_start({{1, kMax, 1, 0}}, 4112), kMax);
  EXPECT_EQ(tail_start({{1, kMax - 4112, 0, 0}}, 4112), kMax);
  EXPECT_EQ(tail_start({{1, kMax - 4112, 1, 0}}, 4112), kMax);
}

}  // namespace
}  // namespace tarvel
