// FIFOs, sockets and devices where a container, its journal or the repack's
// temporary file belongs: every operation returns with an error naming the
// path instead of waiting inside open. Each case runs in a child process
// with an alarm, so that a regression fails the test instead of hanging the
// suite.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

// Runs "op" in a child process that an alarm ends after 10 seconds and
// returns the text the child reported, or "<hung>" when the alarm ended it.
std::string in_child(const std::function<std::string()>& op) {
  int fds[2];
  if (pipe(fds) != 0) return "<pipe failed>";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(10);
    const std::string out = op();
    if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "<hung>";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
  return out;
}

void make_fifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }

// A socket file at "path"; the descriptor stays open for the test's life.
void make_socket(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
}

TEST(SpecialFiles, TheFileLayerNeverWaitsAndNamesTheKind) {
  ScratchDir dir;
  const std::string fifo = dir.file("fifo");
  const std::string sock = dir.file("sock");
  make_fifo(fifo);
  make_socket(sock);
  struct Case {
    std::string path;
    OpenMode mode;
    const char* want;
  } cases[] = {
      {fifo, OpenMode::kRead, "not a regular file"},
      {fifo, OpenMode::kReadWrite, "not a regular file"},
      {fifo, OpenMode::kCreateTruncate, "not a regular file"},
      {fifo, OpenMode::kCreateNew, "File exists (os error 17)"},
      {sock, OpenMode::kRead, "not a regular file"},
      {sock, OpenMode::kCreateTruncate, "not a regular file"},
      {"/dev/null", OpenMode::kRead, "not a regular file"},
      // Directories open as before; their reads fail.
      {dir.path(), OpenMode::kRead, "ok"},
      {dir.path(), OpenMode::kReadWrite, "Is a directory (os error 21)"},
      {dir.path(), OpenMode::kDirectory, "ok"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(in_child([&] {
                Result<std::unique_ptr<File>> f = Env::posix().open(c.path, c.mode);
                return f ? std::string("ok") : f.error().to_string();
              }),
              c.want)
        << c.path << " mode " << static_cast<int>(c.mode);
  }
  // A regular file reads and writes as before: no O_NONBLOCK is left behind.
  const std::string plain = dir.file("plain");
  write_file(plain, "abc");
  auto f = Env::posix().open(plain, OpenMode::kReadWrite);
  TARVEL_ASSERT_OK(f);
  EXPECT_EQ(value_or_die(read_exact_at(**f, 0, 3)), "abc");
}

// Every operation that opens a container by its path.
const struct PathOp {
  const char* name;
  std::function<std::string(const std::string&)> run;
} kPathOps[] = {
    {"open_read", [](const std::string& p) { return err(Container::open_read(p)); }},
    {"open_append", [](const std::string& p) { return err(Container::open_append(p)); }},
    {"peek_headers", [](const std::string& p) { return err(peek_headers(p)); }},
    {"validate", [](const std::string& p) { return err(validate(p)); }},
    {"rebuild_headers", [](const std::string& p) { return err(rebuild_headers(p, false)); }},
    {"rebuild_headers fix", [](const std::string& p) { return err(rebuild_headers(p, true)); }},
    {"repack", [](const std::string& p) { return err(repack(p, 1)); }},
    {"repack_with_header_area",
     [](const std::string& p) { return err(repack_with_header_area(p, 1, 4096)); }},
};

TEST(SpecialFiles, AFifoAtTheContainerPathFailsEveryOperation) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  make_fifo(path);
  for (const PathOp& op : kPathOps) {
    EXPECT_EQ(in_child([&] { return op.run(path); }), "Io: " + path + ": not a regular file")
        << op.name;
  }
}

TEST(SpecialFiles, AFifoAtTheJournalPathNeverBlocks) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  const std::string journal = journal_path(path);
  {
    Container c = create_or_die(path, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
  }
  make_fifo(journal);
  // The replaying operations either refuse the journal, naming it, or pass
  // it over as unreadable; none of them waits.
  for (const PathOp& op : kPathOps) {
    const std::string got = in_child([&] { return op.run(path); });
    if (got != "ok") {
      EXPECT_EQ(got, "Io: " + journal + ": not a regular file") << op.name;
    }
  }
  // A close cannot write its journal there; the container is untouched and
  // the FIFO, which this close did not make, is left where it is.
  EXPECT_EQ(in_child([&] {
              ::unlink(journal.c_str());
              Container c = value_or_die(Container::open_append(path));
              make_fifo(journal);
              if (!c.append_record("efgh").ok()) return std::string("append failed");
              std::string out = err(c.close_frame(1, 3));
              out += c.frames().empty() ? " / no frame" : " / a frame";
              return out;
            }),
            "Io: " + journal + ": not a regular file / no frame");
  struct stat st;
  ASSERT_EQ(lstat(journal.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(unlink(journal.c_str()), 0);
  Container c = value_or_die(Container::open_append(path));
  EXPECT_EQ(c.records(), 2u);
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abcdefgh");
}

TEST(SpecialFiles, AFifoAtTheRepackPathIsReplaced) {
  ScratchDir dir;
  const std::string path = dir.file("c.tarvel");
  {
    Container c = create_or_die(path, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
  }
  make_fifo(path + ".repack");
  EXPECT_EQ(in_child([&] { return err(repack(path, 1)); }), "ok");
  EXPECT_FALSE(file_exists(path + ".repack"));
  Container c = value_or_die(Container::open_read(path));
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
}

}  // namespace
}  // namespace tarvel::testing
