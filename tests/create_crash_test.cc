// A create stopped at any point: killed at each of its file-layer calls, a
// call failing, a power loss after it returned, and the temporary name that
// a stopped create leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "container/container.h"
#include "container/internal/writer_lock.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

// Kills its own process with SIGKILL at its "n"th call of the file layer, of
// the Env or of a File it opened, before that call is made.
class KillAtEnv final : public EnvWrapper {
 public:
  explicit KillAtEnv(uint64_t n) : EnvWrapper(Env::posix()), left_(n) {}

  void tick() {
    if (--left_ == 0) kill(getpid(), SIGKILL);
  }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    tick();
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, target().open(path, mode));
    return std::unique_ptr<File>(new KillAtFile(this, std::move(file)));
  }
  Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) override {
    tick();
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, target().open_new(path, bits));
    return std::unique_ptr<File>(new KillAtFile(this, std::move(file)));
  }
  Status rename(const std::string& from, const std::string& to) override {
    tick();
    return target().rename(from, to);
  }
  Status rename_noreplace(const std::string& from, const std::string& to) override {
    tick();
    return target().rename_noreplace(from, to);
  }
  Status remove(const std::string& path) override {
    tick();
    return target().remove(path);
  }
  Result<FileIdentity> identity(const std::string& path) override {
    tick();
    return target().identity(path);
  }
  Result<std::string> read_link(const std::string& path) override {
    tick();
    return target().read_link(path);
  }

 private:
  class KillAtFile final : public FileWrapper {
   public:
    KillAtFile(KillAtEnv* env, std::unique_ptr<File> file)
        : FileWrapper(std::move(file)), env_(env) {}
    Status seek(uint64_t offset) override { return env_->tick(), FileWrapper::seek(offset); }
    Result<size_t> read(char* buf, size_t n) override {
      return env_->tick(), FileWrapper::read(buf, n);
    }
    Result<size_t> write(const char* buf, size_t n) override {
      return env_->tick(), FileWrapper::write(buf, n);
    }
    Result<uint64_t> length() override { return env_->tick(), FileWrapper::length(); }
    Status truncate(uint64_t length) override {
      return env_->tick(), FileWrapper::truncate(length);
    }
    Status sync() override { return env_->tick(), FileWrapper::sync(); }
    Result<LockResult> try_lock(LockMode mode) override {
      return env_->tick(), FileWrapper::try_lock(mode);
    }
    Status unlock() override { return env_->tick(), FileWrapper::unlock(); }
    Result<FileIdentity> identity() override { return env_->tick(), FileWrapper::identity(); }
    Result<uint32_t> permissions() override { return env_->tick(), FileWrapper::permissions(); }
    Status set_permissions(uint32_t bits) override {
      return env_->tick(), FileWrapper::set_permissions(bits);
    }

   private:
    KillAtEnv* env_;
  };

  uint64_t left_;
};

constexpr uint32_t kArea = 4096;

class CreateCrashTest : public ::testing::Test {
 protected:
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      out.insert(e.path().filename().string());
    }
    return out;
  }
  // The file at the path is a whole empty container that takes appends,
  // and it is the only name in the directory.
  void expect_whole_empty_container() {
    {
      Container c = value_or_die(Container::open_append(path_));
      EXPECT_EQ(c.records(), 0u);
      EXPECT_TRUE(c.frames().empty());
      EXPECT_EQ(c.file_len(), 16u + kArea);
      TARVEL_ASSERT_OK(c.append_record("abc"));
      TARVEL_ASSERT_OK(c.close_frame(1, 3));
    }
    EXPECT_EQ(value_or_die(value_or_die(Container::open_read(path_)).read_frame(1)), "abc");
    EXPECT_EQ(names(), std::set<std::string>{"c.tarvel"});
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
  std::string temp_ = creating_path(path_);
};

