"""The Container class: construction, method table, queries, writing and
reading, the context manager, and the object rules (owner thread, borrow
flag, collection)."""

import contextlib
import gc
import os
import sys
import subprocess
import threading

import pytest

from tarvel_binary import _native as tv

SCHEMA = tv.Schema("count@1", [tv.FieldSpec("v", "u32", 0)], tv.RecordLayout.fixed(4))

SYSTEM_KEYS = [
    "_schema", "_schema_fields", "_schema_hash", "_record", "_source", "_created_at",
    "_writer", "_compression", "_compression_level", "_records", "_bytes_raw",
    "_frames", "_preview", "_sealed",
]


def rec(i):
    return i.to_bytes(4, "little")


def tail_of(*ids):
    return b"".join(rec(i) for i in ids)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "f.tarvel")


@pytest.fixture
def sample(path):
    """A file with records 0 and 1 in frame 1 (_records 2) and records 2, 3
    and 4 in its raw tail."""
    c = tv.Container.create(path, SCHEMA, "test", "pytest")
    for i in range(2):
        c.append_record(rec(i))
    c.close_frame(1, tv.HOT_LEVEL)
    for i in range(2, 5):
        c.append_record(rec(i))
    c.flush_data()
    del c
    return path


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def open_fds(path):
    path = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == path
        except OSError:
            pass
    return count


# --- the type ----------------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: tv.Container(),
    lambda: tv.Container("x"),
    lambda: tv.Container.__new__(tv.Container),
], ids=["no-args", "args", "__new__"])
def test_class_cannot_be_called(make):
    with pytest.raises(TypeError) as e:
        make()
    assert str(e.value) == "cannot create 'tarvel_binary._native.Container' instances"


def test_type_properties(path):
    assert tv.Container.__name__ == tv.Container.__qualname__ == "Container"
    assert tv.Container.__module__ == "tarvel_binary._native"
    assert tv.Container.__doc__ == "A container file, open for reading or appending."
    with pytest.raises(TypeError):
        class Sub(tv.Container):
            pass
    c = tv.Container.create(path, SCHEMA, "s", "w")
    with pytest.raises(AttributeError):
        c.extra = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(c)
    assert c == c and c != tv.Container.open_read(path)
    assert hash(c) == object.__hash__(c)


METHODS = [
    ("create", "(path, schema, source, writer, created_at_millis=0, header_area=..., user=None)",
     "Creates a file: preamble and header zone, no data yet."),
    ("open_read", "(path)",
     "Opens a file read-only. Nothing is recovered and nothing is written."),
    ("open_append", "(path)",
     "Opens a file for appending, replaying a pending seal journal and\n"
     "cutting a torn record off the tail first.\n\n"
     "Holds the file's writer lock until the object is released: another\n"
     "writer, in this process or another, is refused with TarvelUsageError."),
    ("headers", "($self)", "Every header, system and application alike."),
    ("schema", "($self)", "The schema the file declares."),
    ("frames", "($self)", "The closed frames, in file order."),
    ("records", "($self)", "Records ever appended, the unflushed buffer included."),
    ("append_record", "($self, body)", "Appends one record body."),
    ("flush_data", "($self)", "Writes whatever is buffered."),
    ("flush_headers", "($self)", "Rewrites the header zone in place."),
    ("close_frame", "($self, frame_id, level)",
     "Compresses the raw tail into one frame, crash-safe."),
    ("seal", "($self, frame_id, level)", "Closes the tail and marks the file finished."),
    ("set_user_header", "($self, key, value)",
     "Sets an application header. Keys may not start with `_`."),
    ("read_frame", "($self, frame_id)",
     "Decompresses the frame with this id. Ids may repeat; prefer\n"
     "`read_frame_at` when sweeping."),
    ("read_frame_at", "($self, index)", "Decompresses the frame at this position in the list."),
    ("read_tail", "($self)", "The uncompressed tail, whole records only."),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, *_args)", None),
]


def test_method_table_order():
    names = [name for name, _, _ in METHODS]
    assert [k for k in vars(tv.Container) if k in names] == names
    for name in ("create", "open_read", "open_append"):
        assert isinstance(vars(tv.Container)[name], staticmethod)


