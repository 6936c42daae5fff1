// One writer per file: the writer's lock of create, open_append and the tools
// that write, and what a reader holding the file sees when a writer moves on.
// The tests with other processes are in concurrency_test.cc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/frames.h"
#include "container/internal/journal.h"
#include "container/internal/tool_access.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/container_test_util.h"
#include "tests/fault_env.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

// Flips the low bit of the byte at "offset" in place.
void flip_byte(const std::string& path, uint64_t offset) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  const char c = static_cast<char>(f.get() ^ 1);
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(c);
}

class WriterLockTest : public ::testing::Test {
 protected:
  WriterLockTest() { clock_.set_fake_clock(true); }

  std::string refused() const { return "Usage: another writer holds \"" + path_ + "\""; }
  std::string changed() const {
    return "Usage: \"" + path_ + "\" changed while it was being read; open it again";
  }
  // Every way of writing the file, each refused while a writer holds it,
  // and only once it has tried the lock 5 times more, 1 ms apart: as long
  // as a reader's probe of the lock lasts.
  void expect_every_writer_refused() {
    const size_t slept = clock_.sleeps().size();
    EXPECT_EQ(err(Container::open_append(path_, clock_)), refused());
    EXPECT_EQ(err(repack(path_, 1, clock_)), refused());
    EXPECT_EQ(err(repack_with_header_area(path_, 1, 8192, clock_)), refused());
    EXPECT_EQ(err(rebuild_headers(path_, true, clock_)), refused());
    EXPECT_FALSE(file_exists(path_ + ".repack"));
    EXPECT_EQ(std::vector<uint64_t>(clock_.sleeps().begin() + static_cast<ptrdiff_t>(slept),
                                    clock_.sleeps().end()),
              std::vector<uint64_t>(4 * 5, 1000));
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
  // The real file system, with a clock that does not wait.
  FaultEnv clock_;
};

// The old object of "w = create(...); append; w = open_append(p)" lives until
// the new open returns; its buffer must not be overwritten by a second writer.
TEST_F(WriterLockTest, SecondWriterIsRefusedAndTheFirstLosesNothing) {
  {
    Container w = create_or_die(path_, fixed_schema(4));
    for (uint32_t i = 0; i < 1000; ++i) TARVEL_ASSERT_OK(w.append_record(u32(i)));
    expect_every_writer_refused();
    TARVEL_ASSERT_OK(w.close_frame(1, 3));
    expect_every_writer_refused();
    // Readers and the reporting tools are no writers.
    EXPECT_EQ(err(Container::open_read(path_)), "ok");
    EXPECT_EQ(err(validate(path_)), "ok");
    EXPECT_EQ(err(rebuild_headers(path_, false)), "ok");
    TARVEL_ASSERT_OK(w.append_record(u32(1000)));
  }
  // Released: the lock is free, and the buffered record joined the tail.
  Container a = value_or_die(Container::open_append(path_));
  EXPECT_EQ(a.records(), 1001u);
  EXPECT_EQ(value_or_die(a.read_frame_at(0)), u32s(0, 1000));
  expect_every_writer_refused();
}

TEST_F(WriterLockTest, EachWriterHoldsTheLockForItsWholeLife) {
  { Container c = create_or_die(path_, fixed_schema(4)); }
  {
    Container a = value_or_die(Container::open_append(path_));
    expect_every_writer_refused();
  }
  EXPECT_EQ(err(repack(path_, 1)), "ok");
  EXPECT_EQ(err(rebuild_headers(path_, true)), "ok");
  Container a = value_or_die(Container::open_append(path_));
}

TEST_F(WriterLockTest, FileSystemWithoutLocksIsNoReasonToRefuse) {
  FaultEnv env;
  env.set_locks_unsupported(true);
  Container w = create_or_die(path_, fixed_schema(4), 4096, {}, env);
  // The rule is the caller's again: nothing can tell the second writer.
  EXPECT_EQ(err(Container::open_append(path_, env)), "ok");
  EXPECT_EQ(err(repack(path_, 1, env)), "ok");
}

TEST_F(WriterLockTest, FailedLockCallFailsTheOpen) {
  { Container c = create_or_die(path_, fixed_schema(4)); }
  FaultEnv env;
  env.fail_nth(FaultEnv::kLock, 1, EBADF);
  EXPECT_EQ(err(Container::open_append(path_, env)), "Io: Bad file descriptor (os error 9)");
  EXPECT_EQ(err(Container::open_append(path_, env)), "ok");
}

// An Env that, right after its first open of "path", puts "replacement" in
// its place by a rename, as a repack that finishes between a writer's open
// and its lock does.
class RenameAfterOpenEnv final : public EnvWrapper {
 public:
  RenameAfterOpenEnv(std::string path, std::string replacement)
      : EnvWrapper(Env::posix()), path_(std::move(path)), replacement_(std::move(replacement)) {}
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    Result<std::unique_ptr<File>> file = Env::posix().open(path, mode);
    if (path == path_ && !renamed_) {
      renamed_ = true;
      TARVEL_TRY(Env::posix().rename(replacement_, path_));
    }
    return file;
  }

