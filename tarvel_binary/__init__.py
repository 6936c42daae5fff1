"""Container files of binary records: the names of the extension module."""

import importlib.util
import pkgutil

# In a source checkout this directory holds only the Python files, and it
# comes first on sys.path when Python starts in the checkout's root; the
# extension module is in the build tree (build/python/tarvel_binary) or in an
# installed copy of the package. Every tarvel_binary directory on sys.path
# therefore joins this package's path, so that the module is found wherever
# it is.
__path__ = pkgutil.extend_path(__path__, __name__)

if importlib.util.find_spec(__name__ + "._native") is None:
    raise ImportError(
        "tarvel_binary._native is not built or not on the path: build it with "
        "./setup.sh (or cmake -S . -B build && cmake --build build) and run with "
        "PYTHONPATH=build/python, or install the package (see README.md)",
        name=__name__ + "._native")

from . import _native  # noqa: E402
from ._native import *  # noqa: E402,F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__
