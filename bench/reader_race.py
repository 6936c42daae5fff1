"""Readers beside a writer that closes small frames back to back.

A writer process appends a few records and closes them into a frame, again
and again, for SECONDS seconds. Beside it this process reads every record of
the file as the README does it (open_read, every frame, then the raw tail),
in a loop, and checks each record against the one the writer wrote at that
place. It prints, for a file on tmpfs (/dev/shm) and one on the disk (the
system's temporary directory):

  closes/s      frame closes the writer made per second
  complete      share of read attempts that returned every record
  longest gap   the longest time without a completed read (the start and the
                end of the run count as completions)
  longest read  the longest time one completed read took, which bounds the
                gap from below as the file grows
  longest close the longest frame close of the writer: a reader that meets
                it in flight waits at least that long
  wrong         records returned that are not the writer's (must be 0)
  errors        the messages of the attempts that failed, with their counts

Usage: /usr/bin/python3 bench/reader_race.py [BUILD_DIR [SECONDS]]
       (defaults: build, 8). Runs with the module of BUILD_DIR/python.
"""

import collections
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
sys.path.insert(0, str(BUILD / "python"))

from tarvel_binary import HOT_LEVEL, Container, FieldSpec, RecordLayout, Schema  # noqa: E402

# Each record holds its own position and a value derived from it, so a
# record out of place or made of other bytes shows.
RECORD = struct.Struct("<QQ")
SCHEMA = Schema("race@1", [FieldSpec("n", "u64", 0), FieldSpec("check", "u64", 8)],
                RecordLayout.fixed(RECORD.size))
# Room for the frames list of tens of thousands of closes.
HEADER_AREA = 1 << 20


def record_at(n):
    return RECORD.pack(n, n * 0x9E3779B97F4A7C15 % (1 << 64))


def write(path, seconds):
    """The writer: batches of 1 to 16 records, each closed into a frame."""
    writer = Container.open_append(path)
    deadline = time.monotonic() + seconds
    n = closes = 0
    longest = 0.0
    while time.monotonic() < deadline:
        for _ in range(1 + closes % 16):
            writer.append_record(record_at(n))
            n += 1
        closes += 1
        began = time.monotonic()
        writer.close_frame(closes, HOT_LEVEL)
        longest = max(longest, time.monotonic() - began)
    print(closes, longest)


def read_records(path, record=RECORD):
    reader = Container.open_read(path)
    for index in range(len(reader.frames())):
        yield from record.iter_unpack(reader.read_frame_at(index))
    yield from record.iter_unpack(reader.read_tail())


def race(directory, seconds):
    path = os.path.join(directory, f"reader_race_{os.getpid()}.tarvel")
    try:
        created = Container.create(path, SCHEMA, "bench", "reader_race.py",
                                   header_area=HEADER_AREA)
        del created
        writer = subprocess.Popen(
            [sys.executable, __file__, str(BUILD), "--writer", path, str(seconds)],
            stdout=subprocess.PIPE, text=True)
        # The writer's first close, so that the reads begin beside a live writer.
        while not Container.open_read(path).frames():
            time.sleep(0.001)
        attempts = completed = wrong = 0
        errors = collections.Counter()
        start = last = time.monotonic()
        gap = 0.0
        longest = 0.0
        while writer.poll() is None:
            attempts += 1
            began = time.monotonic()
            try:
                got = list(read_records(path))
            except Exception as e:  # noqa: BLE001 - every failure is counted
                errors[f"{type(e).__name__}: {e}".replace(path, "<path>")] += 1
                continue
            now = time.monotonic()
            longest = max(longest, now - began)
            wrong += sum(1 for n, (a, b) in enumerate(got) if RECORD.pack(a, b) != record_at(n))
            completed += 1
            gap = max(gap, now - last)
            last = time.monotonic()
        end = time.monotonic()
        gap = max(gap, end - last)
        report = writer.stdout.read()
        if writer.wait() != 0:
            raise SystemExit("the writer failed")
        closes, longest_close = report.split()
        return {
            "closes/s": int(closes) / (end - start),
            "longest close": float(longest_close),
            "attempts": attempts,
            "complete": completed / attempts if attempts else 0.0,
            "gap": gap,
            "longest": longest,
            "wrong": wrong,
            "errors": errors,
        }
    finally:
        for p in (path, path + ".seal"):
            try:
                os.remove(p)
            except FileNotFoundError:
                pass


def main(argv):
    if len(argv) > 2 and argv[2] == "--writer":
        write(argv[3], float(argv[4]))
        return 0
    seconds = float(argv[2]) if len(argv) > 2 else 8.0
    places = [("tmpfs", "/dev/shm"), ("disk", tempfile.gettempdir())]
    print(f"README recipe in a loop beside a writer closing small frames, {seconds:g} s each")
    print(f"{'place':<8}{'closes/s':>10}{'attempts':>10}{'complete':>10}{'longest gap':>13}"
          f"{'longest read':>14}{'longest close':>15}{'wrong':>7}")
    for name, directory in places:
        r = race(directory, seconds)
        print(f"{name:<8}{r['closes/s']:>10.0f}{r['attempts']:>10}{r['complete']:>10.1%}"
              f"{r['gap']:>12.3f}s{r['longest']:>13.3f}s{r['longest close']:>14.3f}s"
              f"{r['wrong']:>7}")
        for message, count in r["errors"].most_common():
            print(f"    {count:>6} x {message}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
