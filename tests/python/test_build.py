import shutil
import subprocess

import pytest


def tool_output(*args):
    if shutil.which(args[0]) is None:
        pytest.skip(f"{args[0]} is not installed")
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def test_only_the_entry_point_is_exported(native):
    lines = tool_output("nm", "-D", "--defined-only", native.__file__).splitlines()
    assert [line.split()[-1] for line in lines if line.strip()] == ["PyInit__native"]


def test_zstd_and_the_library_are_linked_in(native):
    assert native.__file__.endswith("_native.abi3.so")
    needed = [line for line in tool_output("readelf", "-d", native.__file__).splitlines()
              if "(NEEDED)" in line]
    assert needed and not any("zstd" in line or "python" in line for line in needed)
