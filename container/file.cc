// The POSIX side of the file layer: the only file that includes <unistd.h>
// and <fcntl.h>, and the one place where errno becomes an Error.
#include "container/file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace tarvel {

namespace {

Error posix_error() { return Error::io(IoFailure::os(errno)); }

// The platform's strongest flush of one descriptor, repeated while it is
// interrupted. Where the platform offers a flush that reaches past the
// drive's cache, that is used; otherwise fsync.
int full_flush(int fd) {
  int rc;
  do {
#if defined(F_FULLFSYNC)
    rc = fcntl(fd, F_FULLFSYNC);
#else
    rc = fsync(fd);
#endif
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// File systems without advisory locks (some network and FUSE mounts) say
// so with one of these.
bool lock_unsupported(int errnum) {
  if (errnum == ENOLCK || errnum == EOPNOTSUPP) return true;
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
  if (errnum == ENOTSUP) return true;
#endif
  return false;
}

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_nlink)};
}

class PosixFile;

// Every PosixFile of the process, so that a forked child can let go of
// their descriptors (see fork_generation in file.h).
struct OpenFiles {
  std::mutex mu;
  PosixFile* head = nullptr;
};

OpenFiles& open_files() {
  static OpenFiles* files = new OpenFiles;  // never destroyed: a fork may come at exit
  return *files;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {
    OpenFiles& files = open_files();
    std::lock_guard<std::mutex> hold(files.mu);
    next_ = files.head;
    if (next_ != nullptr) next_->prev_ = this;
    files.head = this;
  }
  ~PosixFile() override {
    OpenFiles& files = open_files();
    {
      std::lock_guard<std::mutex> hold(files.mu);
      if (prev_ != nullptr) {
        prev_->next_ = next_;
      } else {
        files.head = next_;
      }
      if (next_ != nullptr) next_->prev_ = prev_;
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // In a forked child, right after the fork: the descriptor is the parent's
  // open file description, lock included, and is closed here so that the
  // child cannot keep the parent's lock alive or move its file position.
  // The number may be given to another file of the child's, so it is never
  // used again: every later call fails with EBADF.
  static void detach_all_in_child() {
    for (PosixFile* f = open_files().head; f != nullptr; f = f->next_) {
      if (f->fd_ >= 0) ::close(f->fd_);
      f->fd_ = -1;
    }
  }

  Status seek(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
      return Error::io(IoFailure::os(EINVAL));
    }
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return posix_error();
    return {};
  }

  Result<size_t> read(char* buf, size_t n) override {
    ssize_t got = ::read(fd_, buf, n);
    if (got < 0) return posix_error();
    return static_cast<size_t>(got);
  }

  Result<size_t> write(const char* buf, size_t n) override {
    ssize_t put = ::write(fd_, buf, n);
    if (put < 0) return posix_error();
    return static_cast<size_t>(put);
  }

  Result<uint64_t> length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posix_error();
    return static_cast<uint64_t>(st.st_size);
  }

  Status truncate(uint64_t length) override {
    if (length > static_cast<uint64_t>(INT64_MAX)) {
      return Error::io(IoFailure::os(EFBIG));
    }
    int rc;
    do {
      rc = ::ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return posix_error();
    return {};
  }

  Status sync() override {
    if (full_flush(fd_) != 0) return posix_error();
    return {};
  }

  Result<uint32_t> permissions() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posix_error();
    return static_cast<uint32_t>(st.st_mode & 07777);
  }

  Status set_permissions(uint32_t bits) override {
    int rc;
    do {
      rc = ::fchmod(fd_, static_cast<mode_t>(bits & 07777));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return posix_error();
    return {};
  }

  Result<LockResult> try_lock(LockMode mode) override {
    const int op = (mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
      rc = ::flock(fd_, op);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return LockResult::kLocked;
    if (errno == EWOULDBLOCK) return LockResult::kHeld;
    if (lock_unsupported(errno)) return LockResult::kUnsupported;
    return posix_error();
  }

  Status unlock() override {
    int rc;
    do {
      rc = ::flock(fd_, LOCK_UN);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return posix_error();
    return {};
  }

  Result<FileIdentity> identity() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posix_error();
    return identity_of(st);
  }

  // ---- The splice lock ----
  // An open-file-description lock, so that it belongs to this open file
  // like the writer's lock, conflicts with every other open of the file,
  // this process's included, and goes when the file is closed.
#if defined(F_OFD_SETLK)
  bool lock_splice() override { return set_splice_lock(F_WRLCK); }

  void unlock_splice() override { (void)set_splice_lock(F_UNLCK); }

  SpliceProbe probe_splice() override {
    // A read lock conflicts only with write locks, so readers' own locks
    // never show.
    struct flock probe = splice_range(F_RDLCK);
    if (::fcntl(fd_, F_OFD_GETLK, &probe) != 0) return SpliceProbe::kUnavailable;
    if (probe.l_type == F_UNLCK) return SpliceProbe::kFree;
    // Only a splice lock is a splice: an open-file-description lock (no
    // process) on exactly that byte. Anything else, a lock over the whole
    // file above all, may be held for as long as a writer lives.
    if (probe.l_pid == -1 && probe.l_start == static_cast<off_t>(SPLICE_LOCK_OFFSET) &&
        probe.l_len == 1) {
      return SpliceProbe::kHeld;
    }
    return SpliceProbe::kUnavailable;
  }

 private:
  static struct flock splice_range(short type) {
    struct flock range;
    std::memset(&range, 0, sizeof range);  // l_pid must be 0
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(SPLICE_LOCK_OFFSET);
    range.l_len = 1;
    return range;
  }

  // Never waits, so it is never interrupted.
  bool set_splice_lock(short type) {
    struct flock range = splice_range(type);
    return ::fcntl(fd_, F_OFD_SETLK, &range) == 0;
  }
#endif

 private:
  int fd_;
  // The list of open_files(), guarded by its mutex.
  PosixFile* prev_ = nullptr;
  PosixFile* next_ = nullptr;
};

// The fork handlers: the list stays still across the fork, and the child
// detaches every File it inherited.
void lock_open_files() { open_files().mu.lock(); }
void unlock_open_files() { open_files().mu.unlock(); }
void detach_open_files() {
  PosixFile::detach_all_in_child();
  file_internal::forks.fetch_add(1, std::memory_order_relaxed);
  open_files().mu.unlock();
}

// Registered when the library is loaded, before any File or Container can
// exist.
[[maybe_unused]] const bool fork_handlers_registered = [] {
  open_files();
  return pthread_atfork(lock_open_files, unlock_open_files, detach_open_files) == 0;
}();

class PosixEnv final : public Env {
 public:
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    return open_with(path, mode, 0666);
  }

  Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) override {
    return open_with(path, OpenMode::kCreateNew, static_cast<mode_t>(bits & 0777));
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
    if (::rename(from.c_str(), to.c_str()) != 0) return posix_error();
    return {};
  }

  Status rename_noreplace(const std::string& from, const std::string& to) override {
    if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return {};
    }
    // A kernel or file system without the flag says so with one of these.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return posix_error();
#endif
    // The link fails with EEXIST where a name stands at "to". Once it is
    // made the file is at "to": a "from" that is gone meanwhile is no
    // failure of the move.
    if (::link(from.c_str(), to.c_str()) != 0) return posix_error();
    if (::unlink(from.c_str()) != 0 && errno != ENOENT) return posix_error();
    return {};
  }

  Status remove(const std::string& path) override {
    if (path.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
    if (::unlink(path.c_str()) != 0) return posix_error();
    return {};
  }

  Result<FileIdentity> identity(const std::string& path) override {
    if (path.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return posix_error();
    return identity_of(st);
  }

  Result<std::string> read_link(const std::string& path) override {
    if (path.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
    std::string target(256, '\0');
    for (;;) {
      ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      if (n < 0) return posix_error();
      // A full buffer may have cut the target short: try again with more room.
      if (static_cast<size_t>(n) < target.size()) {
        target.resize(static_cast<size_t>(n));
        return target;
      }
      target.resize(target.size() * 2);
    }
  }

  Result<std::string> current_dir() override {
    std::string dir(256, '\0');
    for (;;) {
      if (::getcwd(dir.data(), dir.size()) != nullptr) {
        dir.resize(std::strlen(dir.c_str()));
        return dir;
      }
      if (errno != ERANGE) return posix_error();
      dir.resize(dir.size() * 2);
    }
  }

  void sleep_for_micros(uint64_t micros) override {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }

 private:
  // "bits" are the permission bits of a file that the open creates.
  Result<std::unique_ptr<File>> open_with(const std::string& path, OpenMode mode,
                                          mode_t bits) {
    if (path.find('\0') != std::string::npos) {
      return Error::io(IoFailure::nul_in_path());
    }
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kCreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
      case OpenMode::kCreateTruncate:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
      case OpenMode::kDirectory:
        flags |= O_RDONLY | O_DIRECTORY;
        break;
    }
    // Non-blocking, so that a FIFO or a device at the path cannot stop the
    // caller inside open; whatever was opened is then looked at before any
    // I/O is done on it.
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_NONBLOCK, bits);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int err = errno;
      // A FIFO without a reader refuses a non-blocking write-only open, and a
      // socket refuses every open, both with ENXIO.
      struct stat st;
      if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
          !S_ISDIR(st.st_mode)) {
        return Error::io(IoFailure::not_regular());
      }
      return Error::io(IoFailure::os(err));
    }
    std::unique_ptr<File> file(new PosixFile(fd));  // closes fd on every way out
    struct stat st;
    if (::fstat(fd, &st) != 0) return posix_error();
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      return Error::io(IoFailure::not_regular());
    }
    // Later reads and writes wait as they always did.
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return posix_error();
    return file;
  }
};

}  // namespace

