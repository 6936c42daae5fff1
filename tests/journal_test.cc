#include "container/internal/journal.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "container/frames.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/text.h"
#include "container/schema.h"
#include "tests/fault_env.h"
#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel {
namespace {

using testing::FaultEnv;
using testing::ScratchDir;

std::string u64le(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// A journal image from its raw fields, so that tests can make every kind of
// damaged journal; the hash is always right for the body given.
std::string journal_image(uint64_t body_len, std::string_view body) {
  return "TJRNL2" + u64le(body_len) + u64le(fnv1a64(body)) + std::string(body);
}
std::string journal_body(uint64_t tail_start, uint64_t zone_len, std::string_view rest) {
  return u64le(tail_start) + u64le(zone_len) + std::string(rest);
}
std::string journal_of(uint64_t tail_start, std::string_view zone, std::string_view frame) {
  std::string body = journal_body(tail_start, zone.size(), std::string(zone) + std::string(frame));
  return journal_image(body.size(), body);
}

// A small container and the journal of its next close: a 256-byte zone
// listing frame 1 ("0123"), a raw tail of 12 bytes behind it, and the
// journal that closes the tail into the 5-byte frame 2.
constexpr uint32_t kArea = 256;
constexpr uint64_t kDataStart = PREAMBLE_LEN + kArea;
constexpr char kCreatedAt[] = "1970-01-01T00:00:00Z";

// A zone as create and the closes write it: the fixed headers first, then
// the frames list and any further headers.
std::string zone_of(const std::vector<Frame>& frames, const Headers::Entry& extra = {},
                    const char* created_at = kCreatedAt, uint32_t area = kArea) {
  Headers h;
  for (const auto& [key, value] :
       {std::pair<const char*, const char*>{"_schema", "rec"}, {"_schema_fields", ""},
        {"_schema_hash", "cbf29ce484222325"}, {"_record", "fixed:4"}, {"_source", "src"},
        {"_created_at", created_at}, {"_writer", "wr"}}) {
    TARVEL_EXPECT_OK(h.set(key, value));
  }
  TARVEL_EXPECT_OK(h.set("_frames", render_frames(frames)));
  if (!extra.key.empty()) {
    TARVEL_EXPECT_OK(h.set(extra.key, extra.value));
  }
  Result<std::string> zone = h.render(area);
  TARVEL_EXPECT_OK(zone);
  return zone ? *zone : std::string();
}

Frame frame_of(uint64_t id, uint64_t offset, std::string_view bytes) {
  return Frame{id, offset, bytes.size(), xxh64(bytes)};
}

const std::string kPreamble = Preamble{FORMAT_VERSION, FLAG_COMPRESSED, kArea}.encode();
const Frame kFirst = frame_of(1, 0, "0123");
const std::string kFrame = "FRAME";
const Frame kSecond = frame_of(2, 4, kFrame);
const std::string kOriginal = kPreamble + zone_of({kFirst}) + "0123456789abcdef";
const std::string kZone = zone_of({kFirst, kSecond});
const uint64_t kTail = kDataStart + 4;
const std::string kSpliced = kPreamble + kZone + "0123" + kFrame;
const std::string kGood = journal_of(kTail, kZone, kFrame);

class JournalTest : public ::testing::Test {
 protected:
  JournalTest() : container_(dir_.file("run7.tarvel")), journal_(container_ + ".seal") {
    testing::write_file(container_, kOriginal);
  }
  std::string container() const { return testing::read_file(container_); }
  std::string journal() const { return testing::read_file(journal_); }
  bool has_journal() const { return testing::file_exists(journal_); }
  // The replay of a writer that holds the container open, as the writers'
  // opens do; only the replay's own calls go through "env".
  Status replay(Env& env) const {
    Result<std::unique_ptr<File>> held = Env::posix().open(container_, OpenMode::kRead);
    if (!held) return std::move(held).error();
    return replay_journal(env, container_, container_, **held);
  }

  ScratchDir dir_;
  std::string container_;
  std::string journal_;
};

std::string from_hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST_F(JournalTest, WritesTheExactBytes) {
  TARVEL_ASSERT_OK(write_journal(Env::posix(), container_, 0x0102030405060708, "ZZ", "FRM"));
  EXPECT_EQ(journal(), from_hex("544a524e4c32"        // magic
                                "1500000000000000"    // body_len 21
                                "ea9ab4fe99afb055"    // FNV-1a 64 of the body
                                "0807060504030201"    // tail_start
                                "0200000000000000"    // zone_len
                                "5a5a"                // zone
                                "46524d"));           // frame
  EXPECT_EQ(container(), kOriginal);
}

TEST(JournalPath, Cases) {
  struct Case {
    const char* container;
    const char* journal;
  } cases[] = {
      {"data/run7.tarvel", "data/run7.tarvel.seal"},
      {"run7.tarvel", "run7.tarvel.seal"},
      {"/abs/run7.tarvel", "/abs/run7.tarvel.seal"},
      {"data/run7/", "data/run7.seal"},
      {"data/run7//", "data/run7.seal"},
      {"/", "/.seal"},
      {"", ".seal"},
      {"data/..", "data/../.seal"},
      {"data/../", "data/../.seal"},
      {"..", "../.seal"},
      {"a/./b", "a/./b.seal"},
  };
  for (const Case& c : cases) EXPECT_EQ(journal_path(c.container), c.journal) << c.container;
}

// What a replay does with each state of the journal file.
struct StateCase {
  const char* name;
  std::optional<std::string> journal;  // nullopt: no journal file
  std::string container_after;
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class JournalStateTest : public JournalTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(JournalStateTest, ReplayAppliesOnlyCompleteJournalsAndRemovesThem) {
  const StateCase& c = GetParam();
  if (c.journal) testing::write_file(journal_, *c.journal);
  FaultEnv env;
  TARVEL_ASSERT_OK(replay(env));
  EXPECT_EQ(container(), c.container_after);
  EXPECT_FALSE(has_journal());
  // The removal is durable: a crash cannot bring the journal back.
  env.crash();
  EXPECT_FALSE(has_journal());
  EXPECT_EQ(container(), c.container_after);
}

INSTANTIATE_TEST_SUITE_P(
    States, JournalStateTest,
    ::testing::Values(
        StateCase{"Absent", std::nullopt, kOriginal},
        StateCase{"Complete", kGood, kSpliced},
        StateCase{"EmptyBody", journal_image(0, ""), kOriginal},
        StateCase{"OneByteAppended", kGood + "x", kOriginal},
        StateCase{"OneByteMissing", kGood.substr(0, kGood.size() - 1), kOriginal},
        StateCase{"ShorterThanTheHeader", kGood.substr(0, JOURNAL_HEADER_LEN - 1), kOriginal},
        StateCase{"WrongMagic", "X" + kGood.substr(1), kOriginal},
        StateCase{"HashOffByOneBit",
                  [] {
                    std::string j = kGood;
                    j[14] ^= 1;
                    return j;
                  }(),
                  kOriginal},
        StateCase{"BodyShorterThanItsFields", journal_image(15, std::string(15, '\0')), kOriginal},
        StateCase{"ZoneReachesTheEndOfTheBody",
                  journal_image(24, journal_body(kTail, 8, kZone)), kOriginal},
        StateCase{"ZoneLenOverflows",
                  journal_image(29, journal_body(kTail, UINT64_MAX - 8, kZone + kFrame)),
                  kOriginal},
        StateCase{"BodyLenOverflows", "TJRNL2" + u64le(UINT64_MAX - 10) + kGood.substr(14),
                  kOriginal}),
    [](const ::testing::TestParamInfo<StateCase>& param_info) { return param_info.param.name; });

// Which journals a replay applies to a file: every state in which a crash
// can leave a close or a header rewrite of the file itself, and nothing
// else.
// A journal's content, owned by its case.
struct Journal {
  uint64_t tail_start;
  std::string zone;
  std::string frame;
};

struct BelongsCase {
  const char* name;
  Journal journal;
  std::string file_zone;
  uint64_t file_length;
  std::string file_end;  // the file's bytes from the journal's tail_start on
  bool belongs;
};

void PrintTo(const BelongsCase& c, std::ostream* os) { *os << c.name; }

class JournalBelongsTest : public ::testing::TestWithParam<BelongsCase> {};

TEST_P(JournalBelongsTest, OnlyAStateThatTheFilesOwnWriterLeaves) {
  const BelongsCase& c = GetParam();
  // A replay reads the file's end only when it is as long as the frame.
  const bool at_end = c.journal.tail_start <= c.file_length &&
                      c.file_length - c.journal.tail_start == c.journal.frame.size();
  ASSERT_EQ(at_end, !c.file_end.empty()) << "the case's file_end";
  const JournalContent journal{c.journal.tail_start, c.journal.zone, c.journal.frame};
  EXPECT_EQ(journal_belongs(journal, JournalTarget{kDataStart, c.file_zone, c.file_length,
                                                   c.file_end}),
            c.belongs);
}

// The zones and journals of the cases: the file before its close, and the
// journal of that close (kZone, kFrame at kTail), of a header rewrite, and of
// a rewrite of a file with no data.
const std::string kBefore = zone_of({kFirst});
const Headers::Entry kNote{"note", "x"};
const std::string kRewritten = zone_of({kFirst}, kNote);
const std::string kEmpty = zone_of({});
const std::string kEmptyRewritten = zone_of({}, kNote);
const Journal kClose{kTail, kZone, kFrame};
const Journal kRewrite{kDataStart + 15, kRewritten, "f"};
const Journal kEmptyRewrite{kDataStart - 1, kEmptyRewritten, std::string(1, '\0')};
// A zone torn by its rewrite: the new zone's start up to the middle of the
// new frame's entry, then the old zone's padding.
const size_t kTear = kZone.find(";2,") + 3;
const std::string kTorn = kZone.substr(0, kTear) + kBefore.substr(kTear);

INSTANTIATE_TEST_SUITE_P(
    Cases, JournalBelongsTest,
    ::testing::Values(
        // A close stopped before its zone was written: the file still lists
        // what it listed, the tail in place or already overwritten.
        BelongsCase{"CloseBeforeItsSplice", kClose, kBefore, kDataStart + 16, "", true},
        BelongsCase{"CloseWhoseTailWasLost", kClose, kBefore, kDataStart + 4, "", true},
        BelongsCase{"CloseCutButNotListed", kClose, kBefore, kDataStart + 9, "FRAME", true},
        // ... after its zone was written, before the journal was removed.
        BelongsCase{"CloseWholeButNotRemoved", kClose, kZone, kDataStart + 9, "FRAME", true},
        // ... with the zone torn by a crash inside its write.
        BelongsCase{"CloseWithATornZone", kClose, kTorn, kDataStart + 9, "FRAME", true},
        BelongsCase{"CloseWithATornZoneAndLength", kClose, kTorn, kDataStart + 16, "", true},
        BelongsCase{"CloseWithATornZoneThatParses", kClose,
                    zone_of({kFirst, frame_of(2, 4, "FRAMEXX")}), kDataStart + 9, "FRAME", true},
        // A header rewrite names the file's own last byte.
        BelongsCase{"RewriteBeforeItsSplice", kRewrite, kBefore, kDataStart + 16, "f", true},
        BelongsCase{"RewriteWhole", kRewrite, kRewritten, kDataStart + 16, "f", true},
        BelongsCase{"RewriteOfAFileWithoutData", kEmptyRewrite, kEmpty, kDataStart,
                    std::string(1, '\0'), true},
        // A fix of rebuild_headers rewrites the list itself.
        BelongsCase{"FixBeforeItsSplice", Journal{kDataStart + 15, zone_of({kSecond}), "f"},
                    kBefore, kDataStart + 16, "f", true},
        // Another file: other fixed headers, another zone size.
        BelongsCase{"AnotherCreationTime", kClose,
                    zone_of({kFirst}, {}, "2024-01-01T00:00:00Z"), kDataStart + 16, "", false},
        BelongsCase{"AnotherZoneSize",
                    Journal{kTail, zone_of({kFirst, kSecond}, {}, kCreatedAt, 512), kFrame},
                    kBefore, kDataStart + 16, "", false},
        BelongsCase{"JournalWithoutTheFixedHeaders",
                    Journal{kTail, kZone.substr(kZone.find("_frames:")) +
                                              std::string(kZone.find("_frames:"), '\0'),
                                   kFrame},
                    kBefore, kDataStart + 16, "", false},
        // A list that is neither the file's nor the file's and one more
        // frame at its tail.
        BelongsCase{"AnotherList", kClose, zone_of({frame_of(7, 0, "0123")}), kDataStart + 16, "",
                    false},
        BelongsCase{"CloseNotAtTheTailStart",
                    Journal{kTail + 2, zone_of({kFirst, frame_of(2, 6, kFrame)}), kFrame},
                    kBefore, kDataStart + 16, "", false},
        BelongsCase{"CloseOfAnotherLength",
                    Journal{kTail, zone_of({kFirst, frame_of(2, 4, "FRAMEX")}), kFrame},
                    kBefore, kDataStart + 16, "", false},
        BelongsCase{"CloseOfAnotherChecksum",
                    Journal{kTail, zone_of({kFirst, Frame{2, 4, 5, 1}}), kFrame}, kBefore,
                    kDataStart + 16, "", false},
        // An old journal of the file: its close completed, and records were
        // appended since, or its bytes are no longer the file's end.
        BelongsCase{"CloseWholeWithRecordsBehind", kClose, kZone, kDataStart + 29, "", false},
        BelongsCase{"TornZoneThatParsesWithOtherBytes", kClose,
                    zone_of({kFirst, frame_of(2, 4, "FRAMEXX")}), kDataStart + 9, "FRAMX", false},
        BelongsCase{"RewriteWithRecordsBehind", kRewrite, kBefore, kDataStart + 20, "", false},
        // A frame outside the file.
        BelongsCase{"TailPastTheEnd", Journal{kDataStart + 50, kZone, kFrame}, kTorn,
                    kDataStart + 16, "", false},
        BelongsCase{"TailInsideThePreamble", Journal{8, kZone, kFrame}, kTorn,
                    kDataStart + 16, "", false}),
    [](const ::testing::TestParamInfo<BelongsCase>& param_info) { return param_info.param.name; });

// Only a missing journal means there is nothing to replay. One that exists
// but cannot be read may hold a close to redo: the replay fails with its
// path, and neither it nor the container is touched.
TEST_F(JournalTest, UnreadableJournalFailsTheReplay) {
  struct Case {
    const char* name;
    unsigned op;  // 0: the journal is a directory
    int errnum;
    const char* cause;
  } cases[] = {
      {"directory", 0, 0, "Is a directory (os error 21)"},
      {"open", FaultEnv::kOpen, EACCES, "Permission denied (os error 13)"},
      {"length", FaultEnv::kLength, EIO, "Input/output error (os error 5)"},
      {"read", FaultEnv::kRead, EIO, "Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultEnv env;
    if (c.op == 0) {
      ASSERT_EQ(mkdir(journal_.c_str(), 0777), 0);
    } else {
      testing::write_file(journal_, kGood);
      env.fail_nth(c.op, 1, c.errnum);
    }
    Status s = replay(env);
    TARVEL_ASSERT_ERROR(s);
    EXPECT_EQ(s.error().to_string(), journal_ + ": " + c.cause);
    EXPECT_EQ(container(), kOriginal);
    if (c.op == 0) {
      EXPECT_TRUE(testing::file_exists(journal_));
      std::filesystem::remove(journal_);
    } else {
      EXPECT_EQ(journal(), kGood);
    }
  }
}

// An applied journal that stayed complete would be replayed again over
// whatever is appended later: when it cannot be removed it is emptied, and
// when that fails too the replay fails.
TEST_F(JournalTest, AppliedJournalThatCannotBeRemovedIsEmptiedOrFails) {
  for (bool empties : {true, false}) {
    SCOPED_TRACE(empties ? "emptied" : "neither");
    testing::write_file(container_, kOriginal);
    testing::write_file(journal_, kGood);
    FaultEnv env;
    env.fail_always(FaultEnv::kRemove, EIO);
    if (!empties) env.fail_nth(FaultEnv::kTruncate, 2, EIO);  // the first is the splice's
    Status s = replay(env);
    EXPECT_EQ(container(), kSpliced);
    if (empties) {
      TARVEL_ASSERT_OK(s);
      EXPECT_EQ(journal(), "");
      env.crash();  // the emptying is durable
      EXPECT_EQ(journal(), "");
    } else {
      TARVEL_ASSERT_ERROR(s);
      EXPECT_EQ(s.error().to_string(), journal_ + ": Input/output error (os error 5)");
      EXPECT_EQ(journal(), kGood);
    }
    TARVEL_ASSERT_OK(replay(Env::posix()));
    EXPECT_EQ(container(), kSpliced);
    EXPECT_FALSE(has_journal());
  }
}

// A container that lost its name after the writer opened it: its journal is
// not written into whatever the name leads to, or into nothing.
TEST_F(JournalTest, ContainerRemovedSinceItWasOpenedKeepsTheJournal) {
  testing::write_file(journal_, kGood);
  Result<std::unique_ptr<File>> held = Env::posix().open(container_, OpenMode::kRead);
  TARVEL_ASSERT_OK(held);
  std::remove(container_.c_str());
  Status s = replay_journal(Env::posix(), container_, container_, **held);
  TARVEL_ASSERT_ERROR(s);
  EXPECT_EQ(s.error().to_string(),
            tarvel::quoted(container_) +
                " was moved or removed since it was opened; open it again by its current name "
                "to close frames or rewrite its headers");
  EXPECT_EQ(journal(), kGood);
  EXPECT_FALSE(testing::file_exists(container_));
}

TEST_F(JournalTest, ReplayingAgainWritesTheSameBytes) {
  TARVEL_ASSERT_OK(write_journal(Env::posix(), container_, kTail, kZone, kFrame));
  EXPECT_EQ(journal(), kGood);
  TARVEL_ASSERT_OK(replay(Env::posix()));
  EXPECT_EQ(container(), kSpliced);
  TARVEL_ASSERT_OK(write_journal(Env::posix(), container_, kTail, kZone, kFrame));
  TARVEL_ASSERT_OK(replay(Env::posix()));
  EXPECT_EQ(container(), kSpliced);
  EXPECT_FALSE(has_journal());
}

TEST_F(JournalTest, RemoveJournalIsDurableAndQuiet) {
  FaultEnv env;
  FileIdentity own;
  TARVEL_ASSERT_OK(write_journal(env, container_, kTail, kZone, kFrame, nullptr, nullptr, &own));
  remove_journal(env, container_, own);
  remove_journal(env, container_, own);  // already gone: no error to report
  env.crash();
  EXPECT_FALSE(has_journal());
}

// A journal is removed only while its name is still the journal file the
// caller wrote or read: another file's journal that stands there now stays.
TEST_F(JournalTest, OnlyTheCallersOwnJournalIsRemoved) {
  FileIdentity own;
  TARVEL_ASSERT_OK(write_journal(Env::posix(), container_, kTail, kZone, kFrame, nullptr, nullptr,
                                 &own));
  const std::string other = dir_.file("other.seal");
  testing::write_file(other, kGood);
  ASSERT_EQ(std::rename(other.c_str(), journal_.c_str()), 0);
  remove_journal(Env::posix(), container_, own);
  TARVEL_ASSERT_OK(discard_journal(Env::posix(), container_, own));
  EXPECT_EQ(journal(), kGood);
}

// Every call of a replay fails in turn, once or for good (followed by a
// crash). The journal survives until the splice is flushed, so a later
// replay always completes the close.
TEST_F(JournalTest, ReplayFailingAtEveryCallIsRedoneLater) {
  uint64_t calls;
  {
    FaultEnv env;
    testing::write_file(journal_, kGood);
    TARVEL_ASSERT_OK(replay(env));
    calls = env.count(FaultEnv::kAll);
  }
  for (bool die : {false, true}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE((die ? "dying at call " : "failing call ") + std::to_string(n));
      testing::write_file(container_, kOriginal);
      testing::write_file(journal_, kGood);
      FaultEnv env;
      if (die) {
        env.die_at(FaultEnv::kAll, n);
      } else {
        env.fail_nth(FaultEnv::kAll, n, EIO);
      }
      Status s = replay(env);
      ASSERT_TRUE(env.failed());
      if (!s) {
        std::string text = s.error().to_string();
        EXPECT_TRUE(text == "Input/output error (os error 5)" ||
                    text == container_ + ": Input/output error (os error 5)" ||
                    text == journal_ + ": Input/output error (os error 5)")
            << text;
        EXPECT_EQ(journal(), kGood);
      }
      if (die) env.crash();
      TARVEL_ASSERT_OK(replay(Env::posix()));
      EXPECT_EQ(container(), kSpliced);
      EXPECT_FALSE(has_journal());
    }
  }
}

// The first failing step of a splice stops it: no call follows the failure.
TEST_F(JournalTest, SpliceStopsAtTheFirstFailure) {
  uint64_t calls;
  {
    FaultEnv env;
    auto file = env.open(container_, OpenMode::kReadWrite);
    TARVEL_ASSERT_OK(file);
    env.reset_counts();
    TARVEL_ASSERT_OK(splice(**file, kTail, kZone, kFrame));
    calls = env.count(FaultEnv::kAll);
    EXPECT_EQ(env.count(FaultEnv::kSync), 1u);
  }
  EXPECT_EQ(container(), kSpliced);
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    testing::write_file(container_, kOriginal);
    FaultEnv env;
    auto file = env.open(container_, OpenMode::kReadWrite);
    TARVEL_ASSERT_OK(file);
    env.reset_counts();
    env.fail_nth(FaultEnv::kAll, n, EIO);
    Status s = splice(**file, kTail, kZone, kFrame);
    TARVEL_ASSERT_ERROR(s);
    EXPECT_EQ(s.error().to_string(), "Input/output error (os error 5)");
    EXPECT_EQ(env.count(FaultEnv::kAll), n);
  }
}

struct WriteFailureCase {
  const char* name;
  unsigned op;
  uint64_t nth;              // which call of that kind fails
  std::string error_prefix;  // "" or the journal's path and ": "
  std::optional<std::string> journal_after;
  bool made;  // the journal file is the call's own, to be cleaned up
};

TEST_F(JournalTest, FailedWriteJournalLeavesTheContainerUntouched) {
  const WriteFailureCase cases[] = {
      {"open", FaultEnv::kOpen, 1, journal_ + ": ", std::nullopt, false},
      {"write", FaultEnv::kWrite, 1, "", "", true},
      // The frame is written by itself, after the head and the zone.
      {"frame write", FaultEnv::kWrite, 2, "", kGood.substr(0, kGood.size() - kFrame.size()),
       true},
      {"flush", FaultEnv::kSync, 1, "", kGood, true},
  };
  for (const WriteFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(journal_.c_str());
    FaultEnv env;
    env.fail_nth(c.op, c.nth, EIO);
    bool made = false;
    Status s = write_journal(env, container_, kTail, kZone, kFrame, &made);
    TARVEL_ASSERT_ERROR(s);
    EXPECT_EQ(s.error().to_string(), c.error_prefix + "Input/output error (os error 5)");
    EXPECT_EQ(made, c.made);
    EXPECT_EQ(container(), kOriginal);
    EXPECT_EQ(has_journal(), c.journal_after.has_value());
    if (c.journal_after) {
      EXPECT_EQ(journal(), *c.journal_after);
    }
  }
}

// A journal whose directory entry may not be durable must not let the close
// go on to touch the container.
TEST_F(JournalTest, FailedDirectoryFlushFailsWriteJournal) {
  FaultEnv env;
  env.fail_nth(FaultEnv::kSync, 2, EIO);  // the first sync is the file's own
  Status s = write_journal(env, container_, kTail, kZone, kFrame);
  TARVEL_ASSERT_ERROR(s);
  EXPECT_EQ(s.error().to_string(), dir_.path() + ": Input/output error (os error 5)");
  EXPECT_EQ(container(), kOriginal);
}

TEST_F(JournalTest, WriteJournalWritesWholeThroughShortAndInterruptedWrites) {
  FaultEnv env;
  env.set_max_write(7);
  env.set_interrupts(true);
  TARVEL_ASSERT_OK(write_journal(env, container_, kTail, kZone, kFrame));
  EXPECT_EQ(journal(), kGood);
}

// A crash at any call of write_journal leaves the close all or nothing: the
// next replay gives either the old container or the spliced one. Once
// write_journal has returned, the journal survives a crash.
TEST_F(JournalTest, CrashDuringWriteJournalIsAllOrNothing) {
  uint64_t calls;
  {
    FaultEnv env;
    TARVEL_ASSERT_OK(write_journal(env, container_, kTail, kZone, kFrame));
    calls = env.count(FaultEnv::kAll);
    env.crash();
    EXPECT_EQ(journal(), kGood);
    std::remove(journal_.c_str());
  }
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("dying at call " + std::to_string(n));
    testing::write_file(container_, kOriginal);
    std::remove(journal_.c_str());
    FaultEnv env;
    env.die_at(FaultEnv::kAll, n);
    (void)write_journal(env, container_, kTail, kZone, kFrame);
    ASSERT_TRUE(env.failed());
    env.crash();
    TARVEL_ASSERT_OK(replay(Env::posix()));
    std::string after = container();
    EXPECT_TRUE(after == kOriginal || after == kSpliced);
    EXPECT_FALSE(has_journal());
  }
}

TEST(SyncParentDir, FlushesTheRightDirectoryOrNone) {
  struct Case {
    const char* path;
    uint64_t flushes;
  } cases[] = {{"/", 0}, {"", 0}, {"run7.tarvel", 1}, {"/tmp/run7.tarvel", 1}};
  for (const Case& c : cases) {
    FaultEnv env;
    sync_parent_dir(env, c.path);
    EXPECT_EQ(env.count(FaultEnv::kOpen), c.flushes) << c.path;
    EXPECT_EQ(env.count(FaultEnv::kSync), c.flushes) << c.path;
  }
  // Errors are swallowed.
  FaultEnv env;
  env.fail_nth(FaultEnv::kSync, 1, EIO);
  sync_parent_dir(env, "/tmp/run7.tarvel");
  EXPECT_TRUE(env.failed());
}

TEST(ReadAt, ReturnsWhatIsThereThroughShortReads) {
  ScratchDir dir;
  testing::write_file(dir.file("f"), "0123456789");
  struct Case {
    uint64_t offset;
    size_t n;
    const char* expected;
  } cases[] = {
      {0, 10, "0123456789"}, {2, 5, "23456"}, {8, 5, "89"},
      {10, 5, ""},           {20, 5, ""},     {3, 0, ""},
  };
  FaultEnv env;
  env.set_max_read(3);
  auto file = env.open(dir.file("f"), OpenMode::kRead);
  TARVEL_ASSERT_OK(file);
  for (const Case& c : cases) {
    auto got = read_at(**file, c.offset, c.n);
    TARVEL_ASSERT_OK(got) << c.offset;
    EXPECT_EQ(*got, c.expected) << c.offset << "," << c.n;
  }
  env.reset_counts();
  TARVEL_ASSERT_OK(read_at(**file, 3, 0));
  EXPECT_EQ(env.count(FaultEnv::kSeek), 1u);  // the seek happens even for no bytes
  for (unsigned op : {FaultEnv::kSeek, FaultEnv::kRead}) {
    env.fail_nth(op, 1, EIO);
    auto failed = read_at(**file, 0, 4);
    TARVEL_ASSERT_ERROR(failed);
    EXPECT_EQ(failed.error().to_string(), "Input/output error (os error 5)");
  }
}

}  // namespace
}  // namespace tarvel
