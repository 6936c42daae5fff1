#include "src/args.h"

#include <algorithm>
#include <climits>

#include "src/panic.h"

namespace tarvel_py {

namespace {

constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";
constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";

// Room reserved up front for a sequence's copies; a larger sequence grows
// as it is iterated, so a wrong __len__ costs nothing.
constexpr Py_ssize_t kMaxReserve = 1024;

std::string quoted_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// The value of an int, or of an object's __index__, within the i64 range.
bool to_i64(PyObject* obj, long long* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_u64(PyObject* obj, unsigned long long* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == ULLONG_MAX && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool utf8_of(PyObject* str, std::string* out) {
  PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!utf8) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &len) < 0) return false;
  out->assign(data, static_cast<size_t>(len));
  return true;
}

// A text attribute of "obj", or an empty text when it has none.
std::string text_attr(PyObject* obj, const char* name) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, name));
  std::string text;
  if (!attr || !PyUnicode_Check(attr.get()) || !utf8_of(attr.get(), &text)) PyErr_Clear();
  return text;
}

// A NumPy boolean scalar: a type named "bool_" or "bool" in module "numpy".
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));  // borrowed
  if (text_attr(type, "__module__") != "numpy") return false;
  std::string name = text_attr(type, "__name__");
  return name == "bool_" || name == "bool";
}

bool numpy_bool(PyObject* obj, bool* out) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));  // borrowed
  PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 type);
    return false;
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return false;
  if (!PyBool_Check(result.get())) return raise_cast_error(result.get(), &PyBool_Type);
  *out = result.get() == Py_True;
  return true;
}

// Walks a sequence argument (a str refused first, then anything that fails
// the sequence check), calling "each" with every item (borrowed).
template <class Each>
bool for_each_item(PyObject* obj, Each&& each) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kStrToVec);
    return false;
  }
  if (!PySequence_Check(obj)) return raise_cast_error(obj, "Sequence");
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// The sequence's length as a reservation hint; a failure is dropped.
size_t length_hint(PyObject* obj) {
  Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<size_t>(std::min(n, kMaxReserve));
}

}  // namespace

bool raise_cast_error(PyObject* obj, PyTypeObject* target) {
  PyObject* t = reinterpret_cast<PyObject*>(target);  // borrowed
  PyRef target_name = PyRef::steal(PyObject_GetAttrString(t, "__qualname__"));
  if (!target_name) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%S'", name.get(),
               target_name.get());
  return false;
}

bool raise_cast_error(PyObject* obj, const char* target_qualname) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%s'", name.get(),
               target_qualname);
  return false;
}

bool type_check(PyObject* obj, PyTypeObject* target) {
  if (PyObject_TypeCheck(obj, target)) return true;
  return raise_cast_error(obj, target);
}

bool convert(PyObject* obj, FsPath* out) {
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  if (!path) return false;
  if (!type_check(path.get(), &PyUnicode_Type)) return false;
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &len) < 0) return false;
  out->bytes.assign(data, static_cast<size_t>(len));
  return true;
}

bool convert(PyObject* obj, std::string* out) {
  return type_check(obj, &PyUnicode_Type) && utf8_of(obj, out);
}

bool convert(PyObject* obj, std::string_view* out) {
  if (!type_check(obj, &PyBytes_Type)) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
  *out = std::string_view(data, static_cast<size_t>(len));
  return true;
}

bool convert(PyObject* obj, unsigned long* out) {
  unsigned long long v = 0;
  if (!to_u64(obj, &v)) return false;
  static_assert(sizeof(unsigned long) == sizeof(unsigned long long), "64-bit targets only");
  *out = static_cast<unsigned long>(v);
  return true;
}

bool convert(PyObject* obj, unsigned long long* out) { return to_u64(obj, out); }

