#include "container/repack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "container/container.h"
#include "container/hash.h"
#include "container/internal/journal.h"
#include "container/validate.h"
#include "tests/fault_env.h"
#include "tests/result_assertions.h"
#include "tests/test_util.h"
#include "tests/tool_files.h"

namespace tarvel {
namespace {

using ::testing::IsEmpty;
using testing::FaultEnv;
using testing::FramePlan;
using testing::ScratchDir;

// What a reader gets from a file: every frame's id and body, and the tail.
struct Contents {
  std::vector<std::pair<uint64_t, std::string>> frames;
  std::string tail;
  bool operator==(const Contents&) const = default;
};

Contents contents_of(const std::string& path) {
  Contents out;
  auto c = Container::open_read(path);
  TARVEL_EXPECT_OK(c);
  if (!c) return out;
  for (size_t i = 0; i < c->frames().size(); ++i) {
    auto body = c->read_frame_at(i);
    TARVEL_EXPECT_OK(body);
    out.frames.emplace_back(c->frames()[i].id, body ? *body : "");
  }
  auto tail = c->read_tail();
  TARVEL_EXPECT_OK(tail);
  out.tail = tail ? *tail : "";
  return out;
}

class RepackTest : public ::testing::Test {
 protected:
  std::string temp() const { return path_ + ".repack"; }

  // Checks the file as a repack at "level" into a zone of "header_area"
  // bytes must leave it, against what it held before.
  void expect_repacked(int32_t level, uint32_t header_area, const Contents& before,
                       const Headers& old_headers) {
    const std::string bytes = testing::read_file(path_);
    ASSERT_GE(bytes.size(), PREAMBLE_LEN);
    EXPECT_EQ(static_cast<uint8_t>(bytes[7]), level != 0 ? 1 : 0);  // the flags byte
    auto c = Container::open_read(path_);
    TARVEL_ASSERT_OK(c);
    EXPECT_EQ(c->preamble().header_area, header_area);
    EXPECT_EQ(*c->headers().get("_compression"), level != 0 ? "zstd" : "none");
    EXPECT_EQ(*c->headers().get("_compression_level"), std::to_string(level));
    // Frames back to back from offset 0, each with the hash of its bytes.
    uint64_t offset = 0;
    for (const Frame& f : c->frames()) {
      EXPECT_EQ(f.offset, offset);
      EXPECT_EQ(f.hash, xxh64(std::string_view(bytes).substr(c->data_start() + f.offset, f.len)));
      EXPECT_EQ(bytes.substr(c->data_start() + f.offset, 4) == "\x28\xB5\x2F\xFD", level != 0);
      offset += f.len;
    }
    // Whole tail records follow the last frame, and nothing else.
    EXPECT_EQ(bytes.size(), c->data_start() + offset + before.tail.size());
    EXPECT_EQ(contents_of(path_), before);
    // Every other header keeps its value and its place.
    const auto& now = c->headers().entries();
    ASSERT_EQ(now.size(), old_headers.entries().size());
    for (size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].key, old_headers.entries()[i].key);
      if (now[i].key != "_frames" && now[i].key != "_compression" &&
          now[i].key != "_compression_level") {
        EXPECT_EQ(now[i].value, old_headers.entries()[i].value) << now[i].key;
      }
    }
    EXPECT_FALSE(testing::file_exists(temp()));
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("p.tarvel");
};

struct LevelCase {
  const char* name;
  std::vector<FramePlan> frames;
  uint64_t tail;
  std::string torn;
  int32_t first, second;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class RepackLevels : public RepackTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(RepackLevels, ThereAndBack) {
  const LevelCase& c = GetParam();
  testing::make_file(path_, testing::message_schema(), c.frames, c.tail, false, c.torn);
  const Contents before = contents_of(path_);
  const Headers headers = testing::stored_headers(path_);
  for (int32_t level : {c.first, c.second}) {
    const uint64_t len_before = testing::read_file(path_).size();
    auto report = repack(path_, level);
    TARVEL_ASSERT_OK(report);
    EXPECT_EQ(report->bytes_before, len_before);
    EXPECT_EQ(report->bytes_after, testing::read_file(path_).size());
    EXPECT_EQ(report->frames, c.frames.size());
    expect_repacked(level, DEFAULT_HEADER_AREA, before, headers);
  }
  auto check = validate(path_);
  TARVEL_ASSERT_OK(check);
  EXPECT_THAT(check->problems, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, RepackLevels,
    ::testing::Values(LevelCase{"LevelZeroAndBack", {{1, 3, 3}, {2, 3, 4}}, 2, "", 0, 3},
                      LevelCase{"FromLevelZero", {{1, 0, 3}, {2, 0, 4}}, 0, "", 5, 0},
                      LevelCase{"NoFrames", {}, 3, "", 3, 0},
                      LevelCase{"Empty", {}, 0, "", 0, 1},
                      LevelCase{"SameIdsMixedLevels", {{7, 0, 2}, {7, 3, 3}}, 1, "", -2, 19},
                      LevelCase{"TornTailIsNotCopied", {{1, 3, 2}}, 2, std::string("\x05\x00" "ab", 4), 3, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(RepackTest, GapsBetweenFramesClose) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}, {2, 3, 3}, {3, 3, 4}}, 1);
  std::vector<Frame> frames = testing::stored_frames(path_);
  testing::edit_header(path_, "_frames", render_frames({frames[0], frames[2]}));
  const Contents before = contents_of(path_);
  const Headers headers = testing::stored_headers(path_);
  auto report = repack(path_, 3);
  TARVEL_ASSERT_OK(report);
  EXPECT_EQ(report->frames, 2u);
  expect_repacked(3, DEFAULT_HEADER_AREA, before, headers);
  EXPECT_LT(report->bytes_after, report->bytes_before);
}

TEST_F(RepackTest, NewHeaderArea) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 1);
  const Contents before = contents_of(path_);
  const Headers headers = testing::stored_headers(path_);
  for (uint32_t area : {512u, MAX_HEADER_AREA}) {
    auto report = repack_with_header_area(path_, 3, area);
    TARVEL_ASSERT_OK(report);
    expect_repacked(3, area, before, headers);
  }
}

