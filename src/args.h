// Argument rules shared by every entry point: collection of a call's
// positional tuple and keyword dictionary into named parameters, driven by a
// static Signature per function, and conversion of each argument by its
// target type.
//
//   constexpr const char* kParams[] = {"data", "layout"};
//   constexpr Signature kSplitRecords{nullptr, "split_records", kParams, 2};
//   ...
//   Args a(kSplitRecords);
//   std::string_view data;
//   tarvel::RecordLayout layout;
//   if (!a.collect(args, kwargs) || !a.get(0, &data) || !a.get(1, &layout))
//     return nullptr;
//
// Every failure leaves the interpreter's exception set and returns false. A
// conversion failure whose class is exactly TypeError is replaced by
// TypeError "argument '<name>': <text>" (keeping its cause); any other class
// is raised unchanged.
#ifndef TARVEL_SRC_ARGS_H_
#define TARVEL_SRC_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "container/schema.h"
#include "src/pyref.h"
#include "src/python.h"

namespace tarvel_py {

// The static description of one function or method.
struct Signature {
  const char* class_name;               // null for a module function
  const char* name;                     // as Python shows it
  std::span<const char* const> params;  // every parameter, in order
  size_t required = 0;                  // the first this-many must be given
  bool extra_positionals = false;       // takes *args beyond "params"
};

// Raises TypeError "'{}' object cannot be cast as '{}'" (the __qualname__ of
// the object's type, then the target's) and returns false.
bool raise_cast_error(PyObject* obj, PyTypeObject* target);
bool raise_cast_error(PyObject* obj, const char* target_qualname);

// Whether "obj" is an instance of "target" or of a type derived from it;
// raises the cast error when it is not.
bool type_check(PyObject* obj, PyTypeObject* target);

// A path as the file system takes it: the bytes of os.fspath(obj) encoded
// with the file-system encoding.
struct FsPath {
  std::string bytes;
};

// Conversions by target type: each returns false with an exception set when
// it refuses "obj".
bool convert(PyObject* obj, FsPath* out);            // path (str only, never bytes)
bool convert(PyObject* obj, std::string* out);       // str, as UTF-8
bool convert(PyObject* obj, std::string_view* out);  // bytes, read in place
bool convert(PyObject* obj, unsigned long* out);     // u64 / usize
bool convert(PyObject* obj, unsigned long long* out);
bool convert(PyObject* obj, uint32_t* out);
bool convert(PyObject* obj, int32_t* out);
bool convert(PyObject* obj, bool* out);
// Instances of the module's value classes (the value copied out).
bool convert(PyObject* obj, tarvel::FieldSpec* out);
bool convert(PyObject* obj, tarvel::RecordLayout* out);
bool convert(PyObject* obj, tarvel::Schema* out);
// A sequence (not a str) of FieldSpec.
bool convert(PyObject* obj, std::vector<tarvel::FieldSpec>* out);
// None (nullopt), or a sequence (not a str) of (str, str) tuples.
using TextPairs = std::vector<std::pair<std::string, std::string>>;
bool convert(PyObject* obj, std::optional<TextPairs>* out);

inline constexpr size_t kMaxParams = 8;

class Args {
 public:
  explicit Args(const Signature& sig) : sig_(sig) {}

  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  // Fills the parameter slots from a call ("kwargs" may be null); TypeError
  // when there are too many positional arguments, an unknown or doubled
  // keyword, or a missing required argument. Each slot keeps a reference of
  // its own for the rest of the call.
  [[nodiscard]] bool collect(PyObject* args, PyObject* kwargs);

  // Whether parameter "i" was given (explicit None included).
  bool given(size_t i) const { return static_cast<bool>(slots_[i]); }
  // Given, and not None: for the parameters where None means omitted.
  bool present(size_t i) const { return given(i) && slots_[i].get() != Py_None; }
  // The argument of parameter "i", or null (borrowed).
  PyObject* at(size_t i) const { return slots_[i].get(); }
  // The tuple of extra positional arguments (borrowed); only with
  // extra_positionals.
  PyObject* extra() const { return extra_.get(); }

  // Converts parameter "i" (which must be given) into "*out".
  template <class T>
  [[nodiscard]] bool get(size_t i, T* out) {
    if (convert(slots_[i].get(), out)) return true;
    failed(i);
    return false;
  }
  // get() when the parameter was given; "*out" keeps its default otherwise.
  template <class T>
  [[nodiscard]] bool get_or_default(size_t i, T* out) {
    return !given(i) || get(i, out);
  }

  // "name()" or "Class.name()", as messages show the function.
  std::string display_name() const;

 private:
  // Applies the argument prefix rule to the pending exception, after taking
  // up a PanicException of Python code as a panic.
  void failed(size_t i);

  const Signature& sig_;
  PyRef slots_[kMaxParams];
  PyRef extra_;
};

}  // namespace tarvel_py

#endif  // TARVEL_SRC_ARGS_H_
