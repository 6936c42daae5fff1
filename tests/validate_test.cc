#include "container/validate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/text.h"
#include "tests/fault_env.h"
#include "tests/test_util.h"
#include "tests/tool_files.h"

namespace tarvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FramePlan;
using testing::ScratchDir;

class ValidateTest : public ::testing::Test {
 protected:
  ValidateReport check(const RecordChecker* checker = nullptr) {
    auto report = validate(path_, checker);
    TARVEL_EXPECT_OK(report);
    return report ? *report : ValidateReport{};
  }
  // The checksum-mismatch problem of entry "index" as the file now holds it.
  std::string mismatch(size_t index) {
    const Frame f = testing::stored_frames(path_)[index];
    std::string bytes = testing::read_file(path_);
    uint64_t got = xxh64(std::string_view(bytes).substr(PREAMBLE_LEN + DEFAULT_HEADER_AREA + f.offset, f.len));
    return "frame " + std::to_string(f.id) + ": checksum mismatch, _frames says " +
           hex16(f.hash) + ", the bytes hash to " + hex16(got);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("v.tarvel");
};

struct SoundCase {
  const char* name;
  bool prefixed;
  std::vector<FramePlan> frames;
  uint64_t tail;
  bool sealed;
  std::string torn;  // stray bytes after the tail's whole records
};

void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.name; }

class ValidateSound : public ValidateTest, public ::testing::WithParamInterface<SoundCase> {};

TEST_P(ValidateSound, NoProblems) {
  const SoundCase& c = GetParam();
  Schema schema = c.prefixed ? testing::message_schema() : testing::event_schema();
  testing::make_file(path_, schema, c.frames, c.tail, c.sealed, c.torn);
  const std::string before = testing::read_file(path_);
  uint64_t in_frames = 0;
  for (const FramePlan& f : c.frames) in_frames += f.records;

  ValidateReport report = check();
  EXPECT_THAT(report.problems, IsEmpty());
  EXPECT_EQ(report.frames, c.frames.size());
  EXPECT_EQ(report.records, in_frames + c.tail);
  EXPECT_EQ(testing::read_file(path_), before);  // read-only: the torn bytes stay
}

INSTANTIATE_TEST_SUITE_P(
    Files, ValidateSound,
    ::testing::Values(
        SoundCase{"Fresh", false, {}, 0, false, ""},
        SoundCase{"TailOnly", true, {}, 4, false, ""},
        SoundCase{"Unsealed", false, {{1, 3, 5}, {2, 0, 3}}, 2, false, ""},
        SoundCase{"Sealed", true, {{1, 3, 5}, {2, 19, 7}}, 0, true, ""},
        SoundCase{"NegativeLevel", true, {{9, -1, 4}}, 0, false, ""},
        SoundCase{"TornFixedTail", false, {{1, 3, 5}}, 3, false, "abc"},
        SoundCase{"TornPrefixedTail", true, {{1, 3, 5}}, 3, false, std::string("\x09\x00pa", 4)},
        SoundCase{"SameIdTwice", false, {{4, 3, 2}, {4, 0, 2}}, 0, false, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ValidateTest, DamagedZstdFrameGivesMismatchAndDecodingError) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 4}, {7, 3, 5}, {8, 3, 2}});
  testing::damage_frame(path_, 1);  // a byte of zstd's own content checksum
  ValidateReport report = check();
  EXPECT_THAT(report.problems, ElementsAre(mismatch(1), "frame 7: Restored data doesn't match checksum",
                                           "_records says 11, the frames hold 6"));
  EXPECT_EQ(report.frames, 3u);
  EXPECT_EQ(report.records, 6u);
}

TEST_F(ValidateTest, DamagedLevelZeroFrameGivesMismatchAlone) {
  testing::make_file(path_, testing::event_schema(), {{1, 0, 4}, {2, 0, 4}});
  testing::damage_frame(path_, 1);
  EXPECT_THAT(check().problems, ElementsAre(mismatch(1)));
}

