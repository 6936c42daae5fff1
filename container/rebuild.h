// rebuild_headers: derives the counting headers _frames, _records and
// _bytes_raw from the data section, reports those that disagree with the
// stored ones and, when asked, writes the derived values back.
//
// The data section records nothing about its frames, so they are found by
// a scan from data-section offset 0: one zstd frame after the other, until
// a position where no zstd frame starts. The rest is the raw tail. A frame
// stored at level 0 carries no mark, so the scan stops at it.
#ifndef TARVEL_CONTAINER_REBUILD_H_
#define TARVEL_CONTAINER_REBUILD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "container/file.h"
#include "container/result.h"

namespace tarvel {

struct RebuildReport {
  // One text per disagreeing header, in the order _frames, _records,
  // _bytes_raw; empty when all three agree.
  std::vector<std::string> differences;
  // True when this call wrote the derived values into the file.
  bool fixed = false;
};

// Replays a pending journal, opens "path" (writable when "fix"), scans the
// data section and compares. A fix holds the writer's lock throughout and is
// refused while a writer holds the file; report mode leaves a live writer's
// journal alone and reads the file as validate does. With "fix" and differences, the derived
// values replace the counting headers in the header zone; the data section
// is never written, except for the cut described below.
//
// A fix that would drop a listed frame from _frames (one that starts at or
// past the point where the scan stopped: a frame stored at level 0 or a gap
// in the list ends the scan) is refused with Usage before anything is
// written; report mode lists the differences as usual.
//
// A file cut short (listed frames that run past its end) opens all the
// same. Those frames are gone: the scan ends at the first of them, the
// _frames difference names them, and a fix writes the list of the frames
// that are whole. The remains of a cut zstd frame hold no records; the fix
// cuts them off the file before it writes the zone, so that they are never
// read as the raw tail. The remains of a cut frame stored at level 0 are
// its first records and stay, as the raw tail.
Result<RebuildReport> rebuild_headers(const std::string& path, bool fix,
                                      Env& env = Env::posix());

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_REBUILD_H_
