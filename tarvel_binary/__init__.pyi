from ._native import *
from ._native import __all__ as __all__
