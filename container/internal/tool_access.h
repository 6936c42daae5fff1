// What only the maintenance tools (and their tests and benchmarks) do with a
// Container: open it without the writer's lock and the journal replay of
// open_append, or even when it was cut short, put counting state that a
// scan of the data derived into it, and ask what only they need of its file:
// whether a read-only view still holds, and its permission bits. Not for the
// library's other callers.
#ifndef TARVEL_CONTAINER_INTERNAL_TOOL_ACCESS_H_
#define TARVEL_CONTAINER_INTERNAL_TOOL_ACCESS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "container/container.h"

namespace tarvel {

class ToolAccess {
 public:
  // The common open: checks preamble, zone, schema and frames list.
  static Result<Container> open_inner(const std::string& path, bool writable,
                                      Env& env = Env::posix()) {
    return Container::open_inner(path, writable, env);
  }
  // As open_inner (writable) or open_read, except that a listed frame that
  // runs past the end of the file (a file cut short) does not fail the
  // open; offsets that overflow still do. Reading such a frame fails with
  // the frame-fit error, and the raw tail, which begins behind the furthest
  // listed end, is empty.
  static Result<Container> open_cut(const std::string& path, bool writable,
                                    Env& env = Env::posix()) {
    return Container::open_cut(path, writable, env);
  }
  // For rebuild_headers' fix: sets the frames list and both pairs of
  // counters to values derived from the data.
  static void replace_counts(Container& c, std::vector<Frame> frames, uint64_t records,
                             uint64_t bytes_raw) {
    c.replace_counts(std::move(frames), records, bytes_raw);
  }
  // The headers, to be changed before a flush.
  static Headers& mutable_headers(Container& c) { return c.headers_; }
  // For rebuild_headers' fix of a file cut short: cuts the file to "length"
  // (not below data_start) and flushes it to stable storage.
  static Status cut_to(Container& c, uint64_t length) { return c.cut_to(length); }
  // For a read-only Container: whether the file still holds what it read at
  // the open: no splice in flight, no complete seal journal beside it and
  // the same header zone. A journal that no writer holds is the
  // recovery_pending error.
  static Result<bool> unchanged(Container& c) { return c.unchanged(); }
  // The container file's permission bits, as File::permissions gives them,
  // for repack's copy.
  static Result<uint32_t> permissions(const Container& c) { return c.permissions(); }
};

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_TOOL_ACCESS_H_
