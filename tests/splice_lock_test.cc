// The splice lock: what a reader's probe makes of each lock it can meet on
// the file, and that every splice of a writer holds it, from before its
// first write to after its flush.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/file.h"
#include "container/internal/journal.h"
#include "tests/child_process.h"
#include "tests/container_test_util.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

const char* probe_name(SpliceProbe p) {
  switch (p) {
    case SpliceProbe::kFree: return "free";
    case SpliceProbe::kHeld: return "held";
    case SpliceProbe::kUnavailable: return "unavailable";
  }
  return "?";
}

// A lock that another process holds on the file while the probe runs.
struct ProbeCase {
  const char* name;
  // Takes the lock on "fd" (open read-write); false on failure.
  bool (*take)(int fd);
  SpliceProbe seen;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

bool range_lock(int fd, int cmd, short type, off_t start, off_t len) {
  struct flock range;
  std::memset(&range, 0, sizeof range);
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = len;
  return fcntl(fd, cmd, &range) == 0;
}

constexpr off_t kSpliceByte = static_cast<off_t>(SPLICE_LOCK_OFFSET);

class SpliceProbeTest : public ::testing::TestWithParam<ProbeCase> {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// The lock is taken by a child process, which holds it until the probe has
// looked, so that every kind of lock, the process-owned ones included,
// belongs to another owner than the probing file.
TEST_P(SpliceProbeTest, ProbeTellsOnlyASpliceLockFromEverythingElse) {
  write_file(path_, "data");
  Pipes pipes;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = open(path_.c_str(), O_RDWR);
    if (fd < 0 || !GetParam().take(fd)) _exit(1);
    if (write(pipes.from[1], "r", 1) != 1 || receive(pipes.to[0]) != 'd') _exit(2);
    _exit(0);
  }
  Child child(pid);
  pipes.close_child_ends();
  ASSERT_EQ(receive(pipes.from[0]), 'r') << "the child could not take its lock";
  std::unique_ptr<File> reader = value_or_die(Env::posix().open(path_, OpenMode::kRead));
  EXPECT_STREQ(probe_name(reader->probe_splice()), probe_name(GetParam().seen));
  send(pipes.to[1], 'd');
  child.reap();
  // Gone with its holder.
  EXPECT_STREQ(probe_name(reader->probe_splice()), "free");
}

INSTANTIATE_TEST_SUITE_P(
    Locks, SpliceProbeTest,
    ::testing::Values(
        ProbeCase{"None", [](int) { return true; }, SpliceProbe::kFree},
        ProbeCase{"SpliceLock",
                  [](int fd) { return range_lock(fd, F_OFD_SETLK, F_WRLCK, kSpliceByte, 1); },
                  SpliceProbe::kHeld},
        // A reader's lock on the byte says nothing of a splice.
        ProbeCase{"ReadLockOnTheByte",
                  [](int fd) { return range_lock(fd, F_OFD_SETLK, F_RDLCK, kSpliceByte, 1); },
                  SpliceProbe::kFree},
        // The writer's own lock, where the file system has real flock.
        ProbeCase{"WritersFlock", [](int fd) { return flock(fd, LOCK_EX) == 0; },
                  SpliceProbe::kFree},
        // What a file system that emulates flock with byte-range locks holds
        // for the writer's whole life: no splice, and nothing to wait for.
        ProbeCase{"WholeFileProcessLock",
                  [](int fd) { return range_lock(fd, F_SETLK, F_WRLCK, 0, 0); },
                  SpliceProbe::kUnavailable},
        ProbeCase{"WholeFileOpenFileLock",
                  [](int fd) { return range_lock(fd, F_OFD_SETLK, F_WRLCK, 0, 0); },
                  SpliceProbe::kUnavailable},
        ProbeCase{"ProcessLockOnTheByte",
                  [](int fd) { return range_lock(fd, F_SETLK, F_WRLCK, kSpliceByte, 1); },
                  SpliceProbe::kUnavailable},
        ProbeCase{"OpenFileLockAroundTheByte",
                  [](int fd) {
                    return range_lock(fd, F_OFD_SETLK, F_WRLCK, kSpliceByte - 1, 3);
                  },
                  SpliceProbe::kUnavailable}),
    [](const ::testing::TestParamInfo<ProbeCase>& param_info) { return param_info.param.name; });

// The lock belongs to the open file: a second open, in the same process,
// sees it and cannot take it; it goes with unlock or with the file.
TEST(SpliceLock, BelongsToTheOpenFile) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  write_file(path, "data");
  std::unique_ptr<File> other = value_or_die(Env::posix().open(path, OpenMode::kReadWrite));
  {
    std::unique_ptr<File> writer = value_or_die(Env::posix().open(path, OpenMode::kReadWrite));
    {
      const SpliceLockHold held(*writer);
      EXPECT_STREQ(probe_name(other->probe_splice()), "held");
      EXPECT_STREQ(probe_name(writer->probe_splice()), "free");  // its own
      EXPECT_FALSE(other->lock_splice());
    }
    EXPECT_STREQ(probe_name(other->probe_splice()), "free");
    ASSERT_TRUE(writer->lock_splice());
  }
  EXPECT_STREQ(probe_name(other->probe_splice()), "free");
  // A file open read-only cannot take a write lock: the splice goes on
  // without it.
  std::unique_ptr<File> reader = value_or_die(Env::posix().open(path, OpenMode::kRead));
  EXPECT_FALSE(reader->lock_splice());
}

