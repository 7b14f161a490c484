"""Property tests over the argument layer of every function: arbitrary Python
objects and arrays of every dtype, byte order, shape, stride and alignment,
given positionally or by keyword, against a model of the whole call (binding,
conversion, views, the measure's own failures). Every outcome is either the
predicted value kind or the predicted exception, with its exact message;
nothing crashes, no reference is lost and every borrow is released.

ZELMO_FUZZ_EXAMPLES sets the number of examples per function."""

import contextlib
import decimal
import fractions
import gc
import math
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from borrows import try_exclusive
from conftest import AVAILABLE, REQUIRED, SIGNATURES, function
from models_reliability import VALUE, Expected, fuzz_examples, outcome_of, predict

# The first array call creates the borrow registry that try_exclusive reads.
function("shannon_entropy")(np.zeros(2), 1)

# -- objects that are not what a parameter wants ------------------------------


class SubTypeError(TypeError):
    pass


def _fresh(recipe):
    """A new exception from (type, message, cause type or None)."""
    kind, message, cause = recipe
    exc = kind(message)
    if cause is not None:
        exc.__cause__ = cause(f"cause of {message}")
    return exc


class Index:
    """__index__ returns `result` or raises a fresh exception from a recipe."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, tuple):
            raise _fresh(self.result)
        return self.result

    def __repr__(self):
        return f"Index({self.result!r})"


class Float:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, tuple):
            raise _fresh(self.result)
        return self.result

    def __repr__(self):
        return f"Float({self.result!r})"


class IndexAndFloat(Index, Float):
    """__float__ wins for a float parameter; __index__ serves the integers."""

    def __init__(self, index, flt):
        Index.__init__(self, index)
        self.flt = flt

    def __float__(self):
        return self.flt


class MyInt(int):
    def __index__(self):  # never consulted: an int converts directly
        raise AssertionError("__index__ of an int subclass was called")


class MyFloat(float):
    pass


class FuzzArray(np.ndarray):
    pass


RAISING = st.sampled_from([
    (TypeError, "plain type error", None),
    (TypeError, "type error with a cause", KeyError),
    (SubTypeError, "subclass of TypeError", None),
    (ValueError, "value error", None),
    (ValueError, "value error with a cause", KeyError),
    (OverflowError, "overflow", None),
    (ZeroDivisionError, "zero division", None),
])

# Integers: small ones, ones at or beyond the table limits, and any size, but
# never a bin count whose table would be granted and then walked for seconds.
BIG_INTS = st.sampled_from([
    2**22, 2**25, 2**30 - 1, 2**30, 2**31, 2**32 - 1, 2**32, 2**33, 2**44, 2**50, 2**59,
    2**60 - 1, 2**60, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**70, 10**30,
    -1, -(2**31), -(2**63), -(2**63) - 1, -(2**64), -(10**30),
])
ONE_D_TABLES = {"shannon_entropy", "renyi_entropy", "tsallis_entropy", "kl_divergence", "js_divergence",
                "hellinger_distance", "total_variation_distance", "cross_entropy"}
PAIR_TABLES = {"joint_entropy", "conditional_entropy", "information_gain", "mutual_information"}


def fast(name, v):
    if name in ONE_D_TABLES:
        return not 2**23 <= v < 2**44
    if name in PAIR_TABLES:
        return not 2**12 <= v < 2**22
    return True


def ints(name):
    return st.one_of(st.sampled_from([0, 1]), st.integers(-40, 64), st.integers(-300, 300), BIG_INTS,
                     st.integers()).filter(lambda v: fast(name, v))


FLOATS = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.0, 2.0, math.e, math.inf, -math.inf, math.nan, 5e-324]))


def _cast(t, v):
    with np.errstate(over="ignore"):
        return t(v)


NUMPY_SCALARS = st.one_of(
    st.builds(lambda t, v: t(v), st.sampled_from([np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16,
                                                  np.uint32, np.uint64, np.intp]), st.integers(0, 100)),
    st.builds(lambda t, v: t(v), st.sampled_from([np.int64]), st.integers(-(2**63), 2**63 - 1)),
    st.builds(lambda v: np.uint64(v), st.integers(0, 2**64 - 1)),
    st.builds(lambda t, v: _cast(t, v), st.sampled_from([np.float16, np.float32, np.float64, np.longdouble]), FLOATS),
    st.builds(lambda t, v: _cast(t, complex(v, 1.0)), st.sampled_from([np.complex64, np.complex128]), FLOATS),
    st.sampled_from([np.True_, np.False_, np.datetime64("2020-01-01"), np.timedelta64(3, "s"), np.str_("3"),
                     np.bytes_(b"3"), np.array(3), np.array(2.5), np.array([2.0]), np.array([1, 2])]),
)


def other_objects(name):
    return st.one_of(
        st.sampled_from([None, True, False, "", "3", b"3", [], [1.0, 2.0], (1.0,), {}, {"a": 1}, object(), int, 1j,
                         decimal.Decimal("2.5"), fractions.Fraction(5, 2), range(3), memoryview(b"12345678")]),
        st.text(max_size=3),
        st.lists(FLOATS, max_size=4),
        st.builds(Index, st.one_of(ints(name), RAISING, st.sampled_from(["3", 2.0, True, np.int64(3), None]))),
        st.builds(Float, st.one_of(FLOATS, RAISING, st.sampled_from(["3", 2, True, np.float64(2.0), None]))),
        st.builds(IndexAndFloat, ints(name), FLOATS),
        st.builds(MyInt, ints(name)),
        st.builds(MyFloat, FLOATS),
    )


# -- arrays -------------------------------------------------------------------

FLOAT64_DTYPES = [np.float64, "<f8", "=f8", "d"]
OTHER_DTYPES = [">f8", np.float32, np.float16, np.longdouble, np.int8, np.int32, np.int64, np.uint8, np.uint64,
                np.bool_, np.complex64, np.complex128, object, "U2", "S2", "M8[s]", "m8[s]", [("a", "f8")], "V8"]
ELEMENTS = st.one_of(st.integers(-3, 3).map(float), st.floats(-1e3, 1e3),
                     st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e300, -1e300, 5e-324]))
LAYOUTS = ["c"] * 12 + ["f", "step", "reverse", "unaligned", "broadcast", "transpose", "offset"]


def _unaligned(values, dtype, offset):
    raw = np.zeros(values.size * values.itemsize + offset, np.uint8)
    out = raw[offset:].view(dtype).reshape(values.shape)
    out[...] = values
    return out


@st.composite
def arrays(draw, ndim=None):
    if ndim is None:
        ndim = draw(st.sampled_from([1, 1, 1, 2, 2, 0, 3]))
    limits = {0: [], 1: [40], 2: [5, 30], 3: [3, 3, 3]}[ndim]
    shape = tuple(draw(st.integers(0, lim)) for lim in limits)
    float64 = draw(st.integers(0, 5)) > 0
    dtype = np.dtype(draw(st.sampled_from(FLOAT64_DTYPES if float64 else OTHER_DTYPES)))
    size = math.prod(shape)
    if dtype == np.float64:
        values = np.array(draw(st.lists(ELEMENTS, min_size=size, max_size=size)), np.float64).reshape(shape)
    else:
        values = np.zeros(shape, dtype)
    layout = draw(st.sampled_from(LAYOUTS))
    if layout == "f":
        out = np.asfortranarray(values)
    elif layout == "step" and ndim:
        wide = np.zeros(shape[:-1] + (2 * shape[-1],), dtype)
        out = wide[..., ::2]
        out[...] = values
    elif layout == "reverse" and ndim:
        out = values[::-1].copy()[::-1]
    elif layout == "unaligned" and dtype.itemsize > 1 and not dtype.hasobject:
        out = _unaligned(values, dtype, draw(st.integers(1, dtype.itemsize - 1)))
    elif layout == "broadcast" and size:
        out = np.broadcast_to(values.flat[0], shape)
    elif layout == "transpose" and ndim > 1:
        out = values.T.copy().T
    elif layout == "offset":
        wide = np.zeros(size + 1, dtype)
        out = wide[1:].reshape(shape)
        out[...] = values
    else:
        out = np.ascontiguousarray(values)
    if draw(st.booleans()):
        out.flags.writeable = False
    wrapper = draw(st.sampled_from(["plain", "plain", "sub", "masked", "record", "matrix"]))
    if wrapper == "sub":
        out = out.view(FuzzArray)
    elif wrapper == "masked":
        out = np.ma.MaskedArray(out)
    elif wrapper == "record" and dtype.names is None:
        out = out.view(np.recarray)
    elif wrapper == "matrix" and ndim == 2 and not dtype.hasobject:
        out = out.view(np.matrix)
    return out


def right_kind(kind, name):
    """Values of the kind a parameter wants, most of them valid."""
    if kind == "a1":
        return arrays(ndim=1)
    if kind == "a2":
        return arrays(ndim=2)
    if kind == "f":
        return st.one_of(FLOATS, ints(name), st.sampled_from([np.float64(2.0), np.float32(0.5), True, Float(2.5)]))
    return st.one_of(ints(name), st.builds(Index, ints(name)), st.builds(np.int64, st.integers(-300, 300)),
                     st.booleans())


def anything(name):
    return st.one_of(arrays(), NUMPY_SCALARS, other_objects(name), ints(name), FLOATS)


KEYWORD_NOISE = st.sampled_from(["bogus", "N_bins", "n_bins ", "data", "x", "p", "signals", "history", "base", "é"])


@st.composite
def calls(draw, name):
    params = SIGNATURES[name]
    pool = []  # arrays drawn so far, so that one buffer can be passed twice

    def value(kind):
        if pool and kind in ("a1", "a2") and draw(st.integers(0, 4)) == 0:
            again = draw(st.sampled_from(pool))  # the same array, or another view of its memory
            return draw(st.sampled_from([again, again[...], again[1:] if again.ndim else again]))
        v = draw(right_kind(kind, name)) if draw(st.integers(0, 7)) else draw(anything(name))
        if isinstance(v, np.ndarray):
            pool.append(v)
        return v

    required = sum(1 for _, _, d in params if d is REQUIRED)
    n_pos = draw(st.integers(required, len(params)) if draw(st.integers(0, 9)) else st.integers(0, len(params) + 2))
    positional = [value(params[i][1] if i < len(params) else "a1") for i in range(n_pos)]
    keywords = {}
    for i, (param, kind, _) in enumerate(params):
        if draw(st.integers(0, 30 if i < n_pos else 1)) == 0:
            keywords[param] = value(kind)
    if draw(st.integers(0, 25)) == 0:
        keywords[draw(KEYWORD_NOISE)] = 1
    order = draw(st.permutations(list(keywords)))
    return positional, {k: keywords[k] for k in order}


@contextlib.contextmanager
def collector_paused():
    """Reference counts are compared around a call: no cycle collection (which
    could free an old traceback holding a shared argument) in between."""
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def check_result(name, result):
    """A float, or a square matrix of floats with a zero diagonal; the
    dependence measures are never negative or NaN, whatever the bin count."""
    if name == "batch_transfer_entropy_py":
        assert type(result) is list
        for i, row in enumerate(result):
            assert type(row) is list and len(row) == len(result)
            assert all(type(v) is float and v >= 0.0 for v in row)
            assert row[i] == 0.0
    else:
        assert type(result) is float
        if name in ("mutual_information", "cond_mutual_information", "transfer_entropy"):
            assert result >= 0.0


def check_frame_error(expected, exc):
    if expected.kind == "PanicException":
        assert type(exc).__name__ == "PanicException" and exc.args == (expected.message,)
        return
    assert type(exc) is expected.kind
    assert str(exc) == expected.message
    if expected.wrapped:
        assert exc.__suppress_context__
        cause = exc.__cause__
        assert (None if cause is None else (type(cause), str(cause))) == expected.cause


@pytest.mark.parametrize("name", AVAILABLE)
@settings(max_examples=fuzz_examples(50), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_any_arguments_give_the_predicted_outcome(name, data):
    positional, keywords = data.draw(calls(name))
    arguments = positional + list(keywords.values())
    with warnings.catch_warnings(), collector_paused():
        warnings.simplefilter("ignore")
        allowed = predict(name, positional, keywords)
        before = [sys.getrefcount(a) for a in arguments]
        result = error = None
        try:
            result = function(name)(*positional, **keywords)
        except BaseException as exc:  # noqa: BLE001
            error = exc
        frame_errors = [e for e in allowed if isinstance(e, Expected)]
        if frame_errors:
            (expected,) = frame_errors
            assert error is not None, f"expected {expected.kind}: {expected.message}, got {result!r}"
            check_frame_error(expected, error)
        elif error is None:
            assert VALUE in allowed, f"expected one of {allowed}, got {result!r}"
            check_result(name, result)
        else:
            assert outcome_of(error) in allowed, f"expected one of {allowed}, got {error!r}"
        del error, result
        assert [sys.getrefcount(a) for a in arguments] == before
    for a in arguments:
        if isinstance(a, np.ndarray):
            assert try_exclusive(a)
