// The file layer: the one seam through which the library reaches the
// operating system's files. Every open, seek, read, write, length query,
// truncation, flush, rename and removal of the library goes through an Env
// and the File objects it opens, so that tests can hand the code under test
// an Env that fails the Nth call with a chosen error, shortens a write, or
// forgets what was never flushed.
//
// Errors returned here are Io errors without a path; callers attach the
// path where the operation says so (see io_at in error.h).
#ifndef TARVEL_CONTAINER_FILE_H_
#define TARVEL_CONTAINER_FILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "container/result.h"

namespace tarvel {

// What a non-blocking attempt to lock a file found.
enum class LockResult {
  kLocked,       // this open file holds the lock now
  kHeld,         // another open file holds a conflicting lock
  kUnsupported,  // the file system offers no such locks (ENOLCK, EOPNOTSUPP)
};

enum class LockMode { kShared, kExclusive };

// ---- The splice lock: a writer's signal to readers ----
// A writer holds it on the container file while a splice rewrites bytes that
// are already in the file (a frame over the raw tail, the header zone), from
// before its first write to after its flush. It is an open-file-description
// byte-range lock on the one byte at SPLICE_LOCK_OFFSET, far beyond any real
// file, so it belongs to the file itself: a reader that opened the file by
// any name (a hard link, a new name after a rename, /proc/self/fd/N) sees
// it. It is a signal for readers, never a gate for the writer: a writer that
// cannot take it (no such locks, or a file system that emulates the writer's
// lock with byte-range locks over the whole file) splices all the same.
inline constexpr uint64_t SPLICE_LOCK_OFFSET = uint64_t{1} << 62;

// What a reader's probe of the splice lock found.
enum class SpliceProbe {
  kFree,         // no splice in flight
  kHeld,         // another open file holds exactly the splice lock: a splice
                 // is in flight
  kUnavailable,  // no answer: the call is not supported, or another kind of
                 // lock covers the byte (one that may last as long as a
                 // writer, such as a whole-file lock emulating its lock)
};

// Which file an open file or a path refers to: two names of one file give
// equal identities, a file replaced by a rename a different one. "links" is
// the number of names (hard links) the file had when it was looked at: 0
// once an open file has lost its last name, or where the file layer cannot
// tell. It is no part of the identity.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t links = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

enum class OpenMode {
  kRead,            // read-only; the file must exist
  kReadWrite,       // read and write; the file must exist
  kCreateNew,       // read and write, created exclusively (EEXIST if present)
  kCreateTruncate,  // write-only, created when missing, truncated when present
  kDirectory,       // a directory, read-only, to flush its entries
};

// An open file. Destroying it closes it; a close error is ignored. Every
// file is opened close-on-exec. A File has one owner and one position.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  virtual ~File() = default;

  // Moves the position to "offset" bytes from the start of the file.
  virtual Status seek(uint64_t offset) = 0;
  // One read of at most "n" bytes at the position; 0 means end of file. An
  // interrupted read is reported as the EINTR error, not retried.
  virtual Result<size_t> read(char* buf, size_t n) = 0;
  // One write of at most "n" bytes at the position; reports how many bytes
  // it accepted. An interrupted write is reported as the EINTR error.
  virtual Result<size_t> write(const char* buf, size_t n) = 0;
  // The file's length as the file system reports it.
  virtual Result<uint64_t> length() = 0;
  // Sets the length, cutting the file or extending it with zeros.
  virtual Status truncate(uint64_t length) = 0;
  // The full flush: the platform's strongest flush of data and metadata to
  // stable storage, repeated while it is interrupted.
  virtual Status sync() = 0;

  // An advisory whole-file lock, taken without waiting. It belongs to this
  // open file (not to the process): a second open of the same file, even in
  // the same process, conflicts with it. It is released by unlock or when the
  // File is destroyed; taking another mode converts it. An interrupted call
  // is repeated. A File that offers no locks (the default, for wrappers in
  // tests) reports kUnsupported, and its users go on without the lock.
  virtual Result<LockResult> try_lock(LockMode mode);
  virtual Status unlock();
  virtual Result<FileIdentity> identity();
  // The file's permission bits (0o777 and the set-id and sticky bits).
  virtual Result<uint32_t> permissions() = 0;
  // Sets the file's permission bits to "bits".
  virtual Status set_permissions(uint32_t bits) = 0;

