#include "container/error.h"

#include <gtest/gtest.h>

#include <string>

#include "container/result.h"
#include "tests/result_assertions.h"

namespace tarvel {
namespace {

TEST(ErrorDisplay, EachKind) {
  struct Case {
    Error error;
    std::string text;
    ErrorKind kind;
  } cases[] = {
      {Error::zone_full(4100, 4096), "headers need 4100 bytes, the zone holds 4096",
       ErrorKind::kZoneFull},
      {Error::io_at("data/run7.tarvel", IoFailure::os(17)),
       "data/run7.tarvel: File exists (os error 17)", ErrorKind::kIo},
      {Error::io(IoFailure::os(17)), "File exists (os error 17)", ErrorKind::kIo},
      {Error::io(IoFailure::os(2)), "No such file or directory (os error 2)", ErrorKind::kIo},
      {Error::io(IoFailure::fill_buffer()), "failed to fill whole buffer", ErrorKind::kIo},
      {Error::io(IoFailure::write_buffer()), "failed to write whole buffer", ErrorKind::kIo},
      {Error::io(IoFailure::nul_in_path()), "file name contained an unexpected NUL byte",
       ErrorKind::kIo},
      {Error::io(IoFailure::message("Allocation error : not enough memory")),
       "Allocation error : not enough memory", ErrorKind::kIo},
      // The path is shown as given, with U+FFFD for the byte that is not UTF-8.
      {Error::io_at("../run\xFF.tarvel", IoFailure::fill_buffer()),
       "../run\xEF\xBF\xBD.tarvel: failed to fill whole buffer", ErrorKind::kIo},
      // Messages go out with nothing added.
      {Error::malformed("truncated zstd frame"), "truncated zstd frame",
       ErrorKind::kMalformed},
      {Error::usage("file is open read-only"), "file is open read-only", ErrorKind::kUsage},
      {Error::compression("Restored data doesn't match checksum"),
       "Restored data doesn't match checksum", ErrorKind::kCompression},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.text);
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
  }
}

TEST(ErrorDisplay, FmtAppendsToTheSink) {
  std::string sink = "problem: ";
  Error::io(IoFailure::fill_buffer()).fmt(&sink);
  EXPECT_EQ(sink, "problem: failed to fill whole buffer");
}

TEST(IoAt, AttachesThePathToIoErrorsOnly) {
  Result<int> failed = Error::io(IoFailure::os(17));
  Result<int> mapped = std::move(failed).map_error(io_at("new.tarvel"));
  TARVEL_ASSERT_ERROR(mapped);
  EXPECT_EQ(mapped.error().to_string(), "new.tarvel: File exists (os error 17)");
  ASSERT_TRUE(mapped.error().path().has_value());
  EXPECT_EQ(*mapped.error().path(), "new.tarvel");
  EXPECT_EQ(mapped.error().io_failure().errnum(), 17);

  // A path already attached stays; other kinds and values pass unchanged.
  Status tagged = Error::io_at("first", IoFailure::fill_buffer());
  EXPECT_EQ(std::move(tagged).map_error(io_at("second")).error().to_string(),
            "first: failed to fill whole buffer");
  Status malformed = Error::malformed("bad");
  Status still = std::move(malformed).map_error(io_at("p"));
  EXPECT_EQ(still.error().kind(), ErrorKind::kMalformed);
  EXPECT_EQ(still.error().to_string(), "bad");
  Result<int> value = 5;
  Result<int> same = std::move(value).map_error(io_at("p"));
  TARVEL_ASSERT_OK(same);
  EXPECT_EQ(*same, 5);
}

}  // namespace
}  // namespace tarvel
