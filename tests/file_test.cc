#include "container/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fault_env.h"
#include "tests/result_assertions.h"
#include "tests/test_util.h"

namespace tarvel {
namespace {

using testing::ScratchDir;

TEST(ParentDir, Cases) {
  struct Case {
    const char* path;
    const char* parent;
  } cases[] = {
      {"data/run7.tarvel", "data"}, {"run7.tarvel", "."}, {"/run7.tarvel", "/"},
      {"/", ""},                    {"", ""},             {"a/b/", "a"},
      {"a//b", "a"},                {"/a/b/c", "/a/b"},
  };
  for (const Case& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
}

TEST(FileLayer, ReadExactAndReadAt) {
  ScratchDir dir;
  testing::write_file(dir.file("f"), "0123456789");
  auto file = Env::posix().open(dir.file("f"), OpenMode::kRead);
  TARVEL_ASSERT_OK(file);
  auto ten = read_exact_at(**file, 0, 10);
  TARVEL_ASSERT_OK(ten);
  EXPECT_EQ(*ten, "0123456789");
  auto eleven = read_exact_at(**file, 0, 11);
  TARVEL_ASSERT_ERROR(eleven);
  EXPECT_EQ(eleven.error().to_string(), "failed to fill whole buffer");
  auto tail = read_at(**file, 8, 5);
  TARVEL_ASSERT_OK(tail);
  EXPECT_EQ(*tail, "89");
  auto at_end = read_at(**file, 10, 5);
  TARVEL_ASSERT_OK(at_end);
  EXPECT_EQ(*at_end, "");
  auto none = read_at(**file, 3, 0);
  TARVEL_ASSERT_OK(none);
  EXPECT_EQ(*none, "");
}

TEST(FileLayer, OpenErrorsCarryThePathOnlyWhenAsked) {
  ScratchDir dir;
  std::string missing = dir.file("missing");
  auto r = Env::posix().open(missing, OpenMode::kRead);
  TARVEL_ASSERT_ERROR(r);
  EXPECT_EQ(r.error().to_string(), "No such file or directory (os error 2)");
  auto with = read_whole_file(Env::posix(), missing);
  TARVEL_ASSERT_ERROR(with);
  EXPECT_EQ(with.error().to_string(), missing + ": No such file or directory (os error 2)");
  auto nul = Env::posix().open(std::string("a\0b", 3), OpenMode::kRead);
  TARVEL_ASSERT_ERROR(nul);
  EXPECT_EQ(nul.error().to_string(), "file name contained an unexpected NUL byte");
}

TEST(FileLayer, CreateNewIsExclusiveAndWritesWhole) {
  ScratchDir dir;
  std::string p = dir.file("new");
  {
    auto f = Env::posix().open(p, OpenMode::kCreateNew);
    TARVEL_ASSERT_OK(f);
    TARVEL_ASSERT_OK(write_all(**f, "hello"));
    TARVEL_ASSERT_OK((*f)->truncate(8));
    TARVEL_ASSERT_OK((*f)->sync());
  }
  EXPECT_EQ(testing::read_file(p), std::string("hello\0\0\0", 8));
  auto again = Env::posix().open(p, OpenMode::kCreateNew);
  TARVEL_ASSERT_ERROR(again);
  EXPECT_EQ(again.error().to_string(), "File exists (os error 17)");
}

// Where a directory cannot be opened for reading, or its file system does
// not flush directories, the flush is skipped; a real I/O error fails it,
// naming the directory.
TEST(SyncParentDirChecked, FailsOnlyOnRealErrors) {
  ScratchDir dir;
  struct Case {
    unsigned op;
    int errnum;
    bool fails;
  } cases[] = {
      {testing::FaultEnv::kOpen, EACCES, false}, {testing::FaultEnv::kOpen, EISDIR, false},
      {testing::FaultEnv::kOpen, EIO, true},     {testing::FaultEnv::kOpen, ENOENT, true},
      {testing::FaultEnv::kSync, EINVAL, false}, {testing::FaultEnv::kSync, EBADF, false},
      {testing::FaultEnv::kSync, ENOTSUP, false}, {testing::FaultEnv::kSync, EOPNOTSUPP, false},
      {testing::FaultEnv::kSync, EIO, true},     {testing::FaultEnv::kSync, ENOSPC, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.op) + " " + std::to_string(c.errnum));
    testing::FaultEnv env;
    env.fail_nth(c.op, 1, c.errnum);
    Status s = sync_parent_dir_checked(env, dir.file("c.tarvel"));
    EXPECT_TRUE(env.failed());
    if (c.fails) {
      TARVEL_ASSERT_ERROR(s);
      EXPECT_EQ(s.error().to_string(), dir.path() + ": " + IoFailure::os(c.errnum).text());
    } else {
      TARVEL_EXPECT_OK(s);
    }
  }
}

// A no-replace move never takes another file's name: both names stay as
// they were.
TEST(FileLayer, RenameNoReplaceRefusesATakenName) {
  ScratchDir dir;
  const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
  testing::write_file(a, "a");
  testing::write_file(b, "b");
  Status taken = Env::posix().rename_noreplace(a, b);
  TARVEL_ASSERT_ERROR(taken);
  EXPECT_EQ(taken.error().to_string(), "File exists (os error 17)");
  EXPECT_EQ(testing::read_file(a), "a");
  EXPECT_EQ(testing::read_file(b), "b");
  TARVEL_ASSERT_OK(Env::posix().rename_noreplace(a, c));
  EXPECT_FALSE(testing::file_exists(a));
  EXPECT_EQ(testing::read_file(c), "a");
}

// The file's own path: absolute, its final links resolved, nothing else
// touched; and the number of names a file has.
TEST(FileLayer, FilePathOfAndLinkCount) {
  ScratchDir dir;
  const std::string d = dir.path();
  testing::write_file(dir.file("f"), "x");
  std::filesystem::create_symlink("f", dir.file("link"));
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(d);
  const std::string here = std::filesystem::current_path().string();
  struct Case {
    std::string path, want;
  } cases[] = {
      {d + "/f", d + "/f"},   {d + "//./f", d + "//./f"}, {"f", here + "/f"},
      {"./f", here + "/./f"}, {"link", here + "/f"},      {d + "/link", d + "/f"},
  };
  for (const Case& c : cases) {
    Result<std::string> got = file_path_of(Env::posix(), c.path);
    EXPECT_EQ(got ? *got : got.error().to_string(), c.want) << c.path;
  }
  std::filesystem::current_path(cwd);

  std::filesystem::create_hard_link(dir.file("f"), dir.file("g"));
  Result<FileIdentity> f = Env::posix().identity(dir.file("f"));
  Result<FileIdentity> g = Env::posix().identity(dir.file("g"));
  ASSERT_TRUE(f && g);
  EXPECT_EQ(f->links, 2u);
  EXPECT_EQ(*f, *g);
}

}  // namespace
}  // namespace tarvel
