// Schema, FieldSpec and RecordLayout: the library's schema values as
// immutable Python values, compared by value and unhashable.
#ifndef TARVEL_SRC_SCHEMA_TYPES_H_
#define TARVEL_SRC_SCHEMA_TYPES_H_

#include "container/schema.h"
#include "src/python.h"

namespace tarvel_py {

// The type objects (borrowed), created on first use; null with
// RuntimeError set when creation fails.
PyTypeObject* schema_type();
PyTypeObject* field_spec_type();
PyTypeObject* record_layout_type();

// New objects holding copies of library values.
PyObject* make_schema(tarvel::Schema value);
PyObject* make_field_spec(tarvel::FieldSpec value);
PyObject* make_record_layout(tarvel::RecordLayout value);

}  // namespace tarvel_py

#endif  // TARVEL_SRC_SCHEMA_TYPES_H_
