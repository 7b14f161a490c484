"""renyi_entropy and tsallis_entropy: the power sums over non-empty bins,
the Shannon fall-backs near order 1, signs of zero, and agreement with the
reference model."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import models
import models_divergence as md
from borrows import try_exclusive
from conftest import _core, raises_panic, same_float

R = _core.renyi_entropy
T = _core.tsallis_entropy
A = np.array
NAN, INF = math.nan, math.inf
FOUR = A([1.0, 2.0, 3.0, 4.0])  # four bins of count 1 with n_bins = 4
SKEWED = A([0.0, 0.0, 0.0, 1.0, 0.4, 0.45, 0.2])  # 10 bins: counts 3, 0, 1, 0, 2, 0, ..., 1


# -- worked values ------------------------------------------------------------


def test_four_equal_bins():
    assert same_float(R(FOUR, alpha=2.0, n_bins=4), 2.0)
    assert same_float(R(FOUR, alpha=0.0, n_bins=4), 2.0)  # log2 of the non-empty bins
    assert same_float(T(FOUR, q=2.0, n_bins=4), 0.75)
    assert same_float(T(FOUR, q=1.0, n_bins=4), 1.3862943611198906)  # ln 4, in nats
    assert same_float(R(FOUR, 2.0, 4, math.e), math.log(0.25) / ((1.0 - 2.0) * math.log(math.e)))
    assert R(FOUR, 2.0, 4, 0.5) == -2.0
    assert same_float(R(FOUR, 2.0, 4, 1.0), INF)  # ln(1/4) / -0.0
    assert math.isnan(R(FOUR, 2.0, 4, -2.0))


def test_defaults_are_order_two_base_two_and_automatic_bins():
    data = np.random.default_rng(1).normal(size=1000)
    assert same_float(R(data), R(data, 2.0, 31, 2.0))
    assert same_float(T(data), T(data, 2.0, 31))
    assert not same_float(R(data), R(data, 2.0, 32))
    padded = np.concatenate([data[:50], [NAN, INF, -INF] * 40])  # 50 finite values
    assert same_float(R(padded, 3.0, -9), R(data[:50], 3.0, 10))
    assert same_float(T(padded, 3.0, -9), T(data[:50], 3.0, 10))


def test_negative_orders_skip_empty_bins_and_stay_finite():
    # counts [3, 0, 0, 1] of 4: p = 0.75 and 0.25; the empty bins are never raised to -1.
    data = A([0.0, 0.0, 0.0, 1.0])
    s = 1.0 / 0.75 + 1.0 / 0.25
    assert R(data, -1.0, 4) == pytest.approx(math.log2(s) / 2.0, rel=1e-15)
    assert T(data, -1.0, 4) == pytest.approx((1.0 - s) / -2.0, rel=1e-15)
    for order in (-0.5, -3.0, -40.0):
        assert math.isfinite(R(SKEWED, order, 10)) and math.isfinite(T(SKEWED, order, 10))


def test_nan_order_gives_nan():
    assert math.isnan(R(SKEWED, NAN)) and math.isnan(T(SKEWED, NAN))
    assert math.isnan(R(A([2.0, 2.0]), NAN)) and math.isnan(T(A([2.0, 2.0]), NAN))


# -- the Shannon fall-backs ---------------------------------------------------


@pytest.mark.parametrize("offset", [0.0, 5e-11, -5e-11, 9e-11])
@pytest.mark.parametrize("base", [2.0, math.e, 10.0])
def test_orders_within_tolerance_of_one_are_exactly_shannon(offset, base):
    for data, n_bins in ((SKEWED, 10), (FOUR, 4), (SKEWED, -1)):
        assert same_float(R(data, 1.0 + offset, n_bins, base), _core.shannon_entropy(data, n_bins, base))
        counts = models.histogram_1d(list(data), 10 if n_bins < 0 else n_bins)
        assert same_float(T(data, 1.0 + offset, n_bins), models.entropy_nats(counts))


@pytest.mark.parametrize("offset", [2e-10, -2e-10, 1e-6])
def test_orders_just_outside_the_tolerance_use_the_power_sum(offset):
    shannon = _core.shannon_entropy(SKEWED, 10)
    renyi = R(SKEWED, 1.0 + offset, 10)
    assert not same_float(renyi, shannon)
    assert renyi == pytest.approx(shannon, rel=1e-4)
    assert same_float(renyi, md.renyi_entropy(list(SKEWED), 1.0 + offset, 10))
    tsallis = T(SKEWED, 1.0 + offset, 10)
    assert tsallis == pytest.approx(shannon * math.log(2.0), rel=1e-4)
    assert same_float(tsallis, md.tsallis_entropy(list(SKEWED), 1.0 + offset, 10))


# -- degenerate samples -------------------------------------------------------


@pytest.mark.parametrize("data", [[], [1.0], [NAN, 2.0, -INF], [INF, INF], [NAN]])
def test_fewer_than_two_finite_values_give_nan(data):
    data = A(data, dtype=float)
    for n_bins in (-1, 0, 3, 2**62):
        for order in (2.0, 1.0, -1.0):
            assert math.isnan(R(data, order, n_bins)) and math.isnan(T(data, order, n_bins))


@pytest.mark.parametrize(
    "call,expected",
    [
        (lambda d: R(d), -0.0),  # ln 1 over a negative denominator
        (lambda d: R(d, 0.5), 0.0),
        (lambda d: R(d, 3.0, -1, 0.5), 0.0),  # both factors of the denominator flip
        (lambda d: R(d, 1.0), 0.0),  # Shannon fall-back
        (lambda d: T(d), 0.0),
        (lambda d: T(d, 0.5), -0.0),
        (lambda d: T(d, 1.0), 0.0),
    ],
)
def test_constant_samples_give_zero_with_a_definite_sign(call, expected):
    for data in (A([7.0, 7.0, 7.0]), A([1.0, 1.0 + 1e-13, NAN]), A([-0.0, 0.0])):
        assert same_float(call(data), expected)


def test_zero_bins_fail_only_for_a_non_constant_sample():
    for f in (R, T):
        with raises_panic("index out of bounds: the len is 0 but the index is 0"):
            f(A([0.0, 1.0]), 2.0, 0)
    assert same_float(R(A([3.0, 3.0]), 2.0, 0), -0.0)
    assert same_float(T(A([3.0, 3.0]), 2.0, 0), 0.0)


def test_huge_bin_counts_overflow_or_raise_memory_error():
    data = A([0.0, 1.0, 2.0])
    for f in (R, T):
        for n_bins in (2**60, 2**63 - 1):
            with raises_panic("capacity overflow"):
                f(data, 2.0, n_bins)
        with pytest.raises(MemoryError):
            f(data, 2.0, 2**59)
        assert try_exclusive(data)
    assert same_float(R(A([5.0, 5.0]), 2.0, 2**62), -0.0)  # one-count histogram


# -- against the reference model ----------------------------------------------

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e6, 1e6),
    st.integers(-4, 4).map(float),
    st.sampled_from([0.0, -0.0, 0.3, 0.7, 5e-324, NAN, INF, -INF]),
)
orders = st.one_of(
    st.sampled_from([0.0, 1.0, 1.0 + 5e-11, 1.0 - 5e-11, 1.0 + 2e-10, -1.0, 2.0, 0.5, math.e, 10.0,
                     NAN, INF, -INF, 1e300, -1e300, 1e-320]),
    st.floats(-60.0, 60.0),
)
bases = st.sampled_from([2.0, math.e, 10.0, 0.0, 1.0, 0.5, -2.0, NAN, INF, 1.0 + 5e-11])
n_bins_values = st.one_of(st.integers(-3, 40), st.sampled_from([-(2**63), 2**60]))


def check(model, call):
    try:
        expected = model()
    except models.Panic as p:
        with raises_panic(str(p)):
            call()
        return
    assert same_float(call(), expected)


@settings(max_examples=300, deadline=None)
@given(st.lists(values, max_size=50), orders, n_bins_values, bases)
def test_renyi_agrees_with_model_to_the_last_bit(data, alpha, n_bins, base):
    check(lambda: md.renyi_entropy(data, alpha, n_bins, base), lambda: R(A(data, dtype=float), alpha, n_bins, base))


@settings(max_examples=300, deadline=None)
@given(st.lists(values, max_size=50), orders, n_bins_values)
def test_tsallis_agrees_with_model_to_the_last_bit(data, q, n_bins):
    check(lambda: md.tsallis_entropy(data, q, n_bins), lambda: T(A(data, dtype=float), q, n_bins))


def test_agree_with_model_on_larger_samples():
    rng = np.random.default_rng(7)
    data = np.concatenate([rng.exponential(size=2000), rng.integers(0, 6, 300).astype(float), [NAN, -INF]])
    rng.shuffle(data)
    listed = list(data)
    for n_bins in (-1, 3, 500):
        for order in (0.0, 0.5, 2.0, 3.5, -2.0):
            assert same_float(R(data, order, n_bins, 10.0), md.renyi_entropy(listed, order, n_bins, 10.0))
            assert same_float(T(data, order, n_bins), md.tsallis_entropy(listed, order, n_bins))
