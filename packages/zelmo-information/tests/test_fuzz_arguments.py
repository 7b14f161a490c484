"""Property tests over the argument layer of every function: arbitrary Python
objects and arrays of every dtype, byte order, shape, stride and alignment,
positionally or by keyword, against models_reliability's model of the whole
call: the predicted value kind or exception with its exact message, no lost
reference, every borrow released. ZELMO_FUZZ_EXAMPLES sets the budget."""

import decimal
import functools
import fractions
import gc
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from borrows import try_exclusive
from conftest import AVAILABLE, REQUIRED, SIGNATURES, Float, Index, function, reference_counts
from models_reliability import VALUE, Expected, fuzz_examples, outcome_of, predict

function("shannon_entropy")(np.zeros(2), 1)  # creates the borrow registry that try_exclusive reads


SubTypeError = type("SubTypeError", (TypeError,), {})
MyFloat = type("MyFloat", (float,), {})
FuzzArray = type("FuzzArray", (np.ndarray,), {})


class IndexAndFloat(Index):
    """__float__ wins for a float parameter; __index__ serves the integers."""

    def __init__(self, index, flt):
        super().__init__(index)
        self.flt = flt

    def __float__(self):
        return self.flt


class MyInt(int):
    def __index__(self):  # never consulted: an int converts directly
        raise AssertionError("__index__ of an int subclass was called")


# Recipes for a fresh exception (type, message, cause type) on every call.
RAISING = st.sampled_from([(TypeError, "plain"), (TypeError, "caused", KeyError), (SubTypeError, "sub"),
                           (ValueError, "value"), (ValueError, "value, caused", KeyError), (OverflowError, "overflow"),
                           (ZeroDivisionError, "zero division")])
# Integers: small ones, ones at or beyond the table limits, and any size, but
# never a bin count whose table would be granted and then walked for seconds.
BIG_INTS = st.sampled_from([2**22, 2**25, 2**30 - 1, 2**30, 2**31, 2**32 - 1, 2**32, 2**33, 2**44, 2**50, 2**59,
                            2**60 - 1, 2**60, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**70, 10**30,
                            -1, -(2**31), -(2**63), -(2**63) - 1, -(2**64), -(10**30)])
PAIR_TABLES = {"joint_entropy", "conditional_entropy", "information_gain", "mutual_information"}
HASHED = {"cond_mutual_information", "transfer_entropy", "batch_transfer_entropy_py"}


@functools.cache
def ints(name):
    lo, hi = (2**12, 2**22) if name in PAIR_TABLES else (0, 0) if name in HASHED else (2**23, 2**44)
    return st.one_of(st.sampled_from([0, 1]), st.integers(-40, 64), st.integers(-300, 300), BIG_INTS,
                     st.integers()).filter(lambda v: not lo <= v < hi)


FLOATS = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.0, 2.0, math.e, math.inf, -math.inf, math.nan, 5e-324]))


def _cast(t, v):
    with np.errstate(over="ignore"):
        return t(v)


NUMPY_SCALARS = st.one_of(
    st.builds(lambda t, v: t(v), st.sampled_from([np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16,
                                                  np.uint32, np.uint64, np.intp]), st.integers(0, 100)),
    st.builds(np.int64, st.integers(-(2**63), 2**63 - 1)),
    st.builds(np.uint64, st.integers(0, 2**64 - 1)),
    st.builds(_cast, st.sampled_from([np.float16, np.float32, np.float64, np.longdouble]), FLOATS),
    st.builds(lambda t, v: _cast(t, complex(v, 1.0)), st.sampled_from([np.complex64, np.complex128]), FLOATS),
    st.sampled_from([np.True_, np.False_, np.datetime64("2020-01-01"), np.timedelta64(3, "s"), np.str_("3"),
                     np.bytes_(b"3"), np.array(3), np.array(2.5), np.array([2.0]), np.array([1, 2])]),
)


@functools.cache
def anything(name):
    """Any object: arrays, NumPy scalars, numbers, and what no parameter wants."""
    return st.one_of(
        arrays(), NUMPY_SCALARS, ints(name), FLOATS,
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


FLOAT64_DTYPES = [np.float64, "<f8", "=f8", "d"]
OTHER_DTYPES = [">f8", np.float32, np.float16, np.longdouble, np.int8, np.int32, np.int64, np.uint8, np.uint64,
                np.bool_, np.complex64, np.complex128, object, "U2", "S2", "M8[s]", "m8[s]", [("a", "f8")], "V8"]
ELEMENTS = st.one_of(st.integers(-3, 3).map(float), st.floats(-1e3, 1e3),
                     st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e300, -1e300, 5e-324]))
LAYOUTS = ["c"] * 12 + ["f", "step", "reverse", "unaligned", "broadcast", "transpose", "offset"]


