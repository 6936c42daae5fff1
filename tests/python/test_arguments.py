import pathlib
import re
import threading

import pytest


class Index:
    """An integer-like object: its __index__ returns a value or runs a callable."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


# --- collection -------------------------------------------------------------

@pytest.mark.parametrize("call, text", [
    (lambda n, p: n.peek_headers(),
     "peek_headers() missing 1 required positional argument: 'path'"),
    (lambda n, p: n.peek_headers("a", path="b"),
     "peek_headers() got multiple values for argument 'path'"),
    (lambda n, p: n.peek_headers(file="x"),
     "peek_headers() got an unexpected keyword argument 'file'"),
    (lambda n, p: n.xxh64(b"", b""),
     "xxh64() takes 1 positional arguments but 2 were given"),
    (lambda n, p: n.split_records(),
     "split_records() missing 2 required positional arguments: 'data' and 'layout'"),
    (lambda n, p: n.FieldSpec("a"),
     "FieldSpec.__new__() missing 2 required positional arguments: 'ty' and 'offset'"),
    (lambda n, p: n.RecordLayout.fixed(1, 2),
     "RecordLayout.fixed() takes 1 positional arguments but 2 were given"),
    (lambda n, p: p.required(),
     "Probe.required() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (lambda n, p: p.required(1, c=3),
     "Probe.required() missing 1 required positional argument: 'b'"),
    (lambda n, p: p.optional(1, 2, 3, 4),
     "optional() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda n, p: p.none(1),
     "none() takes 0 positional arguments but 1 was given"),
    (lambda n, p: p.extra(1, 2, x=3),
     "Probe.extra() got an unexpected keyword argument 'x'"),
])
def test_collection_messages(native, probe, call, text):
    with pytest.raises(TypeError) as info:
        call(native, probe)
    assert type(info.value) is TypeError and str(info.value) == text


def test_collection_order_checks(probe, native):
    # Too many positionals is reported before a keyword problem.
    with pytest.raises(TypeError, match="takes from 1 to 3"):
        probe.optional(1, 2, 3, 4, zz=1)
    # A doubled argument is reported before a missing one.
    with pytest.raises(TypeError, match="multiple values for argument 'a'"):
        probe.required(1, a=1)
    # Collection fails before any conversion runs.
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'layout'"):
        native.split_records(data=1.5)


def test_keywords_in_any_order(native, probe):
    assert native.split_records(layout=native.RecordLayout.fixed(1), data=b"ab") == \
        ([b"a", b"b"], 0)
    assert probe.optional(c=3, a=1) == (1, None, 3)
    # An explicit None is a value, not an omission.
    assert probe.optional(1, None) == (1, None, None)


@pytest.mark.parametrize("args, kwargs, rest", [
    ((), {}, ()), ((1,), {}, ()), ((1, 2, 3), {}, (2, 3)), ((), {"value": 1}, ()),
])
def test_extra_positionals(probe, args, kwargs, rest):
    assert probe.extra(*args, **kwargs) == rest


# --- conversions ------------------------------------------------------------

class Bool_:
    """Looks like a NumPy boolean scalar to the module."""
    __module__ = "numpy"

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


Bool_.__name__ = Bool_.__qualname__ = "bool_"
NumpyBool = type("bool", (Bool_,), {"__module__": "numpy"})
BareNumpyBool = type("bool_", (), {"__module__": "numpy"})
OtherBool = type("bool_", (Bool_,), {"__module__": "mylib"})


class Str(str):
    pass


class Bytes(bytes):
    pass


class Pair(tuple):
    pass


class Seq:
    """A sequence by the interpreter's check, iterated by __getitem__."""

    def __init__(self, items, error=None):
        self.items, self.error = items, error

    def __len__(self):
        return 10 ** 18  # a wrong length costs nothing

    def __getitem__(self, i):
        if i < len(self.items):
            return self.items[i]
        if self.error:
            raise self.error
        raise IndexError(i)


MAX64 = 2 ** 64 - 1


