"""The two-sample comparisons: kl_divergence, js_divergence,
hellinger_distance, total_variation_distance and cross_entropy, with the
shared grid they bin both samples on."""

import math

import numpy as np
import pytest
import scipy.spatial.distance
import scipy.stats
from hypothesis import given, settings
from hypothesis import strategies as st

import models
import models_divergence as md
from borrows import try_exclusive
from conftest import _core, raises_panic, same_float

A = np.array
NAN, INF = math.nan, math.inf
OUT_OF_BOUNDS = "index out of bounds: the len is 0 but the index is 0"

KL, JS = _core.kl_divergence, _core.js_divergence
HD, TV, CE = _core.hellinger_distance, _core.total_variation_distance, _core.cross_entropy


def ce_bits(cp, cq):
    return md.cross_entropy_nats_from_counts(cp, cq) / math.log(2.0)


# Each comparison with its formula on given count tables.
FROM_COUNTS = {
    "kl": (KL, md.kl_from_counts),
    "js": (JS, md.js_from_counts),
    "hellinger": (HD, md.hellinger_from_counts),
    "tv": (TV, md.total_variation_from_counts),
    "cross": (CE, ce_bits),
}
WHOLE = ["kl", "js"]
FINITE = ["hellinger", "tv", "cross"]


def f64(values):
    return A(values, dtype=float)


# -- one grid over both samples, scaled rule ----------------------------------


@pytest.mark.parametrize("name", list(FROM_COUNTS))
def test_grid_spans_both_samples_and_uses_the_scaled_rule(name):
    f, formula = FROM_COUNTS[name]
    # 0.7 / 2.1 * 3 is exactly 1.0: bin 1 (0.7 / (2.1 / 3) would give bin 0).
    assert same_float(f(f64([0.0, 0.7]), f64([2.1]), 3), formula([1, 1, 0], [0, 0, 1]))
    got = f(f64([0.0, 0.7]), f64([0.0, 0.0, 2.1]), 3)
    assert same_float(got, formula([1, 1, 0], [2, 0, 1]))
    assert not same_float(got, formula([2, 0, 0], [2, 0, 1]))
    # Joint range 0..11: p in bin 0 (1/11 * 10 truncates to 0), q in bin 9.
    got = f(f64([0.0, 1.0]), f64([10.0, 11.0]), 10)
    assert same_float(got, formula([2] + [0] * 9, [0] * 9 + [2]))
    # A spread below 1e-12 puts everything in bin 0 of a full table.
    got = f(f64([1.0, 1.0 + 1e-13]), f64([1.0]), 4)
    assert same_float(got, formula([2, 0, 0, 0], [1, 0, 0, 0]))
    # 0.3 on the edge: scaled (0.3 / 1) * 10 = 3 -> bin 3, with 0.35 in the same bin.
    got = f(f64([0.0, 0.3, 0.35, 1.0]), f64([1.0]), 10)
    assert same_float(got, formula([1, 0, 0, 2, 0, 0, 0, 0, 0, 1], [0] * 9 + [1]))


# -- preparations -------------------------------------------------------------


@pytest.mark.parametrize("name", WHOLE)
def test_kl_and_js_count_every_element(name):
    f, formula = FROM_COUNTS[name]
    # NaN: outside the range, counted in bin 0.
    assert same_float(f(f64([NAN, 0.0, 1.0]), f64([0.0, 1.0]), 2), formula([2, 1], [1, 1]))
    assert same_float(f(f64([0.0, 1.0]), f64([1.0, NAN, NAN]), 2), formula([1, 1], [2, 1]))
    # An infinity makes the span infinite: every element in bin 0.
    assert same_float(f(f64([0.0, 1.0, INF]), f64([0.5]), 2), formula([3, 0], [1, 0]))
    assert same_float(f(f64([0.0, 1.0]), f64([-INF, 3.0]), 3), formula([2, 0, 0], [2, 0, 0]))
    # Only +inf: NaN span, still bin 0.
    assert same_float(f(f64([INF, INF]), f64([INF, NAN]), 2), formula([2, 0], [2, 0]))


def test_kl_and_js_keep_their_fixed_default_of_ten_bins():
    rng = np.random.default_rng(3)
    p, q = rng.normal(size=200), rng.normal(0.5, 1.0, size=300)
    for f in (KL, JS):
        assert same_float(f(p, q), f(p, q, 10))
        assert not same_float(f(p, q), f(p, q, 17))


