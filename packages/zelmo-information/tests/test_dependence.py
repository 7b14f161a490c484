"""joint_entropy, conditional_entropy, information_gain, mutual_information
and cond_mutual_information: binning rules, ranges, guards, identities,
failures, and bit-for-bit agreement with the models in models_dependence."""

import math
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.metrics import mutual_info_score

import models
import models_dependence as md
from borrows import try_exclusive
from conftest import _core, raises_panic, same_float

A = np.array
NAN, INF = math.nan, math.inf
JE, CE, IG = _core.joint_entropy, _core.conditional_entropy, _core.information_gain
MI, CMI = _core.mutual_information, _core.cond_mutual_information
LOG2_3 = math.log2(3)
INDEX_ZERO = "index out of bounds: the len is 0 but the index is 0"

TWO_VARIABLE = {"joint_entropy": JE, "conditional_entropy": CE, "information_gain": IG, "mutual_information": MI}
MODEL = {
    "joint_entropy": md.joint_entropy,
    "conditional_entropy": md.conditional_entropy,
    "information_gain": md.information_gain,
    "mutual_information": md.mutual_information,
}
# A non-constant conditioning variable long enough for every two-variable case.
Z = A([0.0, 1.0, 0.0, 2.0, 1.0, 0.0, 2.0, 1.0])


def all_five(x, y, n_bins):
    """Every measure on (x, y), CMI conditioned on Z."""
    out = {name: f(x, y, n_bins) for name, f in TWO_VARIABLE.items()}
    out["cond_mutual_information"] = CMI(x, y, Z, n_bins)
    return out


def model_or_panic(f, *args):
    try:
        return f(*args), None
    except models.Panic as p:
        return None, str(p)


def check_against(model, native, *args):
    expected, panic = model_or_panic(model, *[list(map(float, a)) if isinstance(a, list) else a for a in args])
    arrays = [A(a, dtype=float) if isinstance(a, list) else a for a in args]
    if panic is not None:
        with raises_panic(panic):
            native(*arrays)
    else:
        assert same_float(native(*arrays), expected)


# -- the scaled rule against the width rule -----------------------------------


def test_bin_edge_value_is_binned_by_the_scaled_rule_in_the_joint_term_only():
    # 0.3 is bin 3 for ((v - lo) / range) * 10 and bin 2 for (v - lo) / 0.1:
    # the joint term sees {0}, {0.3, 0.35}, {1} (1.5 bits), the histogram
    # marginals see four singletons (2 bits each).
    x = A([0.0, 0.3, 0.35, 1.0])
    assert JE(x, x, 10) == 1.5
    assert CE(x, x, 10) == -0.5
    assert IG(x, x, 10) == 2.5
    # MI and CMI bin with the scaled rule throughout.
    assert MI(x, x, 10) == 1.5
    assert CMI(x, x, A([4.0] * 4), 10) == 1.5


def test_maximum_lands_in_the_last_bin():
    # Four equal-width bins over [0, 3]: 3 is scaled to exactly 4 and clamped.
    x = A([0.0, 1.0, 2.0, 3.0])
    assert MI(x, x, 4) == 2.0
    assert JE(x, A([0.0, 0.0, 0.0, 3.0]), 4) == 2.0
    # With n_bins = 2**64 - 1, N rounds to 2**64, the maximum saturates and
    # is clamped to 2**64 - 2; the other values stay apart.
    assert CMI(x, x, A([5.0] * 4), 2**64 - 1) == 2.0


# -- which values the ranges are taken over -----------------------------------


