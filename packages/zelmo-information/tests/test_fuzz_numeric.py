"""Property tests over well-formed arrays: continuous, small-integer, constant
and NaN/infinity-laden samples of unequal lengths, every small bin count and
history. Every measure returns a float (or its documented panic for
n_bins = 0), the dependence measures are never negative or NaN, and the
identities users rely on hold exactly.

ZELMO_FUZZ_EXAMPLES sets the number of examples per property."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import AVAILABLE, SIGNATURES, function, same_float
from models import finite_only
from models_reliability import INDEX_0, VALUE, fuzz_examples, measure_outcomes, outcome_of

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0]
NEVER_NEGATIVE = {"mutual_information", "cond_mutual_information", "transfer_entropy", "batch_transfer_entropy_py"}


def values(regime, n):
    if regime == "continuous":
        return st.lists(st.floats(-1e3, 1e3), min_size=n, max_size=n)
    if regime == "wide":
        return st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=n, max_size=n)
    if regime == "small integers":
        return st.lists(st.integers(0, 4).map(float), min_size=n, max_size=n)
    if regime == "special":
        return st.lists(st.one_of(st.integers(-3, 3).map(float), st.sampled_from(SPECIAL)), min_size=n, max_size=n)
    return st.one_of(st.floats(-10, 10), st.sampled_from(SPECIAL)).map(lambda c: [c] * n)  # constant


REGIMES = st.sampled_from(["continuous", "wide", "small integers", "special", "constant"])


@st.composite
def samples(draw, max_size=50, size=None):
    n = draw(st.integers(0, max_size)) if size is None else size
    return np.array(draw(values(draw(REGIMES), n)), dtype=np.float64)


@st.composite
def signals(draw):
    m, length = draw(st.integers(0, 4)), draw(st.integers(0, 30))
    rows = np.array([draw(samples(size=length)) for _ in range(m)], np.float64).reshape(m, length)
    layout = draw(st.sampled_from(["c", "f", "transposed", "reversed"]))
    if layout == "f":
        return np.asfortranarray(rows)
    if layout == "transposed":
        return rows.T.copy().T
    if layout == "reversed":
        return rows[::-1, ::-1].copy()[::-1, ::-1]
    return rows


def n_bins_for(kind):
    return st.integers(0, 40) if kind == "u" else st.integers(-3, 40)


@st.composite
def arguments(draw, name):
    out = {}
    for param, kind, _ in SIGNATURES[name]:
        if kind == "a1":
            out[param] = draw(samples())
        elif kind == "a2":
            out[param] = draw(signals())
        elif param == "history":
            out[param] = draw(st.integers(0, 4))
        elif param == "n_bins":
            out[param] = draw(n_bins_for(kind))
        else:
            out[param] = draw(st.one_of(st.floats(), st.sampled_from([0.5, 1.0, 2.0, math.e, 10.0, -1.0])))
    return out


def check_non_negative(v):
    assert v > 0.0 or same_float(v, 0.0), v


@pytest.mark.parametrize("name", AVAILABLE)
@settings(max_examples=fuzz_examples(40), **SETTINGS)
@given(data=st.data())
def test_results_are_floats_and_only_n_bins_zero_panics(name, data):
    kwargs = data.draw(arguments(name))
    plain = {k: v.tolist() if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}
    (expected,) = measure_outcomes(name, plain)
    try:
        result = function(name)(**kwargs)
    except BaseException as exc:  # noqa: BLE001
        assert outcome_of(exc) == expected == INDEX_0
        return
    assert expected == VALUE
    if name == "batch_transfer_entropy_py":
        m = kwargs["signals"].shape[0]
        assert type(result) is list and len(result) == m
        for i, row in enumerate(result):
            assert type(row) is list and len(row) == m and all(type(v) is float for v in row)
            assert same_float(row[i], 0.0)
            for v in row:
                check_non_negative(v)
        return
    assert type(result) is float
    if name in NEVER_NEGATIVE:
        check_non_negative(result)
    if name in ("shannon_entropy", "joint_entropy") and kwargs.get("base", 2.0) > 1.0:
        assert math.isnan(result) or result >= 0.0  # a sum of -p log p


@settings(max_examples=fuzz_examples(100), **SETTINGS)
@given(x=samples(), n_bins=st.integers(0, 40), history=st.integers(0, 4))
def test_transfer_entropy_of_a_series_with_itself_is_zero(x, n_bins, history):
    assert same_float(function("transfer_entropy")(x, x, n_bins, history), 0.0)
    assert same_float(function("transfer_entropy")(x, x.copy(), n_bins, history), 0.0)
    twins = np.array([x, x])
    assert function("batch_transfer_entropy_py")(twins, n_bins, history) == [[0.0, 0.0], [0.0, 0.0]]


DISTANCES = ["kl_divergence", "js_divergence", "hellinger_distance", "total_variation_distance"]


@pytest.mark.parametrize("name", DISTANCES)
@settings(max_examples=fuzz_examples(60), **SETTINGS)
@given(data=st.data())
def test_identical_samples_are_at_distance_zero(name, data):
    p = data.draw(samples())
    q = p[data.draw(st.permutations(range(len(p))))] if len(p) else p.copy()
    kind = SIGNATURES[name][2][1]
    n_bins = data.draw(n_bins_for(kind).filter(bool))
    for other in (p, q):
        result = function(name)(p, other, n_bins)
        if name in ("hellinger_distance", "total_variation_distance") and not finite_only(p.tolist()):
            assert math.isnan(result)
        else:
            assert same_float(result, 0.0), result


@pytest.mark.parametrize("name", ["js_divergence", "hellinger_distance", "total_variation_distance",
                                  "mutual_information"])
@settings(max_examples=fuzz_examples(60), **SETTINGS)
@given(data=st.data())
def test_symmetric_measures_do_not_depend_on_argument_order(name, data):
    p, q = data.draw(samples()), data.draw(samples())
    n_bins = data.draw(n_bins_for(SIGNATURES[name][2][1]).filter(bool))
    forward, backward = function(name)(p, q, n_bins), function(name)(q, p, n_bins)
    if name == "mutual_information":
        assert abs(forward - backward) <= 1e-12 * max(1.0, forward)
    else:
        assert same_float(forward, backward)


@settings(max_examples=fuzz_examples(100), **SETTINGS)
@given(rows=signals(), n_bins=st.integers(0, 40), history=st.integers(0, 4))
def test_batch_entries_equal_single_transfer_entropy_calls(rows, n_bins, history):
    matrix = function("batch_transfer_entropy_py")(rows, n_bins, history)
    m = rows.shape[0]
    assert len(matrix) == m
    for i in range(m):
        for j in range(m):
            single = 0.0 if i == j else function("transfer_entropy")(
                np.ascontiguousarray(rows[i]), np.ascontiguousarray(rows[j]), n_bins, history)
            assert same_float(matrix[i][j], single), (i, j)