@pytest.mark.parametrize("f", [HD, TV, CE])
def test_finite_only_comparisons_drop_non_finite_elements(f):
    clean = f(f64([1.0, 2.0]), f64([0.0, 3.0, 3.5]))
    assert same_float(f(f64([NAN, 1.0, INF, 2.0]), f64([-INF, 0.0, 3.0, NAN, 3.5])), clean)
    assert same_float(f(f64([1.0, 2.0, 3.0]), f64([1.0, NAN, 2.0, INF, 3.0])), f(f64([1.0, 2.0, 3.0]), f64([1.0, 2.0, 3.0])))
    # Had the infinity been kept, both samples would share bin 0.
    assert f(f64([0.0, INF]), f64([1.0]), 2) > 0.5


@pytest.mark.parametrize("f", [HD, TV, CE])
def test_automatic_bin_count_follows_the_larger_finite_sample(f):
    rng = np.random.default_rng(11)
    small, large = rng.normal(size=3), rng.normal(size=150)  # sqrt(150) = 12.2
    padded = np.concatenate([large, [NAN, INF] * 30])  # 210 elements, 150 finite
    for p, q in ((small, large), (large, small), (small, padded)):
        expected = f(p, q, 12)
        for n_bins in (-1, -5, -(2**63)):
            assert same_float(f(p, q, n_bins), expected)
        assert same_float(f(p, q), expected)
        assert not same_float(f(p, q, 11), expected) and not same_float(f(p, q, 13), expected)
    tiny = f64([0.0, 1.0])  # fewer than 100 values: 10 bins
    assert same_float(f(tiny, f64([0.3])), f(tiny, f64([0.3]), 10))


# -- guards -------------------------------------------------------------------


@pytest.mark.parametrize("f", [HD, TV, CE])
@pytest.mark.parametrize("empty", [[], [NAN, INF], [-INF]])
def test_a_sample_without_finite_values_gives_nan_before_the_bin_count(f, empty):
    for other in ([], [1.0, 2.0], [NAN]):
        for n_bins in (-1, 0, 1, 2**60, 2**63 - 1):
            assert math.isnan(f(f64(empty), f64(other), n_bins))
            assert math.isnan(f(f64(other), f64(empty), n_bins))
    assert math.isnan(CE(f64(empty), f64([1.0]), 0, 1.0))


def test_zero_bins():
    for f in (KL, JS):
        assert same_float(f(f64([]), f64([]), 0), 0.0)
        for p, q in (([1.0], []), ([], [1.0]), ([NAN], [NAN]), ([5.0, 5.0], [5.0])):
            with raises_panic(OUT_OF_BOUNDS):
                f(f64(p), f64(q), 0)
    for f in (HD, TV, CE):
        for p, q in (([1.0], [2.0]), ([NAN, 1.0], [1.0]), ([3.0], [3.0])):
            with raises_panic(OUT_OF_BOUNDS):
                f(f64(p), f64(q), 0)


def test_both_samples_empty_give_zero_divergence():
    for n_bins in (1, 2, 10, 1000):
        assert same_float(KL(f64([]), f64([]), n_bins), 0.0)
        assert same_float(JS(f64([]), f64([]), n_bins), 0.0)


def test_a_single_bin():
    samples = [([0.0, 1.0, NAN], [5.0]), ([INF], [-3.0, 2.0, 7.0]), ([], [1.0]), ([2.0], [2.0])]
    for p, q in samples:
        assert same_float(KL(f64(p), f64(q), 1), 0.0)
        assert same_float(JS(f64(p), f64(q), 1), 0.0)
    # Equal finite counts cancel; unequal counts leave the 1e-12 of each normaliser.
    for f in (HD, TV):
        assert same_float(f(f64([0.0, 9.0]), f64([NAN, 4.0, 5.0]), 1), 0.0)
    assert same_float(TV(f64([1.0]), f64([1.0, 2.0]), 1), md.total_variation_from_counts([1], [2]))
    assert TV(f64([1.0]), f64([1.0, 2.0]), 1) == pytest.approx(2.5e-13, rel=1e-3)
    assert same_float(HD(f64([1.0]), f64([1.0, 2.0]), 1), md.hellinger_from_counts([1], [2]))
    assert HD(f64([1.0]), f64([1.0, 2.0]), 1) == pytest.approx(1.77e-13, rel=1e-2)
    assert same_float(CE(f64([1.0]), f64([1.0, 2.0]), 1), ce_bits([1], [2]))


