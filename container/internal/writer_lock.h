// The writer's lock: one writer per container file, enforced.
//
// Every Container opened for writing (create, open_append) holds an advisory
// exclusive lock on its open file until it is released, and so do repack and
// a rebuild_headers fix for their whole run, and validate and rebuild_headers
// while they replay a journal. Any of them finding the lock taken fails at
// once with writer_refused. The lock belongs to the open file, so a second
// open in the same process is refused too. On a file system without such
// locks (ENOLCK, EOPNOTSUPP) the lock is skipped and the rule is the caller's
// again.
//
// Readers never take the writer's lock. They only probe it, with a shared
// lock held for a moment, to tell a frame close in flight (a live writer)
// from one that a crash interrupted.
#ifndef TARVEL_CONTAINER_INTERNAL_WRITER_LOCK_H_
#define TARVEL_CONTAINER_INTERNAL_WRITER_LOCK_H_

#include <memory>
#include <string>
#include <string_view>

#include "container/error.h"
#include "container/file.h"
#include "container/internal/retry.h"
#include "container/result.h"

namespace tarvel {

// Usage "another writer holds "<path>"".
Error writer_refused(const std::string& path);

// Takes the writer's lock on "file", open at "path", or refuses with
// writer_refused.
Status lock_writer(Env& env, File& file, const std::string& path);

// Opens "path" in "mode" and takes the writer's lock on it. Once locked, the
// path must still name the opened file: a repack that renamed a new file over
// it meanwhile sends the open round again, so that no writer ever holds a
// file that is no longer at its path. Open errors carry the path.
Result<std::unique_ptr<File>> open_locked(Env& env, const std::string& path, OpenMode mode);

// The name under which create writes a new file before it moves the whole
// file to "path": "path" with ".creating" appended, in the same directory.
std::string creating_path(std::string_view path);

// Creates the temporary file of a create of "path" (creating_path)
// exclusively and takes the writer's lock on it, which the new Container
// keeps. A file found at the temporary name is the leftover of a create that
// stopped, unless a create still holds its lock: a leftover is removed and
// the create goes on, while a live create of "path" fails this one with the
// EEXIST error carrying "path", as an existing file at "path" does. Other
// errors of the create carry "path"; those of a leftover that cannot be
// removed carry its own name.
Result<std::unique_ptr<File>> open_creating(Env& env, const std::string& path);

// Removes the temporary name of a create that stopped after it had linked
// the new file to "path" but before it removed that name, so that the file
// is left with one name. "file" is the file at "path", and the caller holds
// the writer's lock on it; a temporary name of another file is left alone.
// A failed removal is an Io error carrying the temporary name.
Status remove_creating_leftover(Env& env, const std::string& path, File& file);

// What a reader finds beside the file at "path", open as "file".
enum class PendingClose {
  kNone,      // no complete seal journal
  kInFlight,  // a complete journal while a writer holds the lock (or no
              // lock can tell): a close or header rewrite is under way
  kRecovery,  // a complete journal and no writer: a crash interrupted it
};
// A journal that is there but cannot be read fails with an Io error that
// names it.
Result<PendingClose> pending_close(Env& env, const std::string& path, File& file);

// Whether a writer holds the lock on "file" right now; false where the file
// system has no locks.
Result<bool> writer_is_live(File& file);

// Usage error of a reader that found a journal no writer is working on.
Error recovery_pending(const std::string& path);

// Usage ""<path>" changed while it was being read; open it again": a reader
// whose view of the file a writer changed while it read.
Error changed_while_read(const std::string& path);

// A reader that meets a write in flight looks again (open_read for its view,
// read_tail for the tail's bytes), 320 looks at most, waiting 1, 2, 4 and
// then 8 milliseconds before each new look: about two and a half seconds in
// all, far longer than a frame close keeps its journal. The waits stay short
// because a writer that closes frames back to back is in the middle of one
// about half the time on a disk: a reader finds it between two closes
// within a few looks, and longer waits would only add to each of them.
inline constexpr Backoff VIEW_RETRY{320, 1000, 8000};

// Replays a pending seal journal of "path" under the writer's lock, for the
// tools that only read the file afterwards. A journal that a live writer is
// working on is left alone: the caller then reads the file as it finds it.
// A journal that is there but cannot be looked up fails with an Io error
// that names it, as its replay does when it cannot be read. A complete
// journal beside a file with several names is not replayed: that fails with
// several_names (see replay_journal).
Status replay_unless_writer(Env& env, const std::string& path);

// --- A writer bound to its file ---
// Its seal journal stays beside the one name the file has (check_one_name
// in journal.h).

// The check of every writer's open (create, open_append, repack, a
// rebuild_headers fix), once it holds the writer's lock on "file": "file" is
// the file that "file_path" names, and it has that one name. Returns the
// file's identity.
Result<FileIdentity> check_writer_open(Env& env, const std::string& path,
                                       const std::string& file_path, File& file);

// How open_append, repack and a rebuild_headers fix begin: "path" opened in
// "mode" under the writer's lock (open_locked), a leftover temporary name of
// create's removed (remove_creating_leftover), its own path found
// (file_path_of, into "*file_path"), check_writer_open, and a pending seal
// journal replayed into it (replay_journal).
Result<std::unique_ptr<File>> open_writer(Env& env, const std::string& path, OpenMode mode,
                                          std::string* file_path);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_WRITER_LOCK_H_
