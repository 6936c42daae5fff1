"""Lists this directory's pytest tests as CTest entries, one per test.

Usage: collect_tests.py OUTPUT

Writes one `tarvel_pytest(<name> <node id>)` call per collected test into
OUTPUT, both as CMake bracket arguments, for the CTest script of
tests/python/CMakeLists.txt to include. The name is the node id, except that
a case id longer than LONGEST_CASE_ID characters (pytest derives them from the
case's values, messages included) is replaced by the case's position, so
that CTest's lines stay readable; pytest's own report of a failure still
shows the whole id. When collection fails (the module is
not built, pytest is missing, a test file does not import), prints pytest's
report and exits with its status, writing nothing.
"""

import contextlib
import io
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
LONGEST_CASE_ID = 48


def bracket(text):
    """`text` as a CMake bracket argument, whatever brackets it holds."""
    level = 0
    while True:
        close = "]" + "=" * level + "]"
        # The argument ends at the first closing sequence, which must be ours.
        if (text + close).find(close) == len(text):
            return "[" + "=" * level + "[" + text + close
        level += 1


def ctest_names(node_ids):
    positions = {}
    for node_id in node_ids:
        base, bracket_open, case = node_id.partition("[")
        position = positions.get(base, 0)
        positions[base] = position + 1
        if bracket_open and len(case) - 1 > LONGEST_CASE_ID:
            yield f"{base}[#{position}]"
        else:
            yield node_id


class Collector:
    def __init__(self):
        self.ids = []

    def pytest_collection_modifyitems(self, items):
        self.ids = [item.nodeid for item in items]


def main(output):
    import pytest

    collector = Collector()
    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        status = pytest.main(
            ["--collect-only", "-q", "-p", "no:cacheprovider", "--rootdir", HERE, HERE],
            plugins=[collector])
    if status != 0 or not collector.ids:
        sys.stderr.write(report.getvalue())
        return int(status) or 1
    with open(output, "w", encoding="utf-8") as out:
        for name, node_id in zip(ctest_names(collector.ids), collector.ids):
            out.write(f"tarvel_pytest({bracket(name)} {bracket(node_id)})\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
