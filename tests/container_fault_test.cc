// Failures of the file layer during a writer session: each write, truncate
// and flush fails in turn, alone or followed by a crash that drops what was
// never flushed, and no record that a close, flush_data, a header rewrite or
// the release wrote is ever lost.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include "container/container.h"
#include "container/internal/journal.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

constexpr char kEio[] = "Io: Input/output error (os error 5)";

// A 100-byte record that carries its position in the session, so that a
// record out of place or missing shows.
std::string numbered(uint64_t seq) {
  std::string r = rec(100, static_cast<unsigned char>(seq));
  std::memcpy(r.data(), &seq, sizeof seq);
  return r;
}

// Where the session's one failure goes: the "n"th call of the kinds in
// "ops", counted over the whole session or only inside its header rewrites
// (flush_headers, set_user_header, seal). With "n" 0 nothing fails, and
// "calls" counts the calls where the failure could go. "max_write", when
// not 0, splits the writes where the failure could go.
class Trigger {
 public:
  Trigger(FaultEnv& env, unsigned ops, uint64_t n, bool crash, bool headers_only,
          size_t max_write = 0)
      : env_(env), ops_(ops), n_(n), crash_(crash), headers_only_(headers_only),
        max_write_(max_write) {
    if (!headers_only_) arm();
  }

  template <class F>
  Status header_rewrite(F&& f) {
    if (!headers_only_) return f();
    arm();
    Status s = f();
    disarm();
    return s;
  }
  bool fired() const { return fired_ || env_.failed(); }
  uint64_t calls() const { return headers_only_ ? calls_ : env_.count(ops_); }

 private:
  void arm() {
    env_.set_max_write(max_write_);
    start_ = env_.count(ops_);
    if (n_ == 0 || fired_) return;
    if (crash_) {
      env_.die_at(ops_, n_ - calls_);
    } else {
      env_.fail_nth(ops_, n_ - calls_, EIO);
    }
  }
  void disarm() {
    env_.set_max_write(0);
    calls_ += env_.count(ops_) - start_;
    if (n_ == 0 || fired_) return;
    fired_ = env_.failed();
    // A process that died stays dead; otherwise nothing fails from here.
    if (!(fired_ && crash_)) env_.fail_nth(0, 0, EIO);
  }

  FaultEnv& env_;
  unsigned ops_;
  uint64_t n_;
  bool crash_;
  bool headers_only_;
  size_t max_write_;
  bool fired_ = false;
  uint64_t calls_ = 0;
  uint64_t start_ = 0;
};

struct Session {
  bool created = false;
  bool failed = false;   // some step reported an error
  bool refused = false;  // some step was refused with a Usage error
  bool close_failed = false;  // a close, or the close inside the seal, failed
  bool fault_before_release = false;
  std::vector<std::string> accepted;          // every record append_record took
  size_t written = 0;  // accepted records that a close, flush_data or header rewrite wrote
  size_t durable = 0;  // accepted records that a close or header rewrite flushed
  std::map<uint64_t, std::string> committed;  // frame id -> records, for closes that returned
};

