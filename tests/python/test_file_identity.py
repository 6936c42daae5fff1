"""A writer is bound to its file: a Container inherited by a forked child,
and a file with more than one name (hard links)."""

import gc
import os

import pytest

from tarvel_binary import _native as tv

SCHEMA = tv.Schema("count@1", [tv.FieldSpec("v", "u32", 0)], tv.RecordLayout.fixed(4))


def rec(i):
    return i.to_bytes(4, "little")


def recs(start, stop):
    return b"".join(rec(i) for i in range(start, stop))


def parent_only(path):
    return f'"{path}" was opened by the parent process; a forked child must open the file itself'


def several_names(path):
    return (f'"{path}" has several names (hard links), so its seal journal would have several '
            f"names too; a writer needs a file with exactly one name")


def test_forked_child_cannot_use_the_parents_container(tmp_path):
    path = str(tmp_path / "f.tarvel")
    w = tv.Container.create(path, SCHEMA, "test", "pytest")
    for i in range(100):
        w.append_record(rec(i))
    go_r, go_w = os.pipe()
    done_r, done_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The child: every method of the inherited object raises, and its
        # release writes nothing of the parent's buffer. Exit code 0 when so.
        code = 10
        try:
            os.close(go_w)
            os.close(done_r)
            os.read(go_r, 1)
            calls = [
                lambda: w.append_record(rec(7)), lambda: w.close_frame(9, 3),
                lambda: w.seal(9, 3), w.flush_data, w.flush_headers,
                lambda: w.set_user_header("note", "x"), lambda: w.read_frame(1),
                lambda: w.read_frame_at(0), w.read_tail, w.records, w.headers, w.frames,
                w.schema, lambda: repr(w), w.__enter__, lambda: w.__exit__(None, None, None),
            ]
            code = 0
            for n, call in enumerate(calls, 1):
                try:
                    call()
                    code = n
                except tv.TarvelUsageError as e:
                    if str(e) != parent_only(path):
                        code = 50 + n
                if code:
                    break
            del calls, call
            del w
            gc.collect()
            os.write(done_w, b"x")
            os.read(go_r, 1)
        finally:
            os._exit(code)
    os.close(go_r)
    os.close(done_w)
    # The parent closes a frame over the place where its buffer stood when
    # the child was made.
    for i in range(100, 200):
        w.append_record(rec(i))
    w.close_frame(1, tv.HOT_LEVEL)
    try:
        os.write(go_w, b"x")
        assert os.read(done_r, 1) == b"x"
        assert w.read_frame(1) == recs(0, 200)
        # With the child still alive, the parent's lock ends with its object.
        del w
        again = tv.Container.open_append(path)
        assert again.read_frame(1) == recs(0, 200)
        assert again.records() == 200
    finally:
        os.close(go_w)  # the child's last read ends
        os.close(done_r)
        _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def test_a_child_that_opens_the_file_itself_writes(tmp_path):
    path = str(tmp_path / "f.tarvel")
    tv.Container.create(path, SCHEMA, "test", "pytest")
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            c = tv.Container.open_append(path)
            c.append_record(rec(1))
            c.close_frame(1, tv.HOT_LEVEL)
            del c
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert tv.Container.open_read(path).read_frame(1) == rec(1)


def test_writers_refuse_a_file_with_several_names(tmp_path):
    a, b = str(tmp_path / "a.tarvel"), str(tmp_path / "b.tarvel")
    c = tv.Container.create(a, SCHEMA, "test", "pytest")
    c.append_record(rec(0))
    c.close_frame(1, tv.HOT_LEVEL)
    del c
    os.link(a, b)
    for name, call in [
        (a, lambda: tv.Container.open_append(a)),
        (b, lambda: tv.Container.open_append(b)),
        (a, lambda: tv.repack(a)),
        (b, lambda: tv.rebuild_headers(b, fix=True)),
    ]:
        with pytest.raises(tv.TarvelUsageError) as e:
            call()
        assert str(e.value) == several_names(name)
    # Readers are no writers.
    assert tv.Container.open_read(b).read_frame(1) == rec(0)
    assert tv.validate(a).problems == []
    os.unlink(b)

    # A name made after the open stops the next close, and nothing is lost.
    w = tv.Container.open_append(a)
    w.append_record(rec(1))
    os.link(a, b)
    with pytest.raises(tv.TarvelUsageError) as e:
        w.close_frame(2, tv.HOT_LEVEL)
    assert str(e.value) == several_names(a)
    assert not os.path.exists(a + ".seal") and not os.path.exists(b + ".seal")
    os.unlink(b)
    w.close_frame(2, tv.HOT_LEVEL)
    assert w.read_frame(2) == rec(1)
