// A writer is bound to the file it opened, not to the name it opened it by:
// writers in child processes, killed with SIGKILL while their seal journal
// stands complete, after a chdir, a rename and a new file at the old name, a
// second hard link, and a fork. No committed record is lost, no record of
// another file returned, and every refusal is a clear error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/container_test_util.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

namespace fs = std::filesystem;

// Appends records "from" to "to" - 1; false at the first refusal.
bool append_all(Container& c, uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) {
    if (!c.append_record(u32(i)).ok()) return false;
  }
  return true;
}

// A process forked to run "body", with a line-based channel each way. The
// child never returns into the test: it _exits with body's result. The
// destructor kills a child still running.
class Child {
 public:
  explicit Child(const std::function<int(Child&)>& body) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) abort();
    pid_ = fork();
    if (pid_ < 0) abort();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      in_ = down[0];
      out_ = up[1];
      _exit(body(*this));
    }
    close(down[0]);
    close(up[1]);
    in_ = up[0];
    out_ = down[1];
  }
  ~Child() {
    if (pid_ > 0) kill_now();
    close(in_);
    close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // One line to the other side.
  void say(const std::string& line) {
    const std::string out = line + "\n";
    if (write(out_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) abort();
  }
  // The next line from the other side; "<eof>" when it has gone.
  std::string hear() {
    std::string line;
    char c;
    for (;;) {
      const ssize_t n = read(in_, &c, 1);
      if (n <= 0) return "<eof>";
      if (c == '\n') return line;
      line += c;
    }
  }
  // In the child: waits for the parent's next line, forever if need be.
  void wait() { (void)hear(); }

  void kill_now() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  // The child's exit status, once it has ended by itself.
  int join() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// The real file system, where a seal journal that is complete and flushed
// stops the writer: it tells the parent the journal's path and waits for the
// SIGKILL. A writer through this Env is killed while its journal stands.
class StopAtJournal final : public EnvWrapper {
 public:
  explicit StopAtJournal(Child& child) : EnvWrapper(Env::posix()), child_(child) {}

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, target().open(path, mode));
    if (mode != OpenMode::kCreateTruncate || !path.ends_with(".seal")) return file;
    return std::unique_ptr<File>(new Journal(std::move(file), path, child_));
  }

 private:
  class Journal final : public FileWrapper {
   public:
    Journal(std::unique_ptr<File> f, std::string path, Child& child)
        : FileWrapper(std::move(f)), path_(std::move(path)), child_(child) {}
    Status sync() override {
      TARVEL_TRY(FileWrapper::sync());
      child_.say("journal " + path_);
      for (;;) pause();
    }

   private:
    std::string path_;
    Child& child_;
  };

  Child& child_;
};

class FileIdentityTest : public ::testing::Test {
 protected:
  std::string moved(const std::string& path) const {
    return "Usage: \"" + path +
           "\" was moved or removed since it was opened; open it again by its current name to "
           "close frames or rewrite its headers";
  }
  std::string several(const std::string& path) const {
    return "Usage: \"" + path +
           "\" has several names (hard links), so its seal journal would have several names "
           "too; a writer needs a file with exactly one name";
  }
  // A new file of fixed records "from" to "to" - 1, closed into frame 1.
  void make_closed(const std::string& path, uint32_t from, uint32_t to) {
    Container c = create_or_die(path, fixed_schema(4));
    ASSERT_TRUE(append_all(c, from, to));
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
  }
  // Every record of the file, frames then tail, through open_append.
  std::string all_records(const std::string& path) {
    Result<Container> c = Container::open_append(path);
    if (!c) return err(c);
    std::string out;
    for (size_t i = 0; i < c->frames().size(); ++i) {
      Result<std::string> body = c->read_frame_at(i);
      if (!body) return err(body);
      out += *body;
    }
    Result<std::string> tail = c->read_tail();
    if (!tail) return err(tail);
    return out + *tail;
  }

  ScratchDir dir_;
};