// create, appends across the write-behind limit, close, appends, a user
// header, close, appends, seal, appends, a header flush, appends across the
// limit, flush_data, appends, release. With "keep_going" every step runs
// whatever failed before, as a caller that ignores errors would; otherwise
// the first error ends the session.
Session run_session(const std::string& path, FaultEnv& env, Trigger& trigger,
                    bool keep_going = false) {
  Session s;
  {
    Result<Container> made =
        Container::create(path, fixed_schema(100), "s", "w", 0, 4096, {}, env);
    if (!made) {
      s.failed = true;
      return s;
    }
    s.created = true;
    Container c = std::move(made).value();
    std::string pending;  // the records a close would take now
    auto go_on = [&](const Status& st) {
      if (!st.ok()) s.failed = true;
      if (!st.ok() && st.error().kind() == ErrorKind::kUsage) s.refused = true;
      return st.ok() || keep_going;
    };
    auto append = [&](int n) {
      Status last;
      for (int i = 0; i < n; ++i) {
        std::string r = numbered(s.accepted.size());
        Status st = c.append_record(r);
        // A failed buffer write keeps the record; a refusal does not take it.
        if (st.ok() || st.error().is_io()) {
          s.accepted.push_back(r);
          pending += r;
        }
        if (!st.ok()) last = std::move(st);
      }
      return go_on(last);
    };
    // A close that returned made frame "id", unless its tail was empty.
    auto closed = [&](uint64_t id) {
      if (!c.frames().empty() && c.frames().back().id == id && !s.committed.count(id)) {
        s.committed[id] = std::move(pending);
        pending.clear();
        s.written = s.durable = s.accepted.size();
      }
    };
    auto close = [&](uint64_t id) {
      Status st = c.close_frame(id, 3);
      closed(id);
      if (!st.ok()) s.close_failed = true;
      return go_on(st);
    };
    auto header = [&](auto&& f) {
      Status st = trigger.header_rewrite(f);
      if (st.ok()) s.written = s.durable = s.accepted.size();
      return go_on(st);
    };
    auto flushed = [&](Status st) {
      if (st.ok()) s.written = s.accepted.size();
      return go_on(st);
    };
    append(700) && close(1) && append(50) &&
        header([&] { return c.set_user_header("note", std::string(600, 'x')); }) && close(2) && append(10) &&
        header([&] {
          Status st = c.seal(3, 3);
          closed(3);  // whatever the header rewrite that ends the seal did
          if (!st.ok() && !s.committed.count(3)) s.close_failed = true;
          return st;
        }) &&
        append(5) && header([&] { return c.flush_headers(); }) && append(700) &&
        flushed(c.flush_data()) && append(3);
    s.fault_before_release = trigger.fired();
  }
  return s;
}

// The file opens for appending, holds every committed frame as it was
// closed, holds the accepted records in order with none missing up to
// "at_least", agrees with its counters, and takes a further close.
void expect_recovered(const std::string& path, const Session& s, size_t at_least) {
  Result<Container> opened = Container::open_append(path);
  TARVEL_ASSERT_OK(opened);
  Container c = std::move(opened).value();
  for (const auto& [id, records] : s.committed) {
    Result<std::string> body = c.read_frame(id);
    TARVEL_ASSERT_OK(body) << "frame " << id;
    EXPECT_TRUE(*body == records) << "frame " << id;
  }
  std::string found;
  for (size_t i = 0; i < c.frames().size(); ++i) found += value_or_die(c.read_frame_at(i));
  const std::string tail = value_or_die(c.read_tail());
  found += tail;
  const size_t n = found.size() / 100;
  EXPECT_GE(n, at_least) << "records lost";
  ASSERT_LE(n, s.accepted.size()) << "records made up";
  for (size_t i = 0; i < n; ++i) {
    ASSERT_TRUE(found.compare(i * 100, 100, s.accepted[i]) == 0) << "record " << i;
  }
  expect_counts_match_data(c);
  EXPECT_FALSE(file_exists(journal_path(path)));
  TARVEL_ASSERT_OK(c.append_record(rec(100)));
  TARVEL_ASSERT_OK(c.close_frame(99, 3));
  EXPECT_TRUE(value_or_die(c.read_frame(99)) == tail + rec(100));
}

// What happens at the failing call.
enum class Stop {
  kGoesOn,  // the call fails and the session goes on, ignoring errors
  kKilled,  // the process stops there; what it wrote stays in the file
  kCrash,   // the process stops there and what was never flushed is lost
};

