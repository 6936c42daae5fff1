// The object rules of a Container: the thread that made it owns it, and a
// borrow flag keeps two of its own methods from using it at once (Python
// code that a conversion runs can call back into the same object).
//
//   struct PyContainer { PyObject_HEAD; ...; UseGuard guard; };
//   ...
//   Use use = self->guard.take(UseKind::kExclusive);  // owner check, then flag
//   if (!use) return nullptr;                          // RuntimeError is set
//   ... convert, call the library, build the result; the use ends with "use".
#ifndef TARVEL_SRC_BORROW_H_
#define TARVEL_SRC_BORROW_H_

#include <atomic>
#include <cstdint>

#include "src/python.h"

namespace tarvel_py {

enum class UseKind { kShared, kExclusive };

// 0: free; n > 0: n shared uses; -1: one exclusive use. Changed only by
// atomic compare-and-exchange.
class BorrowFlag {
 public:
  bool try_take(UseKind kind);
  void release(UseKind kind);
  int64_t value() const { return flag_.load(); }

 private:
  std::atomic<int64_t> flag_{0};
};

// A taken use; releases its flag when it goes out of scope. An empty Use
// (the take was refused) releases nothing.
class Use {
 public:
  Use() = default;
  Use(BorrowFlag* flag, UseKind kind) : flag_(flag), kind_(kind) {}
  ~Use() {
    if (flag_ != nullptr) flag_->release(kind_);
  }
  Use(Use&& other) noexcept : flag_(other.flag_), kind_(other.kind_) { other.flag_ = nullptr; }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  Use& operator=(Use&&) = delete;

  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_ = nullptr;
  UseKind kind_ = UseKind::kShared;
};

// A number for the calling thread, drawn once per thread from a process-wide
// counter. Unlike the system's thread identifiers it is never given to
// another thread, so an object made by a thread that has ended cannot be
// taken for its own by a new thread that happens to get the old identifier.
uint64_t this_thread_number();

// The owner thread and the borrow flag of one object. "type_name" names the
// object record in the owner-thread texts ("_native::PyContainer").
class UseGuard {
 public:
  explicit UseGuard(const char* type_name);

  // Panics with the owner-thread failure when the calling thread is not the
  // owner: "assertion `left == right` failed: <type> is unsendable, but sent
  // to another thread\n  left: <caller>\n right: <owner>".
  void check_owner() const;

  // check_owner(), then the flag: an empty Use with RuntimeError "Already
  // mutably borrowed" (shared) or "Already borrowed" (exclusive) set when
  // the flag refuses.
  Use take(UseKind kind);

  // Whether the calling thread is the owner (for deallocation).
  bool on_owner_thread() const;

  // Reports RuntimeError "<type> is unsendable, but is being dropped on
  // another thread" to the unraisable-exception hook, with "obj" as context.
  void report_foreign_drop(PyObject* obj) const;

  const BorrowFlag& flag() const { return flag_; }

 private:
  const char* type_name_;
  uint64_t owner_;  // a thread number of this_thread_number()
  BorrowFlag flag_;
};

}  // namespace tarvel_py

#endif  // TARVEL_SRC_BORROW_H_