bool convert(PyObject* obj, uint32_t* out) {
  long long v = 0;
  if (!to_i64(obj, &v)) return false;
  if (v < 0 || v > static_cast<long long>(UINT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool convert(PyObject* obj, int32_t* out) {
  long long v = 0;
  if (!to_i64(obj, &v)) return false;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

bool convert(PyObject* obj, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) return numpy_bool(obj, out);
  return raise_cast_error(obj, &PyBool_Type);
}

bool convert(PyObject* obj, std::vector<tarvel::FieldSpec>* out) {
  std::vector<tarvel::FieldSpec> fields;
  if (!PyUnicode_Check(obj) && PySequence_Check(obj)) fields.reserve(length_hint(obj));
  bool ok = for_each_item(obj, [&](PyObject* item) {
    tarvel::FieldSpec field;
    if (!convert(item, &field)) return false;
    fields.push_back(std::move(field));
    return true;
  });
  if (!ok) return false;
  *out = std::move(fields);
  return true;
}

bool convert(PyObject* obj, std::optional<TextPairs>* out) {
  if (obj == Py_None) {
    out->reset();
    return true;
  }
  TextPairs pairs;
  if (!PyUnicode_Check(obj) && PySequence_Check(obj)) pairs.reserve(length_hint(obj));
  bool ok = for_each_item(obj, [&](PyObject* item) {
    if (!type_check(item, &PyTuple_Type)) return false;
    Py_ssize_t n = PyTuple_Size(item);
    if (n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    std::pair<std::string, std::string> pair;
    if (!convert(PyTuple_GetItem(item, 0), &pair.first) ||  // borrowed
        !convert(PyTuple_GetItem(item, 1), &pair.second)) {
      return false;
    }
    pairs.push_back(std::move(pair));
    return true;
  });
  if (!ok) return false;
  *out = std::move(pairs);
  return true;
}

std::string Args::display_name() const {
  std::string name;
  if (sig_.class_name != nullptr) {
    name += sig_.class_name;
    name += '.';
  }
  name += sig_.name;
  name += "()";
  return name;
}

bool Args::collect(PyObject* args, PyObject* kwargs) {
  const size_t nparams = sig_.params.size();
  if (nparams > kMaxParams) panic("too many parameters in a signature");
  const Py_ssize_t given_count = PyTuple_Size(args);
  if (given_count < 0) return false;
  const size_t nargs = static_cast<size_t>(given_count);

  if (nargs > nparams && !sig_.extra_positionals) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig_.required == nparams) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   display_name().c_str(), nparams, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                   display_name().c_str(), sig_.required, nparams, nargs, verb);
    }
    return false;
  }
  for (size_t i = 0; i < std::min(nargs, nparams); ++i) {
    slots_[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
  }
  if (sig_.extra_positionals) {
    extra_ = PyRef::steal(PyTuple_GetSlice(args, static_cast<Py_ssize_t>(nparams), given_count));
    if (!extra_) return false;
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;    // borrowed
    PyObject* value = nullptr;  // borrowed
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", display_name().c_str());
        return false;
      }
      size_t i = 0;
      while (i < nparams && PyUnicode_CompareWithASCIIString(key, sig_.params[i]) != 0) ++i;
      if (i == nparams) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     display_name().c_str(), key);
        return false;
      }
      if (slots_[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     display_name().c_str(), sig_.params[i]);
        return false;
      }
      slots_[i] = PyRef::borrow(value);
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < sig_.required; ++i) {
    if (!slots_[i]) missing.push_back(sig_.params[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 display_name().c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", quoted_names(missing).c_str());
    return false;
  }
  return true;
}

void Args::failed(size_t i) {
  resume_python_panic();
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);  // steals all three
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef held_type = PyRef::steal(type);
  PyRef held_value = PyRef::steal(value);
  PyRef held_traceback = PyRef::steal(traceback);

  PyRef text = PyRef::steal(PyObject_Str(held_value.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", sig_.params[i], text.get()));
  if (!message) return;
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  PyObject* cause = PyException_GetCause(held_value.get());  // new reference or null
  if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals "cause"
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tarvel_py
