#include "src/report_types.h"

#include <utility>

#include "src/panic.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

// Each object holds the library's report as the tool returned it.
using ValidateValue = tarvel::ValidateReport;
using RebuildValue = tarvel::RebuildReport;
using RepackValue = tarvel::RepackReport;

// ValidateReport.

PyGetSetDef validate_getset[] = {
    {"problems", getter<ValidateValue, [](const ValidateValue& v) { return py_str_list(v.problems); }>,
     nullptr, "Everything wrong, empty when the file is sound.", nullptr},
    {"frames", getter<ValidateValue, [](const ValidateValue& v) { return py_u64(v.frames); }>,
     nullptr, "Closed frames checked.", nullptr},
    {"records", getter<ValidateValue, [](const ValidateValue& v) { return py_u64(v.records); }>,
     nullptr, "Records seen in frames and the tail.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot validate_slots[] = {
    {Py_tp_doc, const_cast<char*>("What `validate` found.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<ValidateValue>)},
    {Py_tp_getset, validate_getset},
    {0, nullptr},
};

PyType_Spec validate_spec = {
    "tarvel_binary._native.ValidateReport", sizeof(ValueObject<ValidateValue>), 0,
    Py_TPFLAGS_DEFAULT, validate_slots,
};

// RebuildReport.

PyGetSetDef rebuild_getset[] = {
    {"differences",
     getter<RebuildValue, [](const RebuildValue& v) { return py_str_list(v.differences); }>,
     nullptr, "Header values that disagreed with the data.", nullptr},
    {"fixed", getter<RebuildValue, [](const RebuildValue& v) { return PyBool_FromLong(v.fixed); }>,
     nullptr, "Whether the zone was rewritten.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rebuild_slots[] = {
    {Py_tp_doc, const_cast<char*>("What `rebuild_headers` found and did.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<RebuildValue>)},
    {Py_tp_getset, rebuild_getset},
    {0, nullptr},
};

PyType_Spec rebuild_spec = {
    "tarvel_binary._native.RebuildReport", sizeof(ValueObject<RebuildValue>), 0,
    Py_TPFLAGS_DEFAULT, rebuild_slots,
};

// RepackReport.

PyGetSetDef repack_getset[] = {
    {"bytes_before", getter<RepackValue, [](const RepackValue& v) { return py_u64(v.bytes_before); }>,
     nullptr, "File size before, bytes.", nullptr},
    {"bytes_after", getter<RepackValue, [](const RepackValue& v) { return py_u64(v.bytes_after); }>,
     nullptr, "File size after, bytes.", nullptr},
    {"frames", getter<RepackValue, [](const RepackValue& v) { return py_u64(v.frames); }>, nullptr,
     "Frames re-encoded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot repack_slots[] = {
    {Py_tp_doc, const_cast<char*>("What `repack` measured.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc_value<RepackValue>)},
    {Py_tp_getset, repack_getset},
    {0, nullptr},
};

PyType_Spec repack_spec = {
    "tarvel_binary._native.RepackReport", sizeof(ValueObject<RepackValue>), 0,
    Py_TPFLAGS_DEFAULT, repack_slots,
};

TypeCell validate_cell("ValidateReport", &validate_spec);
TypeCell rebuild_cell("RebuildReport", &rebuild_spec);
TypeCell repack_cell("RepackReport", &repack_spec);

}  // namespace

PyTypeObject* validate_report_type() { return validate_cell.get(); }
PyTypeObject* rebuild_report_type() { return rebuild_cell.get(); }
PyTypeObject* repack_report_type() { return repack_cell.get(); }

PyObject* make_validate_report(tarvel::ValidateReport report) {
  return new_value_object(validate_cell, std::move(report));
}

PyObject* make_rebuild_report(tarvel::RebuildReport report) {
  return new_value_object(rebuild_cell, std::move(report));
}

PyObject* make_repack_report(tarvel::RepackReport report) {
  return new_value_object(repack_cell, std::move(report));
}

}  // namespace tarvel_py
