#include "container/internal/writer_lock.h"

#include <errno.h>

#include <utility>

#include "container/internal/journal.h"
#include "container/internal/retry.h"
#include "container/internal/text.h"

namespace tarvel {

namespace {

// A reader's probe holds a shared lock for a few system calls; a writer that
// meets one tries 5 times more, 1 ms apart, before it concludes that a
// writer holds the file.
constexpr Backoff kProbeRetry{6, 1000, 1000};

// The exclusive lock on "file": kLocked, kHeld or kUnsupported.
Result<LockResult> take_exclusive(Env& env, File& file) {
  LockResult got = LockResult::kHeld;
  TARVEL_TRY(retry(env, kProbeRetry, [&]() -> Result<Look> {
    TARVEL_TRY_ASSIGN(got, file.try_lock(LockMode::kExclusive));
    return got == LockResult::kHeld ? Look::kAfterAWait : Look::kDone;
  }));
  return got;
}

// open_locked, with nullptr in place of the refusal.
Result<std::unique_ptr<File>> open_locked_or_null(Env& env, const std::string& path,
                                                  OpenMode mode) {
  for (;;) {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, env.open(path, mode).map_error(io_at(path)));
    TARVEL_TRY_ASSIGN(LockResult got, take_exclusive(env, *file));
    if (got == LockResult::kHeld) return std::unique_ptr<File>();
    if (got == LockResult::kUnsupported) return file;
    // A repack may have put a new file at the path between the open and the
    // lock; the lock on the old one guards nothing.
    TARVEL_TRY_ASSIGN(FileIdentity held, file->identity());
    Result<FileIdentity> named = env.identity(path);
    if (named && *named == held) return file;
  }
}

}  // namespace

Error writer_refused(const std::string& path) {
  return Error::usage("another writer holds " + quoted(path));
}

Error recovery_pending(const std::string& path) {
  return Error::usage(quoted(path) +
                      " has a pending seal journal from an interrupted write; recover it "
                      "with open_append, validate or rebuild_headers before reading");
}

Error changed_while_read(const std::string& path) {
  return Error::usage(quoted(path) + " changed while it was being read; open it again");
}

Status lock_writer(Env& env, File& file, const std::string& path) {
  TARVEL_TRY_ASSIGN(LockResult got, take_exclusive(env, file));
  if (got == LockResult::kHeld) return writer_refused(path);
  return {};
}

Result<std::unique_ptr<File>> open_locked(Env& env, const std::string& path, OpenMode mode) {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, open_locked_or_null(env, path, mode));
  if (file == nullptr) return writer_refused(path);
  return file;
}

std::string creating_path(std::string_view path) { return std::string(path) + ".creating"; }

Result<std::unique_ptr<File>> open_creating(Env& env, const std::string& path) {
  const std::string temp = creating_path(path);
  for (;;) {
    Result<std::unique_ptr<File>> made = env.open(temp, OpenMode::kCreateNew);
    if (made) {
      // Locked before anything is written: a create that meets this file
      // from now on knows that it is at work.
      Status locked = lock_writer(env, **made, path);
      if (locked) return made;
      // A lock that another create took first is that create's removal of
      // what it took for a leftover; a lock call that failed leaves the
      // file this create's own to remove.
      if (locked.error().kind() != ErrorKind::kUsage) (void)env.remove(temp);
      return std::move(locked).error();
    }
    if (made.error().io_failure().errnum() != EEXIST) {
      return std::move(made).error().with_path(path);
    }
    Result<std::unique_ptr<File>> left = env.open(temp, OpenMode::kRead);
    if (!left) {
      if (is_missing(left.error())) continue;
      return std::move(left).error().with_path(temp);
    }
    TARVEL_TRY_ASSIGN(LockResult got, (*left)->try_lock(LockMode::kExclusive));
    if (got == LockResult::kHeld) return Error::io_at(path, IoFailure::os(EEXIST));
    // Under its lock the leftover is this create's to remove, unless its
    // name has meanwhile gone to the file of another create.
    Result<FileIdentity> held = (*left)->identity();
    Result<FileIdentity> named = env.identity(temp);
    if (held && named && *held != *named) continue;
    Status removed = env.remove(temp);
    if (!removed && !is_missing(removed.error())) {
      return std::move(removed).error().with_path(temp);
    }
  }
}

