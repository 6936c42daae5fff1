// Looking again at a file that another process is changing: the one retry
// of the library. Each caller states its own Backoff where it calls retry,
// and every wait goes through the Env, so that a test runs it with a clock
// that does not wait (FaultEnv::set_fake_clock).
#ifndef TARVEL_CONTAINER_INTERNAL_RETRY_H_
#define TARVEL_CONTAINER_INTERNAL_RETRY_H_

#include <algorithm>
#include <cstdint>

#include "container/file.h"
#include "container/result.h"

namespace tarvel {

// How often to look, and how long to wait between two looks.
struct Backoff {
  int attempts = 1;                // looks in all, the first one included
  uint64_t first_wait_micros = 0;  // the first wait; 0 never waits
  uint64_t max_wait_micros = 0;    // each wait doubles the one before, up to this

  // The wait that follows "waits" earlier ones.
  uint64_t wait_micros(int waits) const {
    uint64_t wait = first_wait_micros;
    for (int i = 0; i < waits && wait < max_wait_micros; ++i) wait *= 2;
    return std::min(wait, max_wait_micros);
  }
};

// What one look found.
enum class Look {
  kDone,         // the look has its answer
  kAfterAWait,   // look again once the next wait of the back-off is over
  kAtOnce,       // look again at once; the back-off does not advance
};

// Calls "look" (a callable returning Result<Look>) until it is done, at most
// backoff.attempts times. True once a look is done; false when the last
// look allowed asked for another, which the caller turns into its own
// refusal; the error of a look that failed, at once.
template <class LookFn>
Result<bool> retry(Env& env, const Backoff& backoff, LookFn&& look) {
  int waits = 0;
  for (int attempt = 1;; ++attempt) {
    TARVEL_TRY_ASSIGN(const Look found, look());
    if (found == Look::kDone) return true;
    if (attempt >= backoff.attempts) return false;
    if (found == Look::kAfterAWait && backoff.first_wait_micros != 0) {
      env.sleep_for_micros(backoff.wait_micros(waits++));
    }
  }
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_RETRY_H_
