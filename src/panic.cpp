#include "src/panic.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "src/pyref.h"

namespace tarvel_py {

namespace {

PyObject* panic_class = nullptr;  // the cell; never released

constexpr const char kGenericPanic[] = "explicit panic";

// The exception object's text as UTF-8, or a fixed text when it has none.
std::string text_of(PyObject* exc) {
  PyRef str = PyRef::steal(PyObject_Str(exc));
  PyRef utf8;
  if (str) utf8 = PyRef::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "replace"));
  if (!utf8) {
    PyErr_Clear();
    return kGenericPanic;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &len) < 0) {
    PyErr_Clear();
    return kGenericPanic;
  }
  return std::string(data, static_cast<size_t>(len));
}

void set_panic(const std::string& message) {
  PyErr_Clear();  // a panic replaces whatever was pending
  PyObject* cls = panic_exception();  // borrowed
  if (cls == nullptr) return;         // its creation failure stays set
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(cls, text.get());
}

}  // namespace

PyObject* panic_exception() {
  if (panic_class == nullptr) {
    PyObject* cls = PyErr_NewExceptionWithDoc(
        "_native.PanicException",
        "An internal failure of the extension module that abandoned the call.",
        PyExc_BaseException, nullptr);
    if (cls == nullptr) return nullptr;
    // The interpreter lock is held throughout, but creation may run Python
    // code (a collection); keep the first class made.
    if (panic_class == nullptr) {
      panic_class = cls;
    } else {
      Py_DECREF(cls);
    }
  }
  return panic_class;
}

void raise_caught() noexcept {
  try {
    try {
      throw;
    } catch (const Panic& p) {
      set_panic(p.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      set_panic(e.what());
    } catch (...) {
      set_panic(kGenericPanic);
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void resume_python_panic() {
  if (panic_class == nullptr || !PyErr_ExceptionMatches(panic_class)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string message = value != nullptr ? text_of(value) : kGenericPanic;
  std::fputs("A PanicException raised by Python code reached the extension module "
             "and is raised again as a panic:\n",
             stderr);
  std::fflush(stderr);
  PyErr_Restore(type, value, traceback);  // steals all three
  PyErr_PrintEx(0);
  panic(std::move(message));
}

}  // namespace tarvel_py
