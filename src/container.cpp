#include "src/container.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "container/container.h"
#include "container/headers.h"
#include "src/args.h"
#include "src/borrow.h"
#include "src/errors.h"
#include "src/frame_types.h"
#include "src/functions.h"
#include "src/panic.h"
#include "src/pyref.h"
#include "src/schema_types.h"
#include "src/value_type.h"

namespace tarvel_py {

namespace {

// What frames() and headers() last built, kept until a call that may change
// the frames list or the headers; each call hands out a shallow copy, so a
// caller that changes its list or dict leaves the cache alone. Frames and
// strs are immutable, so the copies can share them.
struct ListCache {
  PyRef frames;   // a list of Frame
  PyRef headers;  // a dict of str to str

  void clear() {
    frames = PyRef();
    headers = PyRef();
  }
};

// The object record behind a Python Container. Its members are constructed
// in place when the object is made (make_container) and destroyed when it is
// collected (dealloc); the record as a whole is never constructed.
struct PyContainer {
  PyObject_HEAD
  tarvel::Container container;
  UseGuard guard;
  ListCache cache;
};

constexpr const char kRecordName[] = "_native::PyContainer";

PyContainer* record(PyObject* self) { return reinterpret_cast<PyContainer*>(self); }

TypeCell& cell();

// A new object around "container". When the object cannot be made,
// "container" is released on the way out, as at collection.
PyObject* make_container(tarvel::Container container) {
  PyTypeObject* type = cell().get();  // borrowed
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record(self)->container) tarvel::Container(std::move(container));
  new (&record(self)->guard) UseGuard(kRecordName);
  new (&record(self)->cache) ListCache();
  return self;
}

// The queries read the library Container's fields directly; in a forked
// child they fail as every library call on an inherited Container does.
// False, with the exception set, there.
bool in_opening_process(PyObject* self) {
  const tarvel::Status status = record(self)->container.check_process();
  if (!status) to_py(status.error());
  return status.ok();
}

PyObject* none_or_error(const tarvel::Status& status) {
  if (!status) return to_py(status.error());
  Py_RETURN_NONE;
}

template <class Bytes>
PyObject* bytes_or_error(const tarvel::Result<Bytes>& body) {
  if (!body) return to_py(body.error());
  return PyBytes_FromStringAndSize(body->data(), static_cast<Py_ssize_t>(body->size()));
}

// --- static methods ----------------------------------------------------------

constexpr const char* kCreateParams[] = {"path",   "schema",            "source",      "writer",
                                         "created_at_millis", "header_area", "user"};
constexpr const char* kPathParams[] = {"path"};

constexpr Signature kCreate{"Container", "create", kCreateParams, 4};
constexpr Signature kOpenRead{"Container", "open_read", kPathParams, 1};
constexpr Signature kOpenAppend{"Container", "open_append", kPathParams, 1};

PyObject* create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kCreate);
    FsPath path;
    tarvel::Schema schema;
    std::string source;
    std::string writer;
    uint64_t created_at_millis = 0;
    uint32_t header_area = tarvel::DEFAULT_HEADER_AREA;
    std::optional<TextPairs> user;
    if (!a.collect(args, kwargs) || !a.get(0, &path) || !a.get(1, &schema) ||
        !a.get(2, &source) || !a.get(3, &writer) || !a.get_or_default(4, &created_at_millis) ||
        !a.get_or_default(5, &header_area) || !a.get_or_default(6, &user)) {
      return nullptr;
    }
    auto made = tarvel::Container::create(path.bytes, schema, source, writer, created_at_millis,
                                          header_area, user.value_or(TextPairs{}));
    if (!made) return to_py(made.error());
    return make_container(std::move(made).value());
  });
}

template <tarvel::Result<tarvel::Container> (*Open)(const std::string&, tarvel::Env&),
          const Signature& Sig>
PyObject* open_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(Sig);
    FsPath path;
    if (!a.collect(args, kwargs) || !a.get(0, &path)) return nullptr;
    auto opened = Open(path.bytes, tarvel::Env::posix());
    if (!opened) return to_py(opened.error());
    return make_container(std::move(opened).value());
  });
}

// --- queries -----------------------------------------------------------------

// Every header as a dict item; a repeated key keeps the position of its first
// entry and the value of its last.
PyObject* headers(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kShared);
    if (!use || !in_opening_process(self)) return nullptr;
    PyRef& cached = record(self)->cache.headers;
    if (!cached) {
      cached = PyRef::steal(headers_dict(record(self)->container.headers()));
      if (!cached) return nullptr;
    }
    return PyDict_Copy(cached.get());
  });
}

PyObject* schema(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kShared);
    if (!use || !in_opening_process(self)) return nullptr;
    return make_schema(record(self)->container.schema());
  });
}

