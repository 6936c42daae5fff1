#include "src/tool_functions.h"

#include <cstdint>
#include <utility>

#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "src/args.h"
#include "src/constants.h"
#include "src/errors.h"
#include "src/panic.h"
#include "src/report_types.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

constexpr const char* kValidateParams[] = {"path"};
constexpr const char* kRebuildParams[] = {"path", "fix"};
constexpr const char* kRepackParams[] = {"path", "level", "header_area"};

constexpr Signature kValidate{nullptr, "validate", kValidateParams, 1};
constexpr Signature kRebuildHeaders{nullptr, "rebuild_headers", kRebuildParams, 1};
constexpr Signature kRepack{nullptr, "repack", kRepackParams, 1};

PyObject* validate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kValidate);
    FsPath path;
    if (!a.collect(args, kwargs) || !a.get(0, &path)) return nullptr;
    auto report = tarvel::validate(path.bytes, /*checker=*/nullptr);
    if (!report) return to_py(report.error());
    return make_validate_report(std::move(report).value());
  });
}

PyObject* rebuild_headers(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kRebuildHeaders);
    FsPath path;
    bool fix = false;
    if (!a.collect(args, kwargs) || !a.get(0, &path) || !a.get_or_default(1, &fix)) {
      return nullptr;
    }
    auto report = tarvel::rebuild_headers(path.bytes, fix);
    if (!report) return to_py(report.error());
    return make_rebuild_report(std::move(report).value());
  });
}

// A header_area of None is the same as none given: the file keeps its own.
PyObject* repack(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kRepack);
    FsPath path;
    int32_t level = COLD_LEVEL;
    if (!a.collect(args, kwargs) || !a.get(0, &path) || !a.get_or_default(1, &level)) {
      return nullptr;
    }
    std::optional<uint32_t> header_area;
    if (a.present(2)) {
      uint32_t area = 0;
      if (!a.get(2, &area)) return nullptr;
      header_area = area;
    }
    auto report = header_area ? tarvel::repack_with_header_area(path.bytes, level, *header_area)
                              : tarvel::repack(path.bytes, level);
    if (!report) return to_py(report.error());
    return make_repack_report(std::move(report).value());
  });
}

}  // namespace

PyMethodDef validate_def = {
    "validate", as_cfunction(validate), METH_VARARGS | METH_KEYWORDS,
    "validate(path)\n--\n\nReads every frame, checks the counters, the alignment and the "
    "checksums."};

PyMethodDef rebuild_headers_def = {
    "rebuild_headers", as_cfunction(rebuild_headers), METH_VARARGS | METH_KEYWORDS,
    "rebuild_headers(path, fix=False)\n--\n\nDerives the system headers from the data, and "
    "writes them back when asked."};

PyMethodDef repack_def = {
    "repack", as_cfunction(repack), METH_VARARGS | METH_KEYWORDS,
    "repack(path, level=..., header_area=None)\n--\n\nRe-encodes every frame at another level, "
    "atomically."};

}  // namespace tarvel_py
