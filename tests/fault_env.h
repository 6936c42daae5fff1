// FaultEnv: an Env for tests that wraps another Env (the real file system by
// default) and, on demand, fails the Nth call of chosen kinds, shortens
// writes and reads, interrupts reads and writes once with EINTR, and
// "crashes" by forgetting everything that was never flushed.
//
//   FaultEnv env;
//   env.fail_nth(FaultEnv::kWrite | FaultEnv::kSync, 3, EIO);
//   Status s = code_under_test(env);     // the 3rd write or sync fails
//   env.crash();                         // drop what was not flushed
//
// The crash model. Every path written, renamed or removed through the env is
// tracked from its first such use; a file that already existed then is taken
// as durable with the contents it had. Each file's durable contents are its
// contents as of its last successful sync (a created file that was never
// synced is empty). A directory entry made or removed through the env
// (create, rename, remove) is durable only once a sync of the directory
// that holds it succeeds, the directory being named as parent_dir names it.
// crash() puts every tracked path back to its durable state: the contents of
// the file that was durably at that name, or no file at all. So a created
// file whose directory was never synced disappears, and an unsynced rename or
// removal is undone. crash_keeping_writes() keeps the unsynced writes of
// file data too, but not unsynced length changes. Nothing else is modelled:
// a sync is all or nothing, a file that cannot be read when tracking starts
// counts as absent, and files the env never changed are left alone.
//
// Not thread-safe. The env must outlive the files it opened; call crash()
// only once the code under test has let go of its files.
#ifndef TARVEL_TESTS_FAULT_ENV_H_
#define TARVEL_TESTS_FAULT_ENV_H_

#include <errno.h>

#include <array>
#include <bit>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "container/file.h"

namespace tarvel::testing {

class FaultEnv final : public Env {
 public:
  // Kinds of calls, as bits so that sets of them combine with "|". A sync
  // counts whether it flushes a file or a directory.
  enum Op : unsigned {
    kOpen = 1u << 0,
    kSeek = 1u << 1,
    kRead = 1u << 2,
    kWrite = 1u << 3,
    kLength = 1u << 4,
    kTruncate = 1u << 5,
    kSync = 1u << 6,
    kRename = 1u << 7,
    kRemove = 1u << 8,
    kLock = 1u << 9,  // try_lock and unlock
    kAll = (1u << 10) - 1,
  };

  explicit FaultEnv(Env& base = Env::posix()) : base_(base) {}

  // How many calls of the kinds in "ops" arrived so far, failed ones
  // included.
  uint64_t count(unsigned ops) const {
    uint64_t n = 0;
    for (unsigned i = 0; i < kKinds; ++i) {
      if (ops & (1u << i)) n += counts_[i];
    }
    return n;
  }
  void reset_counts() { counts_ = {}; }

  // The "n"th call (1-based, counted from now) of one of the kinds in "ops"
  // fails with "errnum" and does nothing; the other calls go through.
  // Replaces an earlier request.
  void fail_nth(unsigned ops, uint64_t n, int errnum) {
    fail_ops_ = ops;
    fail_left_ = n;
    fail_errnum_ = errnum;
    die_ = false;
    dead_ = false;
    failed_ = false;
  }
  // Like fail_nth, and from that call on every call of every kind fails with
  // "errnum" too: the process has stopped there. Pair it with crash().
  void die_at(unsigned ops, uint64_t n, int errnum = EIO) {
    fail_nth(ops, n, errnum);
    die_ = true;
  }
  // Whether the requested failure has happened.
  bool failed() const { return failed_; }
  // Besides any fail_nth request, every call of the kinds in "always" fails
  // with "errnum" until clear_faults.
  void fail_always(unsigned always, int errnum) {
    always_ops_ = always;
    always_errnum_ = errnum;
  }

