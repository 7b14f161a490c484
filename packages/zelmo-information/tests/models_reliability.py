"""Outcome model of a whole call, for the fuzz suites: binding, conversion of
each parameter, the 1-D views, and the failures of the measures (which inputs
panic, which tables cannot be allocated). Values themselves are not modelled
here; the outcome is either VALUE or one of the documented exceptions.

Conversions are predicted with the interpreter's own rules: `operator.index`
raises exactly what PyNumber_Index raises, and `math.isnan` converts its
argument with PyFloat_AsDouble."""

import math
import operator
import os

import numpy as np

from conftest import REQUIRED, SIGNATURES
from models import CONSTANT, automatic_bins, finite_only, sample_range

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
U64_MAX = 2**64 - 1
MAX_CELLS = 2**60 - 1  # 8-byte counters whose byte size stays within 2**63 - 8

VALUE = ("value", None)
MEMORY = ("MemoryError", None)
INDEX_0 = ("PanicException", "index out of bounds: the len is 0 but the index is 0")
CAPACITY = ("PanicException", "capacity overflow")
AS_SLICE = ("PanicException", "called `Result::unwrap()` on an `Err` value: AsSliceError")

ABSENT = object()


def fuzz_examples(default):
    """Examples per property: ZELMO_FUZZ_EXAMPLES overrides the CI budget."""
    return int(os.environ.get("ZELMO_FUZZ_EXAMPLES", default))


class Expected(Exception):
    """The exception a call is predicted to raise: its exact type, message and
    (for wrapped argument errors) the type and text of its __cause__."""

    def __init__(self, kind, message, wrapped=False, cause=None):
        super().__init__(kind, message)
        self.kind, self.message, self.wrapped, self.cause = kind, message, wrapped, cause


# -- binding ------------------------------------------------------------------


def _quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return " and ".join(q)
    return ", ".join(q[:-1]) + ", and " + q[-1]


