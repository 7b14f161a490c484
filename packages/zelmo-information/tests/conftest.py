import contextlib
import math
import struct
import sys

import numpy as np
import pytest

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from zelmo_information import _core  # noqa: E402

# Every function of the module: parameters in order as (name, kind, default),
# kind one of "a1" (1-D array), "a2" (2-D array), "i" (signed), "u"
# (unsigned), "f" (float); REQUIRED marks a parameter without default.
REQUIRED = object()
SIGNATURES = {
    "mutual_information": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 16)],
    "transfer_entropy": [("source", "a1", REQUIRED), ("target", "a1", REQUIRED), ("n_bins", "u", 16), ("history", "u", 1)],
    "batch_transfer_entropy_py": [("signals", "a2", REQUIRED), ("n_bins", "u", 16), ("history", "u", 1)],
    "cond_mutual_information": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("z", "a1", REQUIRED), ("n_bins", "u", 16)],
    "shannon_entropy": [("data", "a1", REQUIRED), ("n_bins", "i", REQUIRED), ("base", "f", 2.0)],
    "renyi_entropy": [("data", "a1", REQUIRED), ("alpha", "f", 2.0), ("n_bins", "i", -1), ("base", "f", 2.0)],
    "tsallis_entropy": [("data", "a1", REQUIRED), ("q", "f", 2.0), ("n_bins", "i", -1)],
    "conditional_entropy": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "joint_entropy": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "kl_divergence": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "u", 10)],
    "js_divergence": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "u", 10)],
    "information_gain": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "cross_entropy": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1), ("base", "f", 2.0)],
    "hellinger_distance": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1)],
    "total_variation_distance": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1)],
}
ALL_NAMES = list(SIGNATURES)
AVAILABLE = [name for name in ALL_NAMES if name in _core.__all__]


def function(name):
    return getattr(_core, name)


def valid_arguments(name, length=8):
    """Well-formed positional arguments for every parameter of `name`."""
    rng = np.random.default_rng(len(name))
    out = []
    for _, kind, default in SIGNATURES[name]:
        if kind == "a1":
            out.append(rng.normal(size=length))
        elif kind == "a2":
            out.append(rng.normal(size=(3, length)))
        elif kind == "i":
            out.append(-1 if default is REQUIRED else default)
        else:
            out.append(default)
    return out


def panic_type():
    """The PanicException type (created on first use, so provoke it once)."""
    try:
        _core.shannon_entropy(np.array([0.0, 1.0]), 0)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("n_bins = 0 did not panic")


@contextlib.contextmanager
def raises_panic(message):
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)


def bits(x):
    return struct.pack("<d", x)


def same_float(a, b):
    """Bit-for-bit equality (NaN equals NaN, 0.0 differs from -0.0)."""
    assert isinstance(a, float)
    if math.isnan(a) and math.isnan(b):
        return True
    return bits(a) == bits(b)
