#include "src/frame_types.h"

#include <string>

#include "container/internal/text.h"
#include "src/panic.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

using tarvel::Frame;

// The preamble as Python sees it: the magic and the reserved bytes are not
// kept.
struct PreambleValue {
  uint8_t version = 0;
  uint8_t flags = 0;
  uint32_t header_area = 0;
  bool operator==(const PreambleValue&) const = default;
};

// Frame.

PyObject* frame_repr(PyObject* self) {
  return guarded([&] {
    const Frame& v = value_of<Frame>(self);
    return py_str("Frame(id=" + std::to_string(v.id) + ", offset=" + std::to_string(v.offset) +
                  ", len=" + std::to_string(v.len) + ", hash=" + tarvel::hex_prefixed18(v.hash) +
                  ")");
  });
}

PyObject* frame_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_values<Frame>(self, other, op); });
}

PyGetSetDef frame_getset[] = {
    {"id", getter<Frame, [](const Frame& v) { return py_u64(v.id); }>, nullptr,
     "The id the writer gave it. Ids may repeat.", nullptr},
    {"offset", getter<Frame, [](const Frame& v) { return py_u64(v.offset); }>, nullptr,
     "Byte offset from the start of the data section.", nullptr},
    {"len", getter<Frame, [](const Frame& v) { return py_u64(v.len); }>, nullptr,
     "Compressed length.", nullptr},
    {"hash", getter<Frame, [](const Frame& v) { return py_u64(v.hash); }>, nullptr,
     "XXH64 of the compressed bytes, `0` when the file predates checksums.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc, const_cast<char*>("One closed frame in the data section.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<Frame>)},
    {Py_tp_repr, as_slot(frame_repr)},
    {Py_tp_richcompare, as_slot(frame_compare)},
    {Py_tp_getset, frame_getset},
    {0, nullptr},
};

PyType_Spec frame_spec = {
    "tarvel_binary._native.Frame", sizeof(ValueObject<Frame>), 0, Py_TPFLAGS_DEFAULT,
    frame_slots,
};

// Preamble.

PyObject* preamble_repr(PyObject* self) {
  return guarded([&] {
    const PreambleValue& v = value_of<PreambleValue>(self);
    return py_str("Preamble(version=" + std::to_string(v.version) +
                  ", flags=" + std::to_string(v.flags) +
                  ", header_area=" + std::to_string(v.header_area) + ")");
  });
}

PyObject* preamble_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_values<PreambleValue>(self, other, op); });
}

PyGetSetDef preamble_getset[] = {
    {"version", getter<PreambleValue, [](const PreambleValue& v) { return py_u64(v.version); }>,
     nullptr, "Container format version.", nullptr},
    {"flags", getter<PreambleValue, [](const PreambleValue& v) { return py_u64(v.flags); }>,
     nullptr, "Flag bits; bit 0 means the data section is compressed.", nullptr},
    {"header_area",
     getter<PreambleValue, [](const PreambleValue& v) { return py_u64(v.header_area); }>, nullptr,
     "Size of the header zone in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot preamble_slots[] = {
    {Py_tp_doc, const_cast<char*>("The fixed binary head of a file.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<PreambleValue>)},
    {Py_tp_repr, as_slot(preamble_repr)},
    {Py_tp_richcompare, as_slot(preamble_compare)},
    {Py_tp_getset, preamble_getset},
    {0, nullptr},
};

PyType_Spec preamble_spec = {
    "tarvel_binary._native.Preamble", sizeof(ValueObject<PreambleValue>), 0, Py_TPFLAGS_DEFAULT,
    preamble_slots,
};

TypeCell frame_cell("Frame", &frame_spec);
TypeCell preamble_cell("Preamble", &preamble_spec);

}  // namespace

PyTypeObject* frame_type() { return frame_cell.get(); }
PyTypeObject* preamble_type() { return preamble_cell.get(); }

PyObject* make_frame(const Frame& value) { return new_value_object(frame_cell, value); }

PyObject* make_preamble(const tarvel::Preamble& value) {
  return new_value_object(preamble_cell,
                          PreambleValue{value.version, value.flags, value.header_area});
}

}  // namespace tarvel_py