 private:
  std::string path_, replacement_;
  bool renamed_ = false;
};

TEST_F(WriterLockTest, WriterNeverHoldsAFileThatLeftItsPath) {
  { Container c = create_or_die(path_, fixed_schema(4)); }
  const std::string copy = dir_.file("copy.tarvel");
  write_file(copy, read_file(path_));
  RenameAfterOpenEnv env(path_, copy);
  {
    Container w = value_or_die(Container::open_append(path_, env));
    TARVEL_ASSERT_OK(w.append_record(u32(1)));
    TARVEL_ASSERT_OK(w.close_frame(1, 3));
  }
  Container r = value_or_die(Container::open_read(path_));
  ASSERT_EQ(r.frames().size(), 1u);
  EXPECT_EQ(value_or_die(r.read_frame_at(0)), u32(1));
}

// A reader holds a snapshot: the frames list and the raw tail as they stood
// at its open. However a writer has moved on since, read_tail returns the
// whole records of that tail, from the frame its close made if need be, or
// a clear error; never bytes that no longer are those records.
struct MovedOn {
  const char* name;
  // What the writer "w" of the file at "path" does once the reader is open;
  // the reader's tail is u32s(3, 8) behind frame 1, which holds u32s(0, 3).
  void (*move)(Container& w, const std::string& path);
  enum Expect { kTail, kChanged, kCut } expect;
};

void PrintTo(const MovedOn& c, std::ostream* os) { *os << c.name; }

class ReaderSnapshotTest : public WriterLockTest, public ::testing::WithParamInterface<MovedOn> {};

TEST_P(ReaderSnapshotTest, ReadTailReturnsTheTailItOpenedOrAClearError) {
  Container w = create_or_die(path_, fixed_schema(4));
  for (uint32_t i = 0; i < 3; ++i) TARVEL_ASSERT_OK(w.append_record(u32(i)));
  TARVEL_ASSERT_OK(w.close_frame(1, 3));
  for (uint32_t i = 3; i < 8; ++i) TARVEL_ASSERT_OK(w.append_record(u32(i)));
  TARVEL_ASSERT_OK(w.flush_data());
  Container r = value_or_die(Container::open_read(path_));
  const Frame first = r.frames().at(0);

  GetParam().move(w, path_);
  switch (GetParam().expect) {
    case MovedOn::kTail: {
      Result<std::string> tail = r.read_tail();
      ASSERT_EQ(err(tail), "ok");
      EXPECT_EQ(*tail, u32s(3, 8));
      break;
    }
    case MovedOn::kChanged:
      EXPECT_EQ(err(r.read_tail()), changed());
      break;
    case MovedOn::kCut: {
      const uint64_t end = r.data_start() + first.offset + first.len;
      EXPECT_EQ(err(r.read_tail()), "Malformed: frame 1 ends at " + std::to_string(end) +
                                        " but the file is " + std::to_string(end - 1) +
                                        " bytes");
      break;
    }
  }
  // The snapshot itself never moves.
  ASSERT_EQ(r.frames().size(), 1u);
  if (GetParam().expect != MovedOn::kCut) {
    EXPECT_EQ(value_or_die(r.read_frame(1)), u32s(0, 3));
  }
}