  // Each write accepts at most "k" bytes, each read returns at most "k"
  // bytes; 0 removes the limit.
  void set_max_write(size_t k) { max_write_ = k; }
  void set_max_read(size_t k) { max_read_ = k; }
  // When on, every read and every write first fails once with EINTR: the
  // call after an interrupted one of the same kind goes through.
  void set_interrupts(bool on) { interrupts_ = on; }
  // When on, every try_lock reports that the file system has no locks.
  void set_locks_unsupported(bool on) { locks_unsupported_ = on; }
  // When on, a sleep returns at once: the clock does not wait, and a test of
  // a retry takes no time. Every sleep is noted in sleeps() either way.
  void set_fake_clock(bool on) { fake_clock_ = on; }
  const std::vector<uint64_t>& sleeps() const { return sleeps_; }

  // Removes every requested failure, limit and interruption.
  void clear_faults() {
    fail_ops_ = 0;
    fail_left_ = 0;
    die_ = false;
    dead_ = false;
    failed_ = false;
    max_write_ = max_read_ = 0;
    interrupts_ = false;
    locks_unsupported_ = false;
    always_ops_ = 0;
  }

  // Puts every tracked path back to its durable state (see the top of this
  // file), clears all faults, and starts tracking afresh: what is on disk
  // now counts as durable.
  void crash() { restore(false); }

  // As crash(), but the file data written since each file's last sync
  // stays: the writes are applied in order to its synced contents, extending
  // it where they ran past its end, while the length set by a truncate since
  // then is lost. A drive that wrote back unflushed data and not the file's
  // new length leaves this.
  void crash_keeping_writes() { restore(true); }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    return open_tracked(path, mode, [&] { return base_.open(path, mode); });
  }

  // Counted and modelled as an open with OpenMode::kCreateNew.
  Result<std::unique_ptr<File>> open_new(const std::string& path, uint32_t bits) override {
    return open_tracked(path, OpenMode::kCreateNew, [&] { return base_.open_new(path, bits); });
  }

  Status rename(const std::string& from, const std::string& to) override {
    return move_tracked(from, to, [&] { return base_.rename(from, to); });
  }

  // Counted as a rename; durable, like one, once the directory is synced.
  Status rename_noreplace(const std::string& from, const std::string& to) override {
    return move_tracked(from, to, [&] { return base_.rename_noreplace(from, to); });
  }

  // Not counted and never failed: it only inspects the process.
  Result<std::string> current_dir() override { return base_.current_dir(); }

  // Not counted and never failed; noted in sleeps().
  void sleep_for_micros(uint64_t micros) override {
    sleeps_.push_back(micros);
    if (!fake_clock_) base_.sleep_for_micros(micros);
  }

  // Not counted and never failed: it only inspects a name.
  Result<std::string> read_link(const std::string& path) override {
    return base_.read_link(path);
  }

  Status remove(const std::string& path) override {
    if (auto e = inject(kRemove)) return std::move(*e);
    track(path);
    TARVEL_TRY(base_.remove(path));
    auto gone = live_.find(path);
    if (gone != live_.end()) {
      inodes_[gone->second].path.clear();
      live_.erase(gone);
    }
    return {};
  }

  Result<FileIdentity> identity(const std::string& path) override {
    return base_.identity(path);
  }