Result<LockResult> File::try_lock(LockMode) { return LockResult::kUnsupported; }
Status File::unlock() { return {}; }
Result<FileIdentity> File::identity() { return Error::io(IoFailure::os(ENOTSUP)); }

// The splice lock of a File that offers none.
bool File::lock_splice() { return false; }
void File::unlock_splice() {}
SpliceProbe File::probe_splice() { return SpliceProbe::kUnavailable; }

Result<FileIdentity> Env::identity(const std::string&) {
  return Error::io(IoFailure::os(ENOTSUP));
}

Env& Env::posix() {
  static PosixEnv* env = new PosixEnv;
  return *env;
}

Status write_all(File& file, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    Result<size_t> put = file.write(p, left);
    if (!put) {
      if (put.error().io_failure().errnum() == EINTR) continue;
      return std::move(put).error();
    }
    if (*put == 0) return Error::io(IoFailure::write_buffer());
    p += *put;
    left -= *put;
  }
  return {};
}

Status write_all_at(File& file, uint64_t offset, std::string_view data) {
  TARVEL_TRY(file.seek(offset));
  return write_all(file, data);
}

Status read_exact(File& file, char* buf, size_t n) {
  while (n > 0) {
    Result<size_t> got = file.read(buf, n);
    if (!got) {
      if (got.error().io_failure().errnum() == EINTR) continue;
      return std::move(got).error();
    }
    if (*got == 0) return Error::io(IoFailure::fill_buffer());
    buf += *got;
    n -= *got;
  }
  return {};
}

