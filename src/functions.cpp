#include "src/functions.h"

#include <cstdint>
#include <string_view>

#include "container/format.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/schema.h"
#include "src/args.h"
#include "src/errors.h"
#include "src/frame_types.h"
#include "src/panic.h"
#include "src/pyref.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kDataParams[] = {"data"};
constexpr const char* kSplitParams[] = {"data", "layout"};
constexpr const char* kHeaderAreaParams[] = {"header_area"};

constexpr Signature kPeekHeaders{nullptr, "peek_headers", kPathParams, 1};
constexpr Signature kSplitRecords{nullptr, "split_records", kSplitParams, 2};
constexpr Signature kXxh64{nullptr, "xxh64", kDataParams, 1};
constexpr Signature kMaxFramesFor{nullptr, "max_frames_for", kHeaderAreaParams, 1};

PyObject* peek_headers(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kPeekHeaders);
    FsPath path;
    if (!a.collect(args, kwargs) || !a.get(0, &path)) return nullptr;
    auto head = tarvel::peek_headers(path.bytes);
    if (!head) return to_py(head.error());
    PyRef preamble = PyRef::steal(make_preamble(head->first));
    if (!preamble) return nullptr;
    PyRef dict = PyRef::steal(headers_dict(head->second));
    if (!dict) return nullptr;
    return PyTuple_Pack(2, preamble.get(), dict.get());
  });
}

PyObject* split_records(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kSplitRecords);
    std::string_view data;
    tarvel::RecordLayout layout;
    if (!a.collect(args, kwargs) || !a.get(0, &data) || !a.get(1, &layout)) return nullptr;
    tarvel::SplitRecords split = tarvel::split_records(data, layout);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(split.records.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < split.records.size(); ++i) {
      std::string_view record = split.records[i];
      PyObject* item =
          PyBytes_FromStringAndSize(record.data(), static_cast<Py_ssize_t>(record.size()));
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals "item"
    }
    PyRef torn = PyRef::steal(py_u64(split.torn));
    if (!torn) return nullptr;
    return PyTuple_Pack(2, list.get(), torn.get());
  });
}

PyObject* xxh64(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kXxh64);
    std::string_view data;
    if (!a.collect(args, kwargs) || !a.get(0, &data)) return nullptr;
    return py_u64(tarvel::xxh64(data));
  });
}

PyObject* max_frames_for(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kMaxFramesFor);
    uint32_t header_area = 0;
    if (!a.collect(args, kwargs) || !a.get(0, &header_area)) return nullptr;
    return py_u64(tarvel::max_frames_for(header_area));
  });
}

}  // namespace

PyObject* headers_dict(const tarvel::Headers& headers) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& entry : headers.entries()) {
    PyRef key = PyRef::steal(py_str(entry.key));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(py_str(entry.value));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyMethodDef peek_headers_def = {
    "peek_headers", as_cfunction(peek_headers), METH_VARARGS | METH_KEYWORDS,
    "peek_headers(path)\n--\n\nPreamble and headers without touching the data section."};

PyMethodDef split_records_def = {
    "split_records", as_cfunction(split_records), METH_VARARGS | METH_KEYWORDS,
    "split_records(data, layout)\n--\n\nSplits raw bytes into records. Returns the records and "
    "the torn leftover."};

PyMethodDef xxh64_def = {"xxh64", as_cfunction(xxh64), METH_VARARGS | METH_KEYWORDS,
                         "xxh64(data)\n--\n\nXXH64 with seed 0 \u2014 the hash the frame "
                         "checksums use."};

PyMethodDef max_frames_for_def = {
    "max_frames_for", as_cfunction(max_frames_for), METH_VARARGS | METH_KEYWORDS,
    "max_frames_for(header_area)\n--\n\nRoughly how many frames a header zone of this size can "
    "list."};

}  // namespace tarvel_py
