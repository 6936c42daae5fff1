#include "container/internal/retry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fault_env.h"

namespace tarvel::testing {
namespace {

constexpr std::optional<Look> kFails = std::nullopt;  // the look fails
constexpr Look kWait = Look::kAfterAWait;
constexpr Look kNow = Look::kAtOnce;
constexpr Look kDone = Look::kDone;

struct RetryCase {
  const char* name;
  Backoff backoff;
  std::vector<std::optional<Look>> looks;  // what each look finds, in turn
  std::string result;                      // "done", "gave up" or the error
  std::vector<uint64_t> sleeps;            // the waits in microseconds
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class RetryTest : public ::testing::TestWithParam<RetryCase> {};

// The helper looks as often as the back-off allows, waits only between two
// looks and only after a look that asks for a wait, doubling each wait up to
// the limit; an error ends it at once.
TEST_P(RetryTest, LooksAndWaitsAsTheBackoffSays) {
  const RetryCase& c = GetParam();
  FaultEnv env;
  env.set_fake_clock(true);
  size_t made = 0;
  Result<bool> done = retry(env, c.backoff, [&]() -> Result<Look> {
    const std::optional<Look> found = c.looks.at(made++);
    if (!found) return Error::usage("the look failed");
    return *found;
  });
  EXPECT_EQ(!done ? done.error().to_string() : *done ? "done" : "gave up", c.result);
  EXPECT_EQ(made, c.looks.size());
  EXPECT_EQ(env.sleeps(), c.sleeps);
}

constexpr Backoff kView{6, 1000, 8000};

INSTANTIATE_TEST_SUITE_P(
    Looks, RetryTest,
    ::testing::Values(
        RetryCase{"DoneAtTheFirstLook", kView, {kDone}, "done", {}},
        RetryCase{"WaitsDoubleUpToTheLimit", kView, {kWait, kWait, kWait, kWait, kWait, kDone},
                  "done", {1000, 2000, 4000, 8000, 8000}},
        RetryCase{"GivesUpWithoutAWaitAfterTheLastLook", Backoff{3, 1000, 8000},
                  {kWait, kWait, kWait}, "gave up", {1000, 2000}},
        RetryCase{"LookAtOnceNeitherWaitsNorAdvancesTheWaits", kView,
                  {kWait, kNow, kNow, kWait, kDone}, "done", {1000, 2000}},
        RetryCase{"LookAtOnceCountsAsALook", Backoff{2, 1000, 8000}, {kNow, kNow}, "gave up", {}},
        RetryCase{"FailedLookEndsTheRetry", kView, {kWait, kFails}, "the look failed",
                  {1000}},
        RetryCase{"SteadyWait", Backoff{4, 1000, 1000}, {kWait, kWait, kWait, kWait}, "gave up",
                  {1000, 1000, 1000}},
        RetryCase{"NoWaitAtAll", Backoff{3, 0, 0}, {kWait, kWait, kWait}, "gave up", {}}),
    [](const ::testing::TestParamInfo<RetryCase>& c) { return c.param.name; });

}  // namespace
}  // namespace tarvel::testing
