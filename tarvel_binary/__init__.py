"""Container files of binary records: the names of the extension module."""

from . import _native
from ._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__
