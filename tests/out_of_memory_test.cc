// Running out of memory is an error value like any other: no std::bad_alloc
// leaves a Container operation, and an open for appending never needs the
// memory of the whole raw tail. Each case runs in a child process whose
// address space is capped just above what it already uses, so that taking
// a large raw tail into memory fails for real.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "container/container.h"
#include "tests/container_test_util.h"

namespace tarvel::testing {
namespace {

constexpr uint32_t kRecord = 65536;
constexpr int kTailRecords = 1536;  // a 96 MiB raw tail
constexpr rlim_t kHeadroom = 32u << 20;

struct OomCase {
  const char* name;
  std::function<Status(const std::string& path)> run;
  // Whether the call fits the capped address space and succeeds.
  bool fits = false;
  bool prefixed = false;
};

void PrintTo(const OomCase& c, std::ostream* os) { *os << c.name; }

class OutOfMemoryTest : public ::testing::TestWithParam<OomCase> {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("c.tarvel");
};

// The child's exit status: 0 for the out-of-memory error value, 1 when the
// call succeeded, 2 for another error. An escaping exception aborts it.
int run_capped(const std::function<Status()>& call) {
  long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(3);
  std::fclose(statm);
  const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                     kHeadroom;
  const rlimit limit{cap, cap};
  if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
  Status s = call();
  if (s.ok()) return 1;
  return s.error().to_string() == "Allocation error : not enough memory" ? 0 : 2;
}

TEST_P(OutOfMemoryTest, InACappedAddressSpace) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit a capped address space";
#endif
  {
    const bool prefixed = GetParam().prefixed;
    Container c = create_or_die(path_, prefixed ? prefixed_schema() : fixed_schema(kRecord));
    const std::string body = rec(prefixed ? kRecord - 1 : kRecord);
    for (int i = 0; i < kTailRecords; ++i) TARVEL_ASSERT_OK(c.append_record(body));
    TARVEL_ASSERT_OK(c.flush_data());
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(run_capped([&] { return GetParam().run(path_); }));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), GetParam().fits ? 1 : 0);
}

// The open counts the raw tail without taking it into memory.
Status open_append(const std::string& path) {
  TARVEL_TRY(Container::open_append(path));
  return {};
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OutOfMemoryTest,
    ::testing::Values(
        OomCase{"open_append_fixed", open_append, true},
        OomCase{"open_append_prefixed", open_append, true, true},
        OomCase{"read_tail", [](const std::string& path) -> Status {
                  // The open itself needs little; the cap is set before it
                  // anyway, so it must succeed within the headroom.
                  TARVEL_TRY_ASSIGN(Container c, Container::open_read(path));
                  TARVEL_TRY(c.read_tail());
                  return {};
                }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarvel::testing