void append_and_close(Container& w, uint32_t from, uint32_t to, uint64_t id, int32_t level) {
  for (uint32_t i = from; i < to; ++i) TARVEL_ASSERT_OK(w.append_record(u32(i)));
  TARVEL_ASSERT_OK(w.close_frame(id, level));
}

INSTANTIATE_TEST_SUITE_P(
    MovesOfTheWriter, ReaderSnapshotTest,
    ::testing::Values(
        MovedOn{"Nothing", [](Container&, const std::string&) {}, MovedOn::kTail},
        MovedOn{"RecordsAppendedBehindTheView",
                [](Container& w, const std::string&) {
                  TARVEL_ASSERT_OK(w.append_record(u32(8)));
                  TARVEL_ASSERT_OK(w.flush_data());
                },
                MovedOn::kTail},
        MovedOn{"TailClosed",
                [](Container& w, const std::string&) { append_and_close(w, 8, 8, 2, 3); },
                MovedOn::kTail},
        MovedOn{"TailClosedRaw",
                [](Container& w, const std::string&) { append_and_close(w, 8, 8, 2, 0); },
                MovedOn::kTail},
        MovedOn{"TailClosedWithLaterRecords",
                [](Container& w, const std::string&) { append_and_close(w, 8, 20, 2, 3); },
                MovedOn::kTail},
        MovedOn{"TailClosedRawWithLaterRecords",
                [](Container& w, const std::string&) { append_and_close(w, 8, 20, 2, 0); },
                MovedOn::kTail},
        MovedOn{"TailClosedThenMoreFrames",
                [](Container& w, const std::string&) {
                  append_and_close(w, 8, 9, 2, 3);
                  append_and_close(w, 9, 12, 3, 3);
                  append_and_close(w, 12, 13, 4, 0);
                },
                MovedOn::kTail},
        MovedOn{"HeaderRewritten",
                [](Container& w, const std::string&) {
                  TARVEL_ASSERT_OK(w.set_user_header("note", "x"));
                },
                MovedOn::kTail},
        MovedOn{"TailClosedThenHeaderRewritten",
                [](Container& w, const std::string&) {
                  append_and_close(w, 8, 8, 2, 3);
                  TARVEL_ASSERT_OK(w.set_user_header("note", "x"));
                },
                MovedOn::kTail},
        // As a fix that derived another list from the data would leave it.
        MovedOn{"ListRewritten",
                [](Container& w, const std::string&) {
                  append_and_close(w, 8, 8, 2, 3);
                  std::vector<Frame> other = w.frames();
                  other[0].id = 9;
                  TARVEL_ASSERT_OK(
                      ToolAccess::mutable_headers(w).set("_frames", render_frames(other)));
                  TARVEL_ASSERT_OK(w.flush_headers());
                },
                MovedOn::kChanged},
        // The frame that closed the tail no longer holds it: its bytes must
        // not come back as the tail's records either.
        MovedOn{"ClosingFrameDamaged",
                [](Container& w, const std::string& path) {
                  append_and_close(w, 8, 8, 2, 0);
                  flip_byte(path, w.data_start() + w.frames()[1].offset + 1);
                },
                MovedOn::kChanged},
        MovedOn{"CutBelowTheFrames",
                [](Container& w, const std::string& path) {
                  std::filesystem::resize_file(
                      path, w.data_start() + w.frames()[0].offset + w.frames()[0].len - 1);
                },
                MovedOn::kCut}),
    [](const ::testing::TestParamInfo<MovedOn>& param_info) { return param_info.param.name; });

TEST_F(WriterLockTest, ReaderKeepsItsTailWhenAWriterCutsATornRecord) {
  {
    Container w = create_or_die(path_, fixed_schema(4));
    for (uint32_t i = 0; i < 3; ++i) TARVEL_ASSERT_OK(w.append_record(u32(i)));
  }
  write_file(path_, read_file(path_) + "xy");  // a record torn by a crash
  Container r = value_or_die(Container::open_read(path_));
  Container w = value_or_die(Container::open_append(path_));
  TARVEL_ASSERT_OK(w.append_record(u32(3)));
  TARVEL_ASSERT_OK(w.flush_data());
  EXPECT_EQ(value_or_die(r.read_tail()), u32s(0, 3));
}