// The real file system, where every write, truncation and flush of the
// container's file records what a reader's probe from another open of it
// finds at that moment, and the "fail"th truncation fails with EIO.
class WatchEnv final : public EnvWrapper {
 public:
  WatchEnv(std::string path, int fail) : EnvWrapper(Env::posix()), path_(std::move(path)), fail_(fail) {}

  std::vector<std::string> seen;

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(path, mode));
    if (path != path_ || mode != OpenMode::kReadWrite) return f;
    return std::unique_ptr<File>(new Watched(std::move(f), this));
  }

 private:
  class Watched final : public FileWrapper {
   public:
    Watched(std::unique_ptr<File> f, WatchEnv* env) : FileWrapper(std::move(f)), env_(env) {}
    Result<size_t> write(const char* buf, size_t n) override {
      env_->look("write");
      return FileWrapper::write(buf, n);
    }
    Status truncate(uint64_t length) override {
      env_->look("truncate");
      if (++env_->truncates_ == env_->fail_) return Error::io(IoFailure::os(EIO));
      return FileWrapper::truncate(length);
    }
    Status sync() override {
      Status synced = FileWrapper::sync();
      env_->look("sync");
      return synced;
    }

   private:
    WatchEnv* env_;
  };

  void look(const char* what) {
    std::unique_ptr<File> reader = value_or_die(Env::posix().open(path_, OpenMode::kRead));
    seen.push_back(std::string(what) + ":" + probe_name(reader->probe_splice()));
  }

  std::string path_;
  int fail_;
  int truncates_ = 0;
};

// Every splice, whoever makes it: a close, a header rewrite, the completion
// of a rewrite whose splice failed, and a replay of a journal. The writes
// around a splice are made without the lock.
TEST(SpliceLock, EverySpliceHoldsItThroughItsFlush) {
  auto with_splice = [](std::vector<std::string> before, std::vector<std::string> after = {}) {
    for (const char* step : {"write:held", "truncate:held", "write:held", "sync:held"}) {
      before.push_back(step);
    }
    before.insert(before.end(), after.begin(), after.end());
    return before;
  };
  struct Case {
    const char* name;
    int fail;  // the truncation that fails, 0 for none
    std::function<void(Container& w, const std::string& path, WatchEnv& env)> run;
    std::vector<std::string> seen;
  };
  const Case cases[] = {
      {"close_frame", 0,
       [](Container& w, const std::string&, WatchEnv&) {
         TARVEL_ASSERT_OK(w.append_record("abcd"));
         TARVEL_ASSERT_OK(w.flush_data());
         TARVEL_ASSERT_OK(w.close_frame(1, 3));
       },
       with_splice({"write:free"})},
      {"set_user_header", 0,
       [](Container& w, const std::string&, WatchEnv&) {
         TARVEL_ASSERT_OK(w.set_user_header("note", "x"));
       },
       with_splice({"sync:free"})},
      // The failed splice lets go of the lock too; the next write completes
      // the rewrite under it, then writes its buffer.
      {"finish_pending_rewrite", 1,
       [](Container& w, const std::string&, WatchEnv& env) {
         TARVEL_EXPECT_ERROR(w.set_user_header("note", "x"));
         env.seen.push_back("failed");
         TARVEL_ASSERT_OK(w.append_record("abcd"));
         TARVEL_ASSERT_OK(w.flush_data());
       },
       with_splice({"sync:free", "write:held", "truncate:held", "failed"}, {"write:free"})},
      {"replay_journal", 0,
       [](Container& w, const std::string& path, WatchEnv& env) {
         // A header rewrite's journal of this file: with an empty data
         // section its frame is the zone's own last byte.
         const std::string zone = read_file(path).substr(16, 4096);
         TARVEL_ASSERT_OK(
             write_journal(Env::posix(), path, w.data_start() - 1, zone, zone.substr(4095)));
         { Container released = std::move(w); }
         Container again = value_or_die(Container::open_append(path, env));
       },
       with_splice({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("c.tarvel");
    { Container created = create_or_die(path, fixed_schema(4)); }
    WatchEnv env(path, c.fail);
    Container w = value_or_die(Container::open_append(path, env));
    c.run(w, path, env);
    EXPECT_EQ(env.seen, c.seen);
    std::unique_ptr<File> reader = value_or_die(Env::posix().open(path, OpenMode::kRead));
    EXPECT_STREQ(probe_name(reader->probe_splice()), "free");
  }
}

}  // namespace
}  // namespace tarvel::testing
