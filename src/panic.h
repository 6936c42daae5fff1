// The panic boundary: every entry point of the module runs its body through
// guarded(), so a C++ exception never unwinds into the interpreter and no
// entry point returns NULL without an exception set.
//
// A panic is an internal failure that abandons the call: the owner-thread
// check of a Container, a PanicException that Python code let out while the
// module was calling it, and the few cases that cannot happen in practice.
// The caller sees PanicException, a BaseException subclass, so that
// `except Exception` does not swallow it.
#ifndef TARVEL_SRC_PANIC_H_
#define TARVEL_SRC_PANIC_H_

#include <string>
#include <utility>

#include "src/python.h"

namespace tarvel_py {

class Panic {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// The PanicException class, made on first need (borrowed; null with the
// interpreter's exception set when it cannot be made).
PyObject* panic_exception();

// Sets the exception for the C++ exception now being handled: MemoryError
// for std::bad_alloc, PanicException with the message for anything else.
// Call only inside a catch block. Aborts the process with "uncaught panic at
// ffi boundary" when even that fails by throwing.
void raise_caught() noexcept;

// Runs "body" (returning a new reference, or null with an exception set) and
// turns anything it throws into a raised exception and a null result.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      panic("entry point failed without setting an exception");
    }
    return result;
  } catch (...) {
    raise_caught();
    return nullptr;
  }
}

// For slots without a result (deallocation): a failure of "body" goes to the
// interpreter's unraisable-exception hook, with "obj" as its context.
template <class Body>
void guarded_unraisable(PyObject* obj, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    raise_caught();
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(obj);
}

// When the pending exception is a PanicException that Python code raised
// while the module was calling it, writes a notice and that exception with
// its traceback to stderr and panics again with the same message. Any other
// pending exception is left as it is.
void resume_python_panic();

}  // namespace tarvel_py

#endif  // TARVEL_SRC_PANIC_H_