TEST_F(ValidateTest, SameIdIsCheckedByPosition) {
  testing::make_file(path_, testing::event_schema(), {{4, 0, 2}, {4, 0, 3}});
  testing::damage_frame(path_, 1);
  ValidateReport report = check();
  EXPECT_THAT(report.problems, ElementsAre(mismatch(1)));
  EXPECT_EQ(report.records, 5u);
}

TEST_F(ValidateTest, ListedHashZeroIsNotChecksummed) {
  testing::make_file(path_, testing::event_schema(), {{1, 0, 4}, {2, 3, 4}});
  std::vector<Frame> frames = testing::stored_frames(path_);
  for (Frame& f : frames) f.hash = 0;
  testing::edit_header(path_, "_frames", render_frames(frames));
  testing::damage_frame(path_, 0);
  ValidateReport report = check();
  EXPECT_THAT(report.problems, IsEmpty());
  EXPECT_EQ(report.records, 8u);
}

TEST_F(ValidateTest, ProblemsStopAtTwentyAndCountingGoesOn) {
  std::vector<FramePlan> frames;
  for (uint64_t id = 0; id < 25; ++id) frames.push_back({id, 0, 2});
  testing::make_file(path_, testing::event_schema(), frames, 1);
  for (size_t i = 0; i < 25; ++i) testing::damage_frame(path_, i);
  testing::edit_header(path_, "_records", "1");  // a 26th problem, dropped too

  ValidateReport report = check();
  ASSERT_EQ(report.problems.size(), MAX_PROBLEMS);
  for (size_t i = 0; i < MAX_PROBLEMS; ++i) EXPECT_EQ(report.problems[i], mismatch(i));
  EXPECT_EQ(report.frames, 25u);
  EXPECT_EQ(report.records, 51u);
}