def bind(name, positional, keywords):
    """The bound value of every parameter (ABSENT where not given), or raises
    Expected for the first binding error."""
    names = [p for p, _, _ in SIGNATURES[name]]
    required = sum(1 for _, _, d in SIGNATURES[name] if d is REQUIRED)
    n, m = len(names), len(positional)
    if m > n:
        verb = "was" if m == 1 else "were"
        raise Expected(TypeError, f"{name}() takes from {required} to {n} positional arguments but {m} {verb} given")
    slots = list(positional) + [ABSENT] * (n - m)
    for key, value in keywords.items():
        if key not in names:
            raise Expected(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        i = names.index(key)
        if slots[i] is not ABSENT:
            raise Expected(TypeError, f"{name}() got multiple values for argument '{key}'")
        slots[i] = value
    missing = [names[i] for i in range(required) if slots[i] is ABSENT]
    if m < required and missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise Expected(TypeError, f"{name}() missing {len(missing)} required positional {noun}: {_quoted(missing)}")
    return slots


# -- conversion ---------------------------------------------------------------


def is_float64_array(obj, ndim):
    return isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == np.dtype(np.float64)


def _convert(kind, obj):
    """The converted value, or the exception CPython's conversion raises."""
    if kind in ("a1", "a2"):
        if not is_float64_array(obj, 1 if kind == "a1" else 2):
            what = "'None'" if obj is None else f"'{type(obj).__qualname__}' object"
            raise TypeError(f"{what} is not an instance of 'ndarray'")
        return np.ndarray.view(obj, np.ndarray)
    if kind == "f":
        math.isnan(obj)  # PyFloat_AsDouble
        return obj
    if kind == "i":
        v = operator.index(obj)
        if not I64_MIN <= v <= I64_MAX:
            raise OverflowError("Python int too large to convert to C long")
        return v
    # unsigned: an int is converted directly, anything else through __index__
    v = int.__index__(obj) if isinstance(obj, int) else operator.index(obj)
    if v < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if v > U64_MAX:
        raise OverflowError("int too big to convert")
    return v


def convert(name, slots):
    """Converted values in parameter order (defaults filled in), or raises
    Expected for the first conversion error, wrapped as the frame wraps it."""
    out = {}
    for (param, kind, default), obj in zip(SIGNATURES[name], slots):
        if obj is ABSENT:
            out[param] = default
            continue
        try:
            out[param] = _convert(kind, obj)
        except Exception as exc:  # noqa: BLE001
            if type(exc) is TypeError:
                cause = exc.__cause__
                raise Expected(TypeError, f"argument '{param}': {exc}", True,
                               None if cause is None else (type(cause), str(cause))) from None
            raise Expected(type(exc), str(exc)) from None
    return out


def check_views(name, values):
    """A non-empty 1-D array must be aligned and C- or F-contiguous."""
    for param, kind, _ in SIGNATURES[name]:
        a = values[param]
        if kind == "a1" and a.size and not (a.flags.aligned and (a.flags.c_contiguous or a.flags.f_contiguous)):
            raise Expected(*AS_SLICE)


def predict(name, positional, keywords):
    """The set of allowed outcomes of `name(*positional, **keywords)`."""
    try:
        values = convert(name, bind(name, positional, keywords))
        check_views(name, values)
    except Expected as exc:
        return {exc.with_traceback(None)}
    plain = {}
    for param, kind, _ in SIGNATURES[name]:
        v = values[param]
        plain[param] = v.tolist() if kind in ("a1", "a2") else v
    return measure_outcomes(name, plain)


# -- the measures' own failures -----------------------------------------------

# A zeroed table is allocated lazily, so sizes up to a few GiB are granted;
# beyond the user address space (2**47 bytes) nothing is. In between it depends
# on the machine, and either outcome is allowed.


def allocation(nbytes):
    if nbytes <= 2**31:
        return {None}
    if nbytes >= 2**47:
        return {MEMORY}
    return {None, MEMORY}


def _constant(values):
    lo, hi = sample_range(values)
    return hi - lo < CONSTANT


def histogram(values, n_bins):
    """histogram_1d: a one-count table for a constant sample, else n_bins counters."""
    if _constant(values):
        return {None}
    if n_bins > MAX_CELLS:
        return {CAPACITY}
    out = allocation(n_bins * 8)
    return out - {None} | {INDEX_0} if n_bins == 0 and None in out else out


def pair_table(n_bins):
    """The dense n_bins x n_bins table, counted with at least one pair."""
    if n_bins >= 2**32 or n_bins * n_bins > MAX_CELLS:
        return {CAPACITY}
    out = allocation(n_bins * n_bins * 8)
    return out - {None} | {INDEX_0} if n_bins == 0 and None in out else out


def paired_histograms(n_bins, elements):
    """Two tables of n_bins counters on one grid; `elements` to count in all."""
    if n_bins > MAX_CELLS:
        return {CAPACITY}
    out = allocation(n_bins * 8)
    return out - {None} | {INDEX_0} if n_bins == 0 and elements and None in out else out


def _run(*steps):
    possible = set()
    for step in steps:
        result = step()
        possible |= result - {None}
        if None not in result:
            return possible
    return possible | {VALUE}


def measure_outcomes(name, v):
    """Allowed outcomes of the measure on converted values `v` (lists of floats,
    Python ints and floats)."""
    if name in ("shannon_entropy", "renyi_entropy", "tsallis_entropy"):
        sample = finite_only(v["data"])
        if len(sample) < 2:
            return {VALUE}
        b = automatic_bins(len(sample)) if v["n_bins"] < 0 else v["n_bins"]
        return _run(lambda: histogram(sample, b))
    if name in ("kl_divergence", "js_divergence"):
        return _run(lambda: paired_histograms(v["n_bins"], len(v["p"]) + len(v["q"])))
    if name in ("hellinger_distance", "total_variation_distance", "cross_entropy"):
        p, q = finite_only(v["p"]), finite_only(v["q"])
        if not p or not q:
            return {VALUE}
        b = automatic_bins(max(len(p), len(q))) if v["n_bins"] < 0 else v["n_bins"]
        return _run(lambda: paired_histograms(b, len(p) + len(q)))
    if name in ("joint_entropy", "conditional_entropy", "information_gain", "mutual_information"):
        x, y, b = v["x"], v["y"], v["n_bins"]
        n = min(len(x), len(y))
        x, y = x[:n], y[:n]
        if name == "joint_entropy":
            return {VALUE} if n < 2 else _run(lambda: pair_table(b))
        if name == "conditional_entropy":
            return {VALUE} if n < 2 else _run(lambda: pair_table(b), lambda: histogram(y, b))
        if name == "information_gain":
            return {VALUE} if n < 2 else _run(lambda: histogram(x, b), lambda: pair_table(b), lambda: histogram(y, b))
        if n < 3 or _constant(x) or _constant(y):
            return {VALUE}
        return _run(lambda: pair_table(b), lambda: allocation(b * 8))
    # Hash-counted measures: every numeric input gives a number.
    return {VALUE}



def outcome_of(exc):
    """(kind, message) of an exception raised by a measure."""
    if type(exc).__name__ == "PanicException":
        assert len(exc.args) == 1
        return ("PanicException", exc.args[0])
    if type(exc) is MemoryError:
        return MEMORY
    return (type(exc), str(exc))
