// Readers in this process beside a writer in another one: a writer held
// inside its splice while readers come in by every name of the file, a
// writer closing small frames back to back, and a writer whose file system
// holds a whole-file lock for it. Every record a reader returns is checked
// against the one written at that place; every refusal is a clear error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "container/container.h"
#include "tests/child_process.h"
#include "tests/container_test_util.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

// Reads the frames and then the tail of "r", each record checked against
// body_at of its place; returns how many there were, or -1 after an error,
// which must be "changed".
int64_t read_every_record(Container& r, const std::string& changed) {
  uint64_t next = 0;
  for (size_t i = 0; i < r.frames().size(); ++i) {
    Result<std::string> body = r.read_frame_at(i);
    if (!body) {
      ADD_FAILURE() << "frame " << i << ": " << err(body);
      return -1;
    }
    EXPECT_TRUE(in_sequence(*body, &next)) << "frame " << i;
  }
  Result<std::string> tail = r.read_tail();
  if (!tail) {
    EXPECT_EQ(err(tail), changed);
    return -1;
  }
  EXPECT_TRUE(in_sequence(*tail, &next)) << "tail";
  return static_cast<int64_t>(next);
}

std::string changed_text(const std::string& name) {
  return "Usage: \"" + name + "\" changed while it was being read; open it again";
}

// The real file system, where the first probe of the splice lock that finds
// it held first runs "act": a reader hands over to the writer at the point
// where it has provably seen the splice in flight.
class OnHeldEnv final : public EnvWrapper {
 public:
  explicit OnHeldEnv(std::function<void()> act) : EnvWrapper(Env::posix()), act_(std::move(act)) {}

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(path, mode));
    return std::unique_ptr<File>(new Watched(std::move(f), this));
  }

  bool acted() const { return act_ == nullptr; }

 private:
  class Watched final : public FileWrapper {
   public:
    Watched(std::unique_ptr<File> f, OnHeldEnv* env) : FileWrapper(std::move(f)), env_(env) {}
    SpliceProbe probe_splice() override {
      const SpliceProbe seen = FileWrapper::probe_splice();
      if (seen == SpliceProbe::kHeld && env_->act_ != nullptr) {
        env_->act_();
        env_->act_ = nullptr;
      }
      return seen;
    }

   private:
    OnHeldEnv* env_;
  };

  std::function<void()> act_;
};

// The writer's side: the real file system, where the container file's next
// truncation once armed, the one inside a splice that has written its frame
// over the raw tail, first reports 'p' and waits for a byte.
class PauseAtTruncateEnv final : public EnvWrapper {
 public:
  PauseAtTruncateEnv(int control, int report)
      : EnvWrapper(Env::posix()), control_(control), report_(report) {}

  void arm() { armed_ = true; }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(path, mode));
    if (mode != OpenMode::kReadWrite) return f;
    return std::unique_ptr<File>(new Paused(std::move(f), this));
  }

 private:
  class Paused final : public FileWrapper {
   public:
    Paused(std::unique_ptr<File> f, PauseAtTruncateEnv* env) : FileWrapper(std::move(f)), env_(env) {}
    Status truncate(uint64_t length) override {
      if (env_->armed_) {
        env_->armed_ = false;
        char go = 0;
        if (::write(env_->report_, "p", 1) != 1 || ::read(env_->control_, &go, 1) != 1) {
          _exit(9);
        }
      }
      return FileWrapper::truncate(length);
    }

   private:
    PauseAtTruncateEnv* env_;
  };

  int control_, report_;
  bool armed_ = false;
};

// How a reader comes to the file while the writer is held in its splice.
enum class Way {
  kSameName,     // the writer's own name
  kHardLink,     // a second name, made during the splice
  kRenamed,      // the file's new name, renamed during the splice
  kProcFd,       // /proc/self/fd/N of a descriptor opened before, the file
                 // renamed during the splice
  kSnapshot,     // a reader opened before the close, reading its tail now
};

struct HeldCase {
  const char* name;
  Way way;
};

void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.name; }

class HeldSpliceTest : public ::testing::TestWithParam<HeldCase> {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// Frame 1 holds records 0 to 99, the raw tail records 100 to 399; the writer
// closes the tail into frame 2 and is held right after it wrote the frame
// over the tail, before the file is cut behind it and the zone rewritten.
// The bytes at the tail are then compressed bytes under the old zone. Once
// a name other than the writer's leads to the file (links and renames are
// made only now, when the writer's journal is written), no journal tells a
// reader of the splice: only the splice lock does. Every reader returns
// every record as written.
TEST_P(HeldSpliceTest, ReaderByAnyNameWaitsOutTheSplice) {
  {
    Container w = create_or_die(path_, prefixed_schema());
    for (uint64_t p = 0; p < 400; ++p) {
      TARVEL_ASSERT_OK(w.append_record(body_at(p)));
      if (p == 99) {
        TARVEL_ASSERT_OK(w.close_frame(1, 3));
      }
    }
  }
  Pipes pipes;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    PauseAtTruncateEnv env(pipes.to[0], pipes.from[1]);
    Result<Container> opened = Container::open_append(path_, env);
    if (!opened || receive(pipes.to[0]) != 'c') _exit(2);
    env.arm();
    if (!opened->close_frame(2, 3).ok()) _exit(3);
    if (write(pipes.from[1], "d", 1) != 1 || receive(pipes.to[0]) != 'x') _exit(4);
    _exit(0);
  }
  Child child(pid);
  pipes.close_child_ends();
  bool released = false;
  auto release = [&] {
    send(pipes.to[1], 'g');
    EXPECT_EQ(receive(pipes.from[0]), 'd') << "the writer's close failed";
    released = true;
  };
  OnHeldEnv env(release);

