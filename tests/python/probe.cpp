// _probe: a test-only module over the extension module's own argument rules
// and object rules, for the target types, signatures and use rules that the
// tests reach through no function of _native yet. Each function converts its
// argument by one target type and returns what the conversion gave.
#include <new>
#include <stdexcept>
#include <string>

#include "src/args.h"
#include "src/borrow.h"
#include "src/frame_types.h"
#include "src/panic.h"
#include "src/pyref.h"
#include "src/python.h"
#include "src/report_types.h"
#include "src/value_type.h"

namespace tarvel_py {
namespace {

constexpr const char* kValueParam[] = {"value"};
constexpr const char* kAbc[] = {"a", "b", "c"};

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_python(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(unsigned long v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_python(uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_python(int32_t v) { return PyLong_FromLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(const FsPath& v) { return bytes_of(v.bytes); }
PyObject* to_python(const std::string& v) { return bytes_of(v); }
PyObject* to_python(std::string_view v) {
  return PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
PyObject* to_python(const std::vector<tarvel::FieldSpec>& v) {
  return PyLong_FromSize_t(v.size());
}
PyObject* to_python(const std::optional<TextPairs>& v) {
  if (!v) Py_RETURN_NONE;
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& [key, value] : *v) {
    PyRef pair = PyRef::steal(Py_BuildValue("(s#s#)", key.data(), static_cast<Py_ssize_t>(key.size()),
                                            value.data(), static_cast<Py_ssize_t>(value.size())));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// One function per target type: "name(value)".
template <class T, const char* Name>
PyObject* convert_one(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{nullptr, Name, kValueParam, 1};
  return guarded([&]() -> PyObject* {
    Args a(sig);
    T value{};
    if (!a.collect(args, kwargs) || !a.get(0, &value)) return nullptr;
    return to_python(value);
  });
}

constexpr char kU64[] = "u64";
constexpr char kUsize[] = "usize";
constexpr char kU32[] = "u32";
constexpr char kI32[] = "i32";
constexpr char kBool[] = "boolean";
constexpr char kPath[] = "path";
constexpr char kText[] = "text";
constexpr char kData[] = "data";
constexpr char kFields[] = "fields";
constexpr char kPairs[] = "pairs";

// "optional(a, b=..., c=...)": the slots that were given, None elsewhere.
constexpr Signature kOptional{nullptr, "optional", kAbc, 1};
// "required(a, b, c)".
constexpr Signature kRequired{"Probe", "required", kAbc, 3};
// "extra(value=None, *rest)": the extra positionals.
constexpr Signature kExtra{"Probe", "extra", kValueParam, 0, true};
// "none()": no parameters.
constexpr Signature kNone{nullptr, "none", {}, 0};

PyObject* slots_of(const Signature& sig, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(sig);
    if (!a.collect(args, kwargs)) return nullptr;
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(sig.params.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < sig.params.size(); ++i) {
      PyObject* v = a.given(i) ? a.at(i) : Py_None;
      Py_INCREF(v);
      PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), v);  // steals "v"
    }
    return out.release();
  });
}

PyObject* optional(PyObject*, PyObject* args, PyObject* kwargs) {
  return slots_of(kOptional, args, kwargs);
}
PyObject* required(PyObject*, PyObject* args, PyObject* kwargs) {
  return slots_of(kRequired, args, kwargs);
}
PyObject* none(PyObject*, PyObject* args, PyObject* kwargs) {
  return slots_of(kNone, args, kwargs);
}
PyObject* extra(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kExtra);
    if (!a.collect(args, kwargs)) return nullptr;
    return PyRef::borrow(a.extra()).release();
  });
}

// "frame(id, offset, len, hash)": a Frame, as Container.frames makes them.
PyObject* frame(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    tarvel::Frame f;
    if (!PyArg_ParseTuple(args, "KKKK", &f.id, &f.offset, &f.len, &f.hash)) return nullptr;
    return make_frame(f);
  });
}

// "reports()": one report of each kind, as the maintenance functions make them.
PyObject* reports(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef v = PyRef::steal(make_validate_report({{"first", "second"}, 3, UINT64_MAX}));
    PyRef r = PyRef::steal(make_rebuild_report({{"_records: 1 != 2"}, true}));
    PyRef p = PyRef::steal(make_repack_report({100, 50, 2}));
    if (!v || !r || !p) return nullptr;
    return PyTuple_Pack(3, v.get(), r.get(), p.get());
  });
}

