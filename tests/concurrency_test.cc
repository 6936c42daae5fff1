// A writer process appending and closing frames, and beside it, in another
// process, readers, a second writer and the maintenance tools in a loop:
// every record a reader returns is the one the writer wrote at that place,
// every refusal is the documented error, and no accepted record is lost.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/container_test_util.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

// The real file system, where the first open of "at" after one of "after"
// first runs "act". A test hands over to another process at a point the code
// under test has provably reached, instead of guessing how long it takes.
class HandOffEnv final : public EnvWrapper {
 public:
  HandOffEnv(std::string after, std::string at, std::function<void()> act)
      : EnvWrapper(Env::posix()), after_(std::move(after)), at_(std::move(at)), act_(std::move(act)) {}

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    if (armed_ && path == at_) {
      armed_ = false;
      act_();
      act_ = nullptr;
    }
    if (act_ != nullptr && path == after_) armed_ = true;
    return Env::posix().open(path, mode);
  }

  bool acted() const { return act_ == nullptr; }

 private:
  std::string after_, at_;
  std::function<void()> act_;
  bool armed_ = false;
};

// The child: appends and closes frames, and reports 'o' through "report_fd"
// once its first frame is listed. Between two rounds it obeys "control_fd":
// 'p' pauses it, holding the file unchanged, until the next byte, after it
// reported 'a'; 'x' stops it. Stopped, it leaves some records buffered for
// release to write, and reports how many records it appended in all.
[[noreturn]] void writer(const std::string& path, int control_fd, int report_fd) {
  Result<Container> opened = Container::open_append(path);
  if (!opened) _exit(2);
  std::mt19937 rng(7);
  uint64_t p = 0;
  {
    Container c = std::move(opened).value();
    pollfd control{control_fd, POLLIN, 0};
    for (uint64_t id = 1;; ++id) {
      if (id > 1 && poll(&control, 1, 0) != 0) {
        char command = 0;
        if (read(control_fd, &command, 1) != 1) _exit(8);
        if (command == 'p') {
          if (write(report_fd, "a", 1) != 1 || read(control_fd, &command, 1) != 1) _exit(8);
        }
        if (command == 'x') break;
      }
      const int n = std::uniform_int_distribution<int>(1, 400)(rng);
      for (int i = 0; i < n; ++i) {
        if (!c.append_record(body_at(p++)).ok()) _exit(3);
      }
      // A change every few milliseconds: far more often than a real writer,
      // still leaving the tools a moment to finish between two changes.
      if (id > 1) usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 4000)(rng)));
      // Some rounds leave their records in the raw tail on disk.
      if (id > 1 && rng() % 3 == 0) {
        if (!c.flush_data().ok()) _exit(4);
        continue;
      }
      Status st = c.close_frame(id, 1);
      if (!st.ok()) {
        fprintf(stderr, "close_frame: %s\n", st.error().to_string().c_str());
        _exit(5);
      }
      if (id == 1 && write(report_fd, "o", 1) != 1) _exit(7);
    }
    for (int i = 0; i < 10; ++i) {
      if (!c.append_record(body_at(p++)).ok()) _exit(6);
    }
  }
  if (write(report_fd, &p, sizeof p) != sizeof p) _exit(7);
  _exit(0);
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  std::string refused() const { return "Usage: another writer holds \"" + path_ + "\""; }
  std::string changed() const {
    return "Usage: \"" + path_ + "\" changed while it was being read; open it again";
  }

  // Reads every frame and the tail through open_read; returns how many
  // records it saw, all in sequence, or -1 when the file moved under it.
  int64_t read_all() {
    Result<Container> opened = Container::open_read(path_);
    if (!opened) {
      EXPECT_EQ(err(opened), changed());
      return -1;
    }
    Container& r = *opened;
    uint64_t next = 0;
    for (size_t i = 0; i < r.frames().size(); ++i) {
      Result<std::string> body = r.read_frame_at(i);
      if (!body) {
        ADD_FAILURE() << "frame " << i << ": " << body.error().to_string();
        return -1;
      }
      EXPECT_TRUE(in_sequence(*body, &next)) << "frame " << i;
    }
    EXPECT_EQ(next, r.records_committed());
    Result<std::string> tail = r.read_tail();
    if (!tail) {
      EXPECT_EQ(err(tail), changed());
      return -1;
    }
    EXPECT_TRUE(in_sequence(*tail, &next)) << "tail";
    return static_cast<int64_t>(next);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

TEST_F(ConcurrencyTest, ReadersSecondWriterAndToolsBesideALiveWriter) {
  // A zone with room for a few thousand frames.
  { Container c = create_or_die(path_, prefixed_schema(), 1 << 17); }
  int control[2], report[2];
  ASSERT_EQ(pipe(control), 0);
  ASSERT_EQ(pipe(report), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(control[1]);
    close(report[0]);
    writer(path_, control[0], report[1]);
  }
  close(control[0]);
  close(report[1]);
  // From here on the writer holds the file, with its first frame listed.
  char reply = 0;
  ASSERT_EQ(read(report[0], &reply, 1), 1) << "the writer did not start";
  ASSERT_EQ(reply, 'o');

  int reads = 0, moved = 0, reports = 0;
  int64_t seen = 0;
  // One round of every reader and tool; "settled" when the writer is paused,
  // so that nothing may report the file as changed under it.
  auto round = [&](bool settled) {
    const int64_t got = read_all();
    if (got < 0) {
      EXPECT_FALSE(settled) << "a reader of a file nobody changes saw it move";
      ++moved;
    } else {
      // Readers never go backwards: the writer only adds.
      EXPECT_GE(got, seen);
      seen = got;
      ++reads;
    }
    EXPECT_EQ(err(Container::open_append(path_)), refused());
    EXPECT_EQ(err(repack(path_, 1)), refused());
    EXPECT_EQ(err(rebuild_headers(path_, true)), refused());
    EXPECT_FALSE(file_exists(path_ + ".repack"));
    Result<ValidateReport> checked = validate(path_);
    if (checked) {
      EXPECT_TRUE(checked->problems.empty()) << checked->problems.front();
      ++reports;
    } else {
      EXPECT_FALSE(settled) << err(checked);
      EXPECT_EQ(err(checked), changed());
    }
    Result<RebuildReport> rebuilt = rebuild_headers(path_, false);
    if (rebuilt) {
      EXPECT_TRUE(rebuilt->differences.empty()) << rebuilt->differences.front();
      EXPECT_FALSE(rebuilt->fixed);
      ++reports;
    } else {
      EXPECT_FALSE(settled) << err(rebuilt);
      EXPECT_EQ(err(rebuilt), changed());
    }
  };

  // Beside a writer that changes the file all the time, any round may find
  // it moved; how many do is up to the scheduler, and checks nothing.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  do {
    round(false);
  } while (std::chrono::steady_clock::now() < deadline && !HasFailure());
  // Paused between two rounds the writer still holds the file, with records
  // in its frames and perhaps in the raw tail: every reader and tool gets
  // its answer, and the refusals stay.
  ASSERT_EQ(write(control[1], "p", 1), 1);
  ASSERT_EQ(read(report[0], &reply, 1), 1);
  ASSERT_EQ(reply, 'a');
  const int moving_reads = reads;
  round(true);
  EXPECT_EQ(reads, moving_reads + 1);

  ASSERT_EQ(write(control[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  uint64_t written = 0;
  ASSERT_EQ(read(report[0], &written, sizeof written), static_cast<ssize_t>(sizeof written));
  close(report[0]);
  close(control[1]);

  // Every record the writer accepted is there, in order.
  EXPECT_EQ(read_all(), static_cast<int64_t>(written));
  EXPECT_GT(reads, 0);
  EXPECT_GT(reports, 0);
  RecordProperty("reads", reads);
  RecordProperty("moved", moved);
}

// A zone that does not parse while a writer holds the file may be one caught
// mid-rewrite: the reader looks again instead of calling the file malformed.
TEST_F(ConcurrencyTest, ReaderWaitsOutAZoneBeingWrittenByALiveWriter) {
  { Container c = create_or_die(path_, fixed_schema(4)); }
  const std::string whole = read_file(path_);
  std::string torn = whole;
  torn.replace(16, 8, "no colon");
  write_file(path_, torn);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A writer in the middle of its zone rewrite, finishing once the reader
    // has looked at the torn zone.
    int fd = open(path_.c_str(), O_RDWR);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    char x;
    if (write(ready[1], "x", 1) != 1 || read(go[0], &x, 1) != 1) _exit(2);
    if (pwrite(fd, whole.data() + 16, 8, 16) != 8) _exit(3);
    _exit(0);
  }
  char x;
  ASSERT_EQ(read(ready[0], &x, 1), 1);
  // The reader's second open is a second look: the writer finishes before it.
  HandOffEnv env(path_, path_, [&] {
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  });
  Result<Container> r = Container::open_read(path_, env);
  close(ready[0]);
  close(ready[1]);
  close(go[0]);
  close(go[1]);
  ASSERT_TRUE(env.acted()) << err(r);
  EXPECT_EQ(err(r), "ok");
  // Nobody holds the file now: the same damage is the file's own.
  write_file(path_, torn);
  EXPECT_EQ(err(Container::open_read(path_)).rfind("Malformed: ", 0), 0u);
}

// A journal that a live writer is working on is not the tools' to replay. A
// replay after the writer's own commit would cut off the records appended
// since: here the journal is that of the first close, planted while the
// file has moved on by two records.
TEST_F(ConcurrencyTest, ToolsLeaveALiveWritersJournalAlone) {
  Container w = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(w.append_record("aaaa"));
  TARVEL_ASSERT_OK(w.close_frame(1, 3));
  const std::string first_close = read_file(path_);
  TARVEL_ASSERT_OK(w.append_record("bbbb"));
  TARVEL_ASSERT_OK(w.append_record("cccc"));
  TARVEL_ASSERT_OK(w.flush_data());
  const std::string now = read_file(path_);
  const uint64_t data_start = 16 + 4096;

  struct Tool {
    const char* name;
    bool (*run)(const std::string& path, Env& env);
  };
  const Tool tools[] = {
      {"validate",
       [](const std::string& p, Env& env) {
         Result<ValidateReport> r = validate(p, nullptr, env);
         return r && r->problems.empty() && r->records == 3;
       }},
      {"rebuild_headers",
       [](const std::string& p, Env& env) {
         Result<RebuildReport> r = rebuild_headers(p, false, env);
         return r && r->differences.empty();
       }},
  };
  for (const Tool& tool : tools) {
    SCOPED_TRACE(tool.name);
    TARVEL_ASSERT_OK(write_journal(Env::posix(), path_, data_start, first_close.substr(16, 4096),
                                   first_close.substr(data_start)));
    // The writer's part, from another process: its close ends once the tool
    // has seen the journal and opens the file again, and it removes the
    // journal.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char x;
      if (read(go[0], &x, 1) != 1) _exit(2);
      _exit(unlink(journal_path(path_).c_str()) == 0 ? 0 : 1);
    }
    auto finish_close = [&] {
      ASSERT_EQ(write(go[1], "x", 1), 1);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the tool took the journal";
    };
    HandOffEnv env(journal_path_of(Env::posix(), path_), path_, finish_close);
    EXPECT_TRUE(tool.run(path_, env));
    if (!env.acted()) {
      ADD_FAILURE() << "the tool never looked at the journal";
      finish_close();
    }
    close(go[0]);
    close(go[1]);
    EXPECT_EQ(read_file(path_), now);
  }
}

}  // namespace
}  // namespace tarvel::testing