// A writer opened its file by a relative name and the process changed its
// directory since: the journal lands beside the writer's own file, and a
// file of the same name in the new directory is never touched.
TEST_F(FileIdentityTest, ChdirMovesNoJournal) {
  const std::string a = dir_.file("a"), b = dir_.file("b");
  fs::create_directory(a);
  fs::create_directory(b);
  { Container c = create_or_die(a + "/f.tarvel", fixed_schema(4)); }
  make_closed(b + "/f.tarvel", 1000, 1300);
  const std::string other = read_file(b + "/f.tarvel");

  Child writer([&](Child& self) {
    StopAtJournal env(self);
    if (chdir(a.c_str()) != 0) return 2;
    Result<Container> w = Container::open_append("f.tarvel", env);
    if (!w) return 3;
    if (!append_all(*w, 0, 100)) return 4;
    if (chdir(b.c_str()) != 0) return 2;
    self.say("closed " + err(w->close_frame(1, 3)));
    return 0;
  });
  ASSERT_EQ(writer.hear(), "journal " + fs::canonical(a).string() + "/f.tarvel.seal");
  writer.kill_now();

  EXPECT_FALSE(file_exists(b + "/f.tarvel.seal"));
  EXPECT_TRUE(read_file(b + "/f.tarvel") == other) << "the other directory's file changed";
  EXPECT_EQ(all_records(b + "/f.tarvel"), u32s(1000, 1300));
  // The killed close is completed in its own file.
  EXPECT_EQ(all_records(a + "/f.tarvel"), u32s(0, 100));
  EXPECT_FALSE(file_exists(a + "/f.tarvel.seal"));
}

// Log rotation: the live writer's file is renamed away and a new file made
// at its name. The old writer refuses its close instead of writing a journal
// that the new file would take for its own; what it wrote stays in its file.
TEST_F(FileIdentityTest, RenamedWriterRefusesItsClose) {
  const std::string p = dir_.file("p.tarvel"), rotated = p + ".1";
  { Container c = create_or_die(p, fixed_schema(4)); }
  Child writer([&](Child& self) {
    StopAtJournal env(self);
    Result<Container> w = Container::open_append(p, env);
    if (!w) return 3;
    if (!append_all(*w, 0, 200)) return 4;
    if (!w->flush_data().ok()) return 5;
    self.say("ready");
    self.wait();
    // Records appended after a refusal still go into the old file.
    if (!w->append_record(u32(200)).ok()) return 6;
    self.say("closed " + err(w->close_frame(1, 3)));
    self.say("sealed " + err(w->seal(1, 3)));
    self.say("header " + err(w->set_user_header("note", "x")));
    self.say("flushed " + err(w->flush_headers()));
    self.say("data " + err(w->flush_data()));
    self.wait();
    return 0;
  });
  ASSERT_EQ(writer.hear(), "ready");
  fs::rename(p, rotated);
  make_closed(p, 1000, 1300);
  writer.say("go");
  ASSERT_EQ(writer.hear(), "closed " + moved(p));
  EXPECT_EQ(writer.hear(), "sealed " + moved(p));
  EXPECT_EQ(writer.hear(), "header " + moved(p));
  EXPECT_EQ(writer.hear(), "flushed " + moved(p));
  EXPECT_EQ(writer.hear(), "data ok");
  writer.kill_now();

  EXPECT_FALSE(file_exists(p + ".seal"));
  EXPECT_FALSE(file_exists(rotated + ".seal"));
  EXPECT_EQ(all_records(p), u32s(1000, 1300));
  EXPECT_EQ(all_records(rotated), u32s(0, 201));
}

// A writer killed while its journal stands, and its file renamed meanwhile:
// a new create at the old name finds the journal, which may be the only
// redo of the renamed file, and moves it aside instead of deleting it. Under
// the renamed file's own journal name it completes that file's close.
TEST_F(FileIdentityTest, CreateMovesAFoundJournalAside) {
  const std::string p = dir_.file("p.tarvel"), rotated = p + ".1";
  { Container c = create_or_die(p, fixed_schema(4)); }
  Child writer([&](Child& self) {
    StopAtJournal env(self);
    Result<Container> w = Container::open_append(p, env);
    if (!w) return 3;
    if (!append_all(*w, 0, 200)) return 4;
    self.say("closed " + err(w->close_frame(1, 3)));
    return 0;
  });
  ASSERT_EQ(writer.hear(), "journal " + p + ".seal");
  fs::rename(p, rotated);
  writer.kill_now();
  const std::string journal = read_file(p + ".seal");
  ASSERT_TRUE(journal_is_complete(journal));

  make_closed(p, 1000, 1300);
  EXPECT_FALSE(file_exists(p + ".seal"));
  EXPECT_TRUE(read_file(p + ".seal.orphaned") == journal) << "the journal set aside";
  EXPECT_EQ(all_records(p), u32s(1000, 1300));
  // Never over an earlier one.
  fs::remove(p);
  fs::copy_file(p + ".seal.orphaned", p + ".seal");
  { Container c = create_or_die(p, fixed_schema(4)); }
  EXPECT_TRUE(read_file(p + ".seal.orphaned.1") == journal) << "the second journal set aside";
  EXPECT_TRUE(read_file(p + ".seal.orphaned") == journal) << "the first journal set aside";

  fs::rename(p + ".seal.orphaned", rotated + ".seal");
  EXPECT_EQ(all_records(rotated), u32s(0, 200));
  Container r = value_or_die(Container::open_read(rotated));
  EXPECT_EQ(r.frames().size(), 1u);
}

