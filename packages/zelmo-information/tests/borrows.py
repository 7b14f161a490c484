"""Access to the process-wide array borrow registry through its capsule, as a
cooperating extension module would use it (ctypes, holding the GIL)."""

import contextlib
import ctypes

import numpy as np

CAPSULE = "_array_borrow_registry"


class BorrowKey(ctypes.Structure):
    _fields_ = [("base", ctypes.c_size_t), ("start", ctypes.c_size_t), ("end", ctypes.c_size_t)]


_ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object, ctypes.POINTER(BorrowKey))
_RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(BorrowKey))


class _Api(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p), ("acquire_shared", _ACQUIRE),
                ("acquire_exclusive", _ACQUIRE), ("release", _RELEASE)]


def api():
    """The registry's entry points; the registry exists after the first array call."""
    if np.lib.NumpyVersion(np.__version__).major >= 2:
        import numpy._core as core
    else:
        import numpy.core as core
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = _Api.from_address(get_pointer(getattr(core, CAPSULE), CAPSULE.encode()))
    assert table.version >= 1
    return table


def try_exclusive(array):
    """Takes and immediately releases an exclusive borrow; True if it was free."""
    table, key = api(), BorrowKey()
    status = table.acquire_exclusive(table.registry, array, ctypes.byref(key))
    if status == 0:
        table.release(table.registry, ctypes.byref(key))
    return status == 0


@contextlib.contextmanager
def exclusive(array):
    """Holds an exclusive (writable) borrow of `array` for the block."""
    table, key = api(), BorrowKey()
    status = table.acquire_exclusive(table.registry, array, ctypes.byref(key))
    assert status == 0, f"exclusive borrow refused ({status})"
    try:
        yield
    finally:
        table.release(table.registry, ctypes.byref(key))
