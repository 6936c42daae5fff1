// Failures of the file layer during a writer session: each write, truncate
// and flush fails in turn, alone or followed by a crash that drops what was
// never flushed, and no frame whose close returned is ever lost.
#include <gtest/gtest.h>

#include <map>

#include "container/container.h"
#include "container/journal.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

constexpr char kRecovery[] =
    "Usage: a write to the file failed part-way; reopen it with open_append to recover";

struct Session {
  bool created = false;
  bool failed = false;                        // some step reported an error
  std::map<uint64_t, std::string> committed;  // frame id -> records, for closes that returned
};

// create, appends across the write-behind limit, close, appends, a user
// header, close, appends, seal. With "keep_going" every step runs whatever
// failed before, as a caller that ignores errors would; otherwise the
// first error ends the session.
Session run_session(const std::string& path, Env& env, bool keep_going = false) {
  Session s;
  Result<Container> made =
      Container::create(path, fixed_schema(100), "s", "w", 0, 4096, {}, env);
  if (!made) {
    s.failed = true;
    return s;
  }
  s.created = true;
  Container c = std::move(made).value();
  std::string pending;  // the records a close would take now
  unsigned char seq = 0;
  auto go_on = [&](bool ok) {
    if (!ok) s.failed = true;
    return ok || keep_going;
  };
  auto append = [&](int n) {
    bool all = true;
    for (int i = 0; i < n; ++i) {
      std::string r = rec(100, seq++);
      Status st = c.append_record(r);
      // A failed buffer write keeps the record; a refusal does not take it.
      if (st.ok() || st.error().is_io()) pending += r;
      all = all && st.ok();
    }
    return go_on(all);
  };
  auto closed = [&](Status st, uint64_t id) {
    if (st.ok()) {
      s.committed[id] = std::move(pending);
      pending.clear();
    }
    return go_on(st.ok());
  };
  append(700) && closed(c.close_frame(1, 3), 1) && append(50) &&
      go_on(c.set_user_header("note", "x").ok()) && closed(c.close_frame(2, 3), 2) &&
      append(10) && closed(c.seal(3, 3), 3);
  return s;
}

// The file opens for appending, holds every committed frame as it was
// closed, agrees with its counters, and takes a further close.
void expect_recovered(const std::string& path, const Session& s) {
  Result<Container> opened = Container::open_append(path);
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  Container c = std::move(opened).value();
  for (const auto& [id, records] : s.committed) {
    Result<std::string> body = c.read_frame(id);
    ASSERT_TRUE(body.ok()) << id << ": " << body.error().to_string();
    EXPECT_TRUE(*body == records) << "frame " << id;
  }
  expect_counts_match_data(c);
  EXPECT_FALSE(file_exists(journal_path(path)));
  const std::string tail = value_or_die(c.read_tail());
  ASSERT_TRUE(c.append_record(rec(100)).ok());
  ASSERT_TRUE(c.close_frame(99, 3).ok());
  EXPECT_TRUE(value_or_die(c.read_frame(99)) == tail + rec(100));
}

