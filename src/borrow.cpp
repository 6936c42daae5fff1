#include "src/borrow.h"

#include <string>

#include "src/panic.h"

namespace tarvel_py {

uint64_t this_thread_number() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t number = next.fetch_add(1);
  return number;
}

bool BorrowFlag::try_take(UseKind kind) {
  int64_t current = flag_.load();
  if (kind == UseKind::kExclusive) {
    int64_t expected = 0;
    return flag_.compare_exchange_strong(expected, -1);
  }
  while (current != -1) {
    if (current == INT64_MAX) return false;  // cannot count further
    if (flag_.compare_exchange_weak(current, current + 1)) return true;
  }
  return false;
}

void BorrowFlag::release(UseKind kind) {
  if (kind == UseKind::kExclusive) {
    flag_.store(0);
  } else {
    flag_.fetch_sub(1);
  }
}

UseGuard::UseGuard(const char* type_name)
    : type_name_(type_name), owner_(this_thread_number()) {}

bool UseGuard::on_owner_thread() const { return this_thread_number() == owner_; }

void UseGuard::check_owner() const {
  const uint64_t caller = this_thread_number();
  if (caller == owner_) return;
  panic(std::string("assertion `left == right` failed: ") + type_name_ +
        " is unsendable, but sent to another thread\n  left: " + std::to_string(caller) +
        "\n right: " + std::to_string(owner_));
}

Use UseGuard::take(UseKind kind) {
  check_owner();
  if (!flag_.try_take(kind)) {
    PyErr_SetString(PyExc_RuntimeError,
                    kind == UseKind::kShared ? "Already mutably borrowed" : "Already borrowed");
    return Use();
  }
  return Use(&flag_, kind);
}

void UseGuard::report_foreign_drop(PyObject* obj) const {
  PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
               type_name_);
  PyErr_WriteUnraisable(obj);
}

}  // namespace tarvel_py
