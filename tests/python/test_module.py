import importlib
import sys
import textwrap

import pytest

from conftest import container_file

FINAL_ALL = [
    "Container", "Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble",
    "ValidateReport", "RebuildReport", "RepackReport",
    "peek_headers", "validate", "rebuild_headers", "repack", "split_records", "xxh64",
    "max_frames_for",
    "TarvelError", "TarvelMalformedError", "TarvelUsageError", "TarvelZoneFullError",
    "TarvelCompressionError",
    "VERSION", "EXTENSION", "DEFAULT_HEADER_AREA", "MAX_HEADER_AREA", "HOT_LEVEL",
    "COLD_LEVEL", "__version__",
]

DERIVED = ["TarvelMalformedError", "TarvelUsageError", "TarvelZoneFullError",
           "TarvelCompressionError"]


def test_all_lists_every_name_in_order(native):
    assert native.__all__ == FINAL_ALL
    assert all(hasattr(native, n) for n in native.__all__)


def test_module_definition(native):
    assert native.__doc__ == ("The extension module. Everything above, plus the constants a "
                              "caller needs\nto avoid hard-coding numbers the format owns.")
    assert native.__name__ == "tarvel_binary._native"
    assert native.xxh64.__self__ is native
    assert native.xxh64.__module__ == "tarvel_binary._native"


def test_package_reexports_the_module(native):
    import tarvel_binary
    assert tarvel_binary.__all__ == native.__all__
    assert all(getattr(tarvel_binary, n) is getattr(native, n) for n in native.__all__)


@pytest.mark.parametrize("name, value", [
    ("VERSION", 1), ("EXTENSION", "tarvel"), ("DEFAULT_HEADER_AREA", 4096),
    ("MAX_HEADER_AREA", 16777216), ("HOT_LEVEL", 3), ("COLD_LEVEL", 19),
    ("__version__", "2.1.0"),
])
def test_constants(native, name, value):
    got = getattr(native, name)
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("name, doc", [
    ("TarvelError", "Base of every error this package raises."),
    ("TarvelMalformedError", "The file is not a well-formed container."),
    ("TarvelUsageError", "The calling code asked for something it may not."),
    ("TarvelZoneFullError", "The header zone cannot hold the headers."),
    ("TarvelCompressionError", "zstd refused to compress or decompress."),
])
def test_exception_classes(native, name, doc):
    cls = getattr(native, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == \
        ("_native", name, name, doc)
    base = Exception if name == "TarvelError" else native.TarvelError
    assert cls.__bases__ == (base,)


def test_exception_hierarchy(native):
    assert native.TarvelZoneFullError.__mro__ == (
        native.TarvelZoneFullError, native.TarvelError, Exception, BaseException, object)
    for name in DERIVED:
        with pytest.raises(native.TarvelError):
            raise getattr(native, name)("x")
    assert not issubclass(OSError, native.TarvelError)


def test_io_error_is_exactly_oserror(native, tmp_path):
    missing = tmp_path / "missing.tarvel"
    with pytest.raises(OSError) as info:
        native.peek_headers(missing)
    e = info.value
    assert type(e) is OSError and not isinstance(e, native.TarvelError)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    assert e.args == (f"{missing}: No such file or directory (os error 2)",)
    assert e.__cause__ is None and e.__context__ is None


@pytest.mark.parametrize("kwargs, cls, text", [
    (dict(magic=b"TARVEX"), "TarvelMalformedError", "not a tarvel file: bad magic"),
    (dict(version=2), "TarvelMalformedError", "unsupported tarvel version 2"),
    (dict(zone=b"no colon\n\n"), "TarvelMalformedError", 'header line without \':\': "no colon"'),
    (dict(headers=[("Bad", "x")]), "TarvelUsageError", 'invalid header key "Bad"'),
])
def test_library_errors_become_module_exceptions(native, tmp_path, kwargs, cls, text):
    path = container_file(tmp_path / "f.tarvel", **kwargs)
    with pytest.raises(getattr(native, cls)) as info:
        native.peek_headers(str(path))
    assert type(info.value) is getattr(native, cls)
    assert info.value.args == (text,)


def test_reimport_returns_the_same_module(native):
    name = "tarvel_binary._native"
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = native
    assert again is native
    assert native.__all__ == FINAL_ALL


def test_subinterpreter_import_is_refused(native, tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter offers no sub-interpreter test helper")
    out = tmp_path / "result.txt"
    code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        try:
            import tarvel_binary._native
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(result)
        """)
    assert testcapi.run_in_subinterp(code) == 0
    result = out.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters" in result
    # The main interpreter's module is untouched.
    assert native.xxh64(b"abc") == 4952883123889572249
    assert native.Schema("s", [], native.RecordLayout.prefixed()).hash_hex() == "cbf29ce484222325"
