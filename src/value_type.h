// What the module's classes share: a type object created once from its spec
// (TypeCell), the object record that holds a C++ value (ValueObject), the
// refusing constructor, value equality, and the builders of result values.
//
// A value class is a heap type named "tarvel_binary._native.X", base object,
// not subclassable, with no instance dictionary and no weak references; its
// instances hold their value by value and point to no other Python object.
#ifndef TARVEL_SRC_VALUE_TYPE_H_
#define TARVEL_SRC_VALUE_TYPE_H_

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/panic.h"
#include "src/python.h"

namespace tarvel_py {

// One type object, created from "spec" on first use and kept for the life
// of the process.
class TypeCell {
 public:
  constexpr TypeCell(const char* class_name, PyType_Spec* spec)
      : class_name_(class_name), spec_(spec) {}

  // The type (borrowed), or null with RuntimeError "An error occurred while
  // initializing class <name>" set, the interpreter's exception as its cause.
  PyTypeObject* get();

 private:
  const char* class_name_;
  PyType_Spec* spec_;
  PyObject* type_ = nullptr;
};

template <class Value>
struct ValueObject {
  PyObject_HEAD
  Value value;
};

template <class Value>
const Value& value_of(PyObject* self) {
  return reinterpret_cast<ValueObject<Value>*>(self)->value;
}

// A new instance of "type" holding "value".
template <class Value>
PyObject* new_value_object(PyTypeObject* type, Value value) {
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ValueObject<Value>*>(self)->value) Value(std::move(value));
  return self;
}

// A new instance of the cell's type holding "value".
template <class Value>
PyObject* new_value_object(TypeCell& cell, Value value) {
  PyTypeObject* type = cell.get();  // borrowed
  if (type == nullptr) return nullptr;
  return new_value_object(type, std::move(value));
}

// Py_tp_dealloc of a value class.
template <class Value>
void dealloc_value(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);  // its reference is dropped below
  reinterpret_cast<ValueObject<Value>*>(self)->value.~Value();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Py_tp_new of a class that Python code cannot instantiate: TypeError
// "cannot create '<module>.<qualname>' instances".
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Rich comparison by value: == and != against an instance of the same type;
// NotImplemented for the orderings and for any other operand.
template <class Value>
PyObject* compare_values(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self))) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = value_of<Value>(self) == value_of<Value>(other);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// Result builders.
PyObject* py_str(std::string_view text);
PyObject* py_u64(uint64_t v);
PyObject* py_str_list(const std::vector<std::string>& texts);

// Wraps a getter body "Fn(const Value&) -> PyObject*" as a getset getter.
template <class Value, auto Fn>
PyObject* getter(PyObject* self, void*) {
  return guarded([&] { return Fn(value_of<Value>(self)); });
}

// Function pointers of the interpreter's method tables, cast the way that
// keeps the compiler's function-type check quiet.
template <class F>
PyCFunction as_cfunction(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}
template <class F>
void* as_slot(F* fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace tarvel_py

#endif  // TARVEL_SRC_VALUE_TYPE_H_
