"""shannon_entropy and the equal-width histogram it bins with."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import models
from conftest import _core, raises_panic, same_float
from borrows import try_exclusive

H = _core.shannon_entropy
A = np.array
NAN, INF = math.nan, math.inf


def entropy_of_counts(counts):
    return models.entropy_nats(counts) / math.log(2.0)


# -- the width rule, seen through the entropy ---------------------------------


def test_bin_edges_follow_the_width_rule():
    # (0.3 - 0) / 0.1 = 2.9999999999999996: bin 2, so 0.3 and 0.35 stay apart
    # (the scaled rule would put both in bin 3 and give 1.5 bits).
    assert H(A([0.0, 0.3, 0.35, 1.0]), 10) == 2.0
    # The maximum joins the last bin: [1]*9 + [2].
    assert same_float(H(np.arange(11.0), 10), entropy_of_counts([1] * 9 + [2]))
    # lo 0, width 0.75: 1, 2, 3, 4 land in bins 0..3 with 4 clamped.
    assert H(A([1.0, 2.0, 3.0, 4.0]), 4) == 2.0


def test_non_finite_values_are_dropped_before_binning():
    assert same_float(H(A([0.0, 1.0, INF, NAN, 2.0, 3.0]), 4), H(A([0.0, 1.0, 2.0, 3.0]), 4))
    assert same_float(H(A([-INF, 5.0, NAN, 7.0]), 2), 1.0)
    assert same_float(H(A([-0.0, 0.0, 5e-324, 1.0]), 2), entropy_of_counts([3, 1]))


@pytest.mark.parametrize("data", [[], [1.0], [1.0, NAN, INF], [NAN, NAN], [INF, -INF, 3.0]])
def test_fewer_than_two_finite_values_give_nan(data):
    for n_bins in (-1, 0, 1, 10, 2**62):
        assert math.isnan(H(A(data, dtype=float), n_bins))


@pytest.mark.parametrize("data", [[7.0, 7.0, 7.0], [1.0, 1.0 + 1e-13], [3.0, 3.0, NAN]])
def test_constant_samples_have_zero_entropy_for_every_bin_count(data):
    for n_bins in (-5, 0, 1, 10, 2**62):
        assert same_float(H(A(data), n_bins), 0.0)


@pytest.mark.parametrize("m,bins", [(50, 10), (100, 10), (120, 10), (400, 20), (1000, 31), (1023, 31), (1024, 32)])
def test_automatic_bin_count_is_max_of_10_and_floor_sqrt(m, bins):
    data = np.random.default_rng(m).normal(size=m)
    with_noise = np.concatenate([data, [NAN, INF, -INF] * 30])
    assert same_float(H(data, -1), H(data, bins))
    assert same_float(H(with_noise, -7), H(data, bins))
    assert not same_float(H(data, -1), H(data, bins + 1))


def test_base_is_one_division_by_its_natural_logarithm():
    data = A([1.0, 2.0, 3.0, 4.0])
    h_nats = models.entropy_nats([1, 1, 1, 1])
    assert same_float(H(data, 4, math.e), h_nats / math.log(math.e))
    assert same_float(H(data, 4, 10.0), h_nats / math.log(10.0))
    assert same_float(H(data, 4, 1.0), INF)
    assert math.isnan(H(A([2.0, 2.0]), 4, 1.0))
    assert same_float(H(data, 4, 0.0), -0.0)
    assert math.isnan(H(data, 4, -2.0))
    assert math.isnan(H(data, 4, NAN))
    assert H(data, 4, 0.5) == -2.0


# -- failures -----------------------------------------------------------------


def test_zero_bins_fail_only_for_a_non_constant_sample():
    with raises_panic("index out of bounds: the len is 0 but the index is 0"):
        H(A([0.0, 1.0]), 0)
    assert H(A([3.0, 3.0]), 0) == 0.0


def test_bin_counts_from_2_to_the_60_overflow_and_huge_tables_raise_memory_error():
    data = A([0.0, 1.0, 2.0])
    for n_bins in (2**60, 2**62, 2**63 - 1):
        with raises_panic("capacity overflow"):
            H(data, n_bins)
    for n_bins in (2**60 - 1, 2**59, 2**45):
        with pytest.raises(MemoryError):
            H(data, n_bins)
    assert try_exclusive(data)
    assert H(data, 3) == math.log2(3)


# -- against a hand-written model ---------------------------------------------

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e6, 1e6),
    st.integers(-4, 4).map(float),
    st.sampled_from([0.0, -0.0, 0.1, 0.3, 0.7, 1e-300, 5e-324, NAN, INF, -INF]),
)


@settings(max_examples=400, deadline=None)
@given(st.lists(values, max_size=60), st.integers(-3, 40), st.sampled_from([2.0, math.e, 10.0, 0.5, 3.0]))
def test_agrees_with_model_to_the_last_bit(data, n_bins, base):
    try:
        expected = models.shannon_entropy(data, n_bins, base)
    except models.Panic as p:
        with raises_panic(str(p)):
            H(A(data, dtype=float), n_bins, base)
        return
    assert same_float(H(A(data, dtype=float), n_bins, base), expected)


@pytest.mark.parametrize("seed", range(5))
def test_agrees_with_model_on_larger_samples(seed):
    rng = np.random.default_rng(seed)
    data = np.concatenate([rng.normal(size=3000), rng.integers(0, 5, 500).astype(float), [NAN, INF] * 10])
    rng.shuffle(data)
    for n_bins in (-1, 1, 7, 100, 5000):
        assert same_float(H(data, n_bins), models.shannon_entropy(list(data), n_bins))
