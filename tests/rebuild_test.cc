#include "container/rebuild.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>

#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/text.h"
#include "container/internal/tool_access.h"
#include "container/validate.h"
#include "tests/counting_env.h"
#include "tests/fault_env.h"
#include "tests/test_util.h"
#include "tests/tool_files.h"

namespace tarvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::CountingEnv;
using testing::FramePlan;
using testing::ScratchDir;

class RebuildTest : public ::testing::Test {
 protected:
  RebuildReport rebuild(bool fix) {
    auto report = rebuild_headers(path_, fix);
    TARVEL_EXPECT_OK(report);
    return report ? *report : RebuildReport{};
  }
  static std::string frames_difference(const std::vector<Frame>& stored,
                                       const std::vector<Frame>& derived) {
    return "_frames: " + tarvel::quoted(render_frames(stored)) + " -> " + tarvel::quoted(render_frames(derived));
  }
  // The file's bytes from the data section on.
  std::string data_section() {
    return testing::read_file(path_).substr(PREAMBLE_LEN + DEFAULT_HEADER_AREA);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("r.tarvel");
};

TEST_F(RebuildTest, FreshFileAgreesAndIsNotWritten) {
  testing::make_file(path_, testing::event_schema(), {});
  const std::string before = testing::read_file(path_);
  for (bool fix : {false, true}) {
    RebuildReport report = rebuild(fix);
    EXPECT_THAT(report.differences, IsEmpty());
    EXPECT_FALSE(report.fixed);
    EXPECT_EQ(testing::read_file(path_), before);
  }
}

TEST_F(RebuildTest, SoundFileWithTailAgrees) {
  testing::make_file(path_, testing::message_schema(), {{2, 3, 4}, {9, -3, 6}}, 3, false, "xy");
  RebuildReport report = rebuild(true);
  EXPECT_THAT(report.differences, IsEmpty());
  EXPECT_FALSE(report.fixed);
}


// The scan reads the data section once, front to back: a small frame's
// leftover window holds the frames after it, and a frame larger than the
// window continues where the window ended. Reads cut short anywhere (as a
// file layer may) must find the same frames, to the byte and checksum.
TEST_F(RebuildTest, ScanReadsEachByteOnceWhateverTheReadSizes) {
  const Schema schema = testing::event_schema(8);
  {
    auto made = Container::create(path_, schema, "t", "t", 0, 8192, {});
    TARVEL_ASSERT_OK(made);
    Container& c = *made;
    std::mt19937_64 rng(5);
    // Small frames, then one whose stored bytes outgrow a window (random
    // records do not compress), then small frames and a raw tail again.
    const uint64_t plan[] = {3, 1, 7, 2, 60000, 4, 1, 9};
    uint64_t id = 0;
    for (uint64_t records : plan) {
      for (uint64_t i = 0; i < records; ++i) {
        const uint64_t r = records > 1000 ? rng() : id * 100 + i;
        TARVEL_ASSERT_OK(c.append_record(std::string_view(reinterpret_cast<const char*>(&r), 8)));
      }
      TARVEL_ASSERT_OK(c.close_frame(id++, 3));
    }
    TARVEL_ASSERT_OK(c.append_record("tailtail"));
    ASSERT_GT(c.frames()[4].len, SCAN_WINDOW);
  }
  const uint64_t data_len = testing::read_file(path_).size() - PREAMBLE_LEN - 8192;
  // What the open alone reads (the preamble and the zone, and whatever
  // else it checks); the rest is the scan's.
  CountingEnv open_only(Env::posix());
  TARVEL_ASSERT_OK(ToolAccess::open_inner(path_, false, open_only));
  for (size_t max_read : {size_t{0}, size_t{1}, size_t{4093}, size_t{100000}}) {
    SCOPED_TRACE("reads of at most " + std::to_string(max_read) + " bytes");
    testing::FaultEnv faults;
    if (max_read != 0) faults.set_max_read(max_read);
    CountingEnv env(faults);
    auto report = rebuild_headers(path_, false, env);
    TARVEL_ASSERT_OK(report);
    EXPECT_THAT(report->differences, IsEmpty());
    // The scan reads the data section and, at most, a probe's few bytes
    // again per frame; the zone may be read once more to check that the
    // file did not change under the scan.
    EXPECT_LE(env.bytes_read, open_only.bytes_read + data_len + 8 * 3 + 8192);
  }
}

// A file of three zstd frames whose _frames is replaced by "listed"; the
// scan finds the three frames again and names them "ids".
struct IdCase {
  const char* name;
  std::vector<uint64_t> ids;  // the ids the frames were closed with
  std::function<std::vector<Frame>(std::vector<Frame>)> listed;
  std::vector<uint64_t> derived_ids;
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class RebuildIds : public RebuildTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(RebuildIds, DerivedListAndFix) {
  const IdCase& c = GetParam();
  std::vector<FramePlan> plans;
  for (uint64_t id : c.ids) plans.push_back({id, 3, 3});
  testing::make_file(path_, testing::event_schema(), plans, 2);
  const std::vector<Frame> truth = testing::stored_frames(path_);
  const std::vector<Frame> listed = c.listed(truth);
  testing::edit_header(path_, "_frames", render_frames(listed));
  std::vector<Frame> derived = truth;
  for (size_t i = 0; i < derived.size(); ++i) derived[i].id = c.derived_ids[i];
  const std::string data = data_section();

  EXPECT_THAT(rebuild(false).differences, ElementsAre(frames_difference(listed, derived)));
  RebuildReport fixed = rebuild(true);
  EXPECT_THAT(fixed.differences, ElementsAre(frames_difference(listed, derived)));
  EXPECT_TRUE(fixed.fixed);
  EXPECT_EQ(testing::stored_frames(path_), derived);
  EXPECT_EQ(data_section(), data);
  EXPECT_THAT(rebuild(false).differences, IsEmpty());
  auto check = validate(path_);
  TARVEL_ASSERT_OK(check);
  EXPECT_THAT(check->problems, IsEmpty());
  EXPECT_EQ(check->records, 11u);
}

std::vector<Frame> first(std::vector<Frame> frames, size_t n) {
  frames.resize(n);
  return frames;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RebuildIds,
    ::testing::Values(
        IdCase{"NoneListed", {10, 4, 7}, [](auto f) { return first(f, 0); }, {0, 1, 2}},
        IdCase{"MoreFoundThanListed", {10, 4, 7}, [](auto f) { return first(f, 1); }, {10, 11, 12}},
        IdCase{"FreshIdsAboveTheLargestListed", {5, 9, 2}, [](auto f) { return first(f, 2); }, {5, 9, 10}},
        IdCase{"LargestIdSaturates", {UINT64_MAX, 1, 2}, [](auto f) { return first(f, 1); },
               {UINT64_MAX, UINT64_MAX, UINT64_MAX}},
        IdCase{"ReverseOrder", {10, 4, 7},
               [](auto f) { return std::vector<Frame>(f.rbegin(), f.rend()); }, {10, 4, 7}},
        IdCase{"FewerFoundThanListed", {3, 8, 6},
               [](auto f) {
                 // The first frame listed as two halves: four entries for
                 // three frames, every one starting inside the scanned data.
                 // Each found frame keeps the id listed at its offset.
                 Frame half = f[0];
                 half.len /= 2;
                 Frame rest{8, half.len, f[0].len - half.len, 0};
                 return std::vector<Frame>{half, rest, {6, f[1].offset, f[1].len, 0}, {2, f[2].offset, f[2].len, 0}};
               },
               {3, 6, 2}},
        // Where several listed frames start at one offset, the first of
        // the found frame's length gives the id, then the first of any.
        IdCase{"SameOffsetPrefersTheSameLength", {10, 4, 7},
               [](auto f) {
                 Frame other = f[0];
                 other.id = 20;
                 other.len -= 1;
                 return std::vector<Frame>{f[2], other, f[0], f[1]};
               },
               {10, 4, 7}},
        IdCase{"SameOffsetTwiceTakesTheFirstListed", {10, 4, 7},
               [](auto f) {
                 Frame twice = f[0];
                 twice.id = 30;
                 return std::vector<Frame>{f[1], twice, f[2], f[0]};
               },
               {30, 4, 7}},
        IdCase{"HashesMissing", {1, 2, 3},
               [](auto f) {
                 for (Frame& e : f) e.hash = 0;
                 return f;
               },
               {1, 2, 3}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct CounterCase {
  const char* name;
  const char* key;
  const char* value;
  bool remove;
  const char* difference;
};

void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class RebuildCounters : public RebuildTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(RebuildCounters, ComparedAsTextAndFixed) {
  const CounterCase& c = GetParam();
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}, {2, 3, 3}}, 1);
  const Headers sound = testing::stored_headers(path_);
  testing::edit_header(path_, c.key, c.value, c.remove);

  EXPECT_THAT(rebuild(false).differences, ElementsAre(c.difference));
  EXPECT_TRUE(rebuild(true).fixed);
  Headers now = testing::stored_headers(path_);
  EXPECT_EQ(*now.get(c.key), *sound.get(c.key));
  // Every other header keeps its value.
  for (const auto& e : sound.entries()) {
    if (e.key != c.key) {
      EXPECT_EQ(*now.get(e.key), e.value) << e.key;
    }
  }
  EXPECT_THAT(rebuild(false).differences, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Counters, RebuildCounters,
    ::testing::Values(CounterCase{"RecordsMissing", "_records", "", true, "_records: 0 -> 5"},
                      CounterCase{"RecordsWithPlus", "_records", "+5", false, "_records: +5 -> 5"},
                      CounterCase{"RecordsNotANumber", "_records", "five", false, "_records: five -> 5"},
                      CounterCase{"BytesLeadingZero", "_bytes_raw", "040", false, "_bytes_raw: 040 -> 40"},
                      CounterCase{"BytesMissing", "_bytes_raw", "", true, "_bytes_raw: 0 -> 40"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(RebuildTest, LevelZeroFrameEndsTheScan) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}, {2, 0, 3}, {3, 3, 2}});
  const std::vector<Frame> listed = testing::stored_frames(path_);
  const std::string before = testing::read_file(path_);

  EXPECT_THAT(rebuild(false).differences,
              ElementsAre(frames_difference(listed, {listed[0]}), "_records: 7 -> 2",
                          "_bytes_raw: 56 -> 16"));
  // Written back, the derived list would lose frames 2 and 3 and their
  // records: the fix refuses instead.
  auto fixed = rebuild_headers(path_, true);
  TARVEL_ASSERT_ERROR(fixed);
  EXPECT_EQ(fixed.error().kind(), ErrorKind::kUsage);
  const std::string at = std::to_string(listed[1].offset);
  EXPECT_EQ(fixed.error().to_string(),
            "cannot fix the counting headers: frame 2 at offset " + at +
                " lies beyond the end of the frame scan at offset " + at +
                " (a frame stored at level 0 ends the scan); nothing was written");
  EXPECT_EQ(testing::read_file(path_), before);
}

TEST_F(RebuildTest, AllFramesAtLevelZeroAreNotDropped) {
  testing::make_file(path_, testing::message_schema(), {{4, 0, 2}, {5, 0, 2}});
  const std::string before = testing::read_file(path_);
  auto fixed = rebuild_headers(path_, true);
  TARVEL_ASSERT_ERROR(fixed);
  EXPECT_THAT(fixed.error().to_string(), ::testing::StartsWith("cannot fix the counting headers: frame 4 at offset 0 "));
  EXPECT_EQ(testing::read_file(path_), before);
}

// Bytes between two listed frames that are no zstd frame end the scan too;
// the refusal says so rather than blame a frame stored at level 0.
TEST_F(RebuildTest, GapEndsTheScan) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  const uint64_t gap_at = testing::stored_frames(path_)[0].len;
  auto frame = compress_frame(std::string(16, 'z'), 3);
  TARVEL_ASSERT_OK(frame);
  testing::write_file(path_, testing::read_file(path_) + "gap!" + *frame);
  testing::edit_header(path_, "_frames",
                       render_frames(testing::stored_frames(path_)) + ";2," +
                           std::to_string(gap_at + 4) + "," + std::to_string(frame->size()));
  const std::string refusal =
      "cannot fix the counting headers: frame 2 at offset " + std::to_string(gap_at + 4) +
      " lies beyond the end of the frame scan at offset " + std::to_string(gap_at) +
      " (no listed frame starts there: the bytes between the frames are not a zstd "
      "frame); nothing was written";
  // Also when the file is cut short inside frame 2: the gap's bytes would
  // become the raw tail.
  for (bool cut : {false, true}) {
    if (cut) testing::write_file(path_, testing::read_file(path_).substr(0, testing::read_file(path_).size() - 3));
    const std::string before = testing::read_file(path_);
    auto fixed = rebuild_headers(path_, true);
    TARVEL_ASSERT_ERROR(fixed);
    EXPECT_EQ(fixed.error().to_string(), refusal);
    EXPECT_EQ(testing::read_file(path_), before);
  }
}

// A file cut short (an interrupted copy, a full disk): the frames that are
// still whole are found and keep their ids, the differences name the frames
// that are gone, and the fix writes that list. The remains of a cut zstd
// frame are no records and are cut off; those of a frame stored at level 0
// are its first records and stay as the raw tail.
struct CutCase {
  const char* name;
  int32_t last_level;  // of the third of three frames of 5 records each
  size_t gone_from;    // the first frame the cut reaches
  uint64_t left;       // bytes of that frame the file still holds
  uint64_t tail_records;  // whole records of the remains kept as the tail
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class RebuildCut : public RebuildTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(RebuildCut, FramesThatAreThereAreKept) {
  const CutCase& c = GetParam();
  const Schema schema = testing::event_schema();
  testing::make_file(path_, schema, {{7, 3, 5}, {3, 5, 5}, {9, c.last_level, 5}});
  const std::vector<Frame> listed = testing::stored_frames(path_);
  const uint64_t data_start = PREAMBLE_LEN + DEFAULT_HEADER_AREA;
  const uint64_t cut_at = listed[c.gone_from].offset;
  const uint64_t len = data_start + cut_at + c.left;
  std::filesystem::resize_file(path_, len);
  const std::vector<Frame> kept(listed.begin(),
                               listed.begin() + static_cast<std::ptrdiff_t>(c.gone_from));

  std::string note;
  for (size_t i = c.gone_from; i < listed.size(); ++i) {
    note += note.empty() ? " (cut off by the end of the file: " : ", ";
    note += "frame " + std::to_string(listed[i].id) + " at offset " + std::to_string(listed[i].offset) +
            " ends at " + std::to_string(data_start + listed[i].offset + listed[i].len) +
            " but the file is " + std::to_string(len) + " bytes";
  }
  note += ")";
  const uint64_t records = 5 * c.gone_from;
  const std::vector<std::string> differences = {
      frames_difference(listed, kept) + note, "_records: 15 -> " + std::to_string(records),
      "_bytes_raw: 120 -> " + std::to_string(8 * records)};
  EXPECT_EQ(rebuild(false).differences, differences);
  EXPECT_EQ(testing::read_file(path_).size(), len);

  RebuildReport fixed = rebuild(true);
  EXPECT_EQ(fixed.differences, differences);
  EXPECT_TRUE(fixed.fixed);
  EXPECT_EQ(testing::stored_frames(path_), kept);
  const bool raw_remains = c.last_level == 0 && c.gone_from == 2;
  EXPECT_EQ(testing::read_file(path_).size(), data_start + cut_at + (raw_remains ? c.left : 0));

  // Every record of the frames that are there reads back, and so do the
  // whole records of the kept remains; the file is sound again.
  auto check = validate(path_);
  TARVEL_ASSERT_OK(check);
  EXPECT_THAT(check->problems, IsEmpty());
  EXPECT_EQ(check->records, records + c.tail_records);
  auto r = Container::open_read(path_);
  TARVEL_ASSERT_OK(r);
  std::string all;
  for (size_t i = 0; i < r->frames().size(); ++i) all += *r->read_frame_at(i);
  all += *r->read_tail();
  std::string expected;
  for (uint64_t i = 0; i < records + c.tail_records; ++i) expected += testing::record(schema, i);
  EXPECT_EQ(all, expected);
  EXPECT_THAT(rebuild(false).differences, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, RebuildCut,
    ::testing::Values(CutCase{"InsideAZstdFrame", 3, 2, 20, 0},
                      CutCase{"InsideTheZstdMagic", 3, 2, 2, 0},
                      CutCase{"AtTheStartOfTheLastFrame", 3, 2, 0, 0},
                      CutCase{"InsideTheFrameBeforeTheLast", 3, 1, 9, 0},
                      CutCase{"InsideARawFrame", 0, 2, 19, 2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The fix of a file cut short cuts off the remains of its zstd frame before
// it writes the zone. A crash at any call leaves a file that opens as it was
// or as the fix makes it, and a second fix repairs it the same way.
TEST_F(RebuildTest, CrashDuringTheFixOfACutFile) {
  testing::make_file(path_, testing::event_schema(), {{7, 3, 5}, {9, 3, 5}});
  const std::vector<Frame> listed = testing::stored_frames(path_);
  std::filesystem::resize_file(path_, PREAMBLE_LEN + DEFAULT_HEADER_AREA + listed[1].offset + 20);
  const std::string cut = testing::read_file(path_);
  TARVEL_ASSERT_OK(rebuild_headers(path_, true));
  const std::string fixed = testing::read_file(path_);
  testing::write_file(path_, cut);
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("crash at call " + std::to_string(n));
    testing::FaultEnv env;
    env.die_at(testing::FaultEnv::kAll, n);
    auto report = rebuild_headers(path_, true, env);
    const bool done = !env.failed();
    env.crash();
    if (done) {
      TARVEL_ASSERT_OK(report);
    }
    TARVEL_ASSERT_OK(rebuild_headers(path_, true)) << n;
    EXPECT_EQ(testing::read_file(path_), fixed);
    if (done) break;
    testing::write_file(path_, cut);
  }
}

TEST_F(RebuildTest, TornRecordInsideAFoundFrameFailsAndWritesNothing) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  auto stored = compress_frame(std::string(12, 'r'), 3);
  TARVEL_ASSERT_OK(stored);
  testing::write_file(path_, testing::read_file(path_) + *stored);
  const std::string before = testing::read_file(path_);
  const uint64_t at = testing::stored_frames(path_)[0].len;
  for (bool fix : {false, true}) {
    auto report = rebuild_headers(path_, fix);
    TARVEL_ASSERT_ERROR(report);
    EXPECT_EQ(report.error().kind(), ErrorKind::kMalformed);
    EXPECT_EQ(report.error().to_string(),
              "frame at offset " + std::to_string(at) + ": 4 torn bytes inside a closed frame");
  }
  EXPECT_EQ(testing::read_file(path_), before);
}

TEST_F(RebuildTest, TailThatLooksLikeAFrame) {
  // Two whole 8-byte records that begin with the zstd magic: the scan tries
  // them as a frame and fails with the decoding error.
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  const std::string tail = std::string("\x28\xB5\x2F\xFD", 4) + std::string(12, '\x07');
  testing::write_file(path_, testing::read_file(path_) + tail);
  auto decoded = decode_one_frame(tail);
  TARVEL_ASSERT_ERROR(decoded);
  auto report = rebuild_headers(path_, false);
  TARVEL_ASSERT_ERROR(report);
  EXPECT_EQ(report.error().kind(), decoded.error().kind());
  EXPECT_EQ(report.error().to_string(), decoded.error().to_string());

  // A tail that does decode is taken as one more frame with a fresh id.
  testing::make_file(dir_.file("b.tarvel"), testing::event_schema(), {{1, 3, 2}});
  auto frame = compress_frame(std::string(16, 'z'), 5);
  TARVEL_ASSERT_OK(frame);
  testing::write_file(dir_.file("b.tarvel"), testing::read_file(dir_.file("b.tarvel")) + *frame);
  auto found = rebuild_headers(dir_.file("b.tarvel"), false);
  TARVEL_ASSERT_OK(found);
  EXPECT_THAT(found->differences, ::testing::Contains(::testing::HasSubstr(
                                      ";2," + std::to_string(testing::stored_frames(dir_.file("b.tarvel"))[0].len))));
}

TEST_F(RebuildTest, CompleteJournalIsReplayedFirst) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  const std::string closed = testing::make_pending_journal(path_, 2, 3);
  EXPECT_THAT(rebuild(false).differences, IsEmpty());
  EXPECT_EQ(testing::read_file(path_), closed);
  EXPECT_FALSE(testing::file_exists(journal_path(path_)));
}

TEST_F(RebuildTest, OpenErrorsComeFirst) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  testing::edit_header(path_, "_frames", "1,0,x");
  auto report = rebuild_headers(path_, true);
  TARVEL_ASSERT_ERROR(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::kMalformed);
  EXPECT_THAT(report.error().to_string(), ::testing::StartsWith("bad frame \"1,0,x\""));
}

// decode_frame_at feeds the file to the decoder in pieces; whatever the
// bytes, it must give what decode_one_frame gives for the whole rest of the
// data section.
struct ScanCase {
  const char* name;
  std::function<std::string(const std::string& big)> bytes;  // from the frame's start on
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class DecodeFrameAt : public ::testing::TestWithParam<ScanCase> {};

TEST_P(DecodeFrameAt, SameAsDecodingTheWholeRest) {
  // Incompressible content, so that the frame spans several windows.
  std::mt19937_64 rng(7);
  std::string content(3 * SCAN_WINDOW + 1000, '\0');
  for (char& ch : content) ch = static_cast<char>(rng());
  auto big = compress_frame(content, 1);
  TARVEL_ASSERT_OK(big);
  ASSERT_GT(big->size(), 2 * SCAN_WINDOW);

  const std::string rest = GetParam().bytes(*big);
  const std::string head(16, 'h');  // stands for preamble and zone
  const std::string junk = "junk!";  // data-section bytes before the frame
  ScratchDir dir;
  testing::write_file(dir.file("d"), head + junk + rest);
  auto file = Env::posix().open(dir.file("d"), OpenMode::kRead);
  TARVEL_ASSERT_OK(file);

  auto want = decode_one_frame(rest);
  auto got = decode_frame_at(**file, head.size(), junk.size(), junk.size() + rest.size());
  ASSERT_EQ(got.ok(), want.ok()) << (got ? want.error().to_string() : got.error().to_string());
  if (want) {
    EXPECT_EQ(got->consumed, want->consumed);
    EXPECT_TRUE(got->body == want->body);
  } else {
    EXPECT_EQ(got.error().kind(), want.error().kind());
    EXPECT_EQ(got.error().to_string(), want.error().to_string());
  }

  // The decoder underneath gives the same for pieces of other sizes too,
  // down to pieces shorter than the frame's magic.
  for (size_t piece : {size_t{3}, size_t{4099}}) {
    if (piece < 100 && rest.size() > 10000) continue;
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    FrameDecoder decoder;
    std::string body;
    Result<bool> done = false;
    for (size_t at = 0; done && !*done; at += piece) {
      std::string_view part = std::string_view(rest).substr(std::min(at, rest.size()), piece);
      done = decoder.feed(part, at + piece >= rest.size(), &body);
    }
    ASSERT_EQ(done.ok(), want.ok());
    if (want) {
      EXPECT_EQ(decoder.consumed(), want->consumed);
      EXPECT_TRUE(body == want->body);
    } else {
      EXPECT_EQ(done.error().to_string(), want.error().to_string());
    }
  }
}

std::string small_frame(const std::string& text) {
  auto f = compress_frame(text, 3);
  return f ? *f : std::string();
}

std::string flipped(std::string s, size_t at) {
  s[at] ^= 0x10;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeFrameAt,
    ::testing::Values(
        ScanCase{"SmallFrameThenMore", [](auto&) { return small_frame("hello") + "trailing bytes"; }},
        ScanCase{"EmptyContent", [](auto&) { return small_frame(""); }},
        ScanCase{"MagicAlone", [](auto&) { return std::string("\x28\xB5\x2F\xFD", 4); }},
        ScanCase{"SmallFrameCutShort", [](auto&) { auto f = small_frame("hello there"); return f.substr(0, f.size() - 1); }},
        ScanCase{"BigFrameThenAnother", [](auto& big) { return big + small_frame("next"); }},
        ScanCase{"BigFrameExactlyToTheEnd", [](auto& big) { return big; }},
        ScanCase{"BigFrameCutShort", [](auto& big) { return big.substr(0, big.size() - 1); }},
        ScanCase{"BigFrameCutAtAWindow", [](auto& big) { return big.substr(0, 2 * SCAN_WINDOW); }},
        ScanCase{"BigFrameDamagedInTheMiddle", [](auto& big) { return flipped(big, big.size() / 2) + "more"; }},
        ScanCase{"BigFrameDamagedChecksum", [](auto& big) { return flipped(big, big.size() - 1) + "more"; }},
        ScanCase{"DamagedFrameHeader", [](auto& big) { return flipped(big, 4); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarvel
