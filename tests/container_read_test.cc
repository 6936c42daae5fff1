#include <gtest/gtest.h>

#include <filesystem>

#include "container/container.h"
#include "container/internal/text.h"
#include "container/internal/tool_access.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

class ReadTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

TEST_F(ReadTest, FramesThatAreNotThere) {
  Container c = create_or_die(path_, fixed_schema(4));
  EXPECT_EQ(err(c.read_frame_at(0)), "Usage: no frame at position 0");
  EXPECT_EQ(err(c.read_frame(0)), "Usage: no frame 0");
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.close_frame(7, 3));
  EXPECT_EQ(err(c.read_frame_at(1)), "Usage: no frame at position 1");
  EXPECT_EQ(err(c.read_frame(8)), "Usage: no frame 8");
  EXPECT_EQ(err(c.read_frame_at(UINT64_MAX)), "Usage: no frame at position 18446744073709551615");
}

// read_frame finds ids through an index that must follow the list as
// closes extend it and as a rebuild's fix replaces it; a repeated id always
// reaches its first entry.
TEST_F(ReadTest, ReadByIdFollowsTheListAndTakesTheFirstOfRepeatedIds) {
  Container c = create_or_die(path_, fixed_schema(4));
  auto close = [&](const char* body, uint64_t id) {
    TARVEL_ASSERT_OK(c.append_record(body));
    TARVEL_ASSERT_OK(c.close_frame(id, 3));
  };
  close("aaaa", 5);
  EXPECT_EQ(value_or_die(c.read_frame(5)), "aaaa");
  EXPECT_EQ(err(c.read_frame(6)), "Usage: no frame 6");
  close("bbbb", 6);
  close("cccc", 5);
  EXPECT_EQ(value_or_die(c.read_frame(6)), "bbbb");
  EXPECT_EQ(value_or_die(c.read_frame(5)), "aaaa");
  EXPECT_EQ(value_or_die(c.read_frame_at(2)), "cccc");

  // The same frames listed in another order, as a fix would install them.
  std::vector<Frame> swapped = c.frames();
  std::swap(swapped[0], swapped[2]);
  ToolAccess::replace_counts(c, swapped, 3, 12);
  EXPECT_EQ(value_or_die(c.read_frame(5)), "cccc");
  EXPECT_EQ(value_or_die(c.read_frame(6)), "bbbb");
  ToolAccess::replace_counts(c, {swapped[1]}, 1, 4);
  EXPECT_EQ(err(c.read_frame(5)), "Usage: no frame 5");
}

TEST_F(ReadTest, FrameBodyIsCheckedAgainstTheKnownLengthBeforeAnyRead) {
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.close_frame(1, 0));
  const uint64_t end = c.file_len();
  EXPECT_EQ(value_or_die(c.read_frame_body(Frame{1, 0, 4, 0})), "abcd");
  EXPECT_EQ(value_or_die(c.read_frame_body(Frame{1, 4, 0, 0})), "");
  EXPECT_EQ(err(c.read_frame_body(Frame{2, 0, 5, 0})),
            "Malformed: frame 2 ends at " + std::to_string(end + 1) + " but the file is " +
                std::to_string(end) + " bytes");
  EXPECT_EQ(err(c.read_frame_body(Frame{3, UINT64_MAX - 10, 1, 0})),
            "Malformed: frame 3 overflows a u64 offset");
  EXPECT_EQ(err(c.read_frame_body(Frame{4, 0, UINT64_MAX, 0})),
            "Malformed: frame 4 overflows a u64 offset");
}

// Level 0 cannot store bytes that begin with the zstd magic raw: a reader
// would decode them. The close and the seal store them as a zstd frame at
// level 1 instead, and the headers say so.
TEST_F(ReadTest, LevelZeroTailThatBeginsWithTheMagicIsStoredAsZstd) {
  const std::string magic("\x28\xb5\x2f\xfd", 4);
  for (bool seal : {false, true}) {
    ScratchDir dir;
    const std::string path = dir.file("m.tarvel");
    Container c = create_or_die(path, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record(magic));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(seal ? c.seal(1, 0) : c.close_frame(1, 0));
    TARVEL_ASSERT_OK(c.append_record("efgh"));
    TARVEL_ASSERT_OK(c.close_frame(2, 0));  // other raw bytes stay raw
    Container r = value_or_die(Container::open_read(path));
    EXPECT_EQ(value_or_die(r.read_frame(1)), magic + "abcd");
    EXPECT_EQ(value_or_die(r.read_frame(2)), "efgh");
    EXPECT_EQ(r.frames()[1].len, 4u);
    EXPECT_EQ(read_file(path).substr(r.data_start(), 4), magic);  // frame 1 is zstd
    EXPECT_NE(r.frames()[0].len, 8u);
  }
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.append_record(magic));
  TARVEL_ASSERT_OK(c.close_frame(1, 0));
  EXPECT_EQ(header(c, "_compression"), "zstd");
  EXPECT_EQ(header(c, "_compression_level"), "1");
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(header(r, "_compression"), "zstd");
  EXPECT_EQ(header(r, "_compression_level"), "1");
}

// A file written before that, with such bytes stored raw, reads as it
// always did: the bytes are taken for a zstd frame.
TEST_F(ReadTest, OlderRawFrameThatLooksLikeZstdIsDecoded) {
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.close_frame(1, 0));
  std::string bytes = read_file(path_);
  bytes.replace(c.data_start(), 4, "\x28\xb5\x2f\xfd");
  write_file(path_, bytes);
  Frame f = c.frames()[0];
  f.hash = 0;
  Result<std::string> body = c.read_frame_body(f);
  TARVEL_ASSERT_ERROR(body);
  EXPECT_TRUE(body.error().kind() == ErrorKind::kCompression ||
              body.error().kind() == ErrorKind::kMalformed)
      << err(body);
}

TEST_F(ReadTest, ShortFileFailsToFill) {
  {
    Container c = create_or_die(path_, fixed_schema(4));
    TARVEL_ASSERT_OK(c.append_record("abcd"));
    TARVEL_ASSERT_OK(c.close_frame(1, 0));
    TARVEL_ASSERT_OK(c.set_user_header("x", "1"));
  }
  Container r = value_or_die(Container::open_read(path_));
  // The file shrinks behind the reader's back. Its tail was empty, but a
  // reader of the tail alone must not take the lost frame for no records.
  std::filesystem::resize_file(path_, r.file_len() - 1);
  EXPECT_EQ(err(r.read_frame(1)), "Io: failed to fill whole buffer");
  EXPECT_EQ(err(r.read_tail()), "Malformed: frame 1 ends at " + std::to_string(r.file_len()) +
                                    " but the file is " + std::to_string(r.file_len() - 1) +
                                    " bytes");
}

// A raw frame has no checksum of its own: the listed one is checked before
// its bytes come back as records. A zstd frame is checked by zstd alone.
TEST_F(ReadTest, RawFrameIsCheckedAgainstItsListedHash) {
  Container c = create_or_die(path_, fixed_schema(4));
  TARVEL_ASSERT_OK(c.append_record("abcd"));
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  TARVEL_ASSERT_OK(c.append_record("efgh"));
  TARVEL_ASSERT_OK(c.close_frame(2, 0));
  Frame zstd = c.frames()[0];
  Frame raw = c.frames()[1];
  const uint64_t good = raw.hash;
  EXPECT_EQ(value_or_die(c.read_frame(2)), "efgh");

  raw.hash ^= 1;
  EXPECT_EQ(err(c.read_frame_body(raw)),
            "Malformed: frame 2 at offset " + std::to_string(raw.offset) +
                ": checksum mismatch, _frames says " + hex16(raw.hash) + ", the bytes hash to " +
                hex16(good));
  raw.hash = 0;  // none listed: nothing to check against
  EXPECT_EQ(value_or_die(c.read_frame_body(raw)), "efgh");
  zstd.hash ^= 1;
  EXPECT_EQ(value_or_die(c.read_frame_body(zstd)), "abcd");

  // A flipped bit in the stored bytes, read through the list.
  std::string bytes = read_file(path_);
  bytes[c.data_start() + raw.offset] ^= 1;
  write_file(path_, bytes);
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(r.read_frame(2).error().kind(), ErrorKind::kMalformed);
  EXPECT_EQ(r.read_frame_at(1).error().kind(), ErrorKind::kMalformed);
}

TEST_F(ReadTest, TailHoldsWrittenWholeRecordsOnly) {
  Container c = create_or_die(path_, prefixed_schema());
  TARVEL_ASSERT_OK(c.append_record("ab"));
  EXPECT_EQ(value_or_die(c.read_tail()), "");
  TARVEL_ASSERT_OK(c.flush_data());
  TARVEL_ASSERT_OK(c.append_record("cde"));
  EXPECT_EQ(value_or_die(c.read_tail()), std::string("\x02\x00" "ab", 4));
  TARVEL_ASSERT_OK(c.flush_data());
  EXPECT_EQ(value_or_die(c.read_tail()), std::string("\x02\x00" "ab" "\x03\x00" "cde", 9));
  TARVEL_ASSERT_OK(c.close_frame(1, 3));
  TARVEL_ASSERT_OK(c.append_record("f"));
  TARVEL_ASSERT_OK(c.flush_data());
  EXPECT_EQ(value_or_die(c.read_tail()), std::string("\x01\x00" "f", 3));

  // A torn record is cut from the result, not from the file.
  std::string bytes = read_file(path_) + std::string("\x05\x00" "xy", 4);
  write_file(path_, bytes);
  Container r = value_or_die(Container::open_read(path_));
  EXPECT_EQ(value_or_die(r.read_tail()), std::string("\x01\x00" "f", 3));
  EXPECT_EQ(read_file(path_), bytes);
}

}  // namespace
}  // namespace tarvel::testing
