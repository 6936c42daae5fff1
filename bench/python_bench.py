"""The module's Python writer and reader paths beside plain Python references.

  writer: Container.append_record of 32-byte records
          against io.BufferedWriter.write of the same bytes
  reader: Container.read_frame of 1 MiB frames, and read_frame_at of one
          16 MiB frame, against reading the same stored frames and
          decompressing them with the zstandard package
  lists:  Container.frames() and Container.headers() of a file with 262144
          frames, the first call against the calls that follow it

Medians of REPEATS runs, pinned to one core, files on tmpfs (/dev/shm).

Usage: /usr/bin/python3 bench/python_bench.py [BUILD_DIR]   (default: build)
Runs with the module of BUILD_DIR/python; needs python3-zstandard.
"""

import io
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
sys.path.insert(0, str(BUILD / "python"))

import zstandard  # noqa: E402

from tarvel_binary._native import (  # noqa: E402
    HOT_LEVEL,
    Container,
    FieldSpec,
    RecordLayout,
    Schema,
)

RECORD = 32
WRITE_RECORDS = 1_000_000
FRAME_BYTES = 1 << 20
FRAMES = 32
REPEATS = 7

SCHEMA = Schema("bench@1", [FieldSpec("a", "u64", 0), FieldSpec("b", "u64", 8),
                            FieldSpec("c", "uuid", 16)], RecordLayout.fixed(RECORD))


