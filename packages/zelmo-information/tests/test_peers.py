"""Agreement with established implementations where the two definitions
coincide: same counts (or a one-to-one relabelling of them), same formula.
Only the order of the floating-point sums differs, so values agree to 1e-12
relative (with an absolute allowance of 1e-14 for values that cancel to 0)."""

import math

import numpy as np
import pyinform
import scipy.stats
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.metrics import mutual_info_score

from conftest import _core

LN2 = math.log(2.0)


def close(ours, theirs):
    return math.isclose(ours, theirs, rel_tol=1e-12, abs_tol=1e-14)


def small_integer_series(max_values=6, min_size=3, max_size=60):
    """Triples (k, xs, ys): two equally long series of integers in 0 .. k - 1."""

    def series(k):
        values = st.integers(0, k - 1)
        return st.integers(min_size, max_size).flatmap(
            lambda n: st.tuples(st.just(k), st.lists(values, min_size=n, max_size=n), st.lists(values, min_size=n, max_size=n)))

    return st.integers(2, max_values).flatmap(series)


@settings(max_examples=60, deadline=None)
@given(counts=st.lists(st.integers(0, 30), min_size=1, max_size=12), scale=st.floats(1e-3, 1e3),
       shift=st.floats(-1e3, 1e3), base=st.sampled_from([2.0, math.e, 10.0, 3.5]), seed=st.integers(0, 2**32 - 1))
def test_shannon_entropy_matches_scipy_on_bin_centres(counts, scale, shift, base, seed):
    # -sum p log_base p over the counts of n_bins equal bins spanning the
    # sample; every value is a bin centre or an end of the range, so
    # numpy.histogram and the width rule count the same bins.
    n_bins = len(counts)
    centres = np.repeat(np.arange(n_bins) + 0.5, counts)
    data = np.random.default_rng(seed).permutation(np.concatenate([[0.0, float(n_bins)], centres]) * scale + shift)
    peer_counts, _ = np.histogram(data, bins=n_bins)
    assert peer_counts.sum() == data.size
    assert close(_core.shannon_entropy(data, n_bins, base=base), scipy.stats.entropy(peer_counts, base=base))


@settings(max_examples=100, deadline=None)
@given(small_integer_series())
def test_mutual_information_matches_sklearn_on_small_integers(case):
    # Plug-in I(X; Y) of the contingency table; with values in 0 .. k - 1 and
    # n_bins = k the scaled rule sends distinct values to distinct bins.
    k, xs, ys = case
    theirs = mutual_info_score(xs, ys) / LN2
    assert close(_core.mutual_information(np.array(xs, dtype=float), np.array(ys, dtype=float), k), theirs)
    # the same variables, stretched and shifted, bin the same way
    assert close(_core.mutual_information(np.array(xs) * 2.5 - 7.0, np.array(ys) * 0.1 + 3.0, k), theirs)


@settings(max_examples=100, deadline=None)
@given(small_integer_series(max_values=4, max_size=80))
def test_transfer_entropy_with_history_1_matches_pyinform(case):
    # sum p(x_t, x_t-1, y_t-1) log2 p(x_t | x_t-1, y_t-1) / p(x_t | x_t-1)
    # over t = 1 .. n-1; values 0 .. k-1 with n_bins = k bin one to one, and
    # history 1 is pyinform's k = 1.
    k, source, target = case
    theirs = pyinform.transfer_entropy(source, target, k=1)
    assert close(_core.transfer_entropy(np.array(source, dtype=float), np.array(target, dtype=float), k, 1),
                 max(theirs, 0.0))


@settings(max_examples=120, deadline=None)
@given(k=st.integers(1, 8), data=st.data())
def test_kl_and_js_divergences_match_scipy_on_smoothed_probabilities(k, data):
    # D(P || Q) = sum P ln(P / Q) in nats and JS = (D(P || M) + D(Q || M)) / 2
    # in bits, M = (P + Q) / 2, on P = (count + 1e-10) / total over the shared
    # grid; values 0 .. k-1 with n_bins = k bin one to one.
    values = st.lists(st.integers(0, k - 1), max_size=40)
    p, q = data.draw(values), data.draw(values)
    P, Q = ((np.bincount(np.array(v, dtype=np.intp), minlength=k) + 1e-10) for v in (p, q))
    P, Q = P / P.sum(), Q / Q.sum()
    p_array, q_array = np.array(p, dtype=float), np.array(q, dtype=float)
    assert close(_core.kl_divergence(p_array, q_array, k), scipy.stats.entropy(P, Q))
    # (not scipy.spatial.distance.jensenshannon: its square root is NaN when
    # rounding leaves the divergence of near-equal P, Q below 0)
    M = (P + Q) * 0.5
    theirs = 0.5 * scipy.stats.entropy(P, M, base=2) + 0.5 * scipy.stats.entropy(Q, M, base=2)
    assert close(_core.js_divergence(p_array, q_array, k), theirs)