@pytest.mark.parametrize("func, value, expected", [
    ("u64", 0, 0), ("u64", MAX64, MAX64), ("u64", True, 1), ("u64", Index(7), 7),
    ("usize", MAX64, MAX64),
    ("u32", 4294967295, 4294967295), ("u32", False, 0), ("u32", Index(5), 5),
    ("i32", -2 ** 31, -2 ** 31), ("i32", 2 ** 31 - 1, 2 ** 31 - 1),
    ("boolean", True, True), ("boolean", False, False),
    ("boolean", Bool_(True), True), ("boolean", NumpyBool(False), False),
    ("path", "a/b", b"a/b"), ("path", pathlib.Path("x") / "y", b"x/y"),
    ("path", PathLike("p"), b"p"), ("path", "\udcff", b"\xff"),
    ("text", "é", "é".encode()), ("text", Str("s"), b"s"), ("text", "", b""),
    ("data", b"\0ab", b"\0ab"), ("data", Bytes(b"x"), b"x"),
    ("fields", [], 0), ("fields", (), 0),
    ("pairs", None, None), ("pairs", [], []),
    ("pairs", [("a", "b"), ("a", "c")], [("a", "b"), ("a", "c")]),
    ("pairs", (Pair(("k", Str("v"))),), [("k", "v")]),
    ("pairs", Seq([("k", "v")]), [("k", "v")]),
])
def test_conversion_accepts(probe, func, value, expected):
    got = getattr(probe, func)(value)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("func, value, cls, text", [
    # Integers: the interpreter's texts where the value leaves the i64/u64
    # range, the module's own inside it; never an argument prefix.
    ("u64", -1, OverflowError, None),
    ("u64", 2 ** 64, OverflowError, None),
    ("u32", -1, OverflowError, "out of range integral type conversion attempted"),
    ("u32", 2 ** 32, OverflowError, "out of range integral type conversion attempted"),
    ("i32", 2 ** 31, OverflowError, "out of range integral type conversion attempted"),
    ("i32", -2 ** 31 - 1, OverflowError, "out of range integral type conversion attempted"),
    ("u64", 1.5, TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    ("i32", "3", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    ("u32", None, TypeError,
     "argument 'value': 'NoneType' object cannot be interpreted as an integer"),
    # bool
    ("boolean", 1, TypeError, "argument 'value': 'int' object cannot be cast as 'bool'"),
    ("boolean", None, TypeError, "argument 'value': 'NoneType' object cannot be cast as 'bool'"),
    ("boolean", OtherBool(True), TypeError,
     "argument 'value': 'bool_' object cannot be cast as 'bool'"),
    ("boolean", BareNumpyBool(), TypeError,
     "argument 'value': object of type '<class 'numpy.bool_'>' does not define a "
     "'__bool__' conversion"),
    ("boolean", Bool_(1), TypeError, "argument 'value': 'int' object cannot be cast as 'bool'"),
    # path
    ("path", b"a", TypeError, "argument 'value': 'bytes' object cannot be cast as 'str'"),
    ("path", PathLike(b"a"), TypeError,
     "argument 'value': 'bytes' object cannot be cast as 'str'"),
    ("path", 3, TypeError,
     "argument 'value': expected str, bytes or os.PathLike object, not int"),
    ("path", "\ud800", UnicodeEncodeError, None),
    # str and bytes
    ("text", b"a", TypeError, "argument 'value': 'bytes' object cannot be cast as 'str'"),
    ("text", "\ud800", UnicodeEncodeError, None),
    ("data", bytearray(b"a"), TypeError,
     "argument 'value': 'bytearray' object cannot be cast as 'bytes'"),
    ("data", memoryview(b"a"), TypeError,
     "argument 'value': 'memoryview' object cannot be cast as 'bytes'"),
    ("data", "a", TypeError, "argument 'value': 'str' object cannot be cast as 'bytes'"),
    # sequences
    ("fields", "", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("fields", iter([]), TypeError,
     "argument 'value': 'list_iterator' object cannot be cast as 'Sequence'"),
    ("fields", (x for x in []), TypeError,
     "argument 'value': 'generator' object cannot be cast as 'Sequence'"),
    ("fields", set(), TypeError, "argument 'value': 'set' object cannot be cast as 'Sequence'"),
    ("fields", [1], TypeError, "argument 'value': 'int' object cannot be cast as 'FieldSpec'"),
    ("fields", Seq([], ValueError("broken")), ValueError, "broken"),
    ("fields", Seq([], TypeError("broken")), TypeError, "argument 'value': broken"),
    ("pairs", "ab", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("pairs", {"a": "b"}, TypeError,
     "argument 'value': 'dict' object cannot be cast as 'Sequence'"),
    ("pairs", [["a", "b"]], TypeError,
     "argument 'value': 'list' object cannot be cast as 'tuple'"),
    ("pairs", [("a", "b", "c")], ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("pairs", [("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("pairs", [("a", 1)], TypeError, "argument 'value': 'int' object cannot be cast as 'str'"),
])
def test_conversion_refuses(probe, func, value, cls, text):
    with pytest.raises(cls) as info:
        getattr(probe, func)(value)
    assert type(info.value) is cls
    if text is not None:
        assert str(info.value) == text
    assert not str(info.value).startswith("argument") or cls is TypeError


def test_prefix_keeps_the_cause_and_spares_subclasses(probe):
    def raise_chained():
        raise TypeError("bad index") from KeyError("k")

    with pytest.raises(TypeError) as info:
        probe.u64(Index(raise_chained))
    assert str(info.value) == "argument 'value': bad index"
    assert isinstance(info.value.__cause__, KeyError)

    class MyTypeError(TypeError):
        pass

    def raise_subclass():
        raise MyTypeError("mine")

    with pytest.raises(MyTypeError, match="^mine$"):
        probe.u64(Index(raise_subclass))


def test_real_functions_use_the_same_conversions(native):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        native.max_frames_for(4294967296)
    assert native.max_frames_for(True) == native.max_frames_for(1) == 0
    # Beyond the i64 range the interpreter's own OverflowError passes unchanged.
    with pytest.raises(OverflowError) as info:
        native.max_frames_for(2 ** 70)
    assert str(info.value) != "out of range integral type conversion attempted"
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be cast as 'str'$"):
        native.peek_headers(PathLike(b"x"))
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object cannot be cast"):
        native.xxh64(bytearray(b"x"))


# --- the panic boundary -----------------------------------------------------

def panic_class(probe):
    try:
        probe.throw_cpp(2)
    except BaseException as e:  # noqa: B036
        return type(e)


@pytest.mark.parametrize("kind, cls_name, text", [
    (0, "PanicException", "runtime failure"),
    (1, "MemoryError", None),
    (2, "PanicException", "a panic"),
    (3, "PanicException", "explicit panic"),
    (4, "PanicException", "entry point failed without setting an exception"),
])
def test_cpp_exceptions_stop_at_the_boundary(probe, kind, cls_name, text):
    with pytest.raises(BaseException) as info:
        probe.throw_cpp(kind)
    assert type(info.value).__name__ == cls_name
    if text is not None:
        assert info.value.args == (text,)


def test_panic_exception_is_not_an_exception(probe):
    cls = panic_class(probe)
    assert cls.__bases__ == (BaseException,) and not issubclass(cls, Exception)


def test_python_panic_in_a_conversion_is_taken_up_again(probe, capfd):
    cls = panic_class(probe)
    original = cls("from python")

    def raise_panic():
        raise original

    with pytest.raises(cls) as info:
        probe.u64(Index(raise_panic))
    assert info.value.args == ("from python",)
    assert info.value is not original
    err = capfd.readouterr().err
    assert "raised again as a panic" in err and "from python" in err


# --- owner thread and borrow flag --------------------------------------------

def test_nested_uses(probe):
    g = probe.Guarded()
    # Shared uses stack.
    assert g.shared(Index(lambda: g.shared(4))) == 4
    # An exclusive use refuses any other; the RuntimeError passes unprefixed.
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        g.exclusive(Index(lambda: g.shared(1)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        g.shared(Index(lambda: g.exclusive(1)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        g.exclusive(Index(lambda: g.exclusive(1)))
    assert g.flag() == 0


def test_inner_refusal_caught_by_python_code(probe):
    g = probe.Guarded()
    seen = []

    def inner():
        try:
            g.shared(1)
        except RuntimeError as e:
            seen.append(str(e))
        return 9

    assert g.exclusive(Index(inner)) == 9
    assert seen == ["Already mutably borrowed"]
    assert g.flag() == 0


def test_use_released_on_conversion_failure(probe):
    g = probe.Guarded()
    for method in (g.shared, g.exclusive):
        with pytest.raises(OverflowError):
            method(-1)
        assert g.flag() == 0


def test_other_thread_is_refused(probe):
    g = probe.Guarded()
    caught = []

    def run():
        try:
            g.exclusive(1)
        except Exception as e:  # must not catch the owner-thread failure
            caught.append(("Exception", e))
        except BaseException as e:  # noqa: B036
            caught.append(("BaseException", e))

    t = threading.Thread(target=run)
    t.start()
    t.join()
    [(clause, e)] = caught
    assert clause == "BaseException" and type(e).__name__ == "PanicException"
    assert re.fullmatch(
        r"assertion `left == right` failed: _native::PyContainer is unsendable, but sent to "
        r"another thread\n  left: \d+\n right: \d+", str(e))
    left, right = re.findall(r"\d+", str(e).split("\n", 1)[1])
    assert left != right
    assert g.flag() == 0
    assert g.exclusive(2) == 2