@pytest.mark.parametrize("name,signature,doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(tv.Container, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


# --- create ------------------------------------------------------------------

def test_create_with_required_arguments_only(path):
    c = tv.Container.create(path, SCHEMA, "src", "wr")
    assert repr(c) == "Container(records=0, frames=0)"
    assert c.records() == 0
    assert c.frames() == []
    assert list(c.headers().items()) == [
        ("_schema", "count@1"), ("_schema_fields", "v:u32:0"),
        ("_schema_hash", SCHEMA.hash_hex()), ("_record", "fixed:4"), ("_source", "src"),
        ("_created_at", "1970-01-01T00:00:00Z"), ("_writer", "wr"),
        ("_compression", "zstd"), ("_compression_level", "3"), ("_records", "0"),
        ("_bytes_raw", "0"), ("_frames", ""), ("_preview", ""), ("_sealed", "false"),
    ]
    assert os.path.getsize(path) == 16 + 4096
    preamble, _ = tv.peek_headers(path)
    assert preamble.header_area == tv.DEFAULT_HEADER_AREA == 4096


@pytest.mark.parametrize("kwargs,exc,text", [
    ({"created_at_millis": None}, TypeError, "argument 'created_at_millis': "),
    ({"header_area": None}, TypeError, "argument 'header_area': "),
    ({"header_area": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"user": {"a": "b"}}, TypeError,
     "argument 'user': 'dict' object cannot be cast as 'Sequence'"),
    ({"user": "ab"}, TypeError, "argument 'user': Can't extract `str` to `Vec`"),
    ({"user": [["a", "b"]]}, TypeError, "argument 'user': 'list' object cannot be cast as 'tuple'"),
    ({"user": [("a", "b", "c")]}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ({"user": [("a", 1)]}, TypeError, "argument 'user': 'int' object cannot be cast as 'str'"),
    ({"source": b"s"}, TypeError, "argument 'source': 'bytes' object cannot be cast as 'str'"),
    ({"schema": "count@1"}, TypeError, "argument 'schema': 'str' object cannot be cast as 'Schema'"),
    ({"path": b"/tmp/x"}, TypeError, "argument 'path': 'bytes' object cannot be cast as 'str'"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_create_refuses_arguments_before_touching_disk(path, kwargs, exc, text):
    args = {"path": path, "schema": SCHEMA, "source": "s", "writer": "w", **kwargs}
    with pytest.raises(exc) as e:
        tv.Container.create(**args)
    assert type(e.value) is exc
    if text is not None:
        assert str(e.value).startswith(text)
        if text.endswith(": "):
            assert len(str(e.value)) > len(text)
        else:
            assert str(e.value) == text
    assert not os.path.exists(path)


@pytest.mark.parametrize("user", [
    [("b", "1"), ("a", "2"), ("b", "3")],
    (("b", "1"), ("a", "2"), ("b", "3")),
], ids=["list", "tuple"])
def test_create_user_pairs_in_order(path, user):
    c = tv.Container.create(path, SCHEMA, "s", "w", 5, 4096, user)
    assert list(c.headers().items())[14:] == [("b", "3"), ("a", "2")]
    assert list(tv.peek_headers(path)[1].items())[14:] == [("b", "3"), ("a", "2")]


def test_create_user_none_is_omitted(path):
    c = tv.Container.create(path, SCHEMA, "s", "w", user=None)
    assert list(c.headers()) == SYSTEM_KEYS


@pytest.mark.parametrize("kwargs,exc,text", [
    ({"user": [("_x", "1")]}, tv.TarvelUsageError, "user header key \"_x\" may not start with '_'"),
    ({"user": [("A", "1")]}, tv.TarvelUsageError, 'invalid header key "A"'),
    ({"header_area": 100}, tv.TarvelZoneFullError, None),
    ({"header_area": 0}, tv.TarvelZoneFullError, None),
    ({"header_area": 16777217}, tv.TarvelUsageError,
     "header zone of 16777217 bytes is outside 1..=16777216"),
    ({"header_area": 2**31}, tv.TarvelUsageError,
     "header zone of 2147483648 bytes is outside 1..=16777216"),
])
def test_create_library_refusals_leave_no_file(path, kwargs, exc, text):
    with pytest.raises(exc) as e:
        tv.Container.create(path, SCHEMA, "s", "w", **kwargs)
    if text is None:
        area = kwargs["header_area"]
        assert str(e.value).startswith("headers need ")
        assert str(e.value).endswith(f" bytes, the zone holds {area}")
    else:
        assert str(e.value) == text
    assert e.value.args == (str(e.value),)
    assert not os.path.exists(path)


BAD_FIELD = " cannot be stored: it is empty or holds ':' or ';'"


@pytest.mark.parametrize("fields,layout,text", [
    ([], tv.RecordLayout.fixed(0),
     "record size is zero: a fixed layout needs records of at least 1 byte"),
    ([tv.FieldSpec("", "u8", 0)], tv.RecordLayout.prefixed(), 'field name ""' + BAD_FIELD),
    ([tv.FieldSpec("a:b", "u8", 0)], tv.RecordLayout.prefixed(), 'field name "a:b"' + BAD_FIELD),
    ([tv.FieldSpec("ok", "u8", 0), tv.FieldSpec("a;b", "u8", 1)], tv.RecordLayout.prefixed(),
     'field name "a;b"' + BAD_FIELD),
    ([tv.FieldSpec("a", "", 0)], tv.RecordLayout.prefixed(),
     'field type "" of field "a"' + BAD_FIELD),
    ([tv.FieldSpec("a", "u8;b:u8", 0)], tv.RecordLayout.prefixed(),
     'field type "u8;b:u8" of field "a"' + BAD_FIELD),
], ids=["fixed(0)", "empty name", "name with colon", "name with semicolon", "empty type",
        "type with semicolon"])
def test_create_refuses_a_schema_no_open_reads_back(path, fields, layout, text):
    with pytest.raises(tv.TarvelUsageError) as e:
        tv.Container.create(path, tv.Schema("s", fields, layout), "s", "w")
    assert str(e.value) == text
    assert os.listdir(os.path.dirname(path)) == []


def test_create_stores_any_str_as_written(path):
    odd = "a\0b\r\n\\:;\t é😀"
    schema = tv.Schema(odd, [tv.FieldSpec("x y\r\n", "u8\0", 3)], tv.RecordLayout.fixed(8))
    user = [("k", odd), ("nul", "\0"), ("cr", "\r")]
    made = tv.Container.create(path, schema, odd, odd, 0, 4096, user)
    again = tv.Container.open_read(path)
    assert again.headers() == made.headers()
    assert again.headers()["_source"] == odd and again.headers()["nul"] == "\0"
    assert again.schema() == schema


def test_create_on_existing_file_is_oserror(sample):
    before = file_bytes(sample)
    with pytest.raises(OSError) as e:
        tv.Container.create(sample, SCHEMA, "s", "w")
    assert type(e.value) is OSError and e.value.errno is None
    assert str(e.value).startswith(sample + ": ")
    assert file_bytes(sample) == before


@pytest.mark.parametrize("layout", [tv.RecordLayout.prefixed(), tv.RecordLayout.fixed(12)],
                         ids=repr)
def test_schema_round_trip(path, layout):
    schema = tv.Schema("s@2", [tv.FieldSpec("a", "u64", 0), tv.FieldSpec("b", "u32", 8)], layout)
    c = tv.Container.create(path, schema, "s", "w")
    assert c.schema() == schema
    assert c.schema() is not c.schema()
    assert tv.Container.open_read(path).schema() == schema
    expected = "prefixed" if layout.fixed_size is None else "fixed:12"
    assert c.headers()["_record"] == expected


# --- queries -----------------------------------------------------------------

def test_headers_repeated_key_takes_first_position_and_last_value(path):
    tv.Container.create(path, SCHEMA, "s", "w", user=[("k1", "first"), ("k2", "second")])
    data = file_bytes(path)
    assert data.count(b"\nk2:second\n") == 1
    with open(path, "r+b") as f:
        f.write(data.replace(b"\nk2:second\n", b"\nk1:second\n"))
    headers = tv.Container.open_read(path).headers()
    assert list(headers.items())[14:] == [("k1", "second")]


@pytest.mark.parametrize("opener,records", [
    (tv.Container.open_read, 2),
    (tv.Container.open_append, 5),
], ids=["open_read", "open_append"])
def test_records_after_open(sample, opener, records):
    c = opener(sample)
    assert c.records() == records
    assert repr(c) == f"Container(records={records}, frames=1)"


def test_queries_return_new_objects(sample):
    c = tv.Container.open_read(sample)
    frames = c.frames()
    assert [(f.id, f.offset) for f in frames] == [(1, 0)]
    assert frames[0].len > 0 and frames[0].hash != 0
    assert c.frames() is not frames and c.frames() == frames
    headers = c.headers()
    headers["_records"] = "99"
    assert c.headers()["_records"] == "2"


def test_queries_follow_every_change(sample):
    c = tv.Container.open_append(sample)
    # Built once here; changing what they return changes nothing.
    c.frames().append("junk")
    c.headers()["note"] = "junk"
    assert len(c.frames()) == 1 and "note" not in c.headers()
    c.append_record(rec(5))
    c.close_frame(2, tv.HOT_LEVEL)
    assert [f.id for f in c.frames()] == [1, 2]
    assert c.headers()["_records"] == "6"
    # A failing call may still change the headers in memory.
    with pytest.raises(tv.TarvelZoneFullError):
        c.set_user_header("note", "x" * 5000)
    assert c.headers()["note"] == "x" * 5000
    c.set_user_header("note", "fits")
    assert c.headers()["note"] == "fits"
    c.append_record(rec(6))
    c.seal(3, 0)
    assert [f.id for f in c.frames()] == [1, 2, 3]
    assert c.headers()["_sealed"] == "true"


# --- writing and reading -----------------------------------------------------

def test_write_and_read_back(path):
    schema = tv.Schema("p@1", [], tv.RecordLayout.prefixed())
    bodies = [b"", b"a", b"bc" * 100, bytes(range(256))]
    c = tv.Container.create(path, schema, "s", "w")
    for body in bodies[:2]:
        assert c.append_record(body) is None
    assert c.close_frame(10, tv.HOT_LEVEL) is None
    for body in bodies[2:]:
        c.append_record(body)
    assert c.seal(11, 0) is None
    assert c.records() == 4
    assert [f.id for f in c.frames()] == [10, 11]
    assert c.headers()["_sealed"] == "true"

    r = tv.Container.open_read(path)
    assert r.records() == 4
    assert tv.split_records(r.read_frame(10), schema.layout) == (bodies[:2], 0)
    assert tv.split_records(r.read_frame_at(1), schema.layout) == (bodies[2:], 0)
    assert r.read_frame_at(1) == r.read_frame(11)
    assert r.read_tail() == b""


def test_unflushed_records_are_counted_but_not_in_tail(sample):
    c = tv.Container.open_append(sample)
    for i in range(5, 8):
        c.append_record(rec(i))
    assert c.records() == 8
    assert c.read_tail() == tail_of(2, 3, 4)
    c.flush_data()
    assert c.read_tail() == tail_of(2, 3, 4, 5, 6, 7)


def test_set_user_header_and_flush_headers(sample):
    c = tv.Container.open_append(sample)
    c.set_user_header("note", "line one\nline two")
    c.append_record(rec(5))
    c.flush_headers()
    headers = tv.peek_headers(sample)[1]
    assert headers["note"] == "line one\nline two"
    assert headers["_records"] == "2"
    with pytest.raises(tv.TarvelUsageError) as e:
        c.set_user_header("_records", "7")
    assert str(e.value) == "user header key \"_records\" may not start with '_'"


@pytest.mark.parametrize("body", [bytearray(4), memoryview(b"abcd"), "abcd", None])
def test_append_record_takes_only_bytes(path, body):
    c = tv.Container.create(path, SCHEMA, "s", "w")
    with pytest.raises(TypeError) as e:
        c.append_record(body)
    assert str(e.value) == (f"argument 'body': '{type(body).__qualname__}' object "
                            "cannot be cast as 'bytes'")
    assert c.records() == 0


def test_append_record_takes_bytes_subclass(path):
    class Body(bytes):
        pass
    c = tv.Container.create(path, SCHEMA, "s", "w")
    c.append_record(Body(rec(3)))
    c.flush_data()
    assert c.read_tail() == rec(3)


def test_library_refusal_keeps_object_usable(path):
    c = tv.Container.create(path, SCHEMA, "s", "w")
    with pytest.raises(tv.TarvelUsageError) as e:
        c.append_record(b"12345")
    assert str(e.value) == "record is 5 bytes, the schema says 4"
    c.append_record(rec(1))
    assert c.records() == 1


def test_read_frame_at_position_errors(sample):
    c = tv.Container.open_read(sample)
    with pytest.raises(OverflowError):
        c.read_frame_at(-1)
    with pytest.raises(OverflowError):
        c.read_frame(-1)
    with pytest.raises(tv.TarvelUsageError) as e:
        c.read_frame_at(1)
    assert str(e.value) == "no frame at position 1"
    with pytest.raises(tv.TarvelUsageError) as e:
        c.read_frame(7)
    assert str(e.value) == "no frame 7"


@pytest.mark.parametrize("call,text", [
    (lambda c: c.close_frame(1), "Container.close_frame() missing 1 required positional argument: 'level'"),
    (lambda c: c.seal(), "Container.seal() missing 2 required positional arguments: 'frame_id' and 'level'"),
    (lambda c: c.append_record(b"", b""), "Container.append_record() takes 1 positional arguments but 2 were given"),
    (lambda c: c.append_record(data=b""), "Container.append_record() got an unexpected keyword argument 'data'"),
    (lambda c: c.set_user_header("k", key="k"), "Container.set_user_header() got multiple values for argument 'key'"),
    (lambda c: tv.Container.open_read(), "Container.open_read() missing 1 required positional argument: 'path'"),
    (lambda c: c.close_frame(1, 2.5), None),
])
def test_argument_collection(path, call, text):
    c = tv.Container.create(path, SCHEMA, "s", "w")
    with pytest.raises(TypeError) as e:
        call(c)
    if text is None:
        assert str(e.value).startswith("argument 'level': ")
    else:
        assert str(e.value) == text


def test_keyword_arguments_in_any_order(path):
    c = tv.Container.create(writer="w", source="s", schema=SCHEMA, path=path, header_area=8192)
    c.append_record(body=rec(1))
    c.close_frame(level=0, frame_id=4)
    assert c.read_frame_at(index=0) == rec(1)
    assert c.read_frame(frame_id=4) == rec(1)
    assert tv.peek_headers(path)[0].header_area == 8192


def test_open_read_of_missing_file_is_oserror(tmp_path):
    missing = str(tmp_path / "missing.tarvel")
    with pytest.raises(OSError) as e:
        tv.Container.open_read(missing)
    assert type(e.value) is OSError and e.value.errno is None
    assert e.value.args == (str(e.value),)
    assert str(e.value).startswith(missing + ": ")


# --- read-only objects -------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda c: c.append_record(rec(9)),
    lambda c: c.flush_headers(),
    lambda c: c.close_frame(2, tv.HOT_LEVEL),
    lambda c: c.seal(2, tv.HOT_LEVEL),
], ids=["append_record", "flush_headers", "close_frame", "seal"])
def test_read_only_refuses_writes(sample, call):
    before = file_bytes(sample)
    c = tv.Container.open_read(sample)
    with pytest.raises(tv.TarvelUsageError) as e:
        call(c)
    assert str(e.value) == "file is open read-only"
    assert c.records() == 2
    del c
    assert file_bytes(sample) == before


def test_read_only_set_user_header_stays_in_memory(sample):
    before = file_bytes(sample)
    c = tv.Container.open_read(sample)
    with pytest.raises(tv.TarvelUsageError) as e:
        c.set_user_header("x", "1")
    assert str(e.value) == "file is open read-only"
    assert c.headers()["x"] == "1"
    assert c.flush_data() is None
    assert c.__exit__(None, None, None) is False
    del c
    assert file_bytes(sample) == before


# --- the context manager -----------------------------------------------------

def test_with_block_flushes_and_keeps_object(sample):
    c = tv.Container.open_append(sample)
    with c as bound:
        assert bound is c
        c.append_record(rec(5))
        assert c.read_tail() == tail_of(2, 3, 4)
    assert c.read_tail() == tail_of(2, 3, 4, 5)
    c.append_record(rec(6))
    assert c.records() == 7


def test_with_block_does_not_swallow_exceptions(sample):
    c = tv.Container.open_append(sample)
    with pytest.raises(ZeroDivisionError):
        with c:
            c.append_record(rec(5))
            1 / 0
    assert c.read_tail() == tail_of(2, 3, 4, 5)


@pytest.mark.parametrize("args", [(), (None, None, None), (1, 2, 3, 4)], ids=len)
def test_exit_takes_any_positional_arguments(sample, args):
    c = tv.Container.open_append(sample)
    c.append_record(rec(5))
    assert c.__exit__(*args) is False
    assert c.read_tail() == tail_of(2, 3, 4, 5)


def test_exit_refuses_keywords(sample):
    c = tv.Container.open_append(sample)
    with pytest.raises(TypeError):
        c.__exit__(exc_type=None)


# --- borrow flag -------------------------------------------------------------

class Reenter:
    """An integer whose conversion calls back into the same Container."""

    def __init__(self, inner, catch):
        self.inner, self.catch, self.seen = inner, catch, None

    def __index__(self):
        try:
            self.inner()
        except RuntimeError as e:
            self.seen = str(e)
            if not self.catch:
                raise
        return 7


@pytest.mark.parametrize("inner,text", [
    (lambda c: c.records(), "Already mutably borrowed"),
    (lambda c: repr(c), "Already mutably borrowed"),
    (lambda c: c.flush_data(), "Already borrowed"),
], ids=["shared-records", "shared-repr", "exclusive-flush_data"])
def test_reentrant_index_meets_borrow_flag(sample, inner, text):
    c = tv.Container.open_append(sample)
    spy = Reenter(lambda: inner(c), catch=False)
    with pytest.raises(RuntimeError) as e:
        c.close_frame(spy, tv.HOT_LEVEL)
    assert type(e.value) is RuntimeError and str(e.value) == text
    assert spy.seen == text
    assert len(c.frames()) == 1  # no frame closed, and the flag is free again

    spy = Reenter(lambda: inner(c), catch=True)
    c.close_frame(spy, tv.HOT_LEVEL)
    assert spy.seen == text
    assert [f.id for f in c.frames()] == [1, 7]


# --- owner thread and collection ---------------------------------------------

@contextlib.contextmanager
def unraisable():
    """Collects what reaches the unraisable-exception hook meanwhile."""
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u.exc_value)
    try:
        yield seen
    finally:
        sys.unraisablehook = old_hook


def in_thread(fn):
    """Runs fn on a new thread: {"value": result}, {"exception": e} for an
    Exception, or {"base": e} for any other BaseException."""
    # Cyclic garbage left by earlier tests is collected here, on its owner
    # thread, rather than by whichever thread next triggers a collection.
    gc.collect()
    out = {}

    def target():
        try:
            out["value"] = fn()
        except Exception as e:  # noqa: BLE001
            out["exception"] = e.with_traceback(None)
        except BaseException as e:
            out["base"] = e.with_traceback(None)

    t = threading.Thread(target=target)
    t.start()
    t.join()
    return out


DROPPED_ELSEWHERE = "_native::PyContainer is unsendable, but is being dropped on another thread"


class Spy:
    called = False

    def __index__(self):
        Spy.called = True
        return 0


OTHER_THREAD_CALLS = {
    "headers": lambda c: c.headers(),
    "schema": lambda c: c.schema(),
    "frames": lambda c: c.frames(),
    "records": lambda c: c.records(),
    "repr": lambda c: repr(c),
    "append_record": lambda c: c.append_record(rec(9)),
    "flush_data": lambda c: c.flush_data(),
    "flush_headers": lambda c: c.flush_headers(),
    "close_frame": lambda c: c.close_frame(Spy(), tv.HOT_LEVEL),
    "seal": lambda c: c.seal(Spy(), tv.HOT_LEVEL),
    "set_user_header": lambda c: c.set_user_header("x", "1"),
    "read_frame": lambda c: c.read_frame(Spy()),
    "read_frame_at": lambda c: c.read_frame_at(Spy()),
    "read_tail": lambda c: c.read_tail(),
    "__exit__": lambda c: c.__exit__(None, None, None),
}


@pytest.mark.parametrize("name", OTHER_THREAD_CALLS)
def test_use_from_another_thread_is_a_panic(sample, name):
    c = tv.Container.open_append(sample)
    c.append_record(rec(5))
    before_headers = c.headers()
    Spy.called = False

    out = in_thread(lambda: OTHER_THREAD_CALLS[name](c))

    assert set(out) == {"base"}, "except Exception must not catch the owner-thread failure"
    err = out["base"]
    assert type(err).__name__ == "PanicException"
    assert not isinstance(err, Exception)
    assert "_native::PyContainer is unsendable, but sent to another thread" in str(err)
    assert not Spy.called
    assert c.records() == 6 and c.headers() == before_headers and len(c.frames()) == 1
    assert c.read_tail() == tail_of(2, 3, 4)


def test_enter_and_static_methods_work_on_another_thread(sample, tmp_path):
    c = tv.Container.open_read(sample)
    assert in_thread(c.__enter__) == {"value": c}

    other = str(tmp_path / "other.tarvel")
    made = in_thread(lambda: tv.Container.create(other, SCHEMA, "s", "w"))["value"]
    assert in_thread(lambda: tv.Container.open_read(sample).records()) == {"value": 2}
    # The new object belongs to the thread that made it, which has ended.
    refused = None
    try:
        made.records()
    except BaseException as e:
        refused = type(e).__name__
    assert refused == "PanicException"
    with unraisable() as seen:
        del made
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, DROPPED_ELSEWHERE)]


