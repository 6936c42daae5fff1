// The seal journal: a redo file next to the container through which a frame
// close makes its in-place writes crash-safe. Its byte layout is in
// format.h.
//
// A writer's journal is named after the file's own path ("file_path" below:
// file_path_of, fixed when the file is opened), and a replay applies a
// journal only to the file it was written for (journal_belongs).
#ifndef TARVEL_CONTAINER_INTERNAL_JOURNAL_H_
#define TARVEL_CONTAINER_INTERNAL_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "container/file.h"
#include "container/format.h"
#include "container/result.h"

namespace tarvel {

// The container's path with ".seal" appended to its file name.
std::string journal_path(std::string_view container_path);

// The journal of the file that "container_path" names: journal_path of the
// path with its final symbolic links resolved (resolve_symlinks), so that
// every path to one file finds one journal. A path that is not a symbolic
// link gives journal_path unchanged, and so does one that cannot be
// resolved, whose open then reports why.
std::string journal_path_of(Env& env, const std::string& container_path);

// --- The journal's one name ---
// A writer's seal journal is named after the file's own path, fixed at the
// open (file_path_of). Every journal write is preceded by check_one_name, so
// that a journal is written only where every later open of the file finds
// it: beside the one name the file has, and only while that name is still
// the writer's file.

// Usage ""<path>" was moved or removed since it was opened; open it again by
// its current name to close frames or rewrite its headers".
Error moved_since_open(const std::string& path);

// Usage ""<path>" has several names (hard links), so its seal journal would
// have several names too; a writer needs a file with exactly one name".
Error several_names(const std::string& path);

// Whether "file_path", the file's own path, still names the open file whose
// identity is "file", and that file has no other name: moved_since_open when
// the name is gone or names another file, several_names when the file has
// more than one name. "path", the caller's path, goes into the messages; any
// other failure to look the name up is an Io error carrying "file_path".
// One stat of the name.
Status check_one_name(Env& env, const std::string& file_path, const FileIdentity& file,
                      const std::string& path);

// What a complete journal asks a replay to write: views into its bytes.
struct JournalContent {
  uint64_t tail_start = 0;
  std::string_view zone;
  std::string_view frame;
};

// The content of a complete journal, one that a replay would apply; nullopt
// for an incomplete one (a torn write, a damaged file, a foreign file of
// that name). Only the journal itself is looked at.
std::optional<JournalContent> parse_journal(std::string_view image);

// Whether "image" is a complete journal.
bool journal_is_complete(std::string_view image);

// Writes the whole journal of the file at "file_path", its head, body fields
// and zone in one write and the frame from "frame" itself in a second, then
// flushes it and its directory. The open's error carries the journal path; a
// failed write or flush leaves the partial journal on disk. "*made", when
// given, is set to true once the open has created or truncated the journal
// file, and "*written", when given, gets that journal file's identity before
// "*made" is set and anything is written, so that a caller cleaning up after
// a failure, or once the journal is no longer needed, removes only a journal
// that is its own. "image", when given, is the buffer the journal's head and
// zone are built in, kept by the caller from one close to the next.
Status write_journal(Env& env, const std::string& file_path, uint64_t tail_start,
                     std::string_view zone, std::string_view frame, bool* made = nullptr,
                     std::string* image = nullptr, FileIdentity* written = nullptr);

// The file that a replay would write, as read under the writer's lock.
struct JournalTarget {
  uint64_t data_start = 0;  // 16 + the header_area of the file's preamble
  std::string_view zone;    // the header_area bytes at offset 16, perhaps torn
  uint64_t length = 0;      // the file's length
  // The file's bytes from the journal's tail_start to its end, when that
  // many are the journal's frame length; empty otherwise.
  std::string_view end;
};

// Whether "journal" is one that a frame close or a header rewrite of this
// file itself can have left, wherever a crash stopped it. Its zone must be
// the file's size and begin with the same FIXED_HEADERS lines as the file's
// zone, torn or not, and its tail_start must lie within the file; then:
//   - a close before its zone was written: the journal's frames list is the
//     file's list and one more frame, which begins at the file's tail start
//     with the journal's frame length and checksum;
//   - the journal names the file's own end (tail_start + frame length is the
//     file's length) and either lists the file's frames (a header rewrite,
//     or a close whose zone was written) or its frame bytes are the file's
//     last bytes (a close whose zone write was torn, which a zone that still
//     parses may hide);
//   - the file's zone, or its frames list, does not parse: a zone write was
//     torn.
// Anything else is another file's journal, or an old one of this file.
bool journal_belongs(const JournalContent& journal, const JournalTarget& file);

// Applies the complete journal of the file at "file_path", which the caller
// holds the writer's lock on through "locked", and removes it; removes an
// incomplete one; does nothing when there is no journal. "path" is the path
// the caller was given, for the messages.
//   - A journal that exists but cannot be read fails with an Io error
//     carrying the journal's path, and nothing is written.
//   - A complete journal is applied only while "file_path" names the locked
//     file and the file has that one name (check_one_name), and only when it
//     belongs to the file (journal_belongs); otherwise the replay fails with
//     that refusal, or with Usage "the seal journal "<journal>" belongs to
//     another file or is out of date; it was neither replayed nor removed",
//     and the journal stays.
//   - The journal is written into the locked file itself, opened again for
//     writing by "file_path" (its open's error carries "path"); a failed
//     write keeps the journal.
//   - A journal is removed only while its name is still the journal file
//     that was read.
Status replay_journal(Env& env, const std::string& path, const std::string& file_path,
                      File& locked);

// Removes the journal, if it is still the file "own", and flushes its
// directory so that the removal is durable. Every error is ignored: for a
// journal that may be incomplete.
void remove_journal(Env& env, const std::string& file_path, const FileIdentity& own);

// Makes sure that the journal "own" does not stay complete at the journal
// path: removes it (durably), or when the removal fails, cuts it to length 0
// and flushes it, which leaves it incomplete. A missing journal, or one that
// is no longer "own" (another file's journal now stands at that name), is
// success and is left alone. When neither works, fails with an Io error
// carrying the journal's path.
Status discard_journal(Env& env, const std::string& file_path, const FileIdentity& own);

// For create, once the name "file_path" is the new file's: a complete journal
// found at its journal path may be the only redo of a live writer whose file
// was renamed away, so it is moved aside to "<journal>.orphaned", or
// ".orphaned.1", ".orphaned.2" and so on, never over an earlier one, and the
// directory is flushed. An incomplete one is removed, durably. A journal
// that is there but cannot be read, which would fail every later replay too,
// fails with an Io error carrying the journal's path, as does a failed move.
Status set_aside_journal(Env& env, const std::string& file_path);

// The writes of a frame close: the frame at tail_start, the length cut right
// behind it, the zone at offset 16, one full flush. The first failure stops.
// The splice lock (file.h) is held throughout, where it can be taken.
Status splice(File& file, uint64_t tail_start, std::string_view zone,
              std::string_view frame);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_JOURNAL_H_
