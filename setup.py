"""Builds tarvel_binary._native through the project's CMake build.

The module is built by the same CMake targets that the tests use, in a build
directory of its own under build-pip/, and copied into the wheel as
tarvel_binary/_native.abi3.so together with whatever else the CMake build
puts into its tarvel_binary package directory. JOBS sets the number of
build jobs (default: the CPUs this process may run on).
"""

import os
import re
import shutil
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def module_version():
    """The module's __version__, defined once in src/constants.h."""
    text = (ROOT / "src" / "constants.h").read_text(encoding="utf-8")
    return re.search(r'MODULE_VERSION\[\] = "([^"]+)"', text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    def get_ext_filename(self, fullname):
        # One binary for every CPython from 3.9 on.
        return os.path.join(*fullname.split(".")) + ".abi3.so"

    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        self.spawn([
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARVEL_PYTHON=ON",
            "-DTARVEL_TESTS=OFF",
            "-DTARVEL_BENCH=OFF",
            "-DTARVEL_SANITIZE=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ])
        self.spawn([
            "cmake", "--build", str(build_dir), "--target", "_native",
            "-j", os.environ.get("JOBS") or str(len(os.sched_getaffinity(0))),
        ])

        built = build_dir / "python" / "tarvel_binary"
        target = Path(self.get_ext_fullpath(ext.name))
        if not (built / target.name).is_file():
            sys.exit(f"the CMake build made no {built / target.name}")
        target.parent.mkdir(parents=True, exist_ok=True)
        for item in built.iterdir():
            if item.is_file() and item.suffix in (".so", ".py", ".pyi", ".typed"):
                shutil.copy2(item, target.parent / item.name)


# A tarvel_binary directory in the source tree, when there is one, holds the
# package's Python files; the CMake build supplies the rest.
packages = ["tarvel_binary"] if (ROOT / "tarvel_binary").is_dir() else []

setup(
    version=module_version(),
    packages=packages,
    ext_modules=[CMakeExtension("tarvel_binary._native")],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "build": {"build_base": "build-pip"},
        "bdist_wheel": {"py_limited_api": "cp39"},
    },
    zip_safe=False,
)
