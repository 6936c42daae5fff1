// A child process for the tests that hand over between processes: two
// pipes to talk to it, one byte at a time, and a holder that reaps it, or
// kills it when a test stops early, so that no child is left waiting.
#ifndef TARVEL_TESTS_CHILD_PROCESS_H_
#define TARVEL_TESTS_CHILD_PROCESS_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvel::testing {

inline void send(int fd, char c) { ASSERT_EQ(write(fd, &c, 1), 1); }

inline char receive(int fd) {
  char c = 0;
  return read(fd, &c, 1) == 1 ? c : '\0';
}

// Two pipes between this process and a child: "to" the child and "from" it.
struct Pipes {
  Pipes() {
    if (pipe(to) != 0 || pipe(from) != 0) abort();
  }
  ~Pipes() {
    for (int fd : {to[0], to[1], from[0], from[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  // In the parent, once the child is forked: lets go of the child's ends, so
  // that a child that dies early ends the parent's reads instead of leaving
  // them waiting for ever.
  void close_child_ends() {
    close(to[0]);
    close(from[1]);
    to[0] = from[1] = -1;
  }
  int to[2], from[2];
};

// A child process: reap() waits for it and checks that it ended well; a
// test that stops early kills it instead of leaving it waiting.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void reap() {
    int status = 0;
    const pid_t pid = pid_;
    pid_ = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

 private:
  pid_t pid_;
};

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_CHILD_PROCESS_H_