def test_huge_bin_counts_overflow_or_raise_memory_error():
    p, q = f64([0.0, 1.0]), f64([2.0])
    for f in (KL, JS):
        for n_bins in (2**60, 2**64 - 1):
            with raises_panic("capacity overflow"):
                f(p, q, n_bins)
            with raises_panic("capacity overflow"):
                f(f64([]), f64([]), n_bins)
    for f in (HD, TV, CE):
        for n_bins in (2**60, 2**63 - 1):
            with raises_panic("capacity overflow"):
                f(p, q, n_bins)
    for f in (KL, JS, HD, TV, CE):
        with pytest.raises(MemoryError):
            f(p, q, 2**59)
        assert try_exclusive(p) and try_exclusive(q)
    assert same_float(TV(p, q, 3), md.total_variation_from_counts([1, 1, 0], [0, 0, 1]))


# -- identities ---------------------------------------------------------------


def identical_pairs():
    rng = np.random.default_rng(5)
    normal = rng.normal(size=97)
    ints = rng.integers(-3, 4, size=40).astype(float)
    return [
        (normal, rng.permutation(normal)),
        (ints, ints[::-1].copy()),
        (f64([0.0, 0.0, 1.0]), f64([1.0, 0.0, 0.0])),
        (f64([4.0]), f64([4.0])),
    ]


@pytest.mark.parametrize("f", [KL, JS, HD, TV])
def test_identical_samples_are_exactly_zero_apart(f):
    for p, q in identical_pairs():
        assert same_float(f(p, q), 0.0)
        assert same_float(f(p, q, 3), 0.0)
    with_nan = f64([NAN, 1.0, 2.0, INF])
    assert same_float(f(with_nan, with_nan[::-1].copy()), 0.0)


def test_symmetry():
    rng = np.random.default_rng(8)
    pairs = [(rng.normal(size=30), rng.exponential(size=70)), (f64([0.0, 0.0, 0.0, 1.0]), f64([0.0, 1.0]))]
    for p, q in pairs:
        for f in (JS, HD, TV):
            assert same_float(f(p, q), f(q, p))
            assert same_float(f(p, q, 2), f(q, p, 2))
        # Not symmetric: P = (3/4, 1/4) against Q = (1/2, 1/2).
        assert not math.isclose(KL(p, q, 2), KL(q, p, 2), rel_tol=1e-3)
        assert not math.isclose(CE(p, q, 2), CE(q, p, 2), rel_tol=1e-3)
    kl = KL(f64([0.0, 0.0, 0.0, 1.0]), f64([0.0, 1.0]), 2)
    assert kl == pytest.approx(0.75 * math.log(1.5) + 0.25 * math.log(0.5), rel=1e-9)


# -- worked values ------------------------------------------------------------


def test_worked_values():
    zeros, ones = f64([0.0, 0.0]), f64([1.0, 1.0])
    kl = KL(zeros, ones, 2)
    assert kl == pytest.approx(23.719, abs=5e-4) and kl == pytest.approx(math.log(2e10), rel=1e-9)
    assert JS(zeros, ones, 2) == pytest.approx(0.9999999982, abs=1e-10)
    assert JS(zeros, ones, 2) < 1.0
    assert KL(f64([]), f64([1.0])) == pytest.approx(18.42, abs=5e-3)
    p, q = f64([0.0]), f64([1.0])  # bins 0 and 9 of 10
    assert same_float(TV(p, q), 1.0 / (1.0 + 1e-12))
    assert HD(p, q) == pytest.approx(0.9999999999995, abs=1e-15)
    assert HD(p, q) < 1.0
    ce = CE(p, q)
    assert ce == pytest.approx(39.863, abs=5e-4)
    assert ce == pytest.approx(math.log(1e12) / math.log(2.0), rel=1e-11)
    assert CE(p, q, -1, math.e) == pytest.approx(27.631, abs=5e-4)
    assert same_float(CE(p, q, -1, 10.0), md.cross_entropy_nats_from_counts([1] + [0] * 9, [0] * 9 + [1]) / math.log(10.0))
    assert CE(f64([0.0, 1.0]), f64([0.0, 1.0])) == pytest.approx(1.0000000000002, abs=1e-13)
    assert CE(f64([0.0, 1.0]), f64([0.0, 1.0])) > 1.0


