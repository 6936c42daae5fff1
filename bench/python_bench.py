"""The module's Python writer and reader paths beside plain Python references.

  writer: Container.append_record of 32-byte records
          against io.BufferedWriter.write of the same bytes
  reader: Container.read_frame of 1 MiB frames
          against reading the same stored frames and decompressing them
          with the zstandard package

Usage: python3 bench/python_bench.py [BUILD_DIR]   (default: build)
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
REPEATS = 5

SCHEMA = Schema("bench@1", [FieldSpec("a", "u64", 0), FieldSpec("b", "u64", 8),
                            FieldSpec("c", "uuid", 16)], RecordLayout.fixed(RECORD))


def records(count):
    # A counter, a hashed counter, 8 random bytes and 8 zero bytes: about
    # as compressible as typical measurement records.
    noise = os.urandom(8 * count)
    return [i.to_bytes(8, "little") + (i * 0x9E3779B97F4A7C15 % (1 << 64)).to_bytes(8, "little")
            + noise[8 * i:8 * i + 8] + bytes(8)
            for i in range(count)]


def best(fn):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


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

    ours, ref = best(container), best(buffered)
    print(f"writer, {len(recs)} records of {RECORD} bytes (best of {REPEATS})")
    print(f"  Container.append_record   {len(recs) / ours:14,.0f} records/s")
    print(f"  io.BufferedWriter.write   {len(recs) / ref:14,.0f} records/s")
    print(f"  ratio append_record / BufferedWriter.write: {ref / ours:.2f}")


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
        ours, ref = best(container), best(reference)
    finally:
        os.close(fd)
    mib = FRAMES * FRAME_BYTES / (1 << 20)
    stored = sum(fr.len for fr in frames) / (1 << 20)
    print(f"reader, {FRAMES} frames of 1 MiB ({stored:.1f} MiB stored, best of {REPEATS})")
    print(f"  Container.read_frame      {mib / ours:10.0f} MiB/s  {FRAMES / ours:8.0f} frames/s")
    print(f"  pread + zstandard         {mib / ref:10.0f} MiB/s  {FRAMES / ref:8.0f} frames/s")
    print(f"  ratio read_frame / zstandard: {ref / ours:.2f}")


def main():
    recs = records(WRITE_RECORDS)
    with tempfile.TemporaryDirectory() as tmp:
        bench_writer(tmp, recs)
        bench_reader(tmp, recs)


if __name__ == "__main__":
    main()