struct FaultCase {
  const char* name;
  unsigned ops;
  bool crash;  // the process stops at the failure and unflushed data is lost
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class SessionFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SessionFaultTest, EveryPositionRecovers) {
  const FaultCase& k = GetParam();
  uint64_t positions;
  {
    ScratchDir dir;
    FaultEnv env;
    Session clean = run_session(dir.file("c.tarvel"), env);
    ASSERT_FALSE(clean.failed);
    ASSERT_EQ(clean.committed.size(), 3u);
    positions = env.count(k.ops);
  }
  ASSERT_GT(positions, 0u);
  for (uint64_t n = 1; n <= positions; ++n) {
    SCOPED_TRACE(std::string(k.name) + " #" + std::to_string(n));
    ScratchDir dir;
    const std::string path = dir.file("c.tarvel");
    FaultEnv env;
    if (k.crash) {
      env.die_at(k.ops, n);
    } else {
      env.fail_nth(k.ops, n, EIO);
    }
    Session s = run_session(path, env, !k.crash);
    ASSERT_TRUE(env.failed());
    // Only a directory flush or a journal removal may fail unreported.
    if (!(k.ops & FaultEnv::kSync) || k.crash) {
      EXPECT_TRUE(s.failed);
    }
    if (k.crash) env.crash();
    if (!s.created) continue;
    // A crash before the first close may take the new file's entry with it:
    // creation does not flush the directory.
    if (k.crash && s.committed.empty() && !file_exists(path)) continue;
    expect_recovered(path, s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaultTest,
    ::testing::Values(FaultCase{"write", FaultEnv::kWrite, false},
                      FaultCase{"truncate", FaultEnv::kTruncate, false},
                      FaultCase{"sync", FaultEnv::kSync, false},
                      FaultCase{"write+crash", FaultEnv::kWrite, true},
                      FaultCase{"truncate+crash", FaultEnv::kTruncate, true},
                      FaultCase{"sync+crash", FaultEnv::kSync, true},
                      FaultCase{"any call+crash", FaultEnv::kAll, true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

// The recovery rules one by one, with the failing call picked by hand.
class RecoveryTest : public ::testing::Test {
 protected:
  // A container whose next close has a tail and an empty buffer: the
  // close's first write is the journal's.
  Container ready() {
    Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
    EXPECT_TRUE(c.append_record("abcd").ok());
    EXPECT_TRUE(c.flush_data().ok());
    return c;
  }
  void expect_refuses_writes(Container& c) {
    EXPECT_EQ(err(c.append_record("wxyz")), kRecovery);
    EXPECT_EQ(err(c.flush_data()), kRecovery);
    EXPECT_EQ(err(c.flush_headers()), kRecovery);
    EXPECT_EQ(err(c.set_user_header("a", "1")), kRecovery);
    EXPECT_EQ(err(c.close_frame(2, 3)), kRecovery);
    EXPECT_EQ(err(c.seal(2, 3)), kRecovery);
    EXPECT_EQ(header(c, "a"), "<missing>");
    EXPECT_EQ(c.buffered(), 0u);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
  FaultEnv env_;
};

TEST_F(RecoveryTest, FailedJournalWriteRemovesTheJournal) {
  for (unsigned ops : {FaultEnv::kWrite, FaultEnv::kSync}) {
    Container c = ready();
    env_.fail_nth(ops, 1, EIO);
    EXPECT_EQ(err(c.close_frame(1, 3)), "Io: Input/output error (os error 5)");
    EXPECT_FALSE(file_exists(journal_path(path_)));
    EXPECT_TRUE(c.frames().empty());
    // Nothing is wrong with the container: appending and closing go on.
    ASSERT_TRUE(c.append_record("efgh").ok());
    ASSERT_TRUE(c.close_frame(1, 3).ok());
    EXPECT_EQ(value_or_die(c.read_frame(1)), "abcdefgh");
    std::filesystem::remove(path_);
  }
}

TEST_F(RecoveryTest, FailedSpliceRefusesWritesUntilReopened) {
  // Write 2 is the splice's frame, write 3 its zone; truncate and sync fail
  // inside the splice too.
  struct Case {
    unsigned ops;
    uint64_t n;
  };
  for (Case k : {Case{FaultEnv::kWrite, 2}, Case{FaultEnv::kWrite, 3},
                 Case{FaultEnv::kTruncate, 1}, Case{FaultEnv::kSync, 3}}) {
    SCOPED_TRACE(k.n);
    {
      Container c = ready();
      env_.fail_nth(k.ops, k.n, EIO);
      EXPECT_EQ(err(c.close_frame(1, 3)), "Io: Input/output error (os error 5)");
      EXPECT_TRUE(file_exists(journal_path(path_)));
      EXPECT_TRUE(c.frames().empty());
      expect_refuses_writes(c);
      EXPECT_EQ(value_or_die(c.read_frame_body(Frame{0, 0, 0, 0})), "");
    }
    // The journal completes the close.
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_FALSE(file_exists(journal_path(path_)));
    EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
    EXPECT_EQ(c.records_committed(), 1u);
    ASSERT_TRUE(c.append_record("efgh").ok());
    ASSERT_TRUE(c.close_frame(2, 3).ok());
    std::filesystem::remove(path_);
  }
}

TEST_F(RecoveryTest, FailedZoneFlushRefusesWritesAndReleaseWritesNothing) {
  for (int op = 0; op < 3; ++op) {
    SCOPED_TRACE(op);
    {
      Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
      ASSERT_TRUE(c.append_record("abcd").ok());
      ASSERT_TRUE(c.close_frame(1, 3).ok());
      ASSERT_TRUE(c.append_record("efgh").ok());  // buffered
      // A seal flushes the journal, its directory, the splice and the
      // directory again before its own zone.
      env_.fail_nth(FaultEnv::kSync, op == 2 ? 5 : 1, EIO);
      Status s = op == 0 ? c.flush_headers() : op == 1 ? c.set_user_header("k", "v") : c.seal(2, 3);
      EXPECT_EQ(err(s), "Io: Input/output error (os error 5)");
      EXPECT_EQ(err(c.append_record("ijkl")), kRecovery);
      EXPECT_EQ(err(c.flush_data()), kRecovery);
    }
    // The buffered record was not written at release.
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_EQ(c.records(), op == 2 ? 2u : 1u);
    EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
    std::filesystem::remove(path_);
  }
}

TEST_F(RecoveryTest, FailedBufferWriteKeepsTheRecordAndRetries) {
  Container c = create_or_die(path_, fixed_schema(100), 4096, {}, env_);
  for (int i = 0; i < 655; ++i) ASSERT_TRUE(c.append_record(rec(100, i)).ok());
  env_.fail_nth(FaultEnv::kWrite, 1, ENOSPC);
  EXPECT_EQ(err(c.append_record(rec(100, static_cast<unsigned char>(655)))), "Io: No space left on device (os error 28)");
  EXPECT_EQ(c.records(), 656u);
  EXPECT_EQ(c.buffered(), 65600u);
  EXPECT_EQ(c.file_len(), c.data_start());
  // A short write leaves part of the buffer behind file_len; the retry
  // starts again there.
  env_.set_max_write(1000);
  env_.fail_nth(FaultEnv::kWrite, 3, EIO);
  EXPECT_FALSE(c.flush_data().ok());
  EXPECT_EQ(c.file_len(), c.data_start());
  env_.set_interrupts(true);
  ASSERT_TRUE(c.flush_data().ok());
  env_.clear_faults();
  ASSERT_TRUE(c.close_frame(1, 3).ok());
  std::string all;
  for (int i = 0; i < 656; ++i) all += rec(100, i);
  EXPECT_EQ(value_or_die(c.read_frame(1)), all);
}

}  // namespace
}  // namespace tarvel::testing
