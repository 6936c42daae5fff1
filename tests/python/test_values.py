import types
import weakref

import pytest

VALUE_CLASSES = ["Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble",
                 "ValidateReport", "RebuildReport", "RepackReport"]


def getset_names(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]


@pytest.fixture
def samples(native, probe, tmp_path):
    """One instance of each value class. Frames and reports come from the
    probe, which builds them as the module's Container and maintenance
    functions do (its classes are copies of the module's)."""
    from conftest import container_file
    preamble, _ = native.peek_headers(container_file(tmp_path / "f.tarvel"))
    validate, rebuild, repack = probe.reports()
    layout = native.RecordLayout.fixed(8)
    return {
        "Schema": native.Schema("s@1", [native.FieldSpec("a", "u8", 0)], layout),
        "FieldSpec": native.FieldSpec("a", "u8", 0),
        "RecordLayout": layout,
        "Frame": probe.frame(1, 2, 3, 4),
        "Preamble": preamble,
        "ValidateReport": validate,
        "RebuildReport": rebuild,
        "RepackReport": repack,
    }


@pytest.mark.parametrize("name, doc, signature, attrs", [
    ("Schema", "What the records in a file look like.", "(name, fields, layout)",
     ["name", "fields", "layout"]),
    ("FieldSpec", "One field of a schema.", "(name, ty, offset)", ["name", "ty", "offset"]),
    ("RecordLayout", "How a record's bytes are delimited inside a frame.", None, ["fixed_size"]),
    ("Frame", "One closed frame in the data section.", None, ["id", "offset", "len", "hash"]),
    ("Preamble", "The fixed binary head of a file.", None, ["version", "flags", "header_area"]),
    ("ValidateReport", "What `validate` found.", None, ["problems", "frames", "records"]),
    ("RebuildReport", "What `rebuild_headers` found and did.", None, ["differences", "fixed"]),
    ("RepackReport", "What `repack` measured.", None, ["bytes_before", "bytes_after", "frames"]),
])
def test_type_objects(native, name, doc, signature, attrs):
    cls = getattr(native, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == \
        ("tarvel_binary._native", name, name)
    assert cls.__doc__ == doc and cls.__text_signature__ == signature
    assert getset_names(cls) == attrs
    assert cls.__base__ is object


@pytest.mark.parametrize("cls, attr, doc", [
    ("Schema", "name", "The schema's name, `name@version` by convention."),
    ("Schema", "fields", "Its fields, in declaration order."),
    ("Schema", "layout", "How records are delimited."),
    ("FieldSpec", "name", "The field's name."),
    ("FieldSpec", "ty", "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n"
     "`f64` or `uuid`."),
    ("FieldSpec", "offset", "Byte offset inside the record."),
    ("RecordLayout", "fixed_size", "Bytes per record, or `None` when records carry a length prefix."),
    ("Frame", "id", "The id the writer gave it. Ids may repeat."),
    ("Frame", "offset", "Byte offset from the start of the data section."),
    ("Frame", "len", "Compressed length."),
    ("Frame", "hash", "XXH64 of the compressed bytes, `0` when the file predates checksums."),
    ("Preamble", "version", "Container format version."),
    ("Preamble", "flags", "Flag bits; bit 0 means the data section is compressed."),
    ("Preamble", "header_area", "Size of the header zone in bytes."),
    ("ValidateReport", "problems", "Everything wrong, empty when the file is sound."),
    ("ValidateReport", "frames", "Closed frames checked."),
    ("ValidateReport", "records", "Records seen in frames and the tail."),
    ("RebuildReport", "differences", "Header values that disagreed with the data."),
    ("RebuildReport", "fixed", "Whether the zone was rewritten."),
    ("RepackReport", "bytes_before", "File size before, bytes."),
    ("RepackReport", "bytes_after", "File size after, bytes."),
    ("RepackReport", "frames", "Frames re-encoded."),
])
def test_attribute_docs(native, cls, attr, doc):
    assert vars(getattr(native, cls))[attr].__doc__ == doc


def test_method_docs(native):
    assert native.Schema.hash_hex.__text_signature__ == "($self)"
    assert native.Schema.hash_hex.__doc__ == \
        "The FNV-1a 64 fingerprint over the field list, as the file stores it."
    assert native.RecordLayout.fixed.__text_signature__ == "(size)"
    assert native.RecordLayout.fixed.__doc__ == "Records of exactly `size` bytes."
    assert native.RecordLayout.prefixed.__text_signature__ == "()"
    assert native.RecordLayout.prefixed.__doc__ == \
        "Records preceded by a little-endian `u16` length."


@pytest.mark.parametrize("name", ["RecordLayout", "Frame", "Preamble", "ValidateReport",
                                  "RebuildReport", "RepackReport"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_construction_refused(native, name, args, kwargs):
    cls = getattr(native, name)
    text = f"^cannot create 'tarvel_binary._native.{name}' instances$"
    with pytest.raises(TypeError, match=text):
        cls(*args, **kwargs)
    with pytest.raises(TypeError, match=text):
        cls.__new__(cls)


@pytest.mark.parametrize("name", VALUE_CLASSES)
def test_instances_are_sealed(native, samples, name):
    obj = samples[name]
    attr = getset_names(type(obj))[0]
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, before)
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert getattr(obj, attr) == before
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Sub", (getattr(native, name),), {})


@pytest.mark.parametrize("name", ["Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble"])
def test_value_classes_compare_by_value_and_are_unhashable(samples, name):
    obj = samples[name]
    assert type(obj).__hash__ is None
    with pytest.raises(TypeError):
        hash(obj)
    assert obj == obj and not obj != obj
    assert obj != (obj,) and not obj == 1
    with pytest.raises(TypeError):
        obj < obj  # noqa: B015
    with pytest.raises(TypeError):
        obj >= obj  # noqa: B015


@pytest.mark.parametrize("name", ["ValidateReport", "RebuildReport", "RepackReport"])
def test_reports_keep_identity(probe, name):
    first = {type(r).__name__: r for r in probe.reports()}[name]
    second = {type(r).__name__: r for r in probe.reports()}[name]
    assert first == first and first != second
    assert {first: 1, second: 2}[first] == 1
    assert repr(first) == f"<tarvel_binary._native.{name} object at {hex(id(first))}>"


def test_report_values(probe):
    validate, rebuild, repack = probe.reports()
    assert (validate.problems, validate.frames, validate.records) == \
        (["first", "second"], 3, 2 ** 64 - 1)
    problems = validate.problems
    problems.append("mine")
    assert validate.problems == ["first", "second"] and validate.problems is not problems
    assert rebuild.differences == ["_records: 1 != 2"] and rebuild.fixed is True
    assert (repack.bytes_before, repack.bytes_after, repack.frames) == (100, 50, 2)


# --- Schema, FieldSpec, RecordLayout ---------------------------------------

@pytest.mark.parametrize("name, ty, text", [
    ("ts", "u64", 'FieldSpec(name="ts", ty="u64", offset=7)'),
    ("", "", 'FieldSpec(name="", ty="", offset=7)'),
    ('a"b\\c', "t\tn\nr\r0\0", 'FieldSpec(name="a\\"b\\\\c", ty="t\\tn\\nr\\r0\\0", offset=7)'),
    ("it's", "\x01\x7f", 'FieldSpec(name="it\'s", ty="\\u{1}\\u{7f}", offset=7)'),
    ("e\u0301", "é日\U0001F600", 'FieldSpec(name="e\\u{301}", ty="é日\U0001F600", offset=7)'),
    ("\u00a0\u200b\u2028", "\ufeff", 'FieldSpec(name="\\u{a0}\\u{200b}\\u{2028}", '
     'ty="\\u{feff}", offset=7)'),
])
def test_field_spec_repr_quotes(native, name, ty, text):
    assert repr(native.FieldSpec(name, ty, 7)) == text


def test_schema_and_layout_reprs(native):
    p = native.RecordLayout.prefixed()
    assert repr(native.Schema("s", [], p)) == 'Schema(name="s", fields=0 field(s))'
    fields = [native.FieldSpec("a", "u8", 0)] * 3
    assert repr(native.Schema('n"\u0301', fields, p)) == \
        'Schema(name="n\\"\\u{301}", fields=3 field(s))'
    assert repr(p) == "RecordLayout.prefixed()"
    assert repr(native.RecordLayout.fixed(0)) == "RecordLayout.fixed(0)"
    assert repr(native.RecordLayout.fixed(4294967295)) == "RecordLayout.fixed(4294967295)"


def test_field_spec_accepts_any_values(native):
    f = native.FieldSpec(name="x", offset=4294967295, ty="not-a-type")
    assert (f.name, f.ty, f.offset) == ("x", "not-a-type", 4294967295)
    with pytest.raises(OverflowError):
        native.FieldSpec("x", "u8", -1)
    with pytest.raises(TypeError, match="^argument 'ty': 'int' object cannot be cast as 'str'$"):
        native.FieldSpec("x", 1, 0)


@pytest.mark.parametrize("size", [0, 1, 4294967295])
def test_record_layout_fixed(native, size):
    layout = native.RecordLayout.fixed(size=size)
    assert layout.fixed_size == size
    assert layout == native.RecordLayout.fixed(size)
    assert layout != native.RecordLayout.prefixed()


def test_record_layout_limits(native):
    assert native.RecordLayout.prefixed().fixed_size is None
    for size in (-1, 4294967296):
        with pytest.raises(OverflowError):
            native.RecordLayout.fixed(size)
    with pytest.raises(TypeError):
        native.RecordLayout.prefixed(1)


@pytest.mark.parametrize("a, b, equal", [
    (("a", "u8", 0), ("a", "u8", 0), True),
    (("a", "u8", 0), ("b", "u8", 0), False),
    (("a", "u8", 0), ("a", "u16", 0), False),
    (("a", "u8", 0), ("a", "u8", 1), False),
    (("é", "u8", 0), ("e\u0301", "u8", 0), False),  # no normalisation
])
def test_field_spec_equality(native, a, b, equal):
    fa, fb = native.FieldSpec(*a), native.FieldSpec(*b)
    assert (fa == fb) is equal and (fa != fb) is not equal


def test_schema_equality(native):
    ts, v = native.FieldSpec("ts", "u64", 0), native.FieldSpec("v", "f64", 8)
    p, f = native.RecordLayout.prefixed(), native.RecordLayout.fixed(16)
    base = native.Schema("s", [ts, v], f)
    assert base == native.Schema("s", (ts, v), native.RecordLayout.fixed(16))
    for other in (native.Schema("t", [ts, v], f), native.Schema("s", [v, ts], f),
                  native.Schema("s", [ts], f), native.Schema("s", [ts, v], p)):
        assert base != other and not base == other


def test_schema_hash_hex(native):
    ts, v = native.FieldSpec("ts", "u64", 0), native.FieldSpec("v", "f64", 8)
    p, f = native.RecordLayout.prefixed(), native.RecordLayout.fixed(16)
    assert native.Schema("s", [], p).hash_hex() == "cbf29ce484222325"
    assert native.Schema("a", [ts, v], p).hash_hex() == "eb5fa341fe6d3a90"
    assert native.Schema("b", [ts, v], f).hash_hex() == "eb5fa341fe6d3a90"
    assert native.Schema("a", [v, ts], p).hash_hex() != "eb5fa341fe6d3a90"
    with pytest.raises(TypeError):
        native.Schema("s", [], p).hash_hex(1)


def test_schema_attributes_are_fresh_copies(native):
    fields = [native.FieldSpec("a", "u8", 0), native.FieldSpec("b", "u8", 1)]
    s = native.Schema("s@1", fields, native.RecordLayout.fixed(2))
    fields.append(native.FieldSpec("c", "u8", 2))  # the schema took a copy
    first, second = s.fields, s.fields
    assert first == second == fields[:2] and first is not second
    assert first[0] is not second[0]
    first.clear()
    assert len(s.fields) == 2
    assert s.layout == native.RecordLayout.fixed(2) and s.layout is not s.layout
    assert s.name == "s@1"


@pytest.mark.parametrize("fields, text", [
    ("", "argument 'fields': Can't extract `str` to `Vec`"),
    ("ab", "argument 'fields': Can't extract `str` to `Vec`"),
    ((x for x in []), "argument 'fields': 'generator' object cannot be cast as 'Sequence'"),
    ({}, "argument 'fields': 'dict' object cannot be cast as 'Sequence'"),
    ([None], "argument 'fields': 'NoneType' object cannot be cast as 'FieldSpec'"),
])
def test_schema_fields_refused(native, fields, text):
    with pytest.raises(TypeError) as info:
        native.Schema("s", fields, native.RecordLayout.prefixed())
    assert str(info.value) == text


def test_schema_arguments_converted_in_order(native):
    # The first failing argument decides.
    with pytest.raises(TypeError, match="^argument 'name'"):
        native.Schema(1, "", 2)
    with pytest.raises(TypeError, match="^argument 'layout': 'int' object cannot be cast as "
                       "'RecordLayout'$"):
        native.Schema("s", [native.FieldSpec("a", "u8", 0)], 1)
    schema = native.Schema(layout=native.RecordLayout.prefixed(), fields=[], name="")
    assert schema.fields == [] and schema.name == ""


# --- Frame and Preamble ------------------------------------------------------

@pytest.mark.parametrize("values, text", [
    ((1, 2, 3, 0), "Frame(id=1, offset=2, len=3, hash=0x0000000000000000)"),
    ((0, 0, 0, 0xabc), "Frame(id=0, offset=0, len=0, hash=0x0000000000000abc)"),
    ((2 ** 64 - 1,) * 4, "Frame(id=18446744073709551615, offset=18446744073709551615, "
     "len=18446744073709551615, hash=0xffffffffffffffff)"),
])
def test_frame_repr(probe, values, text):
    frame = probe.frame(*values)
    assert repr(frame) == text
    assert (frame.id, frame.offset, frame.len, frame.hash) == values


def test_frame_equality(probe):
    base = probe.frame(1, 2, 3, 4)
    assert base == probe.frame(1, 2, 3, 4)
    for i in range(4):
        values = [1, 2, 3, 4]
        values[i] += 1
        assert base != probe.frame(*values)
    assert base != (1, 2, 3, 4)


def test_preamble_from_peek_headers(native, tmp_path):
    from conftest import container_file
    preamble, _ = native.peek_headers(container_file(tmp_path / "a", flags=1))
    assert repr(preamble) == "Preamble(version=1, flags=1, header_area=4096)"
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, 1, 4096)
    same, _ = native.peek_headers(container_file(tmp_path / "b", flags=1))
    other, _ = native.peek_headers(container_file(tmp_path / "c", flags=1, header_area=4097))
    assert preamble == same and preamble is not same and preamble != other
