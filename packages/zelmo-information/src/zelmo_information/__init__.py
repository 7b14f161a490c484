"""Plug-in information-theoretic measures on NumPy arrays, computed in C++."""

from . import _core
from ._core import *  # noqa: F401,F403  (the names listed in _core.__all__)

__all__ = list(_core.__all__)

# The installed distribution's version. It is looked up on first access:
# importing importlib.metadata would cost more than the rest of this import.
__version__: str

TYPE_CHECKING = False  # type checkers take it as true; spares importing typing
if not TYPE_CHECKING:

    def __getattr__(name):
        if name != "__version__":
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from importlib import metadata

        try:
            version = metadata.version("zelmo-information")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            version = "0+unknown"
        globals()["__version__"] = version
        return version


del TYPE_CHECKING