 private:
  // The open of "path" in "mode" that "base_open" makes, counted, failed on
  // demand and tracked.
  template <class BaseOpen>
  Result<std::unique_ptr<File>> open_tracked(const std::string& path, OpenMode mode,
                                             BaseOpen base_open) {
    if (auto e = inject(kOpen)) return std::move(*e);
    bool writes = mode == OpenMode::kReadWrite || mode == OpenMode::kCreateNew ||
                  mode == OpenMode::kCreateTruncate;
    if (writes) track(path);
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, base_open());
    int id = -1;
    if (writes && !live_.count(path)) {  // created by this open
      id = next_id_++;
      inodes_[id] = Inode{path, "", {}};
      live_[path] = id;
    } else if (live_.count(path)) {
      id = live_[path];
    }
    bool dir = mode == OpenMode::kDirectory;
    return std::unique_ptr<File>(new FaultFile(this, std::move(file), id, dir ? path : ""));
  }

  // crash() and crash_keeping_writes().
  void restore(bool keep_writes) {
    std::set<std::string> paths;
    for (const auto& [path, id] : live_) paths.insert(path);
    for (const auto& [path, id] : durable_) paths.insert(path);
    for (const std::string& path : paths) {
      auto d = durable_.find(path);
      if (d != durable_.end() && d->second) {
        const Inode& inode = inodes_[*d->second];
        std::string contents = inode.synced;
        if (keep_writes) {
          for (const auto& [at, bytes] : inode.unsynced) {
            if (contents.size() < at + bytes.size()) contents.resize(at + bytes.size(), '\0');
            contents.replace(at, bytes.size(), bytes);
          }
        }
        Result<std::unique_ptr<File>> f = base_.open(path, OpenMode::kCreateTruncate);
        if (f) (void)write_all(**f, contents);
      } else {
        (void)base_.remove(path);
      }
    }
    live_.clear();
    durable_.clear();
    inodes_.clear();
    clear_faults();
  }

  static constexpr unsigned kKinds = 10;

  // A file as the crash model sees it: the name it lives under now (empty
  // once removed or replaced) and its contents as of its last sync.
  struct Inode {
    std::string path;
    std::string synced;
    // The writes since the last sync: offset and bytes, in order.
    std::vector<std::pair<uint64_t, std::string>> unsynced;
  };

  class FaultFile final : public File {
   public:
    FaultFile(FaultEnv* env, std::unique_ptr<File> base, int id, std::string dir)
        : env_(env), base_(std::move(base)), id_(id), dir_(std::move(dir)) {}

    Status seek(uint64_t offset) override {
      if (auto e = env_->inject(kSeek)) return std::move(*e);
      TARVEL_TRY(base_->seek(offset));
      pos_ = offset;
      return {};
    }
    Result<size_t> read(char* buf, size_t n) override {
      if (auto e = env_->inject(kRead)) return std::move(*e);
      if (env_->max_read_ != 0 && n > env_->max_read_) n = env_->max_read_;
      TARVEL_TRY_ASSIGN(size_t got, base_->read(buf, n));
      pos_ += got;
      return got;
    }
    Result<size_t> write(const char* buf, size_t n) override {
      if (auto e = env_->inject(kWrite)) return std::move(*e);
      if (env_->max_write_ != 0 && n > env_->max_write_) n = env_->max_write_;
      TARVEL_TRY_ASSIGN(size_t put, base_->write(buf, n));
      env_->wrote(id_, pos_, std::string_view(buf, put));
      pos_ += put;
      return put;
    }
    Result<uint64_t> length() override {
      if (auto e = env_->inject(kLength)) return std::move(*e);
      return base_->length();
    }
    Status truncate(uint64_t length) override {
      if (auto e = env_->inject(kTruncate)) return std::move(*e);
      return base_->truncate(length);
    }
    Status sync() override {
      if (auto e = env_->inject(kSync)) return std::move(*e);
      TARVEL_TRY(base_->sync());
      if (!dir_.empty()) {
        env_->synced_dir(dir_);
      } else {
        env_->synced_file(id_);
      }
      return {};
    }
    Result<LockResult> try_lock(LockMode mode) override {
      if (auto e = env_->inject(kLock)) return std::move(*e);
      if (env_->locks_unsupported_) return LockResult::kUnsupported;
      return base_->try_lock(mode);
    }
    Status unlock() override {
      if (auto e = env_->inject(kLock)) return std::move(*e);
      return base_->unlock();
    }
    Result<FileIdentity> identity() override { return base_->identity(); }
    // Permission bits are neither counted nor failed.
    Result<uint32_t> permissions() override { return base_->permissions(); }
    Status set_permissions(uint32_t bits) override { return base_->set_permissions(bits); }
    // The splice lock is only a signal: neither counted nor failed.
    bool lock_splice() override { return base_->lock_splice(); }
    void unlock_splice() override { base_->unlock_splice(); }
    SpliceProbe probe_splice() override { return base_->probe_splice(); }

   private:
    FaultEnv* env_;
    std::unique_ptr<File> base_;
    int id_;           // the tracked file, or -1
    std::string dir_;  // the directory's path when this is a directory
    uint64_t pos_ = 0;
  };

  void wrote(int id, uint64_t at, std::string_view bytes) {
    auto it = inodes_.find(id);
    if (it != inodes_.end()) it->second.unsynced.emplace_back(at, std::string(bytes));
  }

  // Counts a call of kind "op" and returns the error it is to fail with.
  std::optional<Error> inject(Op op) {
    ++counts_[static_cast<size_t>(std::countr_zero(static_cast<unsigned>(op)))];
    if (dead_) return Error::io(IoFailure::os(fail_errnum_));
    if ((fail_ops_ & op) && fail_left_ > 0 && --fail_left_ == 0) {
      failed_ = true;
      dead_ = die_;
      return Error::io(IoFailure::os(fail_errnum_));
    }
    if (always_ops_ & op) return Error::io(IoFailure::os(always_errnum_));
    if (interrupts_ && (op == kRead || op == kWrite)) {
      bool& was = op == kRead ? read_interrupted_ : write_interrupted_;
      was = !was;
      if (was) return Error::io(IoFailure::os(EINTR));
    }
    return std::nullopt;
  }

  // The move of "from" to "to" that "base_move" makes, counted as a rename,
  // failed on demand and tracked: the file at "from" is at "to" afterwards,
  // and one that stood at "to" has no name.
  template <class BaseMove>
  Status move_tracked(const std::string& from, const std::string& to, BaseMove base_move) {
    if (auto e = inject(kRename)) return std::move(*e);
    track(from);
    track(to);
    TARVEL_TRY(base_move());
    auto old = live_.find(to);
    if (old != live_.end()) inodes_[old->second].path.clear();
    auto it = live_.find(from);
    if (it != live_.end()) {
      inodes_[it->second].path = to;
      live_[to] = it->second;
      live_.erase(it);
    }
    return {};
  }

  // Starts tracking "path" before the env first changes it: a file there
  // now is taken as durable with its present contents.
  void track(const std::string& path) {
    if (durable_.count(path) || live_.count(path)) return;
    Result<std::string> now = read_whole_file(base_, path);
    if (!now) {
      durable_[path] = std::nullopt;
      return;
    }
    int id = next_id_++;
    inodes_[id] = Inode{path, std::move(*now), {}};
    live_[path] = id;
    durable_[path] = id;
  }

  void synced_file(int id) {
    auto it = inodes_.find(id);
    if (it == inodes_.end() || it->second.path.empty()) return;
    Result<std::string> now = read_whole_file(base_, it->second.path);
    if (now) it->second.synced = std::move(*now);
    it->second.unsynced.clear();
  }

  // Every entry the env made or removed in "dir" is durable now.
  void synced_dir(const std::string& dir) {
    for (auto& [path, id] : durable_) {
      if (parent_dir(path) != dir) continue;
      auto live = live_.find(path);
      id = live == live_.end() ? std::nullopt : std::optional<int>(live->second);
    }
    for (const auto& [path, id] : live_) {
      if (parent_dir(path) == dir) durable_[path] = id;
    }
  }

  Env& base_;
  std::array<uint64_t, kKinds> counts_{};
  unsigned fail_ops_ = 0;
  uint64_t fail_left_ = 0;
  int fail_errnum_ = EIO;
  bool die_ = false;
  bool dead_ = false;
  bool failed_ = false;
  unsigned always_ops_ = 0;
  int always_errnum_ = EIO;
  size_t max_write_ = 0;
  size_t max_read_ = 0;
  bool interrupts_ = false;
  bool locks_unsupported_ = false;
  bool fake_clock_ = false;
  std::vector<uint64_t> sleeps_;
  bool read_interrupted_ = false;
  bool write_interrupted_ = false;

  int next_id_ = 0;
  std::map<int, Inode> inodes_;
  std::map<std::string, int> live_;                     // tracked names that exist now
  std::map<std::string, std::optional<int>> durable_;  // what a crash leaves at a name
};

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_FAULT_ENV_H_