TEST_F(RepackTest, HeaderAreaOutOfRange) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}});
  const std::string before = testing::read_file(path_);
  for (uint32_t area : {0u, MAX_HEADER_AREA + 1}) {
    auto report = repack_with_header_area(path_, 3, area);
    TARVEL_ASSERT_ERROR(report);
    EXPECT_EQ(report.error().kind(), ErrorKind::kUsage);
    EXPECT_EQ(report.error().to_string(),
              "header zone of " + std::to_string(area) + " bytes is outside 1..=16777216");
    EXPECT_EQ(testing::read_file(path_), before);
    EXPECT_FALSE(testing::file_exists(temp()));
  }
}

TEST_F(RepackTest, ZoneFullAfterTheFramesLeavesNoTrace) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 20}, {2, 0, 20}}, 3);
  const std::string before = testing::read_file(path_);
  FaultEnv env;  // only to see that the frames were written first
  auto report = repack_with_header_area(path_, 3, 200, env);
  TARVEL_ASSERT_ERROR(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::kZoneFull);
  EXPECT_EQ(report.error().have(), 200u);
  EXPECT_EQ(report.error().to_string(), "headers need " + std::to_string(report.error().need()) +
                                            " bytes, the zone holds 200");
  EXPECT_GE(env.count(FaultEnv::kWrite), 5u);  // preamble, zone, two frames, tail
  EXPECT_EQ(testing::read_file(path_), before);
  EXPECT_FALSE(testing::file_exists(temp()));
}