bool is_missing(const Error& e) {
  return e.is_io() && e.io_failure().kind() == IoFailure::Kind::kOs &&
         e.io_failure().errnum() == ENOENT;
}

Result<std::string> read_exact_at(File& file, uint64_t offset, size_t n) {
  TARVEL_TRY(file.seek(offset));
  std::string out(n, '\0');
  TARVEL_TRY(read_exact(file, out.data(), n));
  return out;
}

Result<std::string> read_at(File& file, uint64_t offset, size_t n) {
  std::string out(n, '\0');
  TARVEL_TRY(file.seek(offset));
  size_t have = 0;
  while (have < n) {
    TARVEL_TRY_ASSIGN(size_t got, file.read(out.data() + have, n - have));
    if (got == 0) break;
    have += got;
  }
  out.resize(have);
  return out;
}

Result<std::string> read_whole_file(Env& env, const std::string& path) {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kRead).map_error(io_at(path)));
  TARVEL_TRY_ASSIGN(uint64_t len, file->length().map_error(io_at(path)));
  if (len > SIZE_MAX) return Error::io(IoFailure::os(EFBIG));
  std::string out(static_cast<size_t>(len), '\0');
  TARVEL_TRY(read_exact(*file, out.data(), out.size()));
  return out;
}

Result<std::string> resolve_symlinks(Env& env, const std::string& path) {
  constexpr int kMaxLinks = 40;
  std::string current = path;
  for (int links = 0;; ++links) {
    Result<std::string> target = env.read_link(current);
    if (!target) {
      const int err = target.error().io_failure().errnum();
      // Not a link, or nothing there: the path names the file itself (or a
      // file yet to be made), and its open reports anything amiss.
      if (err == EINVAL || err == ENOENT) return current;
      return std::move(target).error();
    }
    if (links == kMaxLinks) return Error::io(IoFailure::os(ELOOP));
    if (!target->empty() && target->front() == '/') {
      current = std::move(*target);
    } else {
      // Relative to the directory that holds the link: the link's path up to
      // and including its last separator.
      const size_t slash = current.rfind('/');
      current.resize(slash == std::string::npos ? 0 : slash + 1);
      current += *target;
    }
  }
}