  const Way way = GetParam().way;
  std::optional<Container> snapshot;
  if (way == Way::kSnapshot) snapshot.emplace(value_or_die(Container::open_read(path_, env)));
  const int fd = open(path_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  send(pipes.to[1], 'c');
  ASSERT_EQ(receive(pipes.from[0]), 'p');
  std::string name = path_;
  switch (way) {
    case Way::kHardLink:
      name = dir_.file("link.tarvel");
      ASSERT_EQ(link(path_.c_str(), name.c_str()), 0);
      break;
    case Way::kRenamed:
      name = dir_.file("moved.tarvel");
      ASSERT_EQ(rename(path_.c_str(), name.c_str()), 0);
      break;
    case Way::kProcFd:
      ASSERT_EQ(rename(path_.c_str(), dir_.file("moved.tarvel").c_str()), 0);
      name = "/proc/self/fd/" + std::to_string(fd);
      break;
    case Way::kSameName:
    case Way::kSnapshot:
      break;
  }

  if (way == Way::kSnapshot) {
    Result<std::string> tail = snapshot->read_tail();
    uint64_t next = 100;
    EXPECT_EQ(err(tail), "ok");
    if (tail) {
      EXPECT_TRUE(in_sequence(*tail, &next));
    }
    EXPECT_EQ(next, 400u);
  } else {
    Result<Container> r = Container::open_read(name, env);
    EXPECT_EQ(err(r), "ok");
    if (r) {
      EXPECT_EQ(read_every_record(*r, changed_text(name)), 400);
    }
  }
  EXPECT_TRUE(env.acted()) << "the reader never saw the splice in flight";
  if (!released) release();
  send(pipes.to[1], 'x');
  child.reap();
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, HeldSpliceTest,
    ::testing::Values(HeldCase{"SameName", Way::kSameName},
                      HeldCase{"HardLink", Way::kHardLink},
                      HeldCase{"RenamedFile", Way::kRenamed},
                      HeldCase{"ProcFdOfTheRenamedFile", Way::kProcFd},
                      HeldCase{"SnapshotOpenedBeforeTheClose", Way::kSnapshot}),
    [](const ::testing::TestParamInfo<HeldCase>& param_info) { return param_info.param.name; });

// The writer: rounds of 1 to 40 records, each closed into a frame at once.
// Between rounds it obeys "control": 'h' writes a round into the raw tail,
// reports 'h' and waits for a byte, then closes that tail first and reports
// 'c'; 'x' stops it, and it reports how many records it wrote. After
// kFreeCloses closes (a slow build reads slowly) it closes only when told,
// so that the frames list always fits the zone.
constexpr uint64_t kFreeCloses = 4000;

[[noreturn]] void back_to_back_writer(const std::string& path, int control, int report) {
  Result<Container> opened = Container::open_append(path);
  if (!opened) _exit(2);
  Container& c = *opened;
  uint64_t p = 0, id = 0;
  pollfd commands{control, POLLIN, 0};
  for (;;) {
    char command = 0;
    const int wait = id < kFreeCloses ? 0 : -1;
    if (poll(&commands, 1, wait) != 0 && read(control, &command, 1) != 1) _exit(3);
    if (command == 'x') break;
    for (uint64_t n = 1 + id % 40; n > 0; --n) {
      if (!c.append_record(body_at(p++)).ok()) _exit(4);
    }
    if (command == 'h') {
      if (!c.flush_data().ok() || write(report, "h", 1) != 1 || read(control, &command, 1) != 1) {
        _exit(5);
      }
    }
    if (!c.close_frame(++id, 1).ok()) _exit(6);
    if (command == 'g' && write(report, "c", 1) != 1) _exit(7);
  }
  if (write(report, &p, sizeof p) != sizeof p) _exit(8);
  _exit(0);
}

class BackToBackTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// The README's way to read every record, by the file's name and by
// /proc/self/fd/N, beside a writer that closes frames back to back: every
// record comes back as written. A reader that opened while records stood in
// the raw tail gets them from read_tail after the writer closed them into a
// frame, and readers that run freely beside the closes complete or fail
// only with "changed".
TEST_F(BackToBackTest, ReadersGetEveryRecordWhileFramesCloseBackToBack) {
  // Room for the frames list of every close of the test.
  { Container c = create_or_die(path_, prefixed_schema(), 1 << 19); }
  const int fd = open(path_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string names[] = {path_, "/proc/self/fd/" + std::to_string(fd)};
  Pipes pipes;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) back_to_back_writer(path_, pipes.to[0], pipes.from[1]);
  Child child(pid);
  pipes.close_child_ends();

  int served = 0, free_reads = 0;
  for (int round = 0; round < 10 && !HasFailure(); ++round) {
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      // Held with records in the raw tail: the reader's tail is not empty.
      send(pipes.to[1], 'h');
      ASSERT_EQ(receive(pipes.from[0]), 'h');
      Container r = value_or_die(Container::open_read(name));
      ASSERT_GT(r.file_len(), r.tail_start());
      // Let go: the writer closes that tail and goes on closing.
      send(pipes.to[1], 'g');
      ASSERT_EQ(receive(pipes.from[0]), 'c');
      const int64_t got = read_every_record(r, changed_text(name));
      EXPECT_GT(got, 0) << "the tail closed into a frame was not read";
      if (got > 0) ++served;
      // And readers that meet the closes wherever they happen to be.
      for (int i = 0; i < 5; ++i) {
        Result<Container> free = Container::open_read(name);
        if (!free) {
          EXPECT_EQ(err(free), changed_text(name));
          continue;
        }
        if (read_every_record(*free, changed_text(name)) >= 0) ++free_reads;
      }
    }
  }
  send(pipes.to[1], 'x');
  uint64_t written = 0;
  ASSERT_EQ(read(pipes.from[0], &written, sizeof written), static_cast<ssize_t>(sizeof written));
  child.reap();
  Container all = value_or_die(Container::open_read(path_));
  EXPECT_EQ(read_every_record(all, changed_text(path_)), static_cast<int64_t>(written));
  EXPECT_EQ(served, 20);
  RecordProperty("free_reads", free_reads);
  close(fd);
}

