"""Write a container of sensor readings, read it back and check it.

Each record is one reading: sensor number (u32), time in milliseconds (u64)
and value (f64), 20 bytes in all.
"""

import os
import struct
import sys
import tempfile
import time

from tarvel_binary._native import (
    COLD_LEVEL,
    EXTENSION,
    HOT_LEVEL,
    Container,
    FieldSpec,
    RecordLayout,
    Schema,
    split_records,
    validate,
)

READING = struct.Struct("<IQd")

schema = Schema(
    "reading@1",
    [FieldSpec("sensor", "u32", 0), FieldSpec("millis", "u64", 4), FieldSpec("value", "f64", 12)],
    RecordLayout.fixed(READING.size),
)

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "readings." + EXTENSION)
    now = int(time.time() * 1000)

    # Write: three frames of 1000 readings each, then a last, smaller batch
    # that sealing closes into the fourth frame.
    writer = Container.create(
        path, schema, source="example", writer="write_and_read.py",
        created_at_millis=now, user=[("site", "north-field")],
    )
    for frame_id in range(3):
        for i in range(1000):
            n = frame_id * 1000 + i
            writer.append_record(READING.pack(n % 8, now + n, 20.0 + (n % 100) / 10))
        writer.close_frame(frame_id, HOT_LEVEL)
    for i in range(250):
        writer.append_record(READING.pack(i % 8, now + 3000 + i, 18.5))
    writer.seal(3, COLD_LEVEL)
    print("wrote", writer)
    del writer  # closes the file

    # Read it back.
    reader = Container.open_read(path)
    headers = reader.headers()
    print("opened", reader)
    print("  schema  ", reader.schema())
    print("  sealed  ", headers["_sealed"], " site:", headers["site"])
    total = 0.0
    count = 0
    for index, frame in enumerate(reader.frames()):
        records, torn = split_records(reader.read_frame_at(index), schema.layout)
        values = [READING.unpack(r)[2] for r in records]
        total += sum(values)
        count += len(values)
        print(f"  frame {frame.id}: {len(records)} readings in {frame.len} bytes, "
              f"mean {sum(values) / len(values):.2f}")
    print(f"  {count} readings, mean {total / count:.2f}")

    # And check it.
    report = validate(path)
    print("validate:", report.frames, "frames,", report.records, "records,",
          len(report.problems), "problems")
    for problem in report.problems:
        print("  ", problem)
    sys.exit(1 if report.problems else 0)