PyObject* frames(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kShared);
    if (!use || !in_opening_process(self)) return nullptr;
    PyRef& cached = record(self)->cache.frames;
    if (!cached) {
      const auto& list = record(self)->container.frames();
      PyRef built = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(list.size())));
      if (!built) return nullptr;
      for (size_t i = 0; i < list.size(); ++i) {
        PyObject* frame = make_frame(list[i]);
        if (frame == nullptr) return nullptr;
        PyList_SetItem(built.get(), static_cast<Py_ssize_t>(i), frame);  // steals "frame"
      }
      cached = std::move(built);
    }
    return PyList_GetSlice(cached.get(), 0, PyList_Size(cached.get()));
  });
}

PyObject* records(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kShared);
    if (!use || !in_opening_process(self)) return nullptr;
    return py_u64(record(self)->container.records());
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kShared);
    if (!use || !in_opening_process(self)) return nullptr;
    const tarvel::Container& c = record(self)->container;
    std::string text = "Container(records=" + std::to_string(c.records()) +
                       ", frames=" + std::to_string(c.frames().size()) + ")";
    return py_str(text);
  });
}

// --- writing and reading -----------------------------------------------------

// The exclusive use of a call that may write: whatever it changes (even a
// call that fails may leave a new header value in memory), frames() and
// headers() build afresh afterwards.
Use take_for_change(PyObject* self) {
  Use use = record(self)->guard.take(UseKind::kExclusive);
  if (use) record(self)->cache.clear();
  return use;
}

constexpr const char* kBodyParams[] = {"body"};
constexpr const char* kCloseParams[] = {"frame_id", "level"};
constexpr const char* kHeaderParams[] = {"key", "value"};
constexpr const char* kFrameIdParams[] = {"frame_id"};
constexpr const char* kIndexParams[] = {"index"};

constexpr Signature kAppendRecord{"Container", "append_record", kBodyParams, 1};
constexpr Signature kCloseFrame{"Container", "close_frame", kCloseParams, 2};
constexpr Signature kSeal{"Container", "seal", kCloseParams, 2};
constexpr Signature kSetUserHeader{"Container", "set_user_header", kHeaderParams, 2};
constexpr Signature kReadFrame{"Container", "read_frame", kFrameIdParams, 1};
constexpr Signature kReadFrameAt{"Container", "read_frame_at", kIndexParams, 1};
constexpr Signature kExit{"Container", "__exit__", {}, 0, /*extra_positionals=*/true};

PyObject* append_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kAppendRecord);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = take_for_change(self);
    if (!use) return nullptr;
    std::string_view body;
    if (!a.get(0, &body)) return nullptr;
    return none_or_error(record(self)->container.append_record(body));
  });
}

PyObject* flush_data(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = take_for_change(self);
    if (!use) return nullptr;
    return none_or_error(record(self)->container.flush_data());
  });
}

PyObject* flush_headers(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = take_for_change(self);
    if (!use) return nullptr;
    return none_or_error(record(self)->container.flush_headers());
  });
}

template <tarvel::Status (tarvel::Container::*Close)(uint64_t, int32_t), const Signature& Sig>
PyObject* close_tail(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = take_for_change(self);
    if (!use) return nullptr;
    uint64_t frame_id = 0;
    int32_t level = 0;
    if (!a.get(0, &frame_id) || !a.get(1, &level)) return nullptr;
    return none_or_error((record(self)->container.*Close)(frame_id, level));
  });
}

PyObject* set_user_header(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kSetUserHeader);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = take_for_change(self);
    if (!use) return nullptr;
    std::string key;
    std::string value;
    if (!a.get(0, &key) || !a.get(1, &value)) return nullptr;
    return none_or_error(record(self)->container.set_user_header(key, value));
  });
}

PyObject* read_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kReadFrame);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = record(self)->guard.take(UseKind::kExclusive);
    if (!use) return nullptr;
    uint64_t frame_id = 0;
    if (!a.get(0, &frame_id)) return nullptr;
    return bytes_or_error(record(self)->container.read_frame_view(frame_id));
  });
}

PyObject* read_frame_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kReadFrameAt);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = record(self)->guard.take(UseKind::kExclusive);
    if (!use) return nullptr;
    uint64_t index = 0;
    if (!a.get(0, &index)) return nullptr;
    return bytes_or_error(record(self)->container.read_frame_at_view(index));
  });
}

PyObject* read_tail(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Use use = record(self)->guard.take(UseKind::kExclusive);
    if (!use) return nullptr;
    return bytes_or_error(record(self)->container.read_tail());
  });
}

// --- context manager ---------------------------------------------------------

// Takes no use and runs on any thread: it only hands back the object, but
// not to a forked child.
PyObject* enter_context(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!in_opening_process(self)) return nullptr;
    return PyRef::borrow(self).release();
  });
}

// Writes the buffered records and returns False, so that a with statement
// never swallows the exception that ends it. The file stays open.
PyObject* exit_context(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a(kExit);
    if (!a.collect(args, kwargs)) return nullptr;
    Use use = take_for_change(self);
    if (!use) return nullptr;
    auto flushed = record(self)->container.flush_data();
    if (!flushed) return to_py(flushed.error());
    Py_RETURN_FALSE;
  });
}

// --- collection --------------------------------------------------------------

