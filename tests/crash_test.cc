// A writer process killed with SIGKILL at random moments: after each kill
// the file reopens for appending, every frame whose close returned is there,
// and every record in the file is the one the writer appended at that place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "container/container.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

// What the writer reports through the pipe once a close or a header
// rewrite has returned.
struct Closed {
  uint64_t id;       // the frame's id, or 0 for a header rewrite
  uint64_t records;  // records_committed after the close; records written
                     // before the header rewrite
};

// The child: appends records and closes frames until it is killed. Frame ids
// are positions + 1, so they never repeat whatever a crash left behind.
[[noreturn]] void writer(const std::string& path, int report_fd, uint32_t seed) {
  Result<Container> opened = Container::open_append(path);
  if (!opened) _exit(2);
  Container c = std::move(opened).value();
  std::mt19937 rng(seed);
  uint64_t p = c.records();
  for (;;) {
    const int n = std::uniform_int_distribution<int>(1, 3000)(rng);
    for (int i = 0; i < n; ++i) {
      if (!c.append_record(body_at(p++)).ok()) _exit(3);
    }
    const uint64_t id = c.frames().size() + 1;
    Status st = c.close_frame(id, 1);
    if (!st.ok()) {
      fprintf(stderr, "close_frame: %s\n", st.error().to_string().c_str());
      _exit(4);
    }
    Closed done{id, c.records_committed()};
    if (write(report_fd, &done, sizeof done) != sizeof done) _exit(5);
    // A header rewrite between closes makes the records appended before it
    // durable, and must never leave a zone that cannot be read.
    const int m = std::uniform_int_distribution<int>(0, 300)(rng);
    for (int i = 0; i < m; ++i) {
      if (!c.append_record(body_at(p++)).ok()) _exit(3);
    }
    st = c.set_user_header("frames", std::to_string(id));
    if (!st.ok()) {
      fprintf(stderr, "set_user_header: %s\n", st.error().to_string().c_str());
      _exit(6);
    }
    Closed flushed{0, p};
    if (write(report_fd, &flushed, sizeof flushed) != sizeof flushed) _exit(5);
  }
}

// Everything in the file, frames then tail, is the sequence body_at(0),
// body_at(1), ... with nothing missing or changed. Returns the number of
// records up to the end of each frame.
std::vector<uint64_t> expect_sequence(Container& c) {
  std::vector<uint64_t> ends;
  uint64_t p = 0;
  auto check = [&](std::string_view bytes) {
    SplitRecords split = split_records(bytes, c.schema().layout);
    EXPECT_EQ(split.torn, 0u);
    for (std::string_view r : split.records) {
      if (r != body_at(p)) {
        ADD_FAILURE() << "record " << p << " differs";
        return;
      }
      ++p;
    }
  };
  for (size_t i = 0; i < c.frames().size(); ++i) {
    check(value_or_die(c.read_frame_at(i)));
    ends.push_back(p);
  }
  check(value_or_die(c.read_tail()));
  EXPECT_EQ(p, c.records());
  return ends;
}

TEST(CrashTest, KilledWriterLosesNoClosedFrameOrFlushedRecord) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  // A zone with room for a few thousand frames.
  { Container c = create_or_die(path, prefixed_schema(), 1 << 17); }
  std::mt19937 rng(20240229);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int kills = 0;
  std::vector<Closed> reported;
  for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      writer(path, fds[1], static_cast<uint32_t>(rng()));
    }
    close(fds[1]);
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40000)(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited with " << WEXITSTATUS(status);
    ++kills;
    Closed done;
    while (read(fds[0], &done, sizeof done) == sizeof done) reported.push_back(done);
    close(fds[0]);

    // Before any recovery a reader gets a whole view or is told that a
    // recovery is pending; never the bytes of a half-spliced close.
    {
      Result<Container> r = Container::open_read(path);
      if (r) {
        uint64_t p = 0;
        auto expect_next = [&](const std::string& bytes) {
          for (std::string_view rec : split_records(bytes, r->schema().layout).records) {
            EXPECT_EQ(rec, body_at(p++));
          }
        };
        for (size_t i = 0; i < r->frames().size(); ++i) {
          expect_next(value_or_die(r->read_frame_at(i)));
        }
        expect_next(value_or_die(r->read_tail()));
      } else {
        EXPECT_EQ(err(r), "Usage: \"" + path +
                              "\" has a pending seal journal from an interrupted write; "
                              "recover it with open_append, validate or rebuild_headers "
                              "before reading");
      }
    }
    Container c = value_or_die(Container::open_append(path));
    expect_counts_match_data(c);
    const std::vector<uint64_t> ends = expect_sequence(c);
    for (const Closed& k : reported) {
      if (k.id == 0) {
        EXPECT_GE(c.records(), k.records) << "records before a header rewrite lost";
        continue;
      }
      ASSERT_GE(ends.size(), k.id) << "frame " << k.id << " lost";
      EXPECT_EQ(ends[k.id - 1], k.records) << "frame " << k.id;
    }
    if (::testing::Test::HasFailure()) {
      break;
    }
  }
  EXPECT_GT(kills, 0);
  RecordProperty("kills", kills);
  RecordProperty("closes", static_cast<int>(reported.size()));
}

}  // namespace
}  // namespace tarvel::testing