def test_finished_owner_thread_is_not_confused_with_a_new_one(sample):
    # The system hands a finished thread's identifier to the next thread it
    # starts; ownership must not pass with it.
    for _ in range(5):
        made = in_thread(lambda: tv.Container.open_read(sample))["value"]
        out = in_thread(made.records)
        assert set(out) == {"base"} and type(out["base"]).__name__ == "PanicException"
        with unraisable():
            del made


def test_collection_on_owner_thread_writes_buffer(sample):
    c = tv.Container.open_append(sample)
    c.append_record(rec(5))
    assert open_fds(sample) == 1
    del c
    assert open_fds(sample) == 0
    assert tv.Container.open_append(sample).records() == 6
    assert tv.peek_headers(sample)[1]["_records"] == "2"


def test_collection_on_another_thread(sample):
    c = tv.Container.open_append(sample)
    c.append_record(rec(5))
    c.append_record(rec(6))
    box = [c]
    del c

    gc.collect()
    with unraisable() as seen:
        t = threading.Thread(target=box.clear)
        t.start()
        t.join()

    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, DROPPED_ELSEWHERE)]
    # The library container is released all the same: its buffer reaches the
    # file and the file is closed.
    assert open_fds(sample) == 0
    assert tv.Container.open_append(sample).read_tail() == tail_of(2, 3, 4, 5, 6)


