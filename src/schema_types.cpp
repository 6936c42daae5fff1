#include "src/schema_types.h"

#include <string>

#include "container/internal/text.h"
#include "src/args.h"
#include "src/panic.h"
#include "src/pyref.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

using tarvel::FieldSpec;
using tarvel::RecordLayout;
using tarvel::Schema;

// FieldSpec.

constexpr const char* kFieldSpecParams[] = {"name", "ty", "offset"};
constexpr Signature kFieldSpecNew{"FieldSpec", "__new__", kFieldSpecParams, 3};

PyObject* field_spec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kFieldSpecNew);
    FieldSpec value;
    if (!a.collect(args, kwargs) || !a.get(0, &value.name) || !a.get(1, &value.ty) ||
        !a.get(2, &value.offset)) {
      return nullptr;
    }
    return new_value_object(type, std::move(value));
  });
}

PyObject* field_spec_repr(PyObject* self) {
  return guarded([&] {
    const FieldSpec& v = value_of<FieldSpec>(self);
    std::string text = "FieldSpec(name=" + tarvel::quoted(v.name) + ", ty=" +
                       tarvel::quoted(v.ty) + ", offset=" + std::to_string(v.offset) + ")";
    return py_str(text);
  });
}

PyObject* field_spec_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_values<FieldSpec>(self, other, op); });
}

PyGetSetDef field_spec_getset[] = {
    {"name", getter<FieldSpec, [](const FieldSpec& v) { return py_str(v.name); }>, nullptr,
     "The field's name.", nullptr},
    {"ty", getter<FieldSpec, [](const FieldSpec& v) { return py_str(v.ty); }>, nullptr,
     "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n`f64` or `uuid`.",
     nullptr},
    {"offset", getter<FieldSpec, [](const FieldSpec& v) { return py_u64(v.offset); }>, nullptr,
     "Byte offset inside the record.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot field_spec_slots[] = {
    {Py_tp_doc, const_cast<char*>("FieldSpec(name, ty, offset)\n--\n\nOne field of a schema.")},
    {Py_tp_new, as_slot(field_spec_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<FieldSpec>)},
    {Py_tp_repr, as_slot(field_spec_repr)},
    {Py_tp_richcompare, as_slot(field_spec_compare)},
    {Py_tp_getset, field_spec_getset},
    {0, nullptr},
};

PyType_Spec field_spec_spec = {
    "tarvel_binary._native.FieldSpec", sizeof(ValueObject<FieldSpec>), 0, Py_TPFLAGS_DEFAULT,
    field_spec_slots,
};

// RecordLayout.

constexpr const char* kFixedParams[] = {"size"};
constexpr Signature kFixed{"RecordLayout", "fixed", kFixedParams, 1};

PyObject* record_layout_fixed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kFixed);
    uint32_t size = 0;
    if (!a.collect(args, kwargs) || !a.get(0, &size)) return nullptr;
    return make_record_layout(RecordLayout::fixed(size));
  });
}

PyObject* record_layout_prefixed(PyObject*, PyObject*) {
  return guarded([] { return make_record_layout(RecordLayout::prefixed()); });
}

PyObject* record_layout_repr(PyObject* self) {
  return guarded([&] {
    const RecordLayout& v = value_of<RecordLayout>(self);
    return py_str(v.is_fixed() ? "RecordLayout.fixed(" + std::to_string(v.size) + ")"
                               : std::string("RecordLayout.prefixed()"));
  });
}

PyObject* record_layout_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_values<RecordLayout>(self, other, op); });
}

PyObject* fixed_size_of(const RecordLayout& v) {
  if (!v.is_fixed()) Py_RETURN_NONE;
  return py_u64(v.size);
}