def test_cross_entropy_base_is_not_validated():
    p, q = f64([0.0, 1.0]), f64([1.0, 2.0])
    assert same_float(CE(p, q, -1, 1.0), INF)
    assert same_float(CE(p, q, -1, 0.0), -0.0)
    assert math.isnan(CE(p, q, -1, -2.0)) and math.isnan(CE(p, q, -1, NAN))
    assert CE(p, q, -1, 0.5) < 0.0
    # A bin that only q fills adds no term: q = [0, 1] against p = [0] is one bit.
    assert same_float(CE(f64([0.0]), f64([0.0, 1.0]), 2), ce_bits([1, 0], [1, 1]))
    assert CE(f64([0.0]), f64([0.0, 1.0]), 2) == pytest.approx(1.0, rel=1e-11)


# -- against SciPy ------------------------------------------------------------


def smoothed(counts):
    c = np.asarray(counts, dtype=float) + 1e-10
    return c / c.sum()


@pytest.mark.parametrize("seed", range(4))
def test_kl_and_js_agree_with_scipy(seed):
    rng = np.random.default_rng(seed)
    p = rng.normal(size=int(rng.integers(5, 300)))
    q = rng.normal(rng.uniform(-1, 1), rng.uniform(0.5, 2), size=int(rng.integers(5, 300)))
    for n_bins in (2, 10, 37):
        cp, cq = md.paired_histograms(list(p), list(q), n_bins)
        P, Q = smoothed(cp), smoothed(cq)
        assert KL(p, q, n_bins) == pytest.approx(scipy.stats.entropy(P, Q), rel=1e-12)
        assert JS(p, q, n_bins) == pytest.approx(scipy.spatial.distance.jensenshannon(P, Q, base=2) ** 2, rel=1e-12)


# -- against the reference model ----------------------------------------------

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e6, 1e6),
    st.integers(-3, 3).map(float),
    st.sampled_from([0.0, -0.0, 0.7, 2.1, 0.3, 5e-324, NAN, INF, -INF]),
)
samples = st.lists(values, max_size=40)
unsigned_bins = st.one_of(st.integers(0, 40), st.sampled_from([2**60, 2**64 - 1]))
signed_bins = st.one_of(st.integers(-3, 40), st.sampled_from([-(2**63), 2**60, 2**63 - 1]))
bases = st.sampled_from([2.0, math.e, 10.0, 0.0, 1.0, 0.5, -2.0, NAN, INF])


def check(model, call):
    try:
        expected = model()
    except models.Panic as p:
        with raises_panic(str(p)):
            call()
        return
    assert same_float(call(), expected)


@settings(max_examples=250, deadline=None)
@given(samples, samples, unsigned_bins)
def test_kl_and_js_agree_with_model_to_the_last_bit(p, q, n_bins):
    ap, aq = f64(p), f64(q)
    check(lambda: md.kl_divergence(p, q, n_bins), lambda: KL(ap, aq, n_bins))
    check(lambda: md.js_divergence(p, q, n_bins), lambda: JS(ap, aq, n_bins))


@settings(max_examples=250, deadline=None)
@given(samples, samples, signed_bins, bases)
def test_distances_and_cross_entropy_agree_with_model_to_the_last_bit(p, q, n_bins, base):
    ap, aq = f64(p), f64(q)
    check(lambda: md.hellinger_distance(p, q, n_bins), lambda: HD(ap, aq, n_bins))
    check(lambda: md.total_variation_distance(p, q, n_bins), lambda: TV(ap, aq, n_bins))
    check(lambda: md.cross_entropy(p, q, n_bins, base), lambda: CE(ap, aq, n_bins, base))


def test_agree_with_model_on_larger_samples():
    rng = np.random.default_rng(2)
    p = np.concatenate([rng.normal(size=1500), rng.integers(0, 4, 200).astype(float), [NAN, INF]])
    q = np.concatenate([rng.exponential(size=900), [-INF]])
    lp, lq = list(p), list(q)
    for n_bins in (-1, 1, 7, 300):
        assert same_float(HD(p, q, n_bins), md.hellinger_distance(lp, lq, n_bins))
        assert same_float(TV(p, q, n_bins), md.total_variation_distance(lp, lq, n_bins))
        assert same_float(CE(p, q, n_bins), md.cross_entropy(lp, lq, n_bins))
        assert same_float(CE(q, p, n_bins, math.e), md.cross_entropy(lq, lp, n_bins, math.e))
    finite_p, finite_q = p[np.isfinite(p)], q[np.isfinite(q)]
    for n_bins in (1, 10, 300):
        assert same_float(KL(finite_p, finite_q, n_bins), md.kl_divergence(list(finite_p), list(finite_q), n_bins))
        assert same_float(JS(finite_q, finite_p, n_bins), md.js_divergence(list(finite_q), list(finite_p), n_bins))