def records(count):
    # A counter, a hashed counter, 8 random bytes and 8 zero bytes: about
    # as compressible as typical measurement records.
    noise = os.urandom(8 * count)
    return [i.to_bytes(8, "little") + (i * 0x9E3779B97F4A7C15 % (1 << 64)).to_bytes(8, "little")
            + noise[8 * i:8 * i + 8] + bytes(8)
            for i in range(count)]


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def median(fn, repeats=REPEATS):
    fn()
    times = sorted(timed(fn) for _ in range(repeats))
    return times[len(times) // 2]


def medians(ours, ref, repeats=REPEATS):
    """Both sides taking turns, so that a busy machine slows both alike."""
    ours(), ref()
    a, b = [], []
    for i in range(repeats):
        if i % 2:
            b.append(timed(ref))
            a.append(timed(ours))
        else:
            a.append(timed(ours))
            b.append(timed(ref))
    a.sort(), b.sort()
    return a[len(a) // 2], b[len(b) // 2]


def bench_writer(tmp, recs):
    n = [0]

    def container():
        n[0] += 1
        c = Container.create(os.path.join(tmp, f"w{n[0]}.tarvel"), SCHEMA, "bench", "bench")
        append = c.append_record
        for r in recs:
            append(r)
        c.flush_data()

    def buffered():
        n[0] += 1
        with open(os.path.join(tmp, f"w{n[0]}.bin"), "wb") as f:
            assert isinstance(f, io.BufferedWriter)
            write = f.write
            for r in recs:
                write(r)

    ours, ref = medians(container, buffered)
    print(f"writer, {len(recs)} records of {RECORD} bytes (median of {REPEATS})")
    print(f"  Container.append_record   {len(recs) / ours:14,.0f} records/s")
    print(f"  io.BufferedWriter.write   {len(recs) / ref:14,.0f} records/s")
    print(f"  ratio append_record / BufferedWriter.write: {ours / ref:.2f} (goal <= 1.3)")


def bench_reader(tmp, recs):
    path = os.path.join(tmp, "r.tarvel")
    per_frame = FRAME_BYTES // RECORD
    c = Container.create(path, SCHEMA, "bench", "bench")
    for frame_id in range(FRAMES):
        for k in range(frame_id * per_frame, (frame_id + 1) * per_frame):
            c.append_record(recs[k % len(recs)])
        c.close_frame(frame_id, HOT_LEVEL)
    del c

    reader = Container.open_read(path)
    frames = reader.frames()
    # The data section starts after the preamble and the header zone.
    with open(path, "rb") as f:
        head = f.read(16)
    data_start = 16 + int.from_bytes(head[8:12], "little")
    fd = os.open(path, os.O_RDONLY)
    dctx = zstandard.ZstdDecompressor()

    def container():
        for fr in frames:
            body = reader.read_frame(fr.id)
            assert len(body) == FRAME_BYTES

    def reference():
        for fr in frames:
            stored = os.pread(fd, fr.len, data_start + fr.offset)
            body = dctx.decompress(stored, max_output_size=FRAME_BYTES)
            assert len(body) == FRAME_BYTES

    try:
        ours, ref = medians(container, reference)
    finally:
        os.close(fd)
    mib = FRAMES * FRAME_BYTES / (1 << 20)
    stored = sum(fr.len for fr in frames) / (1 << 20)
    print(f"reader, {FRAMES} frames of 1 MiB ({stored:.1f} MiB stored, median of {REPEATS})")
    print(f"  Container.read_frame      {mib / ours:10.0f} MiB/s  {FRAMES / ours:8.0f} frames/s")
    print(f"  pread + zstandard         {mib / ref:10.0f} MiB/s  {FRAMES / ref:8.0f} frames/s")
    print(f"  ratio read_frame / zstandard: {ours / ref:.2f}")


def data_start_of(path):
    with open(path, "rb") as f:
        head = f.read(16)
    return 16 + int.from_bytes(head[8:12], "little")


def bench_big_frame(tmp, recs):
    path = os.path.join(tmp, "big.tarvel")
    per_frame = (16 << 20) // RECORD
    c = Container.create(path, SCHEMA, "bench", "bench")
    for k in range(per_frame):
        c.append_record(recs[k % len(recs)])
    c.close_frame(0, HOT_LEVEL)
    del c
    reader = Container.open_read(path)
    (fr,) = reader.frames()
    start = data_start_of(path)
    fd = os.open(path, os.O_RDONLY)
    dctx = zstandard.ZstdDecompressor()
    try:
        ours, ref = medians(lambda: reader.read_frame_at(0),
                            lambda: dctx.decompress(os.pread(fd, fr.len, start + fr.offset),
                                                    max_output_size=16 << 20))
    finally:
        os.close(fd)
    print(f"reader, one 16 MiB frame (median of {REPEATS})")
    print(f"  Container.read_frame_at   {ours * 1e3:10.2f} ms")
    print(f"  pread + zstandard         {ref * 1e3:10.2f} ms")
    print(f"  ratio read_frame_at / zstandard: {ours / ref:.2f}")


def many_frames_file(path, count):
    # One tiny zstd frame repeated, listed in the zone by hand: closing them
    # one at a time would take long.
    c = Container.create(path, SCHEMA, "bench", "bench", header_area=16 << 20)
    del c
    stored = zstandard.ZstdCompressor(level=3, write_checksum=True).compress(bytes(RECORD))
    from tarvel_binary._native import xxh64
    h = f"{xxh64(stored):016x}"
    listed = ";".join(f"{i},{i * len(stored)},{len(stored)},{h}" for i in range(count))
    start = data_start_of(path)
    with open(path, "r+b") as f:
        f.seek(16)
        zone = f.read(start - 16).split(b"\n\n", 1)[0].decode().split("\n")
        lines = []
        for line in zone:
            key = line.split(":", 1)[0]
            if key == "_frames":
                line = "_frames:" + listed
            elif key == "_records":
                line = f"_records:{count}"
            elif key == "_bytes_raw":
                line = f"_bytes_raw:{count * RECORD}"
            lines.append(line)
        text = ("\n".join(lines) + "\n\n").encode()
        f.seek(16)
        f.write(text + bytes(start - 16 - len(text)))
        f.seek(start)
        f.write(stored * count)


def bench_lists(tmp):
    count = 262144
    path = os.path.join(tmp, "many.tarvel")
    many_frames_file(path, count)
    c = Container.open_read(path)
    for name, fn in (("frames", c.frames), ("headers", c.headers)):
        first = time.perf_counter()
        fn()
        first = time.perf_counter() - first
        again = median(fn)
        print(f"Container.{name}() at {count} frames: first call {first * 1e6:9.0f} us,"
              f" later calls {again * 1e6:9.1f} us")


def pin_to_one_core():
    try:
        cpus = os.sched_getaffinity(0)
        cpu = max(cpus)
        os.sched_setaffinity(0, {cpu})
        print(f"pinned to cpu {cpu}")
    except (AttributeError, OSError):
        pass


def main():
    pin_to_one_core()
    recs = records(WRITE_RECORDS)
    tmpdir = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=tmpdir) as tmp:
        bench_writer(tmp, recs)
        bench_reader(tmp, recs)
        bench_big_frame(tmp, recs)
        bench_lists(tmp)


if __name__ == "__main__":
    main()