PyMethodDef record_layout_methods[] = {
    {"fixed", as_cfunction(record_layout_fixed), METH_STATIC | METH_VARARGS | METH_KEYWORDS,
     "fixed(size)\n--\n\nRecords of exactly `size` bytes."},
    {"prefixed", as_cfunction(record_layout_prefixed), METH_STATIC | METH_NOARGS,
     "prefixed()\n--\n\nRecords preceded by a little-endian `u16` length."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef record_layout_getset[] = {
    {"fixed_size", getter<RecordLayout, fixed_size_of>, nullptr,
     "Bytes per record, or `None` when records carry a length prefix.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot record_layout_slots[] = {
    {Py_tp_doc, const_cast<char*>("How a record's bytes are delimited inside a frame.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<RecordLayout>)},
    {Py_tp_repr, as_slot(record_layout_repr)},
    {Py_tp_richcompare, as_slot(record_layout_compare)},
    {Py_tp_methods, record_layout_methods},
    {Py_tp_getset, record_layout_getset},
    {0, nullptr},
};

PyType_Spec record_layout_spec = {
    "tarvel_binary._native.RecordLayout", sizeof(ValueObject<RecordLayout>), 0,
    Py_TPFLAGS_DEFAULT, record_layout_slots,
};

// Schema.

constexpr const char* kSchemaParams[] = {"name", "fields", "layout"};
constexpr Signature kSchemaNew{"Schema", "__new__", kSchemaParams, 3};

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kSchemaNew);
    Schema value;
    if (!a.collect(args, kwargs) || !a.get(0, &value.name) || !a.get(1, &value.fields) ||
        !a.get(2, &value.layout)) {
      return nullptr;
    }
    return new_value_object(type, std::move(value));
  });
}

PyObject* schema_repr(PyObject* self) {
  return guarded([&] {
    const Schema& v = value_of<Schema>(self);
    return py_str("Schema(name=" + tarvel::quoted(v.name) + ", fields=" +
                  std::to_string(v.fields.size()) + " field(s))");
  });
}

PyObject* schema_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_values<Schema>(self, other, op); });
}

PyObject* schema_hash_hex(PyObject* self, PyObject*) {
  return guarded([&] { return py_str(value_of<Schema>(self).hash_hex()); });
}

PyObject* fields_of(const Schema& v) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.fields.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < v.fields.size(); ++i) {
    PyObject* item = make_field_spec(v.fields[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals "item"
  }
  return list.release();
}

PyMethodDef schema_methods[] = {
    {"hash_hex", as_cfunction(schema_hash_hex), METH_NOARGS,
     "hash_hex($self)\n--\n\nThe FNV-1a 64 fingerprint over the field list, as the file stores "
     "it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef schema_getset[] = {
    {"name", getter<Schema, [](const Schema& v) { return py_str(v.name); }>, nullptr,
     "The schema's name, `name@version` by convention.", nullptr},
    {"fields", getter<Schema, fields_of>, nullptr, "Its fields, in declaration order.", nullptr},
    {"layout", getter<Schema, [](const Schema& v) { return make_record_layout(v.layout); }>,
     nullptr, "How records are delimited.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot schema_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Schema(name, fields, layout)\n--\n\nWhat the records in a file look like.")},
    {Py_tp_new, as_slot(schema_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<Schema>)},
    {Py_tp_repr, as_slot(schema_repr)},
    {Py_tp_richcompare, as_slot(schema_compare)},
    {Py_tp_methods, schema_methods},
    {Py_tp_getset, schema_getset},
    {0, nullptr},
};

PyType_Spec schema_spec = {
    "tarvel_binary._native.Schema", sizeof(ValueObject<Schema>), 0, Py_TPFLAGS_DEFAULT,
    schema_slots,
};

TypeCell schema_cell("Schema", &schema_spec);
TypeCell field_spec_cell("FieldSpec", &field_spec_spec);
TypeCell record_layout_cell("RecordLayout", &record_layout_spec);

// The value of an instance of "cell"'s type, copied; the cast error for
// anything else.
template <class Value>
bool copy_instance(PyObject* obj, TypeCell& cell, Value* out) {
  PyTypeObject* type = cell.get();  // borrowed
  if (type == nullptr || !type_check(obj, type)) return false;
  *out = value_of<Value>(obj);
  return true;
}

}  // namespace

PyTypeObject* schema_type() { return schema_cell.get(); }
PyTypeObject* field_spec_type() { return field_spec_cell.get(); }
PyTypeObject* record_layout_type() { return record_layout_cell.get(); }

PyObject* make_schema(Schema value) { return new_value_object(schema_cell, std::move(value)); }
PyObject* make_field_spec(FieldSpec value) {
  return new_value_object(field_spec_cell, std::move(value));
}
PyObject* make_record_layout(RecordLayout value) {
  return new_value_object(record_layout_cell, std::move(value));
}

bool convert(PyObject* obj, FieldSpec* out) { return copy_instance(obj, field_spec_cell, out); }
bool convert(PyObject* obj, RecordLayout* out) {
  return copy_instance(obj, record_layout_cell, out);
}
bool convert(PyObject* obj, Schema* out) { return copy_instance(obj, schema_cell, out); }

}  // namespace tarvel_py
