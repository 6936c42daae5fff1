#include "tests/fault_env.h"

#include <gtest/gtest.h>

#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel {
namespace {

using testing::FaultEnv;
using testing::ScratchDir;

std::unique_ptr<File> open_or_die(Env& env, const std::string& path, OpenMode mode) {
  auto f = env.open(path, mode);
  TARVEL_EXPECT_OK(f) << path;
  return f ? std::move(*f) : nullptr;
}

TEST(FaultEnv, CountsCallsByKind) {
  ScratchDir dir;
  FaultEnv env;
  {
    auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(write_all_at(*f, 0, "abc"));
    TARVEL_ASSERT_OK(f->truncate(2));
    TARVEL_ASSERT_OK(f->sync());
    TARVEL_ASSERT_OK(read_exact_at(*f, 0, 2));
    TARVEL_ASSERT_OK(f->length());
  }
  sync_parent_dir(env, dir.file("a"));
  TARVEL_ASSERT_OK(env.rename(dir.file("a"), dir.file("b")));
  TARVEL_ASSERT_OK(env.remove(dir.file("b")));
  EXPECT_EQ(env.count(FaultEnv::kOpen), 2u);
  EXPECT_EQ(env.count(FaultEnv::kSeek), 2u);
  EXPECT_EQ(env.count(FaultEnv::kWrite), 1u);
  EXPECT_EQ(env.count(FaultEnv::kRead), 1u);
  EXPECT_EQ(env.count(FaultEnv::kLength), 1u);
  EXPECT_EQ(env.count(FaultEnv::kTruncate), 1u);
  EXPECT_EQ(env.count(FaultEnv::kSync), 2u);  // the file and its directory
  EXPECT_EQ(env.count(FaultEnv::kRename | FaultEnv::kRemove), 2u);
  EXPECT_EQ(env.count(FaultEnv::kAll), 12u);
}

TEST(FaultEnv, FailsOnlyTheNthCallOfTheChosenKinds) {
  ScratchDir dir;
  FaultEnv env;
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  env.fail_nth(FaultEnv::kWrite | FaultEnv::kSync, 3, EIO);
  TARVEL_EXPECT_OK(write_all(*f, "x"));  // 1st
  TARVEL_EXPECT_OK(f->truncate(1));      // not a chosen kind
  TARVEL_EXPECT_OK(f->sync());           // 2nd
  EXPECT_FALSE(env.failed());
  Status third = write_all(*f, "y");
  TARVEL_ASSERT_ERROR(third);
  EXPECT_EQ(third.error().to_string(), "Input/output error (os error 5)");
  EXPECT_TRUE(env.failed());
  TARVEL_EXPECT_OK(write_all(*f, "z"));  // only the 3rd fails
  EXPECT_EQ(testing::read_file(dir.file("a")), "xz");
}

TEST(FaultEnv, DyingFailsEveryLaterCall) {
  ScratchDir dir;
  FaultEnv env;
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  env.die_at(FaultEnv::kSync, 1, ENOSPC);
  TARVEL_EXPECT_OK(write_all(*f, "x"));
  TARVEL_EXPECT_ERROR(f->sync());
  Status later = f->seek(0);
  TARVEL_ASSERT_ERROR(later);
  EXPECT_EQ(later.error().io_failure().errnum(), ENOSPC);
  TARVEL_EXPECT_ERROR(env.open(dir.file("a"), OpenMode::kRead));
}

TEST(FaultEnv, ShortWritesAndReadsAreContinued) {
  ScratchDir dir;
  FaultEnv env;
  env.set_max_write(3);
  env.set_max_read(4);
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  TARVEL_ASSERT_OK(write_all(*f, "0123456789"));
  EXPECT_EQ(env.count(FaultEnv::kWrite), 4u);
  auto back = read_exact_at(*f, 0, 10);
  TARVEL_ASSERT_OK(back);
  EXPECT_EQ(*back, "0123456789");
  auto part = read_at(*f, 1, 20);
  TARVEL_ASSERT_OK(part);
  EXPECT_EQ(*part, "123456789");
}

TEST(FaultEnv, InterruptsAreRetriedByWholeWritesAndReadsOnly) {
  ScratchDir dir;
  FaultEnv env;
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  env.set_interrupts(true);
  TARVEL_ASSERT_OK(write_all(*f, "hello"));
  EXPECT_EQ(env.count(FaultEnv::kWrite), 2u);
  auto back = read_exact_at(*f, 0, 5);
  TARVEL_ASSERT_OK(back);
  EXPECT_EQ(*back, "hello");
  auto positioned = read_at(*f, 0, 5);
  TARVEL_ASSERT_ERROR(positioned);
  EXPECT_EQ(positioned.error().to_string(), "Interrupted system call (os error 4)");
}

TEST(FaultEnv, CrashKeepsWhatWasSyncedOnly) {
  ScratchDir dir;
  std::string old_file = dir.file("old"), kept = dir.file("kept"), lost = dir.file("lost");
  testing::write_file(old_file, "before");
  FaultEnv env;
  {
    auto f = open_or_die(env, old_file, OpenMode::kReadWrite);
    TARVEL_ASSERT_OK(write_all(*f, "BE"));
    TARVEL_ASSERT_OK(f->sync());
    TARVEL_ASSERT_OK(write_all(*f, "FORE"));  // never synced
    TARVEL_ASSERT_OK(f->truncate(9));
    auto g = open_or_die(env, kept, OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(write_all(*g, "data"));
    TARVEL_ASSERT_OK(g->sync());
    sync_parent_dir(env, kept);
    TARVEL_ASSERT_OK(write_all(*g, "more"));
  }
  {
    // Synced, but created after the directory's last flush.
    auto h = open_or_die(env, lost, OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(write_all(*h, "data"));
    TARVEL_ASSERT_OK(h->sync());
  }
  env.crash();
  EXPECT_EQ(testing::read_file(old_file), "BEfore");
  EXPECT_EQ(testing::read_file(kept), "data");
  EXPECT_FALSE(testing::file_exists(lost));
}

TEST(FaultEnv, CrashKeepingWritesKeepsUnsyncedDataButNotLengthChanges) {
  ScratchDir dir;
  std::string old_file = dir.file("old"), cut = dir.file("cut"), lost = dir.file("lost");
  testing::write_file(old_file, "before");
  testing::write_file(cut, "abcdef");
  FaultEnv env;
  {
    auto f = open_or_die(env, old_file, OpenMode::kReadWrite);
    TARVEL_ASSERT_OK(write_all(*f, "BE"));
    TARVEL_ASSERT_OK(f->sync());
    TARVEL_ASSERT_OK(write_all(*f, "FORE!!"));  // runs past the synced end
    // Cut, then written behind the cut: the cut is lost, the bytes stay.
    auto g = open_or_die(env, cut, OpenMode::kReadWrite);
    TARVEL_ASSERT_OK(g->truncate(2));
    TARVEL_ASSERT_OK(write_all_at(*g, 2, "XY"));
    auto h = open_or_die(env, lost, OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(write_all(*h, "data"));
  }
  env.crash_keeping_writes();
  EXPECT_EQ(testing::read_file(old_file), "BEFORE!!");
  EXPECT_EQ(testing::read_file(cut), "abXYef");
  EXPECT_FALSE(testing::file_exists(lost));
}

TEST(FaultEnv, CrashUndoesRenamesAndRemovalsUntilTheDirectoryIsSynced) {
  for (bool dir_synced : {false, true}) {
    ScratchDir dir;
    std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
    testing::write_file(a, "A");
    testing::write_file(b, "B");
    testing::write_file(c, "C");
    FaultEnv env;
    TARVEL_ASSERT_OK(env.rename(a, b));
    TARVEL_ASSERT_OK(env.remove(c));
    if (dir_synced) sync_parent_dir(env, a);
    env.crash();
    if (dir_synced) {
      EXPECT_FALSE(testing::file_exists(a));
      EXPECT_EQ(testing::read_file(b), "A");
      EXPECT_FALSE(testing::file_exists(c));
    } else {
      EXPECT_EQ(testing::read_file(a), "A");
      EXPECT_EQ(testing::read_file(b), "B");
      EXPECT_EQ(testing::read_file(c), "C");
    }
  }
}

TEST(FaultEnv, CrashClearsFaultsAndStartsAfresh) {
  ScratchDir dir;
  FaultEnv env;
  env.die_at(FaultEnv::kOpen, 1);
  TARVEL_EXPECT_ERROR(env.open(dir.file("a"), OpenMode::kCreateNew));
  env.crash();
  {
    auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(write_all(*f, "x"));
    TARVEL_ASSERT_OK(f->sync());
  }
  sync_parent_dir(env, dir.file("a"));
  env.crash();
  env.crash();
  EXPECT_EQ(testing::read_file(dir.file("a")), "x");
}

}  // namespace
}  // namespace tarvel