struct HeaderCase {
  const char* name;
  const char* key;
  const char* value;
  bool remove;
  std::string problem;  // "%" stands for the schema's fingerprint
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class ValidateHeaders : public ValidateTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(ValidateHeaders, OneProblem) {
  const HeaderCase& c = GetParam();
  Schema schema = testing::event_schema();
  testing::make_file(path_, schema, {{1, 3, 5}}, 2);
  testing::edit_header(path_, c.key, c.value, c.remove);
  std::string expected = c.problem;
  if (auto at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, schema.hash_hex());
  EXPECT_THAT(check().problems, ElementsAre(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Counters, ValidateHeaders,
    ::testing::Values(
        HeaderCase{"SchemaHashMissing", "_schema_hash", "", true, "_schema_hash is , the fields hash to %"},
        HeaderCase{"SchemaHashWrong", "_schema_hash", "00000000000000ff", false,
                   "_schema_hash is 00000000000000ff, the fields hash to %"},
        HeaderCase{"RecordsNotANumber", "_records", "abc", false, "_records says 0, the frames hold 5"},
        HeaderCase{"RecordsMissing", "_records", "", true, "_records says 0, the frames hold 5"},
        HeaderCase{"RecordsCountTheTail", "_records", "7", false, "_records says 7, the frames hold 5"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Frames that share bytes are named, after the frame checks; frames of
// length 0 and frames that merely touch are not.
TEST_F(ValidateTest, OverlappingFrames) {
  testing::make_file(path_, testing::event_schema(), {{1, 0, 4}, {2, 0, 4}});
  std::vector<Frame> frames = testing::stored_frames(path_);  // 32 bytes each
  frames.push_back(Frame{3, 0, 0, 0});
  frames.push_back(Frame{4, 8, 16, 0});
  frames.push_back(Frame{5, 40, 24, 0});
  testing::edit_header(path_, "_frames", render_frames(frames));
  ValidateReport report = check();
  EXPECT_THAT(report.problems,
              ElementsAre("frame 4: overlaps frame 1 (data-section bytes 8 to 24)",
                          "frame 5: overlaps frame 2 (data-section bytes 40 to 64)",
                          "_records says 8, the frames hold 13"));
  EXPECT_EQ(report.frames, 5u);
}

TEST_F(ValidateTest, PlusSignAndLeadingZerosReadAsTheNumber) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 5}});
  testing::edit_header(path_, "_records", "+005");
  EXPECT_THAT(check().problems, IsEmpty());
}

TEST_F(ValidateTest, TornBytesInsideAFrame) {
  // A frame stored at level 0 whose listed length cuts its last record.
  testing::make_file(path_, testing::event_schema(), {{3, 0, 2}});
  std::vector<Frame> frames = testing::stored_frames(path_);
  frames[0].len -= 3;
  frames[0].hash = 0;
  testing::edit_header(path_, "_frames", render_frames(frames));
  ValidateReport report = check();
  EXPECT_THAT(report.problems, ElementsAre("frame 3: 5 torn bytes", "_records says 2, the frames hold 1"));
  // The three bytes cut from the frame now begin the raw tail, as a torn
  // record that is no problem.
  EXPECT_EQ(report.records, 1u);
}

TEST_F(ValidateTest, CheckerSeesEveryRecordFramesFirst) {
  Schema schema = testing::message_schema();
  testing::make_file(path_, schema, {{5, 3, 2}, {6, 0, 1}}, 2);
  std::vector<std::string> seen;
  RecordChecker reject = [&seen](std::string_view r) -> std::optional<std::string> {
    seen.emplace_back(r);
    return "bad " + tarvel::quoted(r);
  };
  ValidateReport report = check(&reject);
  std::vector<std::string> all;
  for (uint64_t i = 0; i < 5; ++i) all.push_back(testing::record(schema, i));
  EXPECT_EQ(seen, all);  // bodies without their length prefixes
  EXPECT_THAT(report.problems,
              ElementsAre("frame 5: bad " + tarvel::quoted(all[0]), "frame 5: bad " + tarvel::quoted(all[1]),
                          "frame 6: bad " + tarvel::quoted(all[2]), "tail: bad " + tarvel::quoted(all[3]),
                          "tail: bad " + tarvel::quoted(all[4])));
}

TEST_F(ValidateTest, CheckerMessagesStopAtTwenty) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 15}}, 10);
  int calls = 0;
  RecordChecker reject = [&calls](std::string_view) -> std::optional<std::string> {
    ++calls;
    return "no";
  };
  ValidateReport report = check(&reject);
  EXPECT_EQ(calls, 25);
  ASSERT_EQ(report.problems.size(), MAX_PROBLEMS);
  EXPECT_EQ(report.problems[14], "frame 1: no");
  EXPECT_EQ(report.problems[15], "tail: no");
}

// Frames and the tail are read a window at a time: records cut by a window's
// end, in a raw frame, in a zstd frame and in the tail, reach the checker
// whole and in order, and every one is counted.
TEST_F(ValidateTest, RecordsAcrossWindowBoundaries) {
  for (const Schema& schema : {testing::event_schema(24), testing::message_schema()}) {
    SCOPED_TRACE(schema.layout.text());
    ScratchDir dir;
    const std::string path = dir.file("w.tarvel");
    // Each part is over one window long.
    const uint64_t n = VALIDATE_WINDOW / (schema.layout.is_fixed() ? 24 : 12) + 1000;
    testing::make_file(path, schema, {{1, 0, n}, {2, 3, n}}, n);
    std::vector<std::string> seen;
    RecordChecker keep = [&seen](std::string_view r) -> std::optional<std::string> {
      seen.emplace_back(r);
      return std::nullopt;
    };
    auto report = validate(path, &keep);
    TARVEL_ASSERT_OK(report);
    EXPECT_THAT(report->problems, IsEmpty());
    EXPECT_EQ(report->records, 3 * n);
    ASSERT_EQ(seen.size(), 3 * n);
    for (uint64_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], testing::record(schema, i)) << i;
  }
}

