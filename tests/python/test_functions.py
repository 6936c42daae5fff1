import pytest

from conftest import container_file


@pytest.mark.parametrize("name, signature, doc", [
    ("peek_headers", "(path)", "Preamble and headers without touching the data section."),
    ("split_records", "(data, layout)",
     "Splits raw bytes into records. Returns the records and the torn leftover."),
    ("xxh64", "(data)", "XXH64 with seed 0 \u2014 the hash the frame checksums use."),
    ("max_frames_for", "(header_area)",
     "Roughly how many frames a header zone of this size can list."),
])
def test_function_docs(native, name, signature, doc):
    func = getattr(native, name)
    assert (func.__name__, func.__text_signature__, func.__doc__) == (name, signature, doc)


@pytest.mark.parametrize("data, expected", [
    (b"", 17241709254077376921),
    (b"abc", 4952883123889572249),
])
def test_xxh64(native, data, expected):
    assert native.xxh64(data) == expected
    assert native.xxh64(data=data) == expected


@pytest.mark.parametrize("header_area, frames", [
    (0, 0), (2624, 0), (2687, 0), (2688, 1), (4096, 23), (65536, 983),
    (16777216, 262103), (4294967295, 67108822),
])
def test_max_frames_for(native, header_area, frames):
    assert native.max_frames_for(header_area) == frames


@pytest.mark.parametrize("data, layout, records, torn", [
    (b"", ("prefixed",), [], 0),
    (b"", ("fixed", 3), [], 0),
    (b"\x01", ("prefixed",), [], 1),
    (b"abcdefg", ("fixed", 3), [b"abc", b"def"], 1),
    (b"abcdefg", ("fixed", 0), [], 7),
    (b"\x00\x00", ("prefixed",), [b""], 0),
    (b"\x02\x00hi\x01\x00!\x05\x00ab", ("prefixed",), [b"hi", b"!"], 4),
])
def test_split_records(native, data, layout, records, torn):
    kind, *size = layout
    layout = getattr(native.RecordLayout, kind)(*size)
    got = native.split_records(data, layout)
    assert got == (records, torn) and type(got) is tuple


def test_peek_headers(native, tmp_path):
    path = container_file(tmp_path / "f.tarvel", header_area=64,
                          headers=[("_schema", "s@1"), ("app", "a\\nb"), ("_schema", "later"),
                                   ("z", "")])
    preamble, headers = native.peek_headers(path=str(path))
    assert (preamble.version, preamble.header_area) == (1, 64)
    # A repeated key stays at its first position with its last value.
    assert list(headers.items()) == [("_schema", "later"), ("app", "a\nb"), ("z", "")]


@pytest.mark.parametrize("content, cls, text", [
    (b"TARVEL", OSError, "failed to fill whole buffer"),
    (b"TARVEL\x01\x00\x00\x10\x00\x00\x00\x00\x00\x00", "TarvelMalformedError",
     "header zone claims 4096 bytes but the file is 16 bytes"),
])
def test_peek_headers_short_file(native, tmp_path, content, cls, text):
    path = tmp_path / "short.tarvel"
    path.write_bytes(content)
    cls = getattr(native, cls) if isinstance(cls, str) else cls
    with pytest.raises(cls) as info:
        native.peek_headers(path)
    assert type(info.value) is cls and info.value.args == (text,)