// Records that begin with the zstd magic, repacked at level 0: the frames
// that would begin with it are stored as zstd frames, the preamble and the
// headers say the data is compressed, and the file reads and repacks again.
TEST_F(RepackTest, LevelZeroFrameThatWouldBeginWithTheMagic) {
  const Schema schema = testing::event_schema(4);
  const std::string magic("\x28\xB5\x2F\xFD", 4);
  {
    auto c = Container::create(path_, schema, "test", "repack", 0, DEFAULT_HEADER_AREA, {});
    TARVEL_ASSERT_OK(c);
    for (const char* r : {"\x28\xB5\x2F\xFD", "abcd"}) {
      TARVEL_ASSERT_OK(c->append_record(std::string(r, 4)));
    }
    TARVEL_ASSERT_OK(c->close_frame(1, 3));
    TARVEL_ASSERT_OK(c->append_record("efgh"));
    TARVEL_ASSERT_OK(c->close_frame(2, 3));
    TARVEL_ASSERT_OK(c->append_record(magic));
    TARVEL_ASSERT_OK(c->flush_data());
  }
  const Contents before = contents_of(path_);
  TARVEL_ASSERT_OK(repack(path_, 0));
  EXPECT_EQ(contents_of(path_), before);
  const std::string bytes = testing::read_file(path_);
  EXPECT_EQ(static_cast<uint8_t>(bytes[7]), 1);  // the flags byte
  const Headers headers = testing::stored_headers(path_);
  EXPECT_EQ(*headers.get("_compression"), "zstd");
  EXPECT_EQ(*headers.get("_compression_level"), "1");
  const std::vector<Frame> frames = testing::stored_frames(path_);
  EXPECT_EQ(bytes.substr(PREAMBLE_LEN + DEFAULT_HEADER_AREA, 4), magic);
  EXPECT_EQ(frames[1].len, 4u);  // raw: it does not begin with the magic
  TARVEL_ASSERT_OK(repack(path_, 3));
  EXPECT_EQ(contents_of(path_), before);
}

// Re-encoding a damaged raw frame would list the damage under a fresh,
// matching checksum; the repack refuses and leaves the file as it was.
TEST_F(RepackTest, DamagedRawFrameIsNotCopied) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}, {2, 0, 2}}, 1);
  testing::damage_frame(path_, 1);
  const std::string before = testing::read_file(path_);
  auto report = repack(path_, 3);
  TARVEL_ASSERT_ERROR(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::kMalformed);
  EXPECT_THAT(report.error().to_string(), ::testing::HasSubstr("frame 2 at offset "));
  EXPECT_EQ(testing::read_file(path_), before);
  EXPECT_FALSE(testing::file_exists(temp()));
}

TEST_F(RepackTest, CompleteJournalIsReplayedFirst) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  const std::string closed = testing::make_pending_journal(path_, 2, 3);
  auto report = repack(path_, 1);
  TARVEL_ASSERT_OK(report);
  EXPECT_EQ(report->bytes_before, closed.size());
  EXPECT_EQ(report->frames, 2u);
  EXPECT_FALSE(testing::file_exists(journal_path(path_)));
}

TEST_F(RepackTest, JournalIsReplayedEvenWhenTheZoneSizeIsRefused) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  const std::string closed = testing::make_pending_journal(path_, 2, 3);
  TARVEL_ASSERT_ERROR(repack_with_header_area(path_, 1, 0));
  EXPECT_EQ(testing::read_file(path_), closed);
}

TEST_F(RepackTest, UnreadableHeadFailsBeforeAnyReplay) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  testing::make_pending_journal(path_, 2, 3);
  testing::write_file(path_, testing::read_file(path_).substr(0, 100));  // inside the zone
  const std::string journal = testing::read_file(journal_path(path_));
  auto peeked = peek_headers(path_);
  TARVEL_ASSERT_ERROR(peeked);
  auto report = repack(path_, 3);
  TARVEL_ASSERT_ERROR(report);
  EXPECT_EQ(report.error().to_string(), peeked.error().to_string());
  EXPECT_EQ(testing::read_file(journal_path(path_)), journal);
  EXPECT_FALSE(testing::file_exists(temp()));
}

// A stale temporary name that is a symbolic link is removed itself: the
// copy never goes through it into the file it points at.
TEST_F(RepackTest, StaleTemporarySymlinkIsNotFollowed) {
  testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
  const Contents before = contents_of(path_);
  const std::string victim = dir_.file("victim");
  testing::write_file(victim, "keep me");
  std::filesystem::create_symlink(victim, temp());
  TARVEL_ASSERT_OK(repack(path_, 1));
  EXPECT_TRUE(testing::read_file(victim) == "keep me");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path_)));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp())));
  EXPECT_EQ(contents_of(path_), before);
}

TEST_F(RepackTest, NewFileKeepsThePermissionBits) {
  const mode_t mask = umask(022);
  for (mode_t bits : {0600u, 0664u}) {
    std::filesystem::remove(path_);
    testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
    ASSERT_EQ(chmod(path_.c_str(), bits), 0);
    TARVEL_ASSERT_OK(repack(path_, 1));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, bits);
  }
  umask(mask);
}