// After a kill at any call, either nothing is at the path and create works
// again, or a whole empty container is there; never a stub that no open
// accepts, and a leftover temporary file goes at the next create or open.
TEST_F(CreateCrashTest, KilledAtEachCallLeavesNothingOrAWholeContainer) {
  int killed_with_file = 0, killed_without = 0;
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("killed at call " + std::to_string(n));
    ASSERT_LT(n, 100u) << "create never completed";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      KillAtEnv env(n);
      Result<Container> c =
          Container::create(path_, fixed_schema(3), "s", "w", 0, kArea, {}, env);
      _exit(c ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0) << "create failed";
      expect_whole_empty_container();
      break;
    }
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    if (file_exists(path_)) {
      ++killed_with_file;
      expect_whole_empty_container();
    } else {
      ++killed_without;
      { Container c = create_or_die(path_, fixed_schema(3)); }
      expect_whole_empty_container();
    }
    std::filesystem::remove(path_);
    ASSERT_TRUE(names().empty());
  }
  EXPECT_GT(killed_without, 2);
  EXPECT_GT(killed_with_file, 0);
}

// A create that returned has made its file durable, directory entry and all.
TEST_F(CreateCrashTest, PowerLossAfterCreateKeepsTheFile) {
  FaultEnv env;
  { Container c = create_or_die(path_, fixed_schema(3), kArea, {}, env); }
  env.crash();
  expect_whole_empty_container();
}

// A create whose call fails anywhere leaves nothing behind, and the next
// create of the path works.
TEST_F(CreateCrashTest, FailureAtEachCallLeavesNoFile) {
  uint64_t calls;
  {
    FaultEnv env;
    { Container c = create_or_die(path_, fixed_schema(3), kArea, {}, env); }
    calls = env.count(FaultEnv::kAll);
    std::filesystem::remove(path_);
  }
  int failed = 0;
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    FaultEnv env;
    env.fail_nth(FaultEnv::kAll, n, EIO);
    std::string error;
    {
      Result<Container> c =
          Container::create(path_, fixed_schema(3), "s", "w", 0, kArea, {}, env);
      if (!c) error = err(c);
    }
    ASSERT_TRUE(env.failed());
    if (!error.empty()) {
      ++failed;
      EXPECT_TRUE(names().empty()) << error;
      Container again = create_or_die(path_, fixed_schema(3));
    }
    expect_whole_empty_container();
    std::filesystem::remove(path_);
  }
  EXPECT_GT(failed, 3);
}

// A temporary file that a live create holds stops another create of the path
// as an existing file does; once no create holds it, it is a leftover, and
// the next create removes it.
TEST_F(CreateCrashTest, LeftoverGoesUnlessACreateHoldsIt) {
  write_file(temp_, "TARV");
  {
    std::unique_ptr<File> held = value_or_die(Env::posix().open(temp_, OpenMode::kRead));
    ASSERT_EQ(value_or_die(held->try_lock(LockMode::kExclusive)), LockResult::kLocked);
    EXPECT_EQ(err(Container::create(path_, fixed_schema(3), "s", "w", 0, kArea, {})),
              "Io: " + path_ + ": File exists (os error 17)");
    EXPECT_EQ(names(), std::set<std::string>{"c.tarvel.creating"});
  }
  { Container c = create_or_die(path_, fixed_schema(3)); }
  expect_whole_empty_container();
}

// A create stopped between the link of its file to the path and the removal
// of the temporary name (where the file system has no rename that refuses
// to replace) leaves the file with both names. Each writer removes the
// second name first; one that names another file is left alone.
TEST_F(CreateCrashTest, WritersRemoveTheTemporaryNameOfTheirFile) {
  // Each writer's result as "ok" or its error.
  const std::pair<const char*, std::function<std::string()>> writers[] = {
      {"open_append", [&] { return err(Container::open_append(path_)); }},
      {"repack", [&] { return err(repack(path_, 1)); }},
      {"rebuild fix", [&] { return err(rebuild_headers(path_, true)); }},
  };
  for (const auto& [name, run] : writers) {
    SCOPED_TRACE(name);
    { Container c = create_or_die(path_, fixed_schema(3)); }
    std::filesystem::create_hard_link(path_, temp_);
    EXPECT_EQ(run(), "ok");
    EXPECT_EQ(names(), std::set<std::string>{"c.tarvel"});
    EXPECT_EQ(std::filesystem::hard_link_count(path_), 1u);

    write_file(temp_, "another file");
    EXPECT_EQ(run(), "ok");
    EXPECT_EQ(read_file(temp_), "another file");
    std::filesystem::remove(temp_);
    std::filesystem::remove(path_);
  }
}

}  // namespace
}  // namespace tarvel::testing