def test_joint_entropy_ranges_cover_whole_arrays_the_others_the_first_n():
    x, y = A([0.0, 1.0, 2.0, 100.0]), A([0.0, 0.0, 1.0])
    h_23 = -(2 / 3) * math.log2(2 / 3) - (1 / 3) * math.log2(1 / 3)
    # x's range 0..100 puts 0, 1, 2 in bin 0: cells (0, 0) x2 and (0, 1).
    assert JE(x, y, 2) == pytest.approx(0.918295834054, abs=1e-12)
    assert same_float(JE(x, y, 2), md.joint_entropy(list(x), list(y), 2))
    assert JE(x, y, 2) == pytest.approx(h_23, rel=1e-15)
    assert same_float(JE(y, x, 2), JE(A([0.0, 0.0, 1.0]), A([0.0, 0.0, 0.0]), 2))
    # Over the first three values only, x bins are 0, 1, 1.
    assert CE(x, y, 2) == pytest.approx(0.666666666667, abs=1e-12)
    assert IG(x, y, 2) == pytest.approx(0.251629167388, abs=1e-12)
    assert MI(x, y, 2) == pytest.approx(0.251629167388, abs=1e-12)
    first3 = A([0.0, 1.0, 2.0])
    assert JE(first3, y, 2) == pytest.approx(LOG2_3, rel=1e-15)
    for name, f in (("conditional_entropy", CE), ("information_gain", IG), ("mutual_information", MI)):
        assert same_float(f(x, y, 2), f(first3, y, 2)), name
        assert same_float(f(x, y, 2), MODEL[name](list(x), list(y), 2)), name


def test_values_beyond_the_common_length_do_not_change_the_first_n_measures():
    rng = np.random.default_rng(3)
    x, y, z = rng.normal(size=(3, 40))
    for extra in ([1e300], [-1e300, NAN, INF], [0.5] * 7):
        longer = np.concatenate([y, extra])
        assert same_float(CMI(x, longer, z, 5), CMI(x, y, z, 5))
        assert same_float(CMI(longer, x, z, 5), CMI(y, x, z, 5))
        for f in (CE, IG, MI):
            assert same_float(f(x, longer, 5), f(x, y, 5))
            assert same_float(f(longer, x, 5), f(y, x, 5))
    assert not same_float(JE(x, np.concatenate([y, [1e300]]), 5), JE(x, y, 5))


# -- guards and degenerate inputs ---------------------------------------------

BIN_COUNTS = [0, 1, 10, 2**30, 2**40, 2**64 - 1]


@pytest.mark.parametrize("lengths", [(0, 0), (0, 5), (5, 0), (1, 1), (1, 5), (5, 1)])
def test_fewer_than_two_pairs_give_nan_and_fewer_than_three_give_zero(lengths):
    x, y = A(np.arange(lengths[0], dtype=float)), A(np.arange(lengths[1], dtype=float) * 2)
    for n_bins in BIN_COUNTS:
        for f in (JE, CE, IG):
            assert math.isnan(f(x, y, n_bins))
        assert same_float(MI(x, y, n_bins), 0.0)
        assert same_float(CMI(x, y, A([1.0, 2.0, 3.0]), n_bins), 0.0)


@pytest.mark.parametrize("lengths", [(2, 2, 9), (2, 9, 9), (9, 2, 9), (9, 9, 2)])
def test_mi_and_cmi_need_three_observations_the_entropies_two(lengths):
    x, y, z = (A(np.arange(m, dtype=float)) for m in lengths)
    for n_bins in BIN_COUNTS:
        assert same_float(CMI(x, y, z, n_bins), 0.0)
        if min(len(x), len(y)) == 2:
            assert same_float(MI(x, y, n_bins), 0.0)
    if min(len(x), len(y)) == 2:
        assert (JE(x, y, 2), CE(x, y, 2), IG(x, y, 2)) == (1.0, 0.0, 1.0)
        with raises_panic(INDEX_ZERO):
            JE(x, y, 0)


@pytest.mark.parametrize(
    "y",
    [[5.0] * 4, [1.0, 1.0 + 1e-13, 1.0, 1.0], [NAN] * 4, [NAN, 2.0, NAN, 2.0], [5.0, 5.0, 5.0, 5.0, 100.0]],
)
def test_mi_of_a_constant_variable_is_zero_before_any_table_is_made(y):
    x = A([0.0, 1.0, 2.0, 3.0])
    for n_bins in BIN_COUNTS:
        assert same_float(MI(x, A(y), n_bins), 0.0)
        assert same_float(MI(A(y), x, n_bins), 0.0)
        assert same_float(CMI(x, A(y), x, n_bins), 0.0)


def test_a_nan_range_is_not_constant():
    # Non-NaN values all +inf: range NaN, so MI goes on to bin (everything
    # in bin 0) and count, with the failures of counting.
    x, y = A([0.0, 1.0, 2.0]), A([INF, INF, NAN])
    assert same_float(MI(x, y, 3), 0.0)
    with raises_panic(INDEX_ZERO):
        MI(x, y, 0)
    with raises_panic("capacity overflow"):
        MI(x, y, 2**40)