  // ---- The splice lock (see SPLICE_LOCK_OFFSET above) ----
  // Takes the splice lock without waiting; true when this open file holds
  // it now. A failure of any kind is false, and the splice goes on anyway.
  // A File that offers no such lock (the default) never takes it.
  virtual bool lock_splice();
  // Releases the splice lock taken by lock_splice; errors are ignored.
  virtual void unlock_splice();
  // Whether another open file holds the splice lock right now, never
  // waiting. The default reports kUnavailable.
  virtual SpliceProbe probe_splice();
};

class Env {
 public:
  virtual ~Env() = default;

  // Opens "path" (raw bytes; a NUL byte inside fails with the file layer's
  // nul_in_path failure). Created files get permission bits 0o666 as
  // reduced by the process's file-creation mask. Opening never waits: a
  // FIFO, socket, device or any other file that is neither a regular file
  // nor a directory fails with the not_regular failure. A directory opens
  // in the modes that the system allows for one, and its reads fail.
  virtual Result<std::unique_ptr<File>> open(const std::string& path,
                                             OpenMode mode) = 0;
  // Opens "path" as OpenMode::kCreateNew does, but the new file gets the
  // permission bits "bits" (0o777 at most) as reduced by the process's
  // file-creation mask: it is never open to more users than "bits" allow.
  virtual Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) = 0;
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Moves "from" to "to" unless something stands at "to", which fails with
  // EEXIST. Where the file system has no such rename, the move is a link of
  // "to" to the file and the removal of "from", so that a crash between the
  // two leaves the file with both names.
  virtual Status rename_noreplace(const std::string& from, const std::string& to) = 0;
  // Removes the name "path"; a symbolic link is removed itself, never its
  // target.
  virtual Status remove(const std::string& path) = 0;
  // The identity of the file at "path", following symbolic links.
  virtual Result<FileIdentity> identity(const std::string& path);
  // The target of the symbolic link at "path", as stored in the link. A
  // path that is not a symbolic link fails with EINVAL, a missing one with
  // ENOENT.
  virtual Result<std::string> read_link(const std::string& path) = 0;

  // --- A writer bound to its file ---
  // The process's current directory, as an absolute path.
  virtual Result<std::string> current_dir() = 0;

  // Waits "micros" microseconds. Every wait of the library goes through
  // here (see retry.h), so that a test can run it with a clock that does not
  // wait.
  virtual void sleep_for_micros(uint64_t micros) = 0;

  // The process-wide Env over the real file system. Never destroyed.
  static Env& posix();
};

// A File that hands every call to another one: a test or benchmark derives
// from it and overrides only the calls it watches or changes, so that a call
// added to File reaches the wrapped file without touching every wrapper.
class FileWrapper : public File {
 public:
  explicit FileWrapper(std::unique_ptr<File> target) : target_(std::move(target)) {}

  Status seek(uint64_t offset) override { return target_->seek(offset); }
  Result<size_t> read(char* buf, size_t n) override { return target_->read(buf, n); }
  Result<size_t> write(const char* buf, size_t n) override { return target_->write(buf, n); }
  Result<uint64_t> length() override { return target_->length(); }
  Status truncate(uint64_t length) override { return target_->truncate(length); }
  Status sync() override { return target_->sync(); }
  Result<LockResult> try_lock(LockMode mode) override { return target_->try_lock(mode); }
  Status unlock() override { return target_->unlock(); }
  Result<FileIdentity> identity() override { return target_->identity(); }
  Result<uint32_t> permissions() override { return target_->permissions(); }
  Status set_permissions(uint32_t bits) override { return target_->set_permissions(bits); }

  // The splice lock.
  bool lock_splice() override { return target_->lock_splice(); }
  void unlock_splice() override { target_->unlock_splice(); }
  SpliceProbe probe_splice() override { return target_->probe_splice(); }

 private:
  std::unique_ptr<File> target_;
};

// An Env that hands every call to another one ("target" must outlive it);
// derived classes override the calls they watch or change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}

  Env& target() const { return target_; }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    return target_.open(path, mode);
  }
  Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) override {
    return target_.open_new(path, bits);
  }
  Status rename(const std::string& from, const std::string& to) override {
    return target_.rename(from, to);
  }
  Status rename_noreplace(const std::string& from, const std::string& to) override {
    return target_.rename_noreplace(from, to);
  }
  Status remove(const std::string& path) override { return target_.remove(path); }
  Result<FileIdentity> identity(const std::string& path) override {
    return target_.identity(path);
  }
  Result<std::string> read_link(const std::string& path) override {
    return target_.read_link(path);
  }
  Result<std::string> current_dir() override { return target_.current_dir(); }
  void sleep_for_micros(uint64_t micros) override { target_.sleep_for_micros(micros); }

 private:
  Env& target_;
};