// A file system that emulates the writer's lock with a byte-range lock over
// the whole file holds it for the writer's whole life. A reader takes it for
// no splice and does not wait, and the writer, which cannot take its splice
// lock under it, closes all the same; the journal and zone checks remain.
TEST(WholeFileLockTest, ReaderDoesNotWaitAndWriterClosesAllTheSame) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  Container w = create_or_die(path, prefixed_schema());
  for (uint64_t p = 0; p < 30; ++p) TARVEL_ASSERT_OK(w.append_record(body_at(p)));
  TARVEL_ASSERT_OK(w.close_frame(1, 3));
  for (uint64_t p = 30; p < 60; ++p) TARVEL_ASSERT_OK(w.append_record(body_at(p)));
  TARVEL_ASSERT_OK(w.flush_data());

  Pipes pipes;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int held = open(path.c_str(), O_RDWR);
    struct flock whole;
    std::memset(&whole, 0, sizeof whole);
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (held < 0 || fcntl(held, F_SETLK, &whole) != 0) _exit(1);
    if (write(pipes.from[1], "l", 1) != 1 || receive(pipes.to[0]) != 'x') _exit(2);
    _exit(0);
  }
  Child child(pid);
  pipes.close_child_ends();
  ASSERT_EQ(receive(pipes.from[0]), 'l');

  int opens = 0, probes = 0;
  class Counting final : public EnvWrapper {
   public:
    Counting(int* opens, int* probes) : EnvWrapper(Env::posix()), opens_(opens), probes_(probes) {}
    Result<std::unique_ptr<File>> open(const std::string& p, OpenMode mode) override {
      ++*opens_;
      TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(p, mode));
      return std::unique_ptr<File>(new Probed(std::move(f), probes_));
    }

   private:
    class Probed final : public FileWrapper {
     public:
      Probed(std::unique_ptr<File> f, int* probes) : FileWrapper(std::move(f)), probes_(probes) {}
      SpliceProbe probe_splice() override {
        ++*probes_;
        const SpliceProbe seen = FileWrapper::probe_splice();
        EXPECT_EQ(seen, SpliceProbe::kUnavailable);
        return seen;
      }

     private:
      int* probes_;
    };
    int* opens_;
    int* probes_;
  } env(&opens, &probes);

  Container r = value_or_die(Container::open_read(path, env));
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(probes, 1);
  TARVEL_ASSERT_OK(w.close_frame(2, 3));
  uint64_t next = 30;
  Result<std::string> tail = r.read_tail();
  ASSERT_EQ(err(tail), "ok");
  EXPECT_TRUE(in_sequence(*tail, &next));
  EXPECT_EQ(next, 60u);
  EXPECT_EQ(probes, 2);
  send(pipes.to[1], 'x');
  child.reap();
  Container again = value_or_die(Container::open_read(path));
  EXPECT_EQ(read_every_record(again, changed_text(path)), 60);
}

}  // namespace
}  // namespace tarvel::testing