def test_one_bin_gives_zero_and_zero_bins_fail_where_a_dense_table_counts():
    rng = np.random.default_rng(1)
    x, y, z = rng.normal(size=(3, 30))
    for name, value in all_five(x, y, 1).items():
        assert same_float(value, 0.0), name
    # Constant data do not spare the joint table.
    for data in ((x, y), (A([2.0] * 5), A([3.0] * 5))):
        for f in (JE, CE, IG):
            with raises_panic(INDEX_ZERO):
                f(*data, 0)
        assert same_float(CMI(*data, z, 0), 0.0)
    with raises_panic(INDEX_ZERO):
        MI(x, y, 0)


def test_nan_samples_count_in_bin_zero():
    x_nan, x_lo, y = A([0.5, NAN, 0.0, 1.0, NAN]), A([0.5, 0.0, 0.0, 1.0, 0.0]), A([0.0, 1.0, 2.0, 0.5, 1.5])
    for n_bins in (2, 3, 7):
        nan_results, lo_results = all_five(x_nan, y, n_bins), all_five(x_lo, y, n_bins)
        for name in nan_results:
            assert same_float(nan_results[name], lo_results[name]), name
            assert same_float(all_five(y, x_nan, n_bins)[name], all_five(y, x_lo, n_bins)[name]), name
    assert JE(A([NAN, 0.0, 1.0]), A([0.0, 1.0, 2.0]), 2) == pytest.approx(LOG2_3, rel=1e-15)


@pytest.mark.parametrize(
    "x_inf", [[INF, 0.0, 1.0, 2.0, 0.5], [0.0, -INF, 3.0, NAN, 1.0], [INF, -INF, 1.0, 2.0, 3.0], [INF] * 5]
)
def test_infinite_or_nan_ranges_put_every_sample_in_bin_zero(x_inf):
    x_const, y = A([7.0] * 5), A([0.0, 1.0, 2.0, 0.5, 1.5])
    for n_bins in (2, 3, 10):
        with_inf, constant = all_five(A(x_inf), y, n_bins), all_five(x_const, y, n_bins)
        for name in with_inf:
            assert same_float(with_inf[name], constant[name]), name
    assert JE(A([INF, 0.0, 1.0]), A([0.0, 1.0, 2.0]), 2) == pytest.approx(0.918295834054, abs=1e-12)


# -- hand-checkable values ----------------------------------------------------


def test_hand_computed_values():
    d = A([0.0, 1.0, 2.0, 3.0])
    assert (JE(d, d, 4), CE(d, d, 4), IG(d, d, 4), MI(d, d, 4)) == (2.0, 0.0, 2.0, 2.0)
    assert MI(d, d, 2) == 1.0
    assert MI(d, d[::-1].copy(), 4) == 2.0
    assert MI(A([0.0, 1.0, 2.0]), A([0.0, 1.0, 2.0]), 3) == pytest.approx(LOG2_3, rel=1e-15)
    const = A([5.0] * 4)
    assert (CE(d, const, 4), IG(d, const, 4)) == (2.0, 0.0)
    assert (JE(const, const, 4), CE(const, const, 4), IG(const, const, 4)) == (0.0, 0.0, 0.0)
    # Independent halves: every ratio is exactly 1.
    assert same_float(MI(A([0.0, 0.0, 1.0, 1.0]), A([0.0, 1.0, 0.0, 1.0]), 2), 0.0)


def test_xor_has_one_bit_of_conditional_information():
    x = A([0, 0, 1, 1, 0, 1, 1, 0], dtype=float)
    z = A([0, 0, 0, 0, 1, 1, 1, 1], dtype=float)
    y = A([0, 0, 1, 1, 1, 0, 0, 1], dtype=float)
    assert same_float(CMI(x, y, z, 2), 1.0)
    assert md.cmi_entropies(list(x), list(y), list(z), 2) == (2.0, 2.0, 2.0, 1.0)
    assert same_float(MI(x, y, 2), 0.0)  # pairwise independent