std::string parent_dir(std::string_view path) {
  // Trailing separators belong to the last component.
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return "";  // the root, or the empty path
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return ".";  // a bare file name
  size_t keep = slash;
  while (keep > 0 && path[keep - 1] == '/') --keep;
  if (keep == 0) return "/";
  return std::string(path.substr(0, keep));
}

namespace {

// Errors that say this directory cannot be opened for a flush, or that its
// file system does not flush directories; durable databases go on after
// them, as the entry is then as durable as that file system makes it.
bool open_dir_unsupported(int err) { return err == EACCES || err == EISDIR; }

bool sync_dir_unsupported(int err) {
  if (err == EINVAL || err == EBADF || err == EOPNOTSUPP) return true;
#if ENOTSUP != EOPNOTSUPP
  if (err == ENOTSUP) return true;
#endif
  return false;
}

}  // namespace

Status sync_parent_dir_checked(Env& env, std::string_view path) {
  std::string dir = parent_dir(path);
  if (dir.empty()) return {};
  Result<std::unique_ptr<File>> file = env.open(dir, OpenMode::kDirectory);
  if (!file) {
    if (open_dir_unsupported(file.error().io_failure().errnum())) return {};
    return std::move(file).error().with_path(dir);
  }
  Status synced = (*file)->sync();
  if (!synced) {
    if (sync_dir_unsupported(synced.error().io_failure().errnum())) return {};
    return std::move(synced).error().with_path(dir);
  }
  return {};
}

void sync_parent_dir(Env& env, std::string_view path) {
  (void)sync_parent_dir_checked(env, path);
}

// --- A writer bound to its file ---

Result<std::string> file_path_of(Env& env, const std::string& path) {
  Result<std::string> file = resolve_symlinks(env, path);
  if (!file || file->starts_with('/')) return file;
  TARVEL_TRY_ASSIGN(std::string dir, env.current_dir());
  if (!dir.ends_with('/')) dir += '/';
  return dir + *file;
}

// --- Forked children ---

namespace file_internal {
std::atomic<uint64_t> forks{0};
}  // namespace file_internal

}  // namespace tarvel