// A listed length far beyond what memory holds (a sparse file) is read a
// window at a time, and its failure to decode is a problem, not an error.
TEST_F(ValidateTest, HugeListedFrameIsAProblemNotAnAllocation) {
  testing::make_file(path_, testing::event_schema(), {});
  const std::string head = std::string("\x28\xB5\x2F\xFD", 4) + std::string(28, '\xFF');
  const uint64_t huge = 60ull << 30;
  testing::edit_header(path_, "_frames", "1,0," + std::to_string(huge));
  testing::write_file(path_, testing::read_file(path_) + head);
  std::filesystem::resize_file(path_, PREAMBLE_LEN + DEFAULT_HEADER_AREA + huge);
  auto decoded = decode_one_frame(head);
  TARVEL_ASSERT_ERROR(decoded);
  ValidateReport report = check();
  EXPECT_THAT(report.problems, ElementsAre("frame 1: " + decoded.error().to_string()));
  EXPECT_EQ(report.frames, 1u);
}

// A read that fails after the open, wherever it falls, is a problem of the
// frame or the tail being read; the call still returns its report.
TEST_F(ValidateTest, FailedReadIsAProblem) {
  testing::make_file(path_, testing::message_schema(), {{1, 3, 4}, {2, 0, 4}}, 3);
  testing::FaultEnv env;
  {
    auto opened = Container::open_read(path_, env);
    TARVEL_ASSERT_OK(opened);
  }
  const uint64_t at_open = env.count(testing::FaultEnv::kRead);
  env.reset_counts();
  TARVEL_ASSERT_OK(validate(path_, nullptr, env));
  const uint64_t total = env.count(testing::FaultEnv::kRead);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    env.reset_counts();
    env.fail_nth(testing::FaultEnv::kRead, n, EIO);
    auto report = validate(path_, nullptr, env);
    if (!report) {
      EXPECT_LE(n, at_open) << report.error().to_string();
      continue;
    }
    EXPECT_THAT(report->problems,
                ::testing::Contains(::testing::AllOf(
                    ::testing::HasSubstr("Input/output error (os error 5)"),
                    ::testing::AnyOf(::testing::StartsWith("frame "), ::testing::StartsWith("tail: ")))));
  }
}

TEST_F(ValidateTest, CompleteJournalIsReplayedFirst) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  const std::string closed = testing::make_pending_journal(path_, 2, 3);
  ValidateReport report = check();
  EXPECT_THAT(report.problems, IsEmpty());
  EXPECT_EQ(report.frames, 2u);
  EXPECT_EQ(report.records, 5u);
  EXPECT_EQ(testing::read_file(path_), closed);
  EXPECT_FALSE(testing::file_exists(journal_path(path_)));
}

TEST_F(ValidateTest, OpenErrorsFailTheCall) {
  auto missing = validate(dir_.file("missing.tarvel"));
  TARVEL_ASSERT_ERROR(missing);
  EXPECT_EQ(missing.error().path(), dir_.file("missing.tarvel"));

  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  testing::edit_header(path_, "_frames", "1,0,x");
  auto bad = validate(path_);
  TARVEL_ASSERT_ERROR(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::kMalformed);
  EXPECT_THAT(bad.error().to_string(), ::testing::StartsWith("bad frame \"1,0,x\""));
}

// A file cut short inside its last frame: the frames that run past the end
// are problems, the others are checked as usual, and the cut frame's
// remains are not read as the raw tail.
TEST_F(ValidateTest, FileCutShortIsReported) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}, {2, 3, 3}});
  const std::vector<Frame> frames = testing::stored_frames(path_);
  const uint64_t len = PREAMBLE_LEN + DEFAULT_HEADER_AREA + frames[1].offset + frames[1].len - 5;
  std::filesystem::resize_file(path_, len);
  const std::string end = std::to_string(len + 5);
  ValidateReport report = check();
  EXPECT_THAT(report.problems,
              ElementsAre("frame 2: frame 2 ends at " + end + " but the file is " +
                              std::to_string(len) + " bytes",
                          "_records says 5, the frames hold 2"));
  EXPECT_EQ(report.frames, 2u);
  EXPECT_EQ(report.records, 2u);
}

}  // namespace
}  // namespace tarvel
