#include "tests/fault_env.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace tarvel {
namespace {

using testing::FaultEnv;
using testing::ScratchDir;

std::unique_ptr<File> open_or_die(Env& env, const std::string& path, OpenMode mode) {
  auto f = env.open(path, mode);
  EXPECT_TRUE(f) << path << ": " << f.error().to_string();
  return f ? std::move(*f) : nullptr;
}

TEST(FaultEnv, CountsCallsByKind) {
  ScratchDir dir;
  FaultEnv env;
  {
    auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
    ASSERT_TRUE(write_all_at(*f, 0, "abc"));
    ASSERT_TRUE(f->truncate(2));
    ASSERT_TRUE(f->sync());
    ASSERT_TRUE(read_exact_at(*f, 0, 2));
    ASSERT_TRUE(f->length());
  }
  sync_parent_dir(env, dir.file("a"));
  ASSERT_TRUE(env.rename(dir.file("a"), dir.file("b")));
  ASSERT_TRUE(env.remove(dir.file("b")));
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
  EXPECT_TRUE(write_all(*f, "x"));  // 1st
  EXPECT_TRUE(f->truncate(1));      // not a chosen kind
  EXPECT_TRUE(f->sync());           // 2nd
  EXPECT_FALSE(env.failed());
  Status third = write_all(*f, "y");
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().to_string(), "Input/output error (os error 5)");
  EXPECT_TRUE(env.failed());
  EXPECT_TRUE(write_all(*f, "z"));  // only the 3rd fails
  EXPECT_EQ(testing::read_file(dir.file("a")), "xz");
}

TEST(FaultEnv, DyingFailsEveryLaterCall) {
  ScratchDir dir;
  FaultEnv env;
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  env.die_at(FaultEnv::kSync, 1, ENOSPC);
  EXPECT_TRUE(write_all(*f, "x"));
  EXPECT_FALSE(f->sync());
  Status later = f->seek(0);
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().io_failure().errnum(), ENOSPC);
  EXPECT_FALSE(env.open(dir.file("a"), OpenMode::kRead));
}

TEST(FaultEnv, ShortWritesAndReadsAreContinued) {
  ScratchDir dir;
  FaultEnv env;
  env.set_max_write(3);
  env.set_max_read(4);
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  ASSERT_TRUE(write_all(*f, "0123456789"));
  EXPECT_EQ(env.count(FaultEnv::kWrite), 4u);
  auto back = read_exact_at(*f, 0, 10);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, "0123456789");
  auto part = read_at(*f, 1, 20);
  ASSERT_TRUE(part);
  EXPECT_EQ(*part, "123456789");
}

TEST(FaultEnv, InterruptsAreRetriedByWholeWritesAndReadsOnly) {
  ScratchDir dir;
  FaultEnv env;
  auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
  env.set_interrupts(true);
  ASSERT_TRUE(write_all(*f, "hello"));
  EXPECT_EQ(env.count(FaultEnv::kWrite), 2u);
  auto back = read_exact_at(*f, 0, 5);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, "hello");
  auto positioned = read_at(*f, 0, 5);
  ASSERT_FALSE(positioned);
  EXPECT_EQ(positioned.error().to_string(), "Interrupted system call (os error 4)");
}

TEST(FaultEnv, CrashKeepsWhatWasSyncedOnly) {
  ScratchDir dir;
  std::string old_file = dir.file("old"), kept = dir.file("kept"), lost = dir.file("lost");
  testing::write_file(old_file, "before");
  FaultEnv env;
  {
    auto f = open_or_die(env, old_file, OpenMode::kReadWrite);
    ASSERT_TRUE(write_all(*f, "BE"));
    ASSERT_TRUE(f->sync());
    ASSERT_TRUE(write_all(*f, "FORE"));  // never synced
    ASSERT_TRUE(f->truncate(9));
    auto g = open_or_die(env, kept, OpenMode::kCreateNew);
    ASSERT_TRUE(write_all(*g, "data"));
    ASSERT_TRUE(g->sync());
    sync_parent_dir(env, kept);
    ASSERT_TRUE(write_all(*g, "more"));
  }
  {
    // Synced, but created after the directory's last flush.
    auto h = open_or_die(env, lost, OpenMode::kCreateNew);
    ASSERT_TRUE(write_all(*h, "data"));
    ASSERT_TRUE(h->sync());
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
    ASSERT_TRUE(write_all(*f, "BE"));
    ASSERT_TRUE(f->sync());
    ASSERT_TRUE(write_all(*f, "FORE!!"));  // runs past the synced end
    // Cut, then written behind the cut: the cut is lost, the bytes stay.
    auto g = open_or_die(env, cut, OpenMode::kReadWrite);
    ASSERT_TRUE(g->truncate(2));
    ASSERT_TRUE(write_all_at(*g, 2, "XY"));
    auto h = open_or_die(env, lost, OpenMode::kCreateNew);
    ASSERT_TRUE(write_all(*h, "data"));
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
    ASSERT_TRUE(env.rename(a, b));
    ASSERT_TRUE(env.remove(c));
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
  EXPECT_FALSE(env.open(dir.file("a"), OpenMode::kCreateNew));
  env.crash();
  {
    auto f = open_or_die(env, dir.file("a"), OpenMode::kCreateNew);
    ASSERT_TRUE(write_all(*f, "x"));
    ASSERT_TRUE(f->sync());
  }
  sync_parent_dir(env, dir.file("a"));
  env.crash();
  env.crash();
  EXPECT_EQ(testing::read_file(dir.file("a")), "x");
}

}  // namespace
}  // namespace tarvel
