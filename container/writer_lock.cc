#include "container/writer_lock.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "container/journal.h"
#include "container/text.h"

namespace tarvel {

namespace {

// A reader's probe holds a shared lock for a few system calls; a writer that
// meets one waits this long before it concludes that a writer holds the file.
constexpr int kProbeRetries = 5;
constexpr auto kProbeWait = std::chrono::milliseconds(1);

// The exclusive lock on "file": kLocked, kHeld or kUnsupported.
Result<LockResult> take_exclusive(File& file) {
  for (int attempt = 0;; ++attempt) {
    TARVEL_TRY_ASSIGN(LockResult got, file.try_lock(LockMode::kExclusive));
    if (got != LockResult::kHeld || attempt == kProbeRetries) return got;
    std::this_thread::sleep_for(kProbeWait);
  }
}

// open_locked, with nullptr in place of the refusal.
Result<std::unique_ptr<File>> open_locked_or_null(Env& env, const std::string& path,
                                                  OpenMode mode) {
  for (;;) {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, env.open(path, mode).map_error(io_at(path)));
    TARVEL_TRY_ASSIGN(LockResult got, take_exclusive(*file));
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

void wait_before_view_attempt(int attempt) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1 << std::min(attempt, 3)));
}

Status lock_writer(File& file, const std::string& path) {
  TARVEL_TRY_ASSIGN(LockResult got, take_exclusive(file));
  if (got == LockResult::kHeld) return writer_refused(path);
  return {};
}

Result<std::unique_ptr<File>> open_locked(Env& env, const std::string& path, OpenMode mode) {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, open_locked_or_null(env, path, mode));
  if (file == nullptr) return writer_refused(path);
  return file;
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
  const std::string journal = journal_path_of(env, path);
  if (Result<FileIdentity> seen = env.identity(journal); !seen) {
    if (is_missing(seen.error())) return {};
    return std::move(seen).error().with_path(journal);
  }
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> held, open_locked_or_null(env, path, OpenMode::kRead));
  if (held == nullptr) return {};
  return replay_journal(env, path);
}

}  // namespace tarvel
