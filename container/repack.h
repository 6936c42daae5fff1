// repack: writes a whole container file anew at another compression level
// and puts it in the old file's place with one rename.
//
// The new file is written as "<path>.repack" next to the container file
// (the path's final symbolic links resolved, so that a link stays a link),
// created exclusively after anything at that name is removed, with the
// container's permission bits: the preamble, the header zone, every frame
// decoded and encoded again, back to back from data-section offset 0 in
// list order, then the whole records of the old raw tail. It is flushed
// whole before the rename, so the container's name never points at a
// partial file; until the rename the container is only read (a journal
// replay aside).
//
// Memory: each thread keeps one compression context, and the buffer its
// frames are encoded in, from one repack to the next, so that repacking
// many files does not make and fault in a new context for each (about
// 90 MiB at level 19). They are freed when the thread ends: a process that
// repacks once holds them until then.
#ifndef TARVEL_CONTAINER_REPACK_H_
#define TARVEL_CONTAINER_REPACK_H_

#include <cstdint>
#include <string>

#include "container/file.h"
#include "container/result.h"

namespace tarvel {

struct RepackReport {
  uint64_t bytes_before = 0;  // the container's length as opened
  uint64_t bytes_after = 0;   // the new file's length after its flush
  uint64_t frames = 0;        // frames re-encoded
};

// Keeps the file's own header_area (read with peek_headers, whose error is
// returned before anything else happens), then repack_with_header_area.
Result<RepackReport> repack(const std::string& path, int32_t level,
                            Env& env = Env::posix());

// Holds the writer's lock from the start to the rename, so it is refused
// while a writer holds the file. "level" 0 stores frames raw; any other
// value is passed to zstd. A header_area outside 1 to MAX_HEADER_AREA fails
// with Usage (after the journal replay). Every failure before the rename
// removes the temporary file and leaves the container as it was; a failed
// rename leaves the complete temporary file in place.
Result<RepackReport> repack_with_header_area(const std::string& path, int32_t level,
                                             uint32_t header_area,
                                             Env& env = Env::posix());

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_REPACK_H_