# One writer per file.

def test_reopening_for_append_keeps_the_first_writers_buffer(path):
    w = tv.Container.create(path, SCHEMA, "test", "pytest")
    for i in range(1000):
        w.append_record(rec(i))
    # The old object is released only after the new open has returned, so
    # the new open must fail rather than write where the old buffer goes.
    with pytest.raises(tv.TarvelUsageError) as e:
        w = tv.Container.open_append(path)
    assert str(e.value) == f'another writer holds "{path}"'
    for i in range(1000, 2000):
        w.append_record(rec(i))
    w.close_frame(1, tv.HOT_LEVEL)
    del w
    r = tv.Container.open_read(path)
    assert r.read_frame_at(0) == tail_of(*range(2000))


def test_writer_in_another_process_holds_the_file(sample):
    child = subprocess.Popen(
        [sys.executable, "-c",
         "import sys\n"
         "from tarvel_binary import _native as tv\n"
         "c = tv.Container.open_append(sys.argv[1])\n"
         "print('open', flush=True)\n"
         "sys.stdin.read()\n",
         sample],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    try:
        assert child.stdout.readline() == b"open\n"
        refused = f'another writer holds "{sample}"'
        for call in (lambda: tv.Container.open_append(sample),
                     lambda: tv.repack(sample),
                     lambda: tv.rebuild_headers(sample, fix=True)):
            with pytest.raises(tv.TarvelUsageError) as e:
                call()
            assert str(e.value) == refused
        assert tv.Container.open_read(sample).read_tail() == tail_of(2, 3, 4)
        assert tv.validate(sample).problems == []
    finally:
        child.communicate(b"")
    assert child.returncode == 0
    tv.Container.open_append(sample)
