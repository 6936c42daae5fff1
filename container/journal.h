// The seal journal: a redo file next to the container through which a frame
// close makes its in-place writes crash-safe.
//
// Journal file, integers little-endian, no padding:
//   [0, 6)        magic "TJRNL2"
//   [6, 14)       body_len N (u64)
//   [14, 22)      body_hash: FNV-1a 64 of the N body bytes (u64)
//   body:
//   [22, 30)      tail_start: absolute container offset of the new frame
//   [30, 38)      zone_len Z
//   [38, 38+Z)    the new header zone, bytes for container offset 16
//   [38+Z, 22+N)  the new frame's stored bytes (at least one)
#ifndef TARVEL_CONTAINER_JOURNAL_H_
#define TARVEL_CONTAINER_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "container/file.h"
#include "container/result.h"

namespace tarvel {

inline constexpr char JOURNAL_MAGIC[] = "TJRNL2";  // 6 bytes in the file
inline constexpr size_t JOURNAL_HEADER_LEN = 22;

// The container's path with ".seal" appended to its file name.
std::string journal_path(std::string_view container_path);

// The journal of the file that "container_path" names: journal_path of the
// path with its final symbolic links resolved (resolve_symlinks), so that
// every path to one file finds one journal. A path that is not a symbolic
// link gives journal_path unchanged, and so does one that cannot be
// resolved, whose open then reports why.
std::string journal_path_of(Env& env, const std::string& container_path);

// Whether "image" is a complete journal, one that a replay would apply.
bool journal_is_complete(std::string_view image);

// Whether "e" says that there is no file at the path. Only that means that
// there is no journal: one that is there but cannot be read may hold a close
// that a crash interrupted.
bool is_missing(const Error& e);

// Writes the whole journal, its head, body fields and zone in one write and
// the frame from "frame" itself in a second, then flushes it and its
// directory. The open's error carries the journal path; a failed write or
// flush leaves the partial journal on disk. "*made", when given, is set to
// true once the open has created or truncated the journal file, so that a
// caller cleaning up after a failure removes only a journal that is its
// own. "image", when given, is the buffer the journal's head and zone are
// built in, kept by the caller from one close to the next.
Status write_journal(Env& env, const std::string& container_path,
                     uint64_t tail_start, std::string_view zone,
                     std::string_view frame, bool* made = nullptr,
                     std::string* image = nullptr);

// Applies a complete journal to the container and removes it (as
// discard_journal does); removes an incomplete one; does nothing when there
// is no journal. A journal that exists but cannot be read fails with an Io
// error carrying the journal's path, and nothing is written. A failure to
// open the container carries its path and keeps the journal.
Status replay_journal(Env& env, const std::string& container_path);

// Removes the journal and flushes its directory so that the removal is
// durable. Every error is ignored: for a journal that may be incomplete.
void remove_journal(Env& env, const std::string& container_path);

// Makes sure that no complete journal stays at the journal path: removes it
// (durably), or when the removal fails, cuts it to length 0 and flushes it,
// which leaves it incomplete. A missing journal is success. When neither
// works, fails with an Io error carrying the journal's path.
Status discard_journal(Env& env, const std::string& container_path);

// The writes of a frame close: the frame at tail_start, the length cut right
// behind it, the zone at offset 16, one full flush. The first failure stops.
Status splice(File& file, uint64_t tail_start, std::string_view zone,
              std::string_view frame);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_JOURNAL_H_