// A file with two names would give its journal two names as well: writers
// refuse it, at the open and, for a link made later, before the journal.
TEST_F(FileIdentityTest, SecondNameIsRefusedByEveryWriter) {
  const std::string a = dir_.file("a.tarvel"), b = dir_.file("b.tarvel");
  make_closed(a, 0, 250);
  fs::create_hard_link(a, b);
  EXPECT_EQ(err(Container::open_append(a)), several(a));
  EXPECT_EQ(err(Container::open_append(b)), several(b));
  EXPECT_EQ(err(repack(a, 1)), several(a));
  EXPECT_EQ(err(rebuild_headers(b, true)), several(b));
  // Readers are no writers.
  EXPECT_EQ(value_or_die(value_or_die(Container::open_read(b)).read_frame(1)), u32s(0, 250));
  EXPECT_EQ(err(validate(a)), "ok");
  EXPECT_EQ(err(rebuild_headers(a, false)), "ok");
  fs::remove(b);
  EXPECT_EQ(all_records(a), u32s(0, 250));
}

TEST_F(FileIdentityTest, LinkMadeAfterTheOpenStopsTheNextJournal) {
  const std::string a = dir_.file("a.tarvel"), b = dir_.file("b.tarvel");
  make_closed(a, 0, 250);
  Child writer([&](Child& self) {
    StopAtJournal env(self);
    Result<Container> w = Container::open_append(a, env);
    if (!w) return 3;
    if (!append_all(*w, 250, 350)) return 4;
    self.say("ready");
    self.wait();
    self.say("closed " + err(w->close_frame(2, 3)));
    self.say("header " + err(w->set_user_header("note", "x")));
    self.say("data " + err(w->flush_data()));
    self.wait();
    return 0;
  });
  ASSERT_EQ(writer.hear(), "ready");
  fs::create_hard_link(a, b);
  writer.say("go");
  ASSERT_EQ(writer.hear(), "closed " + several(a));
  EXPECT_EQ(writer.hear(), "header " + several(a));
  EXPECT_EQ(writer.hear(), "data ok");
  writer.kill_now();

  EXPECT_FALSE(file_exists(a + ".seal"));
  EXPECT_FALSE(file_exists(b + ".seal"));
  EXPECT_EQ(err(Container::open_append(b)), several(b));
  fs::remove(a);
  EXPECT_EQ(all_records(b), u32s(0, 350));
}

// A forked child shares its parent's open Container. Every call the child
// makes on it is refused, its release writes nothing (here it would write
// the parent's buffer over the frame the parent closed meanwhile), and the
// parent's lock ends with the parent's Container, while the child lives.
TEST_F(FileIdentityTest, ForkedChildCannotUseTheParentsContainer) {
  const std::string p = dir_.file("p.tarvel");
  std::unique_ptr<Container> w =
      std::make_unique<Container>(create_or_die(p, fixed_schema(4)));
  ASSERT_TRUE(append_all(*w, 0, 100));
  Child child([&](Child& self) {
    self.wait();
    self.say("append " + err(w->append_record(u32(7))));
    self.say("close " + err(w->close_frame(9, 3)));
    self.say("read " + err(w->read_frame_at(0)));
    self.say("tail " + err(w->read_tail()));
    self.say("data " + err(w->flush_data()));
    self.say("own " + err(Container::open_append(p)));
    w.reset();
    self.say("released");
    self.wait();
    return 0;
  });
  ASSERT_TRUE(append_all(*w, 100, 200));
  TARVEL_ASSERT_OK(w->close_frame(1, 3));
  child.say("go");
  const std::string refused =
      "Usage: \"" + p + "\" was opened by the parent process; a forked child must open the "
      "file itself";
  for (const char* call : {"append ", "close ", "read ", "tail ", "data "}) {
    EXPECT_EQ(child.hear(), call + refused);
  }
  EXPECT_EQ(child.hear(), "own Usage: another writer holds \"" + p + "\"");
  EXPECT_EQ(child.hear(), "released");
  EXPECT_EQ(value_or_die(w->read_frame(1)), u32s(0, 200));

  // The child still lives, and it holds no lock of the parent's.
  w.reset();
  EXPECT_EQ(all_records(p), u32s(0, 200));
  child.say("exit");
  EXPECT_EQ(child.join(), 0);
}

}  // namespace
}  // namespace tarvel::testing
