// ValidateReport, RebuildReport and RepackReport: what the maintenance
// functions found or did. Plain records: identity comparison and hash, the
// default repr; Python code cannot make them.
#ifndef TARVEL_SRC_REPORT_TYPES_H_
#define TARVEL_SRC_REPORT_TYPES_H_

#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "src/python.h"

namespace tarvel_py {

PyTypeObject* validate_report_type();
PyTypeObject* rebuild_report_type();
PyTypeObject* repack_report_type();

// New report objects that take over the library's reports.
PyObject* make_validate_report(tarvel::ValidateReport report);
PyObject* make_rebuild_report(tarvel::RebuildReport report);
PyObject* make_repack_report(tarvel::RepackReport report);

}  // namespace tarvel_py

#endif  // TARVEL_SRC_REPORT_TYPES_H_
