"""Outcome model of a whole call, for the fuzz and leak suites: binding,
conversion of each parameter, the 1-D views, and which inputs make a measure
fail (panic, or a table that cannot be allocated). Values are not modelled:
an outcome is VALUE or one of the documented exceptions.

Conversions are predicted with the interpreter's own rules: `operator.index`
raises exactly what PyNumber_Index raises, and `math.isnan` converts its
argument with PyFloat_AsDouble."""

import math
import operator
import os

import numpy as np

from conftest import INDEX_0, REQUIRED, SIGNATURES
from models import CONSTANT, automatic_bins, finite_only, sample_range

U64_MAX = 2**64 - 1
MAX_CELLS = 2**60 - 1  # 8-byte counters whose byte size stays within 2**63 - 8

VALUE = ("value", None)
MEMORY = ("MemoryError", None)
ZERO_BINS = ("PanicException", INDEX_0)
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


def bind(name, positional, keywords):
    """The bound value of every parameter (ABSENT where not given), or raises
    Expected for the first binding error."""
    names = [p for p, _, _ in SIGNATURES[name]]
    required = sum(1 for _, _, d in SIGNATURES[name] if d is REQUIRED)
    n, m = len(names), len(positional)
    if m > n:
        raise Expected(TypeError, f"{name}() takes from {required} to {n} positional arguments but {m} were given")
    slots = list(positional) + [ABSENT] * (n - m)
    for key, value in keywords.items():
        if key not in names:
            raise Expected(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if slots[names.index(key)] is not ABSENT:
            raise Expected(TypeError, f"{name}() got multiple values for argument '{key}'")
        slots[names.index(key)] = value
    missing = [f"'{names[i]}'" for i in range(required) if slots[i] is ABSENT]
    if missing:
        listed = " and ".join(missing) if len(missing) < 3 else ", ".join(missing[:-1]) + ", and " + missing[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        raise Expected(TypeError, f"{name}() missing {len(missing)} required positional {noun}: {listed}")
    return slots


def _convert(kind, obj):
    """The converted value, or the exception CPython's conversion raises."""
    if kind in ("a1", "a2"):
        if not (isinstance(obj, np.ndarray) and obj.ndim == int(kind[1]) and obj.dtype == np.float64):
            what = "'None'" if obj is None else f"'{type(obj).__qualname__}' object"
            raise TypeError(f"{what} is not an instance of 'ndarray'")
        return np.ndarray.view(obj, np.ndarray)
    if kind == "f":
        math.isnan(obj)  # PyFloat_AsDouble
        return obj
    if kind == "i":
        v = operator.index(obj)
        if not -(2**63) <= v < 2**63:
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
    """Converted values by parameter (defaults filled in), or raises Expected
    for the first conversion error, wrapped as the frame wraps it."""
    out = {}
    for (param, kind, default), obj in zip(SIGNATURES[name], slots):
        try:
            out[param] = default if obj is ABSENT else _convert(kind, obj)
        except Exception as exc:  # noqa: BLE001
            if type(exc) is TypeError:
                cause = None if exc.__cause__ is None else (type(exc.__cause__), str(exc.__cause__))
                raise Expected(TypeError, f"argument '{param}': {exc}", True, cause) from None
            raise Expected(type(exc), str(exc)) from None
    return out


def predict(name, positional, keywords):
    """The set of allowed outcomes of `name(*positional, **keywords)`."""
    try:
        values = convert(name, bind(name, positional, keywords))
        for param, kind, _ in SIGNATURES[name]:  # views: aligned, C- or F-contiguous
            a = values[param]
            if kind == "a1" and a.size and not (a.flags.aligned and (a.flags.c_contiguous or a.flags.f_contiguous)):
                raise Expected(*AS_SLICE)
    except Expected as exc:
        return {exc.with_traceback(None)}
    return measure_outcomes(name, {p: v.tolist() if isinstance(v, np.ndarray) else v for p, v in values.items()})


# -- the measures' own failures -----------------------------------------------
# A zeroed table is allocated lazily, so sizes up to a few GiB are granted;
# beyond the user address space (2**47 bytes) nothing is. In between it depends
# on the machine, and either outcome is allowed.


def table(cells, counted=True):
    """Allocating `cells` counters and counting at least one value in them."""
    if cells > MAX_CELLS:
        return {CAPACITY}
    out = {None} if cells * 8 <= 2**31 else {MEMORY} if cells * 8 >= 2**47 else {None, MEMORY}
    return out - {None} | {ZERO_BINS} if cells == 0 and counted and None in out else out


def histogram(values, n_bins):
    """histogram_1d: one count for a constant sample, else n_bins counters."""
    return {None} if _constant(values) else table(n_bins)


def pair_table(n_bins):
    return table(n_bins * n_bins if n_bins < 2**32 else 2**64)


def _constant(values):
    lo, hi = sample_range(values)
    return hi - lo < CONSTANT


def _run(*steps):
    possible = set()
    for step in steps:
        result = step()
        possible |= result - {None}
        if None not in result:
            return possible
    return possible | {VALUE}


def measure_outcomes(name, v):
    """Allowed outcomes of the measure on converted values `v` (lists of
    floats, Python ints and floats)."""
    b = v.get("n_bins")
    if name in ("shannon_entropy", "renyi_entropy", "tsallis_entropy"):
        sample = finite_only(v["data"])
        if len(sample) < 2:
            return {VALUE}
        return _run(lambda: histogram(sample, automatic_bins(len(sample)) if b < 0 else b))
    if name in ("kl_divergence", "js_divergence"):
        return _run(lambda: table(b, bool(v["p"] or v["q"])))
    if name in ("hellinger_distance", "total_variation_distance", "cross_entropy"):
        p, q = finite_only(v["p"]), finite_only(v["q"])
        if not p or not q:
            return {VALUE}
        return _run(lambda: table(automatic_bins(max(len(p), len(q))) if b < 0 else b))
    if name not in ("joint_entropy", "conditional_entropy", "information_gain", "mutual_information"):
        return {VALUE}  # hash-counted measures: every numeric input gives a number
    n = min(len(v["x"]), len(v["y"]))
    x, y = v["x"][:n], v["y"][:n]
    if name == "mutual_information":
        if n < 3 or _constant(x) or _constant(y):
            return {VALUE}
        return _run(lambda: pair_table(b), lambda: table(b, False))
    if n < 2:
        return {VALUE}
    steps = {"joint_entropy": [lambda: pair_table(b)],
             "conditional_entropy": [lambda: pair_table(b), lambda: histogram(y, b)],
             "information_gain": [lambda: histogram(x, b), lambda: pair_table(b), lambda: histogram(y, b)]}
    return _run(*steps[name])


def outcome_of(exc):
    """(kind, message) of an exception raised by a measure."""
    if type(exc).__name__ == "PanicException":
        assert len(exc.args) == 1
        return ("PanicException", exc.args[0])
    return MEMORY if type(exc) is MemoryError else (type(exc), str(exc))