def test_mi_is_clamped_where_rounding_makes_the_sum_negative():
    x = A([float(i // 5) for i in range(25)])
    y = A([float(i % 5) for i in range(25)])
    assert md.mutual_information_sum(list(x), list(y), 5) < 0.0  # 0.2 * 0.2 > 0.04
    assert same_float(MI(x, y, 5), 0.0)
    assert same_float(MI(y, x, 5), 0.0)


# -- identities ---------------------------------------------------------------


def random_pairs(seed, n=300):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    return x, x + rng.normal(size=n), rng.normal(size=n)


@pytest.mark.parametrize("seed", range(3))
def test_mi_is_symmetric_up_to_rounding(seed):
    x, y, _ = random_pairs(seed)
    for n_bins in (2, 5, 16, 40):
        assert MI(x, y, n_bins) == pytest.approx(MI(y, x, n_bins), rel=1e-13, abs=1e-15)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("n_bins", [3, 16, 100, 10**6])
def test_cmi_identities(seed, n_bins):
    x, y, z = random_pairs(seed)
    # Conditioning on x itself, or a constant x, leaves nothing.
    assert 0.0 <= CMI(x, y, x, n_bins) < 1e-12
    assert 0.0 <= CMI(y, x, x, n_bins) < 1e-12
    assert 0.0 <= CMI(A([1.5] * 300), y, z, n_bins) < 1e-12
    # A constant z reduces CMI to H(X) + H(Y) - H(X, Y) of the scaled binning
    # over the first n values, which is what MI estimates.
    constant = A([-2.0] * 301)
    expected = md.plugin_mi_bits(list(x), list(y), n_bins)
    assert same_float(CMI(x, y, constant, n_bins), max(expected, 0.0))
    if n_bins <= 100:
        assert CMI(x, y, constant, n_bins) == pytest.approx(MI(x, y, n_bins), rel=1e-12)


def test_cmi_repeats_to_the_last_bit_on_dense_and_sorted_paths():
    x, y, z = random_pairs(7, n=2000)
    xi = np.floor(x * 3)
    for n_bins in (16, 40, 41, 1000, 2**40, 2**64 - 1):
        for args in ((x, y, z), (xi, y, z), (x, xi, xi)):
            first = CMI(*args, n_bins)
            assert all(same_float(CMI(*args, n_bins), first) for _ in range(4))
            assert same_float(first, md.cond_mutual_information(*map(list, args), n_bins))


# n_bins**3 cells against 4n observations decides between a dense table and
# sorted keys: 50 bins stay dense for 32000 observations, not for 30000.
@pytest.mark.parametrize(
    "n,n_bins", [(200, 41), (32000, 50), (30000, 50), (300, 1000), (300, 10**6), (300, 2**40), (300, 2**64 - 1)]
)
def test_cmi_agrees_with_model_on_dense_and_sorted_counting(n, n_bins):
    rng = np.random.default_rng(n_bins % 1000 + n)
    x = rng.normal(size=n)
    y = np.where(rng.random(n) < 0.3, x, rng.normal(size=n))
    z = np.round(rng.normal(size=n), 1)
    z[::17] = NAN
    y[5] = 1e300
    assert same_float(CMI(x, y, z, n_bins), md.cond_mutual_information(list(x), list(y), list(z), n_bins))


# -- failures -----------------------------------------------------------------

OVERFLOW = [2**30, 2**31 + 1, 2**32 - 1, 2**32, 2**33 + 7, 2**40, 2**60, 2**63, 2**64 - 1]


@pytest.mark.parametrize("n_bins", OVERFLOW)
def test_square_tables_beyond_the_address_space_raise_capacity_overflow(n_bins):
    x, y, c = A([0.0, 1.0, 2.0]), A([2.0, 0.0, 1.0, 9.0]), A([5.0, 5.0, 5.0])
    cases = [(JE, x, y), (CE, x, y), (MI, x, y), (JE, c, c), (CE, c, y), (IG, c, y)]
    if n_bins >= 2**60:
        cases.append((IG, x, y))  # the histogram of x fails first, same message
    for f, a, b in cases:
        with raises_panic("capacity overflow"):
            f(a, b, n_bins)
        assert try_exclusive(a) and try_exclusive(b)
    assert same_float(CMI(x, y, x, n_bins), md.cond_mutual_information(list(x), list(y), list(x), n_bins))


@pytest.mark.parametrize("n_bins", [2**28, 2**29 - 1, 2**30 - 1])
def test_square_tables_that_cannot_be_allocated_raise_memory_error(n_bins):
    # n_bins**2 * 8 bytes is 2**59 or more: within the size limit, beyond any
    # address space. information_gain gets a constant x so that its first
    # histogram has one cell.
    x, y, c = A([0.0, 1.0, 2.0]), A([2.0, 0.0, 1.0, 9.0]), A([5.0, 5.0, 5.0])
    for f, a, b in [(JE, x, y), (CE, x, y), (MI, x, y), (IG, c, y)]:
        with pytest.raises(MemoryError):
            f(a, b, n_bins)
        assert try_exclusive(a) and try_exclusive(b)
    assert JE(x, y, 3) == LOG2_3


def test_zero_bins_release_the_arrays():
    x, y = A([0.0, 1.0, 2.0]), A([2.0, 0.0, 1.0])
    for f in TWO_VARIABLE.values():
        with raises_panic(INDEX_ZERO):
            f(x, y, 0)
        assert try_exclusive(x) and try_exclusive(y)


# -- against scikit-learn -----------------------------------------------------


@pytest.mark.parametrize("k", [2, 3, 5, 8, 13])
def test_mi_and_cmi_agree_with_sklearn_where_binning_is_the_identity(k):
    # Integers 0..k-1 (both ends present) with k bins: the scaled rule maps
    # each integer to its own bin.
    rng = np.random.default_rng(k)
    n = 600
    x = rng.integers(0, k, n)
    y = (x + (rng.random(n) < 0.2)) % k
    z = (y + rng.integers(0, 2, n)) % k
    x[:2], y[:2], z[:2] = (0, k - 1), (0, k - 1), (0, k - 1)
    xf, yf, zf = (v.astype(float) for v in (x, y, z))
    assert md.own_scaled_bins(list(xf), k) == list(x)
    bits = mutual_info_score(x, y) / math.log(2)
    assert MI(xf, yf, k) == pytest.approx(bits, rel=1e-12)
    assert CMI(xf, yf, A([3.0] * n), k) == pytest.approx(bits, rel=1e-12)
    # I(X; Y | Z) = sum over z of p(z) I(X; Y | Z = z).
    conditional = sum(
        (count / n) * mutual_info_score(x[z == v], y[z == v]) for v, count in sorted(Counter(z.tolist()).items())
    )
    assert CMI(xf, yf, zf, k) == pytest.approx(conditional / math.log(2), rel=1e-12)


# -- against the models -------------------------------------------------------

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e6, 1e6),
    st.integers(-3, 3).map(float),
    st.sampled_from([0.0, -0.0, 0.3, 0.35, 1.0, 1.0 + 1e-13, 1e-300, 5e-324, 1e308, -1e308, NAN, INF, -INF]),
)
samples = st.one_of(
    st.lists(values, max_size=24),
    st.lists(st.integers(0, 4).map(float), max_size=24),
    st.lists(st.floats(0, 1), max_size=24),
)
small_bins = st.integers(0, 40)
# Bin counts whose square table overflows: the models fail before allocating.
square_overflow = st.sampled_from([2**30, 2**32 - 1, 2**32, 2**40, 2**64 - 1])


@settings(max_examples=300, deadline=None)
@given(samples, samples, st.one_of(small_bins, square_overflow))
def test_joint_and_conditional_entropy_and_mi_agree_with_models(x, y, n_bins):
    for name in ("joint_entropy", "conditional_entropy", "mutual_information"):
        check_against(MODEL[name], TWO_VARIABLE[name], x, y, n_bins)


@settings(max_examples=200, deadline=None)
@given(samples, samples, st.one_of(small_bins, st.sampled_from([2**60, 2**64 - 1])))
def test_information_gain_agrees_with_model(x, y, n_bins):
    check_against(md.information_gain, IG, x, y, n_bins)


@settings(max_examples=300, deadline=None)
@given(
    samples,
    samples,
    samples,
    st.one_of(small_bins, st.integers(41, 300), st.sampled_from([1000, 10**6, 2**40, 2**63, 2**64 - 1])),
)
def test_cmi_agrees_with_model(x, y, z, n_bins):
    check_against(md.cond_mutual_information, CMI, x, y, z, n_bins)