// Records the permission bits of each file it creates, as they are the
// moment the file exists.
class CreatedBitsEnv final : public EnvWrapper {
 public:
  CreatedBitsEnv() : EnvWrapper(Env::posix()) {}
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    return note(target().open(path, mode), mode == OpenMode::kCreateNew ||
                                               mode == OpenMode::kCreateTruncate);
  }
  Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) override {
    return note(target().open_new(path, bits), true);
  }
  std::vector<uint32_t> created;

 private:
  Result<std::unique_ptr<File>> note(Result<std::unique_ptr<File>> file, bool creates) {
    if (file && creates) created.push_back((*file)->permissions().value());
    return file;
  }
};

// The temporary copy is never open to anyone the container is not open to,
// whatever the file-creation mask: the bits it is created with are never
// wider than the container's.
TEST_F(RepackTest, CopyIsNeverWiderThanTheContainer) {
  for (mode_t mask : {0u, 022u}) {
    for (mode_t bits : {0600u, 0640u}) {
      char trace[32];
      std::snprintf(trace, sizeof trace, "umask %03o, bits %04o", unsigned(mask), unsigned(bits));
      SCOPED_TRACE(trace);
      std::filesystem::remove(path_);
      testing::make_file(path_, testing::event_schema(), {{1, 3, 2}}, 3);
      ASSERT_EQ(chmod(path_.c_str(), bits), 0);
      const mode_t before = umask(mask);
      CreatedBitsEnv env;
      const Result<RepackReport> repacked = repack(path_, 1, env);
      umask(before);
      TARVEL_ASSERT_OK(repacked);
      ASSERT_EQ(env.created.size(), 1u);
      EXPECT_EQ(env.created[0] & ~bits, 0u) << std::oct << env.created[0];
      struct stat st;
      ASSERT_EQ(stat(path_.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, bits);
    }
  }
}

// A failure at any call leaves the container as it was and no temporary
// file, except a failed rename, which leaves the complete new file beside
// it; a failure while flushing the directory after the rename is ignored.
class RepackFaults : public RepackTest {
 protected:
  void SetUp() override {
    testing::make_file(path_, testing::message_schema(), {{1, 3, 30}, {2, 0, 10}, {3, 3, 5}}, 4);
    old_ = testing::read_file(path_);
    TARVEL_ASSERT_OK(repack(path_, 1));
    new_ = testing::read_file(path_);
    testing::write_file(path_, old_);
  }
  std::string old_, new_;
};

TEST_F(RepackFaults, FailureAtEveryCall) {
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    FaultEnv env;
    env.fail_nth(FaultEnv::kAll, n, EIO);
    auto report = repack(path_, 1, env);
    if (!env.failed()) {
      TARVEL_ASSERT_OK(report);
      EXPECT_GT(n, 10u);
      break;
    }
    if (report) {
      EXPECT_EQ(testing::read_file(path_), new_);
      testing::write_file(path_, old_);
    } else {
      EXPECT_THAT(report.error().to_string(), ::testing::HasSubstr("(os error 5)"));
      EXPECT_EQ(testing::read_file(path_), old_);
    }
    if (env.count(FaultEnv::kRename) == 1 && !report) {
      EXPECT_EQ(testing::read_file(temp()), new_);
      std::filesystem::remove(temp());
    }
    EXPECT_FALSE(testing::file_exists(temp()));
  }
}

TEST_F(RepackFaults, CrashAtEveryCallLeavesTheOldFileOrTheNew) {
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("crash at call " + std::to_string(n));
    FaultEnv env;
    env.die_at(FaultEnv::kAll, n);
    auto report = repack(path_, 1, env);
    if (!env.failed()) {
      // A crash right after a repack keeps the new file, all of it.
      TARVEL_ASSERT_OK(report);
      env.crash();
      EXPECT_EQ(testing::read_file(path_), new_);
      break;
    }
    env.crash();
    const std::string now = testing::read_file(path_);
    EXPECT_TRUE(now == old_ || now == new_) << now.size();
    testing::write_file(path_, old_);
    std::filesystem::remove(temp());
  }
}

TEST_F(RepackFaults, ShortAndInterruptedCallsMakeTheSameFile) {
  FaultEnv env;
  env.set_max_write(100);
  env.set_max_read(77);
  env.set_interrupts(true);
  TARVEL_ASSERT_OK(repack(path_, 1, env));
  EXPECT_EQ(testing::read_file(path_), new_);
}

}  // namespace
}  // namespace tarvel
