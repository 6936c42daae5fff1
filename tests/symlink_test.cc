// Containers reached through symbolic links: the seal journal, the repack's
// temporary file and its rename belong to the file itself, so every path to
// one file finds one journal.
#include <gtest/gtest.h>

#include <filesystem>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/repack.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

namespace fs = std::filesystem;

TEST(ResolveSymlinks, FollowsOnlyTheLastComponent) {
  ScratchDir dir;
  const std::string d = dir.path();
  fs::create_directory(d + "/real");
  write_file(d + "/real/c", "x");
  fs::create_directory_symlink("real", d + "/dirlink");
  fs::create_symlink("real/c", d + "/rel");         // relative to the link's directory
  fs::create_symlink(d + "/real/c", d + "/abs");    // absolute
  fs::create_symlink("rel", d + "/chain");          // a link to a link
  fs::create_symlink("missing", d + "/dangling");   // names nothing yet
  fs::create_symlink("loop", d + "/loop");
  const fs::path cwd = fs::current_path();
  fs::current_path(d);
  struct Case {
    std::string path;
    std::string want;
  } cases[] = {
      // Not a link: the path comes back exactly, nothing normalised.
      {d + "/real/c", d + "/real/c"},
      {d + "//real/./c", d + "//real/./c"},
      {d + "/dirlink/c", d + "/dirlink/c"},
      {d + "/nothing", d + "/nothing"},
      {d + "/rel", d + "/real/c"},
      {d + "/abs", d + "/real/c"},
      {d + "/chain", d + "/real/c"},
      {d + "/dangling", d + "/missing"},
      {"rel", "real/c"},  // a bare name: relative to the current directory
      {d + "/loop", "ELOOP"},
  };
  for (const Case& c : cases) {
    Result<std::string> got = resolve_symlinks(Env::posix(), c.path);
    EXPECT_EQ(got ? *got : got.error().to_string(),
              c.want == "ELOOP" ? IoFailure::os(ELOOP).text() : c.want)
        << c.path;
  }
  fs::current_path(cwd);
}

class SymlinkTest : public ::testing::Test {
 protected:
  SymlinkTest() {
    fs::create_directory(dir_.file("real"));
    fs::create_directory(dir_.file("link"));
    fs::create_symlink("../real/c.tarvel", link_);
  }

  ScratchDir dir_;
  std::string real_ = dir_.file("real/c.tarvel");
  std::string link_ = dir_.file("link/c.tarvel");
};

// A writer through the link is killed in the middle of a close. Its journal
// is beside the real file, so an open through the real path completes the
// close, and a later open through the link finds no stale journal to cut
// off newer frames.
TEST_F(SymlinkTest, JournalLivesBesideTheFileItself) {
  { Container c = create_or_die(real_, fixed_schema(4)); }
  {
    FaultEnv env;
    Container w = value_or_die(Container::open_append(link_, env));
    EXPECT_EQ(w.path(), link_);
    TARVEL_ASSERT_OK(w.append_record("abcd"));
    TARVEL_ASSERT_OK(w.flush_data());
    env.die_at(FaultEnv::kWrite, 3);  // the journal is written; the splice is not
    TARVEL_EXPECT_ERROR(w.close_frame(1, 3));
    EXPECT_TRUE(file_exists(journal_path(real_)));
    EXPECT_FALSE(file_exists(journal_path(link_)));
    env.crash();
  }
  {
    Container c = value_or_die(Container::open_append(real_));
    EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
    TARVEL_ASSERT_OK(c.append_record("efgh"));
    TARVEL_ASSERT_OK(c.close_frame(2, 3));
  }
  Container c = value_or_die(Container::open_append(link_));
  ASSERT_EQ(c.frames().size(), 2u);
  EXPECT_EQ(value_or_die(c.read_frame(2)), "efgh");
  EXPECT_FALSE(file_exists(journal_path(real_)));
  // Writes through the link that complete leave no journal anywhere.
  TARVEL_ASSERT_OK(c.append_record("ijkl"));
  TARVEL_ASSERT_OK(c.close_frame(3, 3));
  TARVEL_ASSERT_OK(c.set_user_header("note", "x"));
  EXPECT_FALSE(file_exists(journal_path(real_)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(journal_path(link_))));
}

// The other way round: a close through the real path is cut short, and an
// open through the link redoes it and removes the journal it applied, which
// would otherwise be replayed again over later records.
TEST_F(SymlinkTest, ReplayThroughTheLinkRemovesTheJournal) {
  {
    FaultEnv env;
    Container w = create_or_die(real_, fixed_schema(4), 4096, {}, env);
    TARVEL_ASSERT_OK(w.append_record("abcd"));
    TARVEL_ASSERT_OK(w.flush_data());
    env.die_at(FaultEnv::kWrite, 3);  // the splice's first write
    TARVEL_EXPECT_ERROR(w.close_frame(1, 3));
    env.crash();
  }
  ASSERT_TRUE(file_exists(journal_path(real_)));
  Container c = value_or_die(Container::open_append(link_));
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
  EXPECT_FALSE(file_exists(journal_path(real_)));
}

TEST_F(SymlinkTest, RepackThroughTheLinkReplacesTheTarget) {
  {
    Container c = create_or_die(real_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
  }
  TARVEL_ASSERT_OK(repack(link_, 0));
  EXPECT_TRUE(fs::is_symlink(link_));
  EXPECT_EQ(fs::read_symlink(link_), "../real/c.tarvel");
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_ + ".repack")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(real_ + ".repack")));
  Container c = value_or_die(Container::open_read(real_));
  EXPECT_EQ(header(c, "_compression"), "none");
  EXPECT_EQ(value_or_die(c.read_frame(1)), "abcd");
}

}  // namespace
}  // namespace tarvel::testing
