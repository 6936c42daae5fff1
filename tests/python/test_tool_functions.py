"""validate, rebuild_headers and repack through Python."""

import os

import pytest

from tarvel_binary import _native as tv

SCHEMA = tv.Schema("count@1", [tv.FieldSpec("v", "u32", 0)], tv.RecordLayout.fixed(4))


def rec(i):
    return i.to_bytes(4, "little")


@pytest.fixture
def sample(tmp_path):
    """Frames 1 (records 0-9) and 2 (records 10-19) at level 3, then records
    20-22 in the raw tail."""
    path = str(tmp_path / "f.tarvel")
    c = tv.Container.create(path, SCHEMA, "test", "pytest", user=[("site", "a")])
    for frame_id in (1, 2):
        for i in range(10):
            c.append_record(rec((frame_id - 1) * 10 + i))
        c.close_frame(frame_id, tv.HOT_LEVEL)
    for i in range(20, 23):
        c.append_record(rec(i))
    del c
    return path


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def replace_header(path, old, new):
    data = file_bytes(path)
    assert len(old) == len(new) and data.count(old) == 1
    patch(path, data.index(old), new)


def bodies(path):
    c = tv.Container.open_read(path)
    return [c.read_frame_at(i) for i in range(len(c.frames()))], c.read_tail()


@pytest.mark.parametrize("fn,doc", [
    (tv.validate, "validate(path)\n--\n\n"
                  "Reads every frame, checks the counters, the alignment and the checksums."),
    (tv.rebuild_headers, "rebuild_headers(path, fix=False)\n--\n\n"
                         "Derives the system headers from the data, and writes them back when asked."),
    (tv.repack, "repack(path, level=..., header_area=None)\n--\n\n"
                "Re-encodes every frame at another level, atomically."),
], ids=lambda v: getattr(v, "__name__", None))
def test_signature_and_doc(fn, doc):
    signature, _, text = doc.partition("\n--\n\n")
    assert fn.__text_signature__ == signature[len(fn.__name__):]
    assert fn.__doc__ == text
    assert fn.__self__ is tv and fn.__module__ == tv.__name__


@pytest.mark.parametrize("call,exc,text", [
    (lambda p: tv.validate(), TypeError, "validate() missing 1 required positional argument: 'path'"),
    (lambda p: tv.validate(p, p), TypeError, "validate() takes 1 positional arguments but 2 were given"),
    (lambda p: tv.rebuild_headers(p, 1), TypeError, "argument 'fix': 'int' object cannot be cast as 'bool'"),
    (lambda p: tv.rebuild_headers(p, fix=None), TypeError,
     "argument 'fix': 'NoneType' object cannot be cast as 'bool'"),
    (lambda p: tv.repack(p, 1, None, 4), TypeError,
     "repack() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda p: tv.repack(p, level=None), TypeError, "argument 'level': "),
    (lambda p: tv.repack(p, header_area=-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda p: tv.repack(p, 3, path=p), TypeError, "repack() got multiple values for argument 'path'"),
    (lambda p: tv.validate(path=b"x"), TypeError, "argument 'path': 'bytes' object cannot be cast as 'str'"),
])
def test_argument_refusals_come_before_any_file_access(tmp_path, call, exc, text):
    # The path does not exist, so a library call would raise OSError.
    with pytest.raises(exc) as e:
        call(str(tmp_path / "missing.tarvel"))
    assert type(e.value) is exc
    assert str(e.value).startswith(text) and (text.endswith(": ") or str(e.value) == text)


@pytest.mark.parametrize("fn", [tv.validate, tv.rebuild_headers, tv.repack])
def test_missing_file_is_oserror(tmp_path, fn):
    missing = str(tmp_path / "missing.tarvel")
    with pytest.raises(OSError) as e:
        fn(missing)
    assert type(e.value) is OSError
    assert str(e.value).startswith(missing + ": ")


@pytest.mark.parametrize("fn,exc", [
    (tv.validate, tv.TarvelMalformedError),
    (tv.rebuild_headers, tv.TarvelMalformedError),
    (tv.repack, tv.TarvelMalformedError),
])
def test_not_a_container(tmp_path, fn, exc):
    path = tmp_path / "junk.tarvel"
    path.write_bytes(b"NOTAFILE" + bytes(100))
    with pytest.raises(exc):
        fn(str(path))


# --- validate ----------------------------------------------------------------

def test_validate_sound_file(sample):
    report = tv.validate(sample)
    assert isinstance(report, tv.ValidateReport)
    assert (report.problems, report.frames, report.records) == ([], 2, 23)


def test_validate_reports_a_damaged_frame(sample):
    frame = tv.Container.open_read(sample).frames()[1]
    last = 16 + 4096 + frame.offset + frame.len - 1
    data = file_bytes(sample)
    patch(sample, last, bytes([data[last] ^ 0xFF]))

    report = tv.validate(sample)
    assert report.frames == 2
    assert report.records == 13  # frame 2 cannot be decoded; frame 1 and the tail count
    assert report.problems == [
        f"frame 2: checksum mismatch, _frames says {frame.hash:016x}, "
        f"the bytes hash to {tv.xxh64(file_bytes(sample)[last - frame.len + 1:last + 1]):016x}",
        "frame 2: Restored data doesn't match checksum",
        "_records says 20, the frames hold 10",
    ]


def test_validate_reports_the_record_counter(sample):
    replace_header(sample, b"_records:20\n", b"_records:21\n")
    assert tv.validate(sample).problems == ["_records says 21, the frames hold 20"]


# --- rebuild_headers ---------------------------------------------------------

def test_rebuild_headers_sound_file(sample):
    for fix in (False, True):
        report = tv.rebuild_headers(sample, fix)
        assert isinstance(report, tv.RebuildReport)
        assert (report.differences, report.fixed) == ([], False)


def test_rebuild_headers_reports_then_fixes(sample):
    replace_header(sample, b"_records:20\n", b"_records:29\n")
    before = file_bytes(sample)

    report = tv.rebuild_headers(sample)
    assert report.fixed is False
    assert report.differences == ["_records: 29 -> 20"]
    assert file_bytes(sample) == before

    report = tv.rebuild_headers(path=sample, fix=True)
    assert report.fixed is True
    assert report.differences == ["_records: 29 -> 20"]
    assert tv.peek_headers(sample)[1]["_records"] == "20"
    assert tv.rebuild_headers(sample).differences == []
    assert tv.validate(sample).problems == []


# --- repack ------------------------------------------------------------------

def test_repack_defaults_to_cold_level_and_keeps_zone(sample):
    content = bodies(sample)
    size = os.path.getsize(sample)
    report = tv.repack(sample)
    assert isinstance(report, tv.RepackReport)
    assert (report.bytes_before, report.frames) == (size, 2)
    assert report.bytes_after == os.path.getsize(sample)
    preamble, headers = tv.peek_headers(sample)
    assert preamble.header_area == 4096 and preamble.flags == 1
    assert (headers["_compression"], headers["_compression_level"]) == ("zstd", str(tv.COLD_LEVEL))
    assert headers["site"] == "a"
    assert bodies(sample) == content
    assert not os.path.exists(sample + ".repack")


@pytest.mark.parametrize("kwargs,area,level", [
    ({"level": 0}, 4096, "0"),
    ({"level": 1, "header_area": None}, 4096, "1"),
    ({"level": 5, "header_area": 8192}, 8192, "5"),
    ({"header_area": 16777216}, 16777216, "19"),
])
def test_repack_level_and_header_area(sample, kwargs, area, level):
    content = bodies(sample)
    tv.repack(sample, **kwargs)
    preamble, headers = tv.peek_headers(sample)
    assert preamble.header_area == area
    assert headers["_compression_level"] == level
    assert preamble.flags == (0 if level == "0" else 1)
    assert headers["_compression"] == ("none" if level == "0" else "zstd")
    assert bodies(sample) == content
    assert tv.validate(sample).problems == []


@pytest.mark.parametrize("area", [0, 16777217])
def test_repack_refuses_header_area_out_of_range(sample, area):
    before = file_bytes(sample)
    with pytest.raises(tv.TarvelUsageError) as e:
        tv.repack(sample, 3, area)
    assert str(e.value) == f"header zone of {area} bytes is outside 1..=16777216"
    assert file_bytes(sample) == before
    assert not os.path.exists(sample + ".repack")


def test_repack_zone_too_small_leaves_file(sample):
    before = file_bytes(sample)
    with pytest.raises(tv.TarvelZoneFullError) as e:
        tv.repack(sample, header_area=64)
    assert str(e.value).endswith(" bytes, the zone holds 64")
    assert file_bytes(sample) == before
    assert not os.path.exists(sample + ".repack")