// "throw_cpp(kind)": throws a C++ exception of the given kind from a body.
PyObject* throw_cpp(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    long kind = PyLong_AsLong(arg);
    if (kind == 0) throw std::runtime_error("runtime failure");
    if (kind == 1) throw std::bad_alloc();
    if (kind == 2) panic("a panic");
    if (kind == 3) throw 42;
    return nullptr;  // no exception set: the boundary must still raise
  });
}

// Guarded: an object under the Container's object rules, made on the
// calling thread. shared(value) and exclusive(value) take their use, then
// convert "value" to u64 (which may call back into the object).
struct PyGuarded {
  PyObject_HEAD
  UseGuard guard;
};

constexpr const char* kGuardedParams[] = {"value"};
constexpr Signature kShared{"Guarded", "shared", kGuardedParams, 1};
constexpr Signature kExclusive{"Guarded", "exclusive", kGuardedParams, 1};

PyObject* guarded_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PyGuarded*>(self)->guard) UseGuard("_native::PyContainer");
    return self;
  });
}

void guarded_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyGuarded*>(self)->guard.~UseGuard();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* use_and_convert(const Signature& sig, UseKind kind, PyObject* self, PyObject* args,
                          PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(sig);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = reinterpret_cast<PyGuarded*>(self)->guard.take(kind);
    if (!use) return nullptr;
    unsigned long long value = 0;
    if (!a.get(0, &value)) return nullptr;
    return PyLong_FromUnsignedLongLong(value);
  });
}

PyObject* guarded_shared(PyObject* self, PyObject* args, PyObject* kwargs) {
  return use_and_convert(kShared, UseKind::kShared, self, args, kwargs);
}
PyObject* guarded_exclusive(PyObject* self, PyObject* args, PyObject* kwargs) {
  return use_and_convert(kExclusive, UseKind::kExclusive, self, args, kwargs);
}
PyObject* guarded_flag(PyObject* self, PyObject*) {
  return PyLong_FromLongLong(reinterpret_cast<PyGuarded*>(self)->guard.flag().value());
}

PyMethodDef guarded_methods[] = {
    {"shared", as_cfunction(guarded_shared), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"exclusive", as_cfunction(guarded_exclusive), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"flag", as_cfunction(guarded_flag), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot guarded_slots[] = {
    {Py_tp_new, as_slot(guarded_new)},
    {Py_tp_dealloc, as_slot(guarded_dealloc)},
    {Py_tp_methods, guarded_methods},
    {0, nullptr},
};

PyType_Spec guarded_spec = {"_probe.Guarded", sizeof(PyGuarded), 0, Py_TPFLAGS_DEFAULT,
                            guarded_slots};

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;
PyMethodDef probe_methods[] = {
    {"u64", as_cfunction(convert_one<unsigned long long, kU64>), kKw, nullptr},
    {"usize", as_cfunction(convert_one<unsigned long, kUsize>), kKw, nullptr},
    {"u32", as_cfunction(convert_one<uint32_t, kU32>), kKw, nullptr},
    {"i32", as_cfunction(convert_one<int32_t, kI32>), kKw, nullptr},
    {"boolean", as_cfunction(convert_one<bool, kBool>), kKw, nullptr},
    {"path", as_cfunction(convert_one<FsPath, kPath>), kKw, nullptr},
    {"text", as_cfunction(convert_one<std::string, kText>), kKw, nullptr},
    {"data", as_cfunction(convert_one<std::string_view, kData>), kKw, nullptr},
    {"fields", as_cfunction(convert_one<std::vector<tarvel::FieldSpec>, kFields>), kKw, nullptr},
    {"pairs", as_cfunction(convert_one<std::optional<TextPairs>, kPairs>), kKw, nullptr},
    {"optional", as_cfunction(optional), kKw, nullptr},
    {"required", as_cfunction(required), kKw, nullptr},
    {"extra", as_cfunction(extra), kKw, nullptr},
    {"none", as_cfunction(none), kKw, nullptr},
    {"frame", as_cfunction(frame), METH_VARARGS, nullptr},
    {"reports", as_cfunction(reports), METH_NOARGS, nullptr},
    {"throw_cpp", as_cfunction(throw_cpp), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_probe", nullptr, -1, probe_methods,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarvel_py

PyMODINIT_FUNC PyInit__probe(void);

PyMODINIT_FUNC PyInit__probe(void) {
  using namespace tarvel_py;
  PyRef module = PyRef::steal(PyModule_Create2(&probe_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  PyObject* type = PyType_FromSpec(&guarded_spec);
  if (type == nullptr || PyModule_AddObject(module.get(), "Guarded", type) < 0) {
    Py_XDECREF(type);
    return nullptr;
  }
  return module.release();
}
