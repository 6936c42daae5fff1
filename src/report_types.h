// ValidateReport, RebuildReport and RepackReport: what the maintenance
// functions found or did. Plain records: identity comparison and hash, the
// default repr; Python code cannot make them.
#ifndef TARVEL_SRC_REPORT_TYPES_H_
#define TARVEL_SRC_REPORT_TYPES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/python.h"

namespace tarvel_py {

PyTypeObject* validate_report_type();
PyTypeObject* rebuild_report_type();
PyTypeObject* repack_report_type();

// New report objects that take over the given values.
PyObject* make_validate_report(std::vector<std::string> problems, size_t frames,
                               uint64_t records);
PyObject* make_rebuild_report(std::vector<std::string> differences, bool fixed);
PyObject* make_repack_report(uint64_t bytes_before, uint64_t bytes_after, size_t frames);

}  // namespace tarvel_py

#endif  // TARVEL_SRC_REPORT_TYPES_H_
