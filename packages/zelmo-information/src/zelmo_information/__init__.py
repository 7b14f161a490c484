"""Plug-in information-theoretic measures on NumPy arrays, computed in C++."""

from . import _core
from ._core import *  # noqa: F401,F403  (the names listed in _core.__all__)

__all__ = list(_core.__all__)
