// validate: checks a whole container file and reports what it finds as
// text, one line per problem.
//
// The file is opened read-only after a pending seal journal has been
// replayed (so validate may write the container and delete its journal).
// Once the file is open nothing fails the call: every finding becomes a
// problem and checking goes on to the end.
#ifndef TARVEL_CONTAINER_VALIDATE_H_
#define TARVEL_CONTAINER_VALIDATE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container/file.h"
#include "container/result.h"

namespace tarvel {

// The problems list stops growing at this many entries; the counters still
// count everything.
inline constexpr size_t MAX_PROBLEMS = 20;

// validate reads frames and the raw tail this many bytes at a time, so its
// memory is bounded by this window (and one record), never by a length that
// the frames list or the file claims.
inline constexpr size_t VALIDATE_WINDOW = 1 << 20;

struct ValidateReport {
  // Everything found wrong, in the order found; empty for a sound file.
  std::vector<std::string> problems;
  // Entries of the frames list, each counted whatever was found in it.
  uint64_t frames = 0;
  // Whole records in the readable frames and in the raw tail (saturating).
  uint64_t records = 0;
};

// Called with each whole record (as split_records yields it: the body
// without a u16 prefix); a returned message becomes a problem.
using RecordChecker = std::function<std::optional<std::string>(std::string_view record)>;

// Replays a pending journal (unless a live writer holds the file: its
// journal is its own), opens "path" read-only and checks the schema
// fingerprint, every frame (checksum, decoding, whole records), the raw
// tail and the _records counter. Only the replay and the open fail the
// call; their errors are returned unchanged. A frame or tail that cannot be
// read is a problem like any other. A check whose tail a writer closed into
// a frame meanwhile is made again, a few times at most before Usage
// ""<path>" changed while it was being read; open it again"; the checker
// then sees records again. "checker", when given, must stay live for the
// call.
Result<ValidateReport> validate(const std::string& path,
                                const RecordChecker* checker = nullptr,
                                Env& env = Env::posix());

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_VALIDATE_H_