@st.composite
def arrays(draw, ndim=None):
    ndim = draw(st.sampled_from([1, 1, 1, 2, 2, 0, 3])) if ndim is None else ndim
    shape = tuple(draw(st.integers(0, lim)) for lim in {0: [], 1: [40], 2: [5, 30], 3: [3, 3, 3]}[ndim])
    dtype = np.dtype(draw(st.sampled_from(FLOAT64_DTYPES if draw(st.integers(0, 5)) else OTHER_DTYPES)))
    size = math.prod(shape)
    values = np.zeros(shape, dtype)
    if dtype == np.float64:
        values[...] = np.array(draw(st.lists(ELEMENTS, min_size=size, max_size=size))).reshape(shape)
    layout = draw(st.sampled_from(LAYOUTS))
    if layout == "f":
        out = np.asfortranarray(values)
    elif layout == "step" and ndim:
        out = np.zeros(shape[:-1] + (2 * shape[-1],), dtype)[..., ::2]
        out[...] = values
    elif layout == "reverse" and ndim:
        out = values[::-1].copy()[::-1]
    elif layout == "unaligned" and dtype.itemsize > 1 and not dtype.hasobject:
        offset = draw(st.integers(1, dtype.itemsize - 1))
        out = np.zeros(size * dtype.itemsize + offset, np.uint8)[offset:].view(dtype).reshape(shape)
        out[...] = values
    elif layout == "broadcast" and size:
        out = np.broadcast_to(values.flat[0], shape)
    elif layout == "transpose" and ndim > 1:
        out = values.T.copy().T
    elif layout == "offset":
        out = np.zeros(size + 1, dtype)[1:].reshape(shape)
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


@functools.cache
def right_kind(kind, name):
    """Values of the kind a parameter wants, most of them valid."""
    if kind[0] == "a":
        return arrays(ndim=int(kind[1]))
    if kind == "f":
        return st.one_of(FLOATS, ints(name), st.sampled_from([np.float64(2.0), np.float32(0.5), True, Float(2.5)]))
    return st.one_of(ints(name), st.builds(Index, ints(name)), st.builds(np.int64, st.integers(-300, 300)),
                     st.booleans())


KEYWORD_NOISE = st.sampled_from(["bogus", "N_bins", "n_bins ", "data", "x", "p", "signals", "history", "base", "é"])


@st.composite
def calls(draw, name):
    params = SIGNATURES[name]
    pool = []  # arrays drawn so far, so that one buffer can be passed twice

    def value(kind):
        if pool and kind[0] == "a" and draw(st.integers(0, 4)) == 0:
            again = draw(st.sampled_from(pool))  # the same array, or another view of its memory
            return draw(st.sampled_from([again, again[...], again[1:] if again.ndim else again]))
        if draw(st.integers(0, 7)):
            v = draw(right_kind(kind, name))
        else:
            v = draw(anything(name))
        if isinstance(v, np.ndarray):
            pool.append(v)
        return v

    required = sum(1 for _, _, d in params if d is REQUIRED)
    n_pos = draw(st.integers(required, len(params)) if draw(st.integers(0, 9)) else st.integers(0, len(params) + 2))
    positional = [value(params[i][1] if i < len(params) else "a1") for i in range(n_pos)]
    keywords = {param: value(kind) for i, (param, kind, _) in enumerate(params)
                if draw(st.integers(0, 30 if i < n_pos else 1)) == 0}
    if draw(st.integers(0, 25)) == 0:
        keywords[draw(KEYWORD_NOISE)] = 1
    order = draw(st.permutations(list(keywords)))
    return positional, {k: keywords[k] for k in order}


def check_outcome(name, allowed, result, error):
    frame_errors = [e for e in allowed if isinstance(e, Expected)]
    if frame_errors:
        (expected,) = frame_errors
        assert error is not None, f"expected {expected.kind}: {expected.message}, got {result!r}"
        kind = type(error).__name__ if expected.kind == "PanicException" else type(error)
        assert kind == expected.kind and str(error) == expected.message and len(error.args) == 1
        if expected.wrapped:
            cause = error.__cause__
            assert error.__suppress_context__ and (cause and (type(cause), str(cause))) == expected.cause
    elif error is not None:
        assert outcome_of(error) in allowed, f"expected one of {allowed}, got {error!r}"
    else:
        assert VALUE in allowed, f"expected one of {allowed}, got {result!r}"
        # A float, or a square matrix of floats with a zero diagonal; the
        # dependence measures are never negative or NaN, whatever the bin count.
        if name == "batch_transfer_entropy_py":
            assert type(result) is list and all(type(row) is list and len(row) == len(result) for row in result)
            assert all(type(v) is float and v >= 0.0 for row in result for v in row)
            assert all(row[i] == 0.0 for i, row in enumerate(result))
        else:
            assert type(result) is float
            assert result >= 0.0 or name not in ("mutual_information", "cond_mutual_information", "transfer_entropy")


@pytest.mark.parametrize("name", AVAILABLE)
@settings(max_examples=fuzz_examples(50), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_any_arguments_give_the_predicted_outcome(name, data):
    positional, keywords = data.draw(calls(name))
    arguments = positional + list(keywords.values())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # No cycle collection between the counts (it could free an old
        # traceback holding a shared argument).
        gc.disable()
        try:
            allowed = predict(name, positional, keywords)
            before = reference_counts(arguments)
            result = error = None
            try:
                result = function(name)(*positional, **keywords)
            except BaseException as exc:  # noqa: BLE001
                error = exc
            check_outcome(name, allowed, result, error)
            del error, result
            assert reference_counts(arguments) == before
        finally:
            gc.enable()
    assert all(try_exclusive(a) for a in arguments if isinstance(a, np.ndarray))
