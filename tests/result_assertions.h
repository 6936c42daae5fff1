// Assertions on Results that show the error when they fail, where
// EXPECT_TRUE(r.ok()) shows only "false":
//
//   TARVEL_ASSERT_OK(c.close_frame(1, 3));
//     -> c.close_frame(1, 3) failed: Io: No space left on device (os error 28)
//   TARVEL_EXPECT_OK(body) << "frame " << id;  // more context, as with any assertion
//   TARVEL_EXPECT_ERROR(c.flush_data());       // the call must fail
//
// Each evaluates its argument once; the ASSERT forms return from the
// function on failure, as ASSERT_TRUE does.
#ifndef TARVEL_TESTS_RESULT_ASSERTIONS_H_
#define TARVEL_TESTS_RESULT_ASSERTIONS_H_

#include <gtest/gtest.h>

#include <ostream>

#include "container/error.h"
#include "container/result.h"

namespace tarvel {

// GoogleTest shows an Error as its kind and display text: "Usage: no frame 3".
inline void PrintTo(const Error& e, std::ostream* os) {
  switch (e.kind()) {
    case ErrorKind::kIo: *os << "Io"; break;
    case ErrorKind::kMalformed: *os << "Malformed"; break;
    case ErrorKind::kUsage: *os << "Usage"; break;
    case ErrorKind::kZoneFull: *os << "ZoneFull"; break;
    case ErrorKind::kCompression: *os << "Compression"; break;
  }
  *os << ": " << e.to_string();
}

namespace testing {

// The predicate-formatters behind the macros; "expr" is the argument's text.
template <class R>
::testing::AssertionResult result_is_ok(const char* expr, const R& r) {
  if (r.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr << " failed: "
                                       << ::testing::PrintToString(r.error());
}

template <class R>
::testing::AssertionResult result_is_error(const char* expr, const R& r) {
  if (!r.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr << " succeeded where it should fail";
}

}  // namespace testing
}  // namespace tarvel

#define TARVEL_ASSERT_OK(expr) ASSERT_PRED_FORMAT1(::tarvel::testing::result_is_ok, expr)
#define TARVEL_EXPECT_OK(expr) EXPECT_PRED_FORMAT1(::tarvel::testing::result_is_ok, expr)
#define TARVEL_ASSERT_ERROR(expr) ASSERT_PRED_FORMAT1(::tarvel::testing::result_is_error, expr)
#define TARVEL_EXPECT_ERROR(expr) EXPECT_PRED_FORMAT1(::tarvel::testing::result_is_error, expr)

#endif  // TARVEL_TESTS_RESULT_ASSERTIONS_H_
