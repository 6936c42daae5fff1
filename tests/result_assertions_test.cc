#include "tests/result_assertions.h"

#include <errno.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace tarvel {
namespace {

Status failed_status() { return Error::io_at("data/c.tarvel", IoFailure::os(ENOSPC)); }
Result<int> failed_result() { return Error::usage("no frame 3"); }
Status ok_status() { return {}; }
Result<int> ok_result() { return 7; }

// A failed check names the expression and shows the error's kind and text,
// followed by whatever the test adds.
TEST(ResultAssertions, FailureShowsTheError) {
  EXPECT_NONFATAL_FAILURE(
      TARVEL_EXPECT_OK(failed_status()) << "round 2",
      "failed_status() failed: Io: data/c.tarvel: No space left on device (os error 28)\nround 2");
  EXPECT_FATAL_FAILURE(TARVEL_ASSERT_OK(failed_result()),
                       "failed_result() failed: Usage: no frame 3");
  EXPECT_NONFATAL_FAILURE(TARVEL_EXPECT_ERROR(ok_status()), "ok_status() succeeded");
  EXPECT_FATAL_FAILURE(TARVEL_ASSERT_ERROR(ok_result()), "ok_result() succeeded");
}

}  // namespace
}  // namespace tarvel