Status remove_creating_leftover(Env& env, const std::string& path, File& file) {
  TARVEL_TRY_ASSIGN(const std::string own, resolve_symlinks(env, path).map_error(io_at(path)));
  const std::string temp = creating_path(own);
  Result<FileIdentity> left = env.identity(temp);
  if (!left) return {};
  Result<FileIdentity> held = file.identity();
  if (!held || *held != *left) return {};
  // A create holds the writer's lock on its file from the temporary name's
  // first moment to the end of its Container, and the caller holds that
  // lock now: no create is at work on this file, and the name is left over.
  Status removed = env.remove(temp);
  if (!removed && !is_missing(removed.error())) return std::move(removed).error().with_path(temp);
  return {};
}

Result<PendingClose> pending_close(Env& env, const std::string& path, File& file) {
  const std::string journal = journal_path_of(env, path);
  Result<FileIdentity> seen = env.identity(journal);
  if (!seen) {
    if (is_missing(seen.error())) return PendingClose::kNone;
    return std::move(seen).error().with_path(journal);
  }
  // A journal that is there but cannot be read may be the repair of a
  // half-spliced close: reading on would hand out its bytes as records. One
  // that is gone meanwhile was the writer's, done with.
  Result<std::string> image = read_whole_file(env, journal);
  if (!image) {
    if (is_missing(image.error())) return PendingClose::kNone;
    return std::move(image).error().with_path(journal);
  }
  if (!journal_is_complete(*image)) return PendingClose::kNone;
  TARVEL_TRY_ASSIGN(LockResult got, file.try_lock(LockMode::kShared));
  if (got != LockResult::kLocked) return PendingClose::kInFlight;
  // No writer can start while the shared lock is held, so a journal still
  // there now is one that nobody is working on.
  Result<FileIdentity> still = env.identity(journal);
  TARVEL_TRY(file.unlock());
  if (still && *still == *seen) return PendingClose::kRecovery;
  return PendingClose::kNone;
}

Result<bool> writer_is_live(File& file) {
  TARVEL_TRY_ASSIGN(LockResult got, file.try_lock(LockMode::kShared));
  if (got == LockResult::kLocked) TARVEL_TRY(file.unlock());
  return got == LockResult::kHeld;
}

Status replay_unless_writer(Env& env, const std::string& path) {
  TARVEL_TRY_ASSIGN(const std::string file_path, file_path_of(env, path).map_error(io_at(path)));
  const std::string journal = journal_path(file_path);
  if (Result<FileIdentity> seen = env.identity(journal); !seen) {
    if (is_missing(seen.error())) return {};
    return std::move(seen).error().with_path(journal);
  }
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> held, open_locked_or_null(env, path, OpenMode::kRead));
  if (held == nullptr) return {};
  return replay_journal(env, path, file_path, *held);
}

// --- A writer bound to its file ---

Result<FileIdentity> check_writer_open(Env& env, const std::string& path,
                                       const std::string& file_path, File& file) {
  TARVEL_TRY_ASSIGN(FileIdentity held, file.identity());
  TARVEL_TRY(check_one_name(env, file_path, held, path));
  return held;
}

Result<std::unique_ptr<File>> open_writer(Env& env, const std::string& path, OpenMode mode,
                                          std::string* file_path) {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, open_locked(env, path, mode));
  // A create that stopped between its link and the removal of its temporary
  // name left the file a second name, which the check below would refuse.
  TARVEL_TRY(remove_creating_leftover(env, path, *file));
  TARVEL_TRY_ASSIGN(*file_path, file_path_of(env, path).map_error(io_at(path)));
  TARVEL_TRY(check_writer_open(env, path, *file_path, *file));
  // A close interrupted by a crash is completed before anything is read, and
  // only now, under the lock: a live writer's journal is not ours to replay.
  TARVEL_TRY(replay_journal(env, path, *file_path, *file));
  return file;
}

}  // namespace tarvel