// Releases the library Container (buffered records written, file closed)
// and frees the object. On a thread other than the owner the drop is also
// reported to the unraisable-exception hook; the release happens all the
// same, since nothing in the library Container is bound to a thread, and
// skipping it would lose the buffered records and leak the open file.
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);  // its reference is dropped below
  PyObject* context = reinterpret_cast<PyObject*>(type);  // borrowed
  // A collection may happen while an exception is on its way out; it must
  // come through untouched.
  PyObject* pending_type = nullptr;
  PyObject* pending_value = nullptr;
  PyObject* pending_tb = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_tb);

  PyContainer* c = record(self);
  // The hook is given the type, not the dying object: handing the object
  // itself to Python code would bring it back to life mid-destruction.
  guarded_unraisable(context, [&] {
    if (!c->guard.on_owner_thread()) c->guard.report_foreign_drop(context);
  });
  c->cache.~ListCache();
  c->container.~Container();
  c->guard.~UseGuard();

  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
  PyErr_Restore(pending_type, pending_value, pending_tb);  // steals all three
}

// --- the type ----------------------------------------------------------------

PyMethodDef methods[] = {
    {"create", as_cfunction(create), METH_STATIC | METH_VARARGS | METH_KEYWORDS,
     "create(path, schema, source, writer, created_at_millis=0, header_area=..., user=None)\n--\n\n"
     "Creates a file: preamble and header zone, no data yet."},
    {"open_read", as_cfunction(open_file<tarvel::Container::open_read, kOpenRead>),
     METH_STATIC | METH_VARARGS | METH_KEYWORDS,
     "open_read(path)\n--\n\n"
     "Opens a file read-only. Nothing is recovered and nothing is written."},
    {"open_append", as_cfunction(open_file<tarvel::Container::open_append, kOpenAppend>),
     METH_STATIC | METH_VARARGS | METH_KEYWORDS,
     "open_append(path)\n--\n\n"
     "Opens a file for appending, replaying a pending seal journal and\n"
     "cutting a torn record off the tail first.\n\n"
     "Holds the file's writer lock until the object is released: another\n"
     "writer, in this process or another, is refused with TarvelUsageError."},
    {"headers", as_cfunction(headers), METH_NOARGS,
     "headers($self)\n--\n\nEvery header, system and application alike."},
    {"schema", as_cfunction(schema), METH_NOARGS,
     "schema($self)\n--\n\nThe schema the file declares."},
    {"frames", as_cfunction(frames), METH_NOARGS,
     "frames($self)\n--\n\nThe closed frames, in file order."},
    {"records", as_cfunction(records), METH_NOARGS,
     "records($self)\n--\n\nRecords ever appended, the unflushed buffer included."},
    {"append_record", as_cfunction(append_record), METH_VARARGS | METH_KEYWORDS,
     "append_record($self, body)\n--\n\nAppends one record body."},
    {"flush_data", as_cfunction(flush_data), METH_NOARGS,
     "flush_data($self)\n--\n\nWrites whatever is buffered."},
    {"flush_headers", as_cfunction(flush_headers), METH_NOARGS,
     "flush_headers($self)\n--\n\nRewrites the header zone in place."},
    {"close_frame", as_cfunction(close_tail<&tarvel::Container::close_frame, kCloseFrame>),
     METH_VARARGS | METH_KEYWORDS,
     "close_frame($self, frame_id, level)\n--\n\n"
     "Compresses the raw tail into one frame, crash-safe."},
    {"seal", as_cfunction(close_tail<&tarvel::Container::seal, kSeal>), METH_VARARGS | METH_KEYWORDS,
     "seal($self, frame_id, level)\n--\n\nCloses the tail and marks the file finished."},
    {"set_user_header", as_cfunction(set_user_header), METH_VARARGS | METH_KEYWORDS,
     "set_user_header($self, key, value)\n--\n\n"
     "Sets an application header. Keys may not start with `_`."},
    {"read_frame", as_cfunction(read_frame), METH_VARARGS | METH_KEYWORDS,
     "read_frame($self, frame_id)\n--\n\n"
     "Decompresses the frame with this id. Ids may repeat; prefer\n"
     "`read_frame_at` when sweeping."},
    {"read_frame_at", as_cfunction(read_frame_at), METH_VARARGS | METH_KEYWORDS,
     "read_frame_at($self, index)\n--\n\n"
     "Decompresses the frame at this position in the list."},
    {"read_tail", as_cfunction(read_tail), METH_NOARGS,
     "read_tail($self)\n--\n\nThe uncompressed tail, whole records only."},
    {"__enter__", as_cfunction(enter_context), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(exit_context), METH_VARARGS | METH_KEYWORDS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A container file, open for reading or appending.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(dealloc)},
    {Py_tp_repr, as_slot(repr)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarvel_binary._native.Container", sizeof(PyContainer), 0, Py_TPFLAGS_DEFAULT, slots,
};

TypeCell& cell() {
  static TypeCell container_cell("Container", &spec);
  return container_cell;
}

}  // namespace

PyTypeObject* container_type() { return cell().get(); }

}  // namespace tarvel_py
