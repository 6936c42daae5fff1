"""Read every record of a container back: the closed frames, then the raw tail.

Usage: read_records.py [PATH]

Reads the readings (the 20-byte records of write_and_read.py) of the file at
PATH. Without PATH it first writes a small file of its own, with two closed
frames and a last batch of records that is still in the raw tail, as a
writer leaves a file that it has not sealed yet.
"""

import os
import struct
import sys
import tempfile

from tarvel_binary import HOT_LEVEL, Container, FieldSpec, RecordLayout, Schema

READING = struct.Struct("<IQd")  # sensor (u32), millis (u64), value (f64)


def read_records(path, record=READING):
    """Every record of the file at `path`, unpacked, in file order."""
    reader = Container.open_read(path)
    for index in range(len(reader.frames())):
        yield from record.iter_unpack(reader.read_frame_at(index))
    # Records appended since the last frame close are in the raw tail, not in
    # a frame: leaving it out would lose them without a word.
    yield from record.iter_unpack(reader.read_tail())


def write_demo(path):
    """Two frames of 1000 readings, then 250 readings left in the raw tail."""
    schema = Schema(
        "reading@1",
        [FieldSpec("sensor", "u32", 0), FieldSpec("millis", "u64", 4),
         FieldSpec("value", "f64", 12)],
        RecordLayout.fixed(READING.size),
    )
    writer = Container.create(path, schema, source="example", writer="read_records.py")
    for n in range(2250):
        writer.append_record(READING.pack(n % 8, 1700000000000 + n, n / 10))
        if n in (999, 1999):
            writer.close_frame(n // 1000, HOT_LEVEL)
    # `with` writes the buffered records to the file when the block ends; the
    # file itself is closed when the object goes.
    with writer:
        pass
    del writer


def main(argv):
    if len(argv) > 1:
        path = argv[1]
        readings = list(read_records(path))
        print(f"{path}: {len(readings)} records")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "readings.tarvel")
        write_demo(path)
        readings = list(read_records(path))
        in_frames = Container.open_read(path).records()
        print(f"read {len(readings)} records: {in_frames} in frames, "
              f"{len(readings) - in_frames} in the raw tail")
        assert [r[1] for r in readings] == [1700000000000 + n for n in range(2250)]
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