// ---- The splice lock, held for one scope ----
// Takes the splice lock of "file" (which must outlive it) if it can, and
// releases it on every way out of the scope.
class SpliceLockHold {
 public:
  explicit SpliceLockHold(File& file) : file_(file), held_(file.lock_splice()) {}
  ~SpliceLockHold() {
    if (held_) file_.unlock_splice();
  }
  SpliceLockHold(const SpliceLockHold&) = delete;
  SpliceLockHold& operator=(const SpliceLockHold&) = delete;

 private:
  File& file_;
  bool held_;
};

// Writes all of "data" at the file's position: interrupted writes are
// repeated, short writes continue with the rest, and a write that accepts
// no bytes fails with "failed to write whole buffer".
Status write_all(File& file, std::string_view data);

// Seeks to "offset", then write_all.
Status write_all_at(File& file, uint64_t offset, std::string_view data);

// Reads exactly "n" bytes at the file's position into "buf": interrupted
// reads are repeated, short reads continue, and the end of the file first
// fails with "failed to fill whole buffer".
Status read_exact(File& file, char* buf, size_t n);

// Whether "e" is the failure of read_exact when the file ended first.
inline bool is_fill_buffer(const Error& e) {
  return e.is_io() && e.io_failure().kind() == IoFailure::Kind::kFillBuffer;
}

// Whether "e" says that there is no file at the path (ENOENT). Only that
// means that a journal is not there: one that is there but cannot be read
// may hold a close that a crash interrupted.
bool is_missing(const Error& e);

// Seeks to "offset", then reads exactly "n" bytes into a new string.
Result<std::string> read_exact_at(File& file, uint64_t offset, size_t n);

// Seeks to "offset" and reads until "n" bytes are in or a read returns 0:
// returns n bytes, or fewer at the end of the file (none at or past it). An
// interrupted read is not repeated; it fails like any other.
Result<std::string> read_at(File& file, uint64_t offset, size_t n);

// Reads a whole file by path; the path is attached to the open's error.
Result<std::string> read_whole_file(Env& env, const std::string& path);

// The path of the file that "path" names: while its last component is a
// symbolic link, the link is replaced by its target (a relative target
// counts from the link's directory). A path whose last component is not a
// symbolic link, or names nothing, comes back unchanged; the directories on
// the way are not resolved. A chain of more than 40 links fails with ELOOP.
// The seal journal, the repack's temporary file and the directory flushes
// belong to the file itself, so every path to one file finds one journal.
Result<std::string> resolve_symlinks(Env& env, const std::string& path);

// The path without its last component, as the directory that holds it: ""
// for the root or an empty path, "." for a bare file name.
std::string parent_dir(std::string_view path);

// Flushes the directory that holds "path" to stable storage, so that a
// created, renamed or removed entry in it is durable. A bare file name
// flushes the current directory; the root and the empty path flush nothing.
// Every error is ignored.
void sync_parent_dir(Env& env, std::string_view path);

// As sync_parent_dir, but reports a failure to open or flush the directory,
// for a caller that must not go on when the entry may not be durable. The
// error carries the directory's path. A file system that cannot flush a
// directory at all is no failure: EACCES or EISDIR from opening the
// directory, and EINVAL, EBADF or ENOTSUP from its flush, are ignored.
Status sync_parent_dir_checked(Env& env, std::string_view path);

// --- A writer bound to its file ---
// A writer finds its seal journal, and flushes the journal's directory,
// through the file's own path, fixed when the file is opened, so that a
// later change of the current directory or of a symbolic link changes
// nothing. Before each journal write it checks that this path still names
// the open file (see check_one_name in journal.h).

// The file's own path: resolve_symlinks of "path", made absolute with the
// current directory when it is relative. Nothing else is normalised: an
// absolute path that is no symbolic link comes back unchanged.
Result<std::string> file_path_of(Env& env, const std::string& path);

// --- Forked children ---
// A child of fork() shares the parent's open file descriptions, and with
// them the writer's lock and the file positions. So in a child the file
// layer closes, right after the fork, every descriptor its Files hold; such
// a File (a "detached" one) never closes the number again and fails every
// call with EBADF. The count below then grows by one. A Container records
// it when it is opened and refuses every call once it differs: the object
// belongs to the parent, and the child opens the file itself.

// How many forks made this process from the one that loaded the library: 0
// there, one more in each child. One relaxed atomic load, inline: it is
// checked on every append.
namespace file_internal {
extern std::atomic<uint64_t> forks;
}  // namespace file_internal
inline uint64_t fork_generation() {
  return file_internal::forks.load(std::memory_order_relaxed);
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_FILE_H_
