"""Agreement with established implementations where the two definitions
coincide: same counts (or a one-to-one relabelling of them), same formula.
Only the order of the floating-point sums differs, so values agree to 1e-12
relative (with an absolute allowance of 1e-14 for values that cancel to 0)."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import _core

LN2 = math.log(2.0)
EPSILON = 1e-10


def close(ours, theirs):
    return math.isclose(ours, theirs, rel_tol=1e-12, abs_tol=1e-14)


def small_integer_series(max_values=6, min_size=3, max_size=60):
    """Triples (k, xs, ys): two equally long series of integers in 0 .. k - 1."""

    def series(k):
        values = st.integers(0, k - 1)
        return st.integers(min_size, max_size).flatmap(
            lambda n: st.tuples(st.just(k), st.lists(values, min_size=n, max_size=n), st.lists(values, min_size=n, max_size=n))
        )

    return st.integers(2, max_values).flatmap(series)


# -- Shannon entropy against scipy.stats.entropy ---------------------------------


@settings(max_examples=60, deadline=None)
@given(
    counts=st.lists(st.integers(0, 30), min_size=1, max_size=12),
    scale=st.floats(1e-3, 1e3),
    shift=st.floats(-1e3, 1e3),
    base=st.sampled_from([2.0, math.e, 10.0, 3.5]),
    seed=st.integers(0, 2**32 - 1),
)
def test_shannon_entropy_matches_scipy_on_bin_centres(counts, scale, shift, base, seed):
    # Shared definition: -sum p log_base p over the counts of n_bins equal bins
    # spanning the sample; every value is a bin centre or an end of the range,
    # so numpy.histogram and the width rule count the same bins.
    scipy_stats = pytest.importorskip("scipy.stats")
    n_bins = len(counts)
    centres = np.repeat(np.arange(n_bins) + 0.5, counts)
    data = np.concatenate([[0.0, float(n_bins)], centres]) * scale + shift
    data = np.random.default_rng(seed).permutation(data)
    peer_counts, _ = np.histogram(data, bins=n_bins)
    assert peer_counts.sum() == data.size
    ours = _core.shannon_entropy(data, n_bins, base=base)
    assert close(ours, scipy_stats.entropy(peer_counts, base=base))


@pytest.mark.parametrize("seed, size, n_bins", [(1, 1000, -1), (2, 50, 7), (3, 5000, 64), (4, 400, 1)])
def test_shannon_entropy_matches_scipy_on_random_samples(seed, size, n_bins):
    # Shared definition: -sum p log2 p over equal-width bins of the finite
    # values (no drawn value lies within rounding of an inner edge); NaN and
    # infinities are handed to us only, the peer sees the finite values.
    scipy_stats = pytest.importorskip("scipy.stats")
    finite = np.random.default_rng(seed).normal(size=size)
    bins = max(10, math.isqrt(size)) if n_bins < 0 else n_bins
    peer_counts, _ = np.histogram(finite, bins=bins)
    data = np.concatenate([finite[: size // 2], [np.nan, np.inf, -np.inf], finite[size // 2 :]])
    assert close(_core.shannon_entropy(data, n_bins), scipy_stats.entropy(peer_counts, base=2))


# -- mutual information against sklearn.metrics.mutual_info_score --------------------


@settings(max_examples=100, deadline=None)
@given(small_integer_series())
def test_mutual_information_matches_sklearn_on_small_integers(case):
    # Shared definition: plug-in I(X; Y) of the contingency table of the
    # values; with values in 0 .. k - 1 and n_bins = k the scaled rule sends
    # distinct values to distinct bins, so both count the same table (nats to bits).
    metrics = pytest.importorskip("sklearn.metrics")
    k, xs, ys = case
    theirs = metrics.mutual_info_score(xs, ys) / LN2
    ours = _core.mutual_information(np.array(xs, dtype=float), np.array(ys, dtype=float), k)
    assert close(ours, theirs)
    # the same variables, stretched and shifted, bin the same way
    assert close(_core.mutual_information(np.array(xs) * 2.5 - 7.0, np.array(ys) * 0.1 + 3.0, k), theirs)


# -- transfer entropy against pyinform ----------------------------------------


@settings(max_examples=100, deadline=None)
@given(small_integer_series(max_values=4, max_size=80))
def test_transfer_entropy_with_history_1_matches_pyinform(case):
    # Shared definition: sum p(x_t, x_t-1, y_t-1) log2 p(x_t | x_t-1, y_t-1) / p(x_t | x_t-1)
    # over t = 1 .. n-1 of plug-in counts; values 0 .. k-1 with n_bins = k
    # bin one to one, and history 1 is pyinform's k = 1.
    pyinform = pytest.importorskip("pyinform")
    k, source, target = case
    theirs = pyinform.transfer_entropy(source, target, k=1)
    ours = _core.transfer_entropy(np.array(source, dtype=float), np.array(target, dtype=float), k, 1)
    assert close(ours, max(theirs, 0.0))


def test_batch_transfer_entropy_entries_match_pyinform_source_row_to_target_row():
    # Shared definition as above, for every ordered pair of rows: entry [i][j]
    # is the transfer entropy from row i to row j.
    pyinform = pytest.importorskip("pyinform")
    rng = np.random.default_rng(7)
    signals = rng.integers(0, 3, size=(4, 200))
    signals[1, 1:] = signals[0, :-1]  # row 1 follows row 0 one step later
    signals[2, 1:] = (signals[1, :-1] + signals[3, :-1]) % 3
    matrix = _core.batch_transfer_entropy_py(signals.astype(float), 3, 1)
    for i in range(4):
        for j in range(4):
            expected = 0.0 if i == j else max(pyinform.transfer_entropy(signals[i], signals[j], k=1), 0.0)
            assert close(matrix[i][j], expected), (i, j)
    assert matrix[0][1] > 1.0 > matrix[1][0]


# -- divergences against SciPy on the smoothed probabilities -------------------------


def smoothed(counts):
    shifted = counts.astype(float) + EPSILON
    return shifted / shifted.sum()


@settings(max_examples=120, deadline=None)
@given(
    k=st.integers(1, 8),
    data=st.data(),
)
def test_kl_and_js_divergences_match_scipy_on_smoothed_probabilities(k, data):
    # Shared definitions: D(P || Q) = sum P ln(P / Q) (nats) and
    # JS = (D(P || M) + D(Q || M)) / 2 in bits, M = (P + Q) / 2, on
    # P = (count + 1e-10) / total over the shared grid; values 0 .. k-1 with
    # n_bins = k bin one to one.
    scipy_stats = pytest.importorskip("scipy.stats")
    values = st.lists(st.integers(0, k - 1), max_size=40)
    p, q = data.draw(values), data.draw(values)
    P = smoothed(np.bincount(np.array(p, dtype=np.intp), minlength=k))
    Q = smoothed(np.bincount(np.array(q, dtype=np.intp), minlength=k))
    p_array, q_array = np.array(p, dtype=float), np.array(q, dtype=float)
    assert close(_core.kl_divergence(p_array, q_array, k), scipy_stats.entropy(P, Q))
    M = (P + Q) * 0.5
    # (not scipy.spatial.distance.jensenshannon: it takes a square root, which
    # is NaN when rounding leaves the divergence of near-equal P, Q below 0)
    theirs = 0.5 * scipy_stats.entropy(P, M, base=2) + 0.5 * scipy_stats.entropy(Q, M, base=2)
    assert close(_core.js_divergence(p_array, q_array, k), theirs)