struct FaultCase {
  const char* name;
  unsigned ops;
  Stop stop;
  bool headers_only = false;  // the failure goes only into header rewrites
  unsigned always = 0;        // calls that fail every time
  size_t max_write = 0;       // splits writes, so that one can stop half-way
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class SessionFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SessionFaultTest, EveryPositionRecovers) {
  const FaultCase& k = GetParam();
  const bool dies = k.stop != Stop::kGoesOn;
  auto make_env = [&](FaultEnv& env) { env.fail_always(k.always, EIO); };
  uint64_t positions;
  {
    ScratchDir dir;
    FaultEnv env;
    make_env(env);
    Trigger counting(env, k.ops, 0, false, k.headers_only, k.max_write);
    Session clean = run_session(dir.file("c.tarvel"), env, counting);
    ASSERT_FALSE(clean.failed);
    ASSERT_EQ(clean.committed.size(), 3u);
    positions = counting.calls();
  }
  ASSERT_GT(positions, 0u);
  for (uint64_t n = 1; n <= positions; ++n) {
    SCOPED_TRACE(std::string(k.name) + " #" + std::to_string(n));
    ScratchDir dir;
    const std::string path = dir.file("c.tarvel");
    FaultEnv env;
    make_env(env);
    Trigger trigger(env, k.ops, n, dies, k.headers_only, k.max_write);
    Session s = run_session(path, env, trigger, !dies);
    ASSERT_TRUE(trigger.fired());
    if (k.stop == Stop::kGoesOn) {
      // Only a directory flush, a journal removal or the release may fail
      // unreported.
      if (!(k.ops & (FaultEnv::kSync | FaultEnv::kRemove)) && s.fault_before_release) {
        EXPECT_TRUE(s.failed);
      }
      // A failed header rewrite never stops the records.
      if (k.headers_only && !s.close_failed) {
        EXPECT_FALSE(s.refused);
      }
    }
    if (k.stop == Stop::kCrash) env.crash();
    env.clear_faults();
    if (!s.created) continue;
    // A create that returned made its file durable.
    ASSERT_TRUE(file_exists(path));
    // Going on, the release writes what is still buffered unless the
    // Container was refusing writes.
    size_t at_least = s.written;
    if (k.stop == Stop::kCrash) at_least = s.durable;
    if (k.stop == Stop::kGoesOn && !s.refused && s.fault_before_release) {
      at_least = s.accepted.size();
    }
    expect_recovered(path, s, at_least);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaultTest,
    ::testing::Values(
        FaultCase{"write", FaultEnv::kWrite, Stop::kGoesOn},
        FaultCase{"truncate", FaultEnv::kTruncate, Stop::kGoesOn},
        FaultCase{"sync", FaultEnv::kSync, Stop::kGoesOn},
        FaultCase{"write+crash", FaultEnv::kWrite, Stop::kCrash},
        FaultCase{"truncate+crash", FaultEnv::kTruncate, Stop::kCrash},
        FaultCase{"sync+crash", FaultEnv::kSync, Stop::kCrash},
        FaultCase{"any call+crash", FaultEnv::kAll, Stop::kCrash},
        FaultCase{"journal removal", FaultEnv::kRemove, Stop::kGoesOn},
        FaultCase{"journal removal and emptying",
                  FaultEnv::kOpen | FaultEnv::kTruncate | FaultEnv::kSync, Stop::kGoesOn, false,
                  FaultEnv::kRemove},
        FaultCase{"header rewrite write or flush", FaultEnv::kWrite | FaultEnv::kSync,
                  Stop::kGoesOn, true},
        FaultCase{"header rewrite any call+crash", FaultEnv::kAll, Stop::kCrash, true},
        FaultCase{"header rewrite killed mid-write", FaultEnv::kWrite, Stop::kKilled, true, 0,
                  256}),
    [](const ::testing::TestParamInfo<FaultCase>& param_info) {
      std::string name;
      for (const char* p = param_info.param.name; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

// The recovery rules one by one, with the failing call picked by hand.
class RecoveryTest : public ::testing::Test {
 protected:
  // A container whose next close has a tail and an empty buffer: the
  // close's first write is the journal's.
  Container ready() {
    Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
    TARVEL_EXPECT_OK(c.append_record("abcd"));
    TARVEL_EXPECT_OK(c.flush_data());
    return c;
  }
  void expect_refuses_writes(Container& c) {
    const std::string refusal = "Usage: a frame close of \"" + path_ +
                                "\" stopped part-way; reopen the file with open_append to "
                                "complete it from the seal journal";
    EXPECT_EQ(err(c.append_record("wxyz")), refusal);
    EXPECT_EQ(err(c.flush_data()), refusal);
    EXPECT_EQ(err(c.flush_headers()), refusal);
    EXPECT_EQ(err(c.set_user_header("a", "1")), refusal);
    EXPECT_EQ(err(c.close_frame(2, 3)), refusal);
    EXPECT_EQ(err(c.seal(2, 3)), refusal);
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
    EXPECT_EQ(err(c.close_frame(1, 3)), kEio);
    EXPECT_FALSE(file_exists(journal_path(path_)));
    EXPECT_TRUE(c.frames().empty());
    // Nothing is wrong with the container: appending and closing go on.
    TARVEL_ASSERT_OK(c.append_record("efgh"));
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
    EXPECT_EQ(value_or_die(c.read_frame(1)), "abcdefgh");
    std::filesystem::remove(path_);
  }
}

TEST_F(RecoveryTest, FailedSpliceRefusesWritesUntilReopened) {
  // Writes 1 and 2 are the journal's (its head and zone, then its frame),
  // write 3 is the splice's frame, write 4 its zone; truncate and sync fail
  // inside the splice too.
  struct Case {
    unsigned ops;
    uint64_t n;
  };
  for (Case k : {Case{FaultEnv::kWrite, 3}, Case{FaultEnv::kWrite, 4},
                 Case{FaultEnv::kTruncate, 1}, Case{FaultEnv::kSync, 3}}) {
    SCOPED_TRACE(k.n);
    {
      Container c = ready();
      env_.fail_nth(k.ops, k.n, EIO);
      EXPECT_EQ(err(c.close_frame(1, 3)), kEio);
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
    TARVEL_ASSERT_OK(c.append_record("efgh"));
    TARVEL_ASSERT_OK(c.close_frame(2, 3));
    std::filesystem::remove(path_);
  }
}

// A failed header rewrite touches only the zone: appends, flush_data and
// the release go on, and the zone is whole again once the next write to
// the file has gone through.
TEST_F(RecoveryTest, FailedHeaderRewriteKeepsTheDataUsable) {
  enum Op { kFlushHeaders, kSetUserHeader, kSeal };
  struct Case {
    const char* name;
    Op op;
    unsigned ops;
    uint64_t n;  // counted from the call; a seal's own close comes first
    bool pending;  // the splice failed and the journal is kept
  };
  const Case cases[] = {
      {"flush_headers: file flush before the journal", kFlushHeaders, FaultEnv::kSync, 1, false},
      {"flush_headers: journal write", kFlushHeaders, FaultEnv::kWrite, 2, false},
      {"flush_headers: zone write", kFlushHeaders, FaultEnv::kWrite, 4, true},
      {"flush_headers: zone flush", kFlushHeaders, FaultEnv::kSync, 4, true},
      {"set_user_header: file flush before the journal", kSetUserHeader, FaultEnv::kSync, 1,
       false},
      {"set_user_header: zone flush", kSetUserHeader, FaultEnv::kSync, 4, true},
      {"seal: file flush before the journal", kSeal, FaultEnv::kSync, 5, false},
      {"seal: zone flush", kSeal, FaultEnv::kSync, 8, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove(path_);
    {
      Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
      for (char r : std::string("abcde")) TARVEL_ASSERT_OK(c.append_record(std::string(4, r)));
      env_.fail_nth(k.ops, k.n, EIO);
      Status s = k.op == kFlushHeaders ? c.flush_headers()
                 : k.op == kSetUserHeader ? c.set_user_header("k", "v")
                                          : c.seal(1, 3);
      EXPECT_EQ(err(s), kEio);
      EXPECT_EQ(file_exists(journal_path(path_)), k.pending);
      if (k.pending) {
        // A torn zone: the next write to the file rewrites it from memory.
        std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(16);
        f << std::string(64, 'X');
      }
      TARVEL_ASSERT_OK(c.append_record("ffff"));
      TARVEL_ASSERT_OK(c.flush_data());
      EXPECT_FALSE(file_exists(journal_path(path_)));
      TARVEL_ASSERT_OK(c.append_record("gggg"));  // written at release
    }
    Container r = value_or_die(Container::open_read(path_));
    EXPECT_EQ(header(r, "k"), k.pending && k.op == kSetUserHeader ? "v" : "<missing>");
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_EQ(c.records(), 7u);
    const std::string all = "aaaabbbbccccddddeeeeffffgggg";
    EXPECT_EQ(k.op == kSeal ? value_or_die(c.read_frame(1)) + value_or_die(c.read_tail())
                            : value_or_die(c.read_tail()),
              all);
    // The next header rewrite writes the value kept in memory.
    TARVEL_ASSERT_OK(c.set_user_header("k", "w"));
    EXPECT_EQ(header(value_or_die(Container::open_read(path_)), "k"), "w");
  }
}

// A journal that stays complete after its close would cut off, when
// replayed, every record appended since: it is emptied instead.
TEST_F(RecoveryTest, JournalThatCannotBeRemovedIsEmptied) {
  {
    Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
    for (char r : std::string("abc")) TARVEL_ASSERT_OK(c.append_record(std::string(4, r)));
    env_.fail_nth(FaultEnv::kRemove, 1, EIO);
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
    EXPECT_TRUE(env_.failed());
    EXPECT_EQ(read_file(journal_path(path_)), "");
    for (char r : std::string("defgh")) TARVEL_ASSERT_OK(c.append_record(std::string(4, r)));
    TARVEL_ASSERT_OK(c.flush_data());
  }
  Container c = value_or_die(Container::open_append(path_));
  EXPECT_EQ(c.records(), 8u);
  EXPECT_FALSE(file_exists(journal_path(path_)));
}

// When the journal can be neither removed nor emptied, new records are
// refused until a later rewrite can remove its own journal.
TEST_F(RecoveryTest, JournalThatCannotBeRemovedOrEmptiedRefusesNewRecords) {
  const std::string refusal = "Usage: the seal journal of \"" + path_ +
                              "\" could not be removed and a replay of it would cut off new "
                              "records; reopen the file with open_append to replay and remove it";
  {
    Container c = create_or_die(path_, fixed_schema(4), 4096, {}, env_);
    for (char r : std::string("abc")) TARVEL_ASSERT_OK(c.append_record(std::string(4, r)));
    env_.fail_always(FaultEnv::kRemove, EIO);
    env_.fail_nth(FaultEnv::kTruncate, 2, EIO);  // the first is the splice's
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
    EXPECT_EQ(err(c.append_record("dddd")), refusal);
    EXPECT_EQ(c.records(), 3u);
    TARVEL_EXPECT_OK(c.flush_data());  // nothing buffered
  }
  env_.clear_faults();
  {
    // The replay does again what is done already, and removes the journal.
    Container c = value_or_die(Container::open_append(path_));
    EXPECT_EQ(c.records(), 3u);
    EXPECT_FALSE(file_exists(journal_path(path_)));
  }
  Container c = value_or_die(Container::open_append(path_, env_));
  env_.fail_always(FaultEnv::kRemove, EIO);
  env_.fail_nth(FaultEnv::kTruncate, 2, EIO);
  TARVEL_ASSERT_OK(c.flush_headers());
  EXPECT_EQ(err(c.append_record("dddd")), refusal);
  env_.clear_faults();
  TARVEL_ASSERT_OK(c.flush_headers());
  TARVEL_ASSERT_OK(c.append_record("dddd"));
}

TEST_F(RecoveryTest, FailedBufferWriteKeepsTheRecordAndRetries) {
  Container c = create_or_die(path_, fixed_schema(100), 4096, {}, env_);
  for (int i = 0; i < 655; ++i) {
    TARVEL_ASSERT_OK(c.append_record(rec(100, static_cast<unsigned char>(i))));
  }
  env_.fail_nth(FaultEnv::kWrite, 1, ENOSPC);
  EXPECT_EQ(err(c.append_record(rec(100, static_cast<unsigned char>(655)))), "Io: No space left on device (os error 28)");
  EXPECT_EQ(c.records(), 656u);
  EXPECT_EQ(c.buffered(), 65600u);
  EXPECT_EQ(c.file_len(), c.data_start());
  // A short write leaves part of the buffer behind file_len; the retry
  // starts again there.
  env_.set_max_write(1000);
  env_.fail_nth(FaultEnv::kWrite, 3, EIO);
  TARVEL_EXPECT_ERROR(c.flush_data());
  EXPECT_EQ(c.file_len(), c.data_start());
  env_.set_interrupts(true);
  TARVEL_ASSERT_OK(c.flush_data());
  env_.clear_faults();
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  std::string all;
  for (int i = 0; i < 656; ++i) all += rec(100, static_cast<unsigned char>(i));
  EXPECT_EQ(value_or_die(c.read_frame(1)), all);
}

}  // namespace
}  // namespace tarvel::testing