// A complete journal beside a file nobody writes is a close that a crash
// interrupted: readers say so instead of reading the half-written file, and
// each of the named calls recovers it.
TEST_F(WriterLockTest, ReaderNamesTheRecoveryOfAPendingJournal) {
  std::string before, after;
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record(u32(7)));
    TARVEL_ASSERT_OK(c.flush_data());
    before = read_file(path_);
    TARVEL_ASSERT_OK(c.close_frame(1, 3));
    after = read_file(path_);
  }
  const uint64_t data_start = 16 + 4096;
  const std::string pending =
      "Usage: \"" + path_ +
      "\" has a pending seal journal from an interrupted write; recover it with open_append, "
      "validate or rebuild_headers before reading";
  struct Recovery {
    const char* name;
    bool (*run)(const std::string& path);
  };
  const Recovery recoveries[] = {
      {"open_append", [](const std::string& p) { return Container::open_append(p).ok(); }},
      {"validate", [](const std::string& p) { return validate(p).ok(); }},
      {"rebuild_headers", [](const std::string& p) { return rebuild_headers(p, false).ok(); }},
  };
  for (const Recovery& recovery : recoveries) {
    SCOPED_TRACE(recovery.name);
    write_file(path_, before);
    TARVEL_ASSERT_OK(write_journal(Env::posix(), path_, data_start, after.substr(16, 4096),
                                   after.substr(data_start)));
    EXPECT_EQ(err(Container::open_read(path_)), pending);
    EXPECT_EQ(read_file(path_), before);
    EXPECT_TRUE(recovery.run(path_));
    EXPECT_EQ(read_file(path_), after);
    Container r = value_or_die(Container::open_read(path_));
    EXPECT_EQ(value_or_die(r.read_frame_at(0)), u32(7));
  }
}

TEST_F(WriterLockTest, ReaderIgnoresAnIncompleteJournal) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record(u32(7)));
  }
  // A crash while the journal was written: the file itself is untouched.
  write_file(journal_path(path_), "TJRNL2 torn");
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(value_or_die(r.read_tail()), u32(7));
}

// A journal that is there but cannot be read may hold a close that a crash
// interrupted, and the file may be half-spliced: readers, a reader's next
// look at the tail and the reporting tools fail with the journal's path
// instead of reading on. Nothing is written to the file.
TEST_F(WriterLockTest, UnreadableJournalIsAnErrorNamingIt) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record(u32(7)));
  }
  const std::string file = read_file(path_);
  const std::string journal = journal_path(path_);
  struct Unreadable {
    const char* name;
    int (*make)(const char* journal);  // 0 on success
    int (*unmake)(const char* journal);
  };
  const Unreadable kinds[] = {
      // Found, but its read fails.
      {"a directory", [](const char* j) { return mkdir(j, 0755); }, rmdir},
      // Not even found: looking it up fails with ELOOP.
      {"a symbolic link to itself", [](const char* j) { return symlink(j, j); }, unlink},
  };
  auto names_journal = [&](const std::string& e) {
    return e.rfind("Io", 0) == 0 && e.find(journal) != std::string::npos;
  };
  for (const Unreadable& kind : kinds) {
    SCOPED_TRACE(kind.name);
    Container held = value_or_die(Container::open_read(path_));
    ASSERT_EQ(kind.make(journal.c_str()), 0);
    EXPECT_PRED1(names_journal, err(held.read_tail()));
    EXPECT_PRED1(names_journal, err(Container::open_read(path_)));
    EXPECT_PRED1(names_journal, err(validate(path_)));
    EXPECT_PRED1(names_journal, err(rebuild_headers(path_, false)));
    EXPECT_EQ(read_file(path_), file);
    ASSERT_EQ(kind.unmake(journal.c_str()), 0);
    EXPECT_EQ(value_or_die(held.read_tail()), u32(7));
  }
}

}  // namespace
}  // namespace tarvel::testing
