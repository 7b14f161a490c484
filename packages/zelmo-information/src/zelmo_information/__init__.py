"""Plug-in information-theoretic measures on NumPy arrays, computed in C++."""

from . import _core
from ._core import *  # noqa: F401,F403  (the names listed in _core.__all__)

__all__ = list(_core.__all__)

# The installed distribution's version. It is looked up on first access:
# importing importlib.metadata would cost more than the rest of this import.
__version__: str

TYPE_CHECKING = False  # type checkers take it as true; spares importing typing
if TYPE_CHECKING:

    class PanicException(BaseException):
        """Raised when the native code meets a broken internal invariant (an
        index beyond a table, a table size that overflows, an array that
        cannot be viewed). It derives from BaseException, so a handler for
        Exception does not catch it."""

else:

    def _version():
        from importlib import metadata

        try:
            return metadata.version("zelmo-information")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            return "0+unknown"

    def _panic_type():
        # The extension modules make the type on first use and share it; asking
        # for it here makes it if no panic has yet, so that it can be named in
        # an except clause and a caught instance pickles by reference to it.
        from ._network import _panic_exception

        return _panic_exception()

    _LAZY = {"__version__": _version, "PanicException": _panic_type}

    def __getattr__(name):
        if name not in _LAZY:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = globals()[name] = _LAZY[name]()
        return value


del TYPE_CHECKING
