"""The nearest-neighbour (KSG) estimator: its kernel through the private
bindings (neighbour distances and counts equal a comparison of every pair,
the estimates equal a model built on those counts to the last bit, the
estimates meet the analytic values of Gaussians, the preparation of a
series is the documented one), then as the network functions' ``"ksg"``:
their values equal the model on the prepared rows, also with missing
samples, and networks of independent and of coupled nonlinear series."""

import math
import pickle
import threading

import numpy as np
import pytest

from test_network import philox_words
from zelmo_information import _network as net
from zelmo_information import network as zn
from zelmo_information import simulate

LN2 = math.log(2.0)


# ---------------------------------------------------------------------------
# The model: every pair compared


def chebyshev(points, rows):
    """The (N, N) maximum-norm distances over `rows` of points (d, N)."""
    out = np.zeros((points.shape[1],) * 2)
    for r in rows:
        np.maximum(out, np.abs(points[r][:, None] - points[r][None, :]), out=out)
    return out


def model_counts(points, k, subspaces):
    """eps: the k-th smallest of each point's N - 1 distances over all rows;
    counts: the other points strictly within eps over each subspace."""
    joint = chebyshev(points, range(points.shape[0]))
    np.fill_diagonal(joint, np.inf)
    eps = np.partition(joint, k - 1, axis=1)[:, k - 1]
    counts = [(chebyshev(points, rows) < eps[:, None]).sum(axis=1) - (eps > 0) for rows in subspaces]
    return eps, np.array(counts)


def model_cmi(x, y, z, k):
    """I(X; Y | Z) in bits (I(X; Y) when z has no rows), the terms summed in
    point order from the digamma table."""
    dx, dy, dz = len(x), len(y), len(z)
    points = np.vstack([x, y, z])
    xs, ys, zs = list(range(dx)), list(range(dx, dx + dy)), list(range(dx + dy, dx + dy + dz))
    n = points.shape[1]
    psi = [float(v) for v in net._ksg_digamma(n)]  # psi[m - 1] = psi(m)
    total = 0.0
    if dz == 0:
        _, (nx, ny) = model_counts(points, k, [xs, ys])
        for t in range(n):
            total += psi[nx[t]] + psi[ny[t]]
        return (psi[k - 1] + psi[n - 1] - total / n) / LN2
    _, (nz, nxz, nyz) = model_counts(points, k, [zs, xs + zs, ys + zs])
    for t in range(n):
        total += psi[nz[t]] - psi[nxz[t]] - psi[nyz[t]]
    return (psi[k - 1] + total / n) / LN2


def data(kind, d, n, seed):
    """(d, n) points: Gaussian, quantised (few values, many ties and
    duplicate points), decimal steps (whose differences round unevenly),
    or a mix of the three."""
    rng = np.random.default_rng(seed)
    if kind == "gauss":
        return rng.normal(size=(d, n))
    if kind == "quantised":  # levels such that about half the points have k copies
        return rng.integers(0, max(3, round(n ** (1 / d) / 1.5)), size=(d, n)).astype(float)
    if kind == "decimal":
        return rng.integers(0, 30, size=(d, n)) * 0.1
    kinds = ["gauss", "quantised", "decimal"]
    return np.vstack([data(kinds[r % 3], 1, n, seed + r) for r in range(d)])


def split(points, dims):
    out, first = [], 0
    for d in dims:
        out.append(np.ascontiguousarray(points[first:first + d]))
        first += d
    return out


# ---------------------------------------------------------------------------
# Exactness against the model


@pytest.mark.parametrize("kind, d, n, k", [
    ("gauss", 2, 2000, 4), ("gauss", 6, 1500, 4), ("gauss", 8, 700, 3),
    ("quantised", 3, 2000, 4), ("quantised", 6, 1200, 3), ("decimal", 3, 1800, 5),
    ("mixed", 4, 1600, 4), ("mixed", 7, 900, 2), ("gauss", 3, 6, 5), ("quantised", 1, 1500, 4),
    ("decimal", 1, 1000, 7), ("decimal", 3, 1500, 10), ("gauss", 2, 1200, 9),
])
def test_distances_and_counts_equal_every_pair_compared(kind, d, n, k):
    points = data(kind, d, n, seed=d * n + k)
    subspaces = [s for s in ([0], [d - 1], [0, d - 1], list(range(1, d)), list(range(d))) if s]
    want_eps, want_counts = model_counts(points, k, subspaces)
    for structure in ("auto", "tree", "rank"):
        eps, counts = net._ksg_counts(points, k, subspaces, structure)
        np.testing.assert_array_equal(eps, want_eps)
        np.testing.assert_array_equal(counts, want_counts)
    if kind == "quantised":
        assert (eps == 0).any() and (eps > 0).any()


def test_duplicate_points_count_as_distinct_neighbours():
    # Every point three times: the two copies are its nearest neighbours at
    # distance 0, so eps is 0 for k <= 2 and the next distinct point for k = 3.
    base = np.array([[0.0, 1.0, 3.0, 7.0], [0.0, 0.0, 0.5, 0.5]])
    points = np.repeat(base, 3, axis=1)
    for k in (1, 2):
        eps, counts = net._ksg_counts(points, k, [[0], [0, 1]])
        assert (eps == 0).all() and (counts == 0).all()
    eps, counts = net._ksg_counts(points, 3, [[0], [1], [0, 1]])
    np.testing.assert_array_equal(eps, np.repeat([1.0, 1.0, 2.0, 4.0], 3))
    np.testing.assert_array_equal(counts, model_counts(points, 3, [[0], [1], [0, 1]])[1])
    np.testing.assert_array_equal(counts[2], 2)  # the copies, strictly closer than eps
    eps, counts = net._ksg_counts(np.ones((3, 50)), 4, [[0], [0, 1], [0, 1, 2]])
    assert (eps == 0).all() and (counts == 0).all()


@pytest.mark.parametrize("kind, dims, n, k", [
    ("gauss", (1, 1, 1), 2000, 4), ("gauss", (2, 2, 2), 1200, 4), ("mixed", (1, 2, 1), 1500, 3),
    ("quantised", (1, 1, 1), 1500, 4), ("decimal", (2, 1, 3), 1000, 6), ("gauss", (1, 1, 0), 2000, 4),
    ("mixed", (2, 1, 0), 1500, 5), ("quantised", (1, 2, 0), 1200, 4), ("decimal", (1, 1, 2), 1200, 10),
])
def test_estimates_equal_the_model_to_the_last_bit(kind, dims, n, k):
    x, y, z = split(data(kind, sum(dims), n, seed=n + k), dims)
    want = model_cmi(x, y, z, k)
    context = net._KsgContext(y, z, k)
    if dims[2] == 0:
        assert net._ksg_mutual_information(x, y, k) == want
    assert net._ksg_conditional_mutual_information(x, y, z, k) == want
    assert context.value(x) == want
    # A context serving many values searches through neighbour lists of y
    # and z from its 16th value on (with ties, some scans run off the list).
    assert context.values([x] * 20) == [want] * 20


def test_digamma_table_is_within_a_few_ulp_of_scipy():
    special = pytest.importorskip("scipy.special")
    n = 200_000
    table = net._ksg_digamma(n)
    m = np.unique(np.geomspace(1, n, 400).astype(int))
    want = special.digamma(m.astype(float))
    assert np.all(np.abs(table[m - 1] - want) <= 4 * np.spacing(np.abs(want)))


# ---------------------------------------------------------------------------
# Estimates against analytic values


def correlated(rho, n, seed):
    rng = np.random.default_rng(seed)
    a, b = rng.normal(size=(2, n))
    return a[None], (rho * a + math.sqrt(1 - rho * rho) * b)[None]


# One estimate at N = 10^4 has a standard deviation of 0.011 (rho = 0) to
# 0.017 bits (rho = 0.9); the bias is the mean error of eight.
@pytest.mark.parametrize("rho", [0.0, 0.5, 0.9])
def test_mutual_information_of_correlated_gaussians_is_nearly_unbiased(rho):
    exact = -0.5 * math.log2(1 - rho * rho)
    errors = [net._ksg_mutual_information(*correlated(rho, 10_000, seed), 4) - exact for seed in range(8)]
    assert abs(np.mean(errors)) <= 0.03


def test_conditional_mutual_information_of_gaussians():
    errors, chain = [], []
    for seed in range(6):
        rng = np.random.default_rng(seed)
        n = 10_000
        # A common part z and correlated residuals: I(a; b | z) = -1/2 log2(1 - r^2).
        z = rng.normal(size=(1, n))
        ra, rb = correlated(0.7, n, seed=100 + seed)
        errors.append(net._ksg_conditional_mutual_information(ra + z, rb - 0.5 * z, z, 4)
                      + 0.5 * math.log2(1 - 0.7 ** 2))
        # A chain x -> y -> w: x and w are dependent, but not given y.
        x = rng.normal(size=(1, n))
        y = x + rng.normal(size=(1, n))
        w = y + rng.normal(size=(1, n))
        chain.append(net._ksg_conditional_mutual_information(x, w, y, 4))
    assert abs(np.mean(errors)) <= 0.03
    assert abs(np.mean(chain)) <= 0.03
    assert net._ksg_mutual_information(x, w, 4) > 0.25  # I(x; w) = 0.29


# ---------------------------------------------------------------------------
# Reuse and determinism


def test_context_reused_and_shared_by_threads_gives_the_single_estimates():
    rng = np.random.default_rng(9)
    n = 3000
    y, z = rng.normal(size=(1, n)), rng.normal(size=(1, n))
    x = rng.normal(size=(1, n)) + y
    sources = [np.roll(x, shift, axis=1) for shift in range(0, 1200, 100)]
    context = net._KsgContext(y, z, 4)
    serial = [net._ksg_conditional_mutual_information(s, y, z, 4) for s in sources]
    assert [context.value(s) for s in sources] == serial
    # One workspace through sources of one and two columns (a grid search
    # and plane counts, then a tree for both).
    wide = [np.vstack([s, s[:, ::-1]]) for s in sources[:3]]
    mixed = [s for pair in zip(sources[:3], wide) for s in pair]
    want = [net._ksg_conditional_mutual_information(s, y, z, 4) for s in mixed]
    assert context.values(mixed) == want and context.values(sources) == serial
    results = [None] * len(sources)

    def work(first):
        for i in range(first, len(sources), 3):
            results[i] = context.value(sources[i])

    threads = [threading.Thread(target=work, args=(first,)) for first in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == serial
    assert serial[0] > 0.3 and max(abs(v) for v in serial[1:]) < 0.05


def test_arguments_are_checked():
    x = np.zeros((1, 10))
    with pytest.raises(ValueError, match="k must be"):
        net._ksg_mutual_information(x, x, 10)
    with pytest.raises(ValueError, match="k must be"):
        net._ksg_mutual_information(x, x, 0)
    with pytest.raises(ValueError, match="another number of points"):
        net._ksg_conditional_mutual_information(x, x, np.zeros((1, 9)), 3)
    with pytest.raises(ValueError, match="NaN"):
        net._ksg_mutual_information(np.full((1, 10), np.nan), x, 3)
    with pytest.raises(ValueError, match="at least one row"):
        net._ksg_mutual_information(np.zeros((0, 10)), x, 3)
    with pytest.raises(ValueError, match="structure"):
        net._ksg_counts(x, 3, [[0]], "grid")
    with pytest.raises(ValueError, match="noise"):
        net._ksg_prepare(np.zeros(10), False, -1.0, 0, 0)


# ---------------------------------------------------------------------------
# Preparation of a series


def test_preparation_standardises_and_ranks():
    rng = np.random.default_rng(3)
    series = rng.exponential(size=5000) * 1e12 + 3e12
    out = net._ksg_prepare(series, False, 0.0, 0, 0)
    np.testing.assert_allclose(out, (series - series.mean()) / series.std(), rtol=0, atol=1e-12)
    stats = pytest.importorskip("scipy.stats")
    quantised = np.round(series / 1e12)
    ranks = stats.rankdata(quantised)
    out = net._ksg_prepare(quantised, True, 0.0, 0, 0)
    np.testing.assert_allclose(out, (ranks - ranks.mean()) / ranks.std(), rtol=0, atol=1e-12)
    assert (net._ksg_prepare(np.full(7, 0.1), False, 0.0, 0, 0) == 0).all()


def test_preparation_noise_is_the_documented_philox_stream():
    series = np.random.default_rng(4).integers(0, 3, size=999).astype(float)
    clean = net._ksg_prepare(series, False, 0.0, 0, 0)
    noisy = net._ksg_prepare(series, False, 1e-6, 12345, 7)
    words = philox_words(12345, 8, 7, 0, 0)  # key (seed, the purpose of noise), counter (row, 0, 0)
    uniform = np.array([(next(words) >> 11) * 2.0 ** -53 for _ in range(series.size)])
    np.testing.assert_array_equal(noisy, clean + 1e-6 * (2 * uniform - 1))
    assert np.unique(noisy).size == series.size  # the ties are broken
    assert (net._ksg_prepare(series, False, 1e-6, 12345, 7) == noisy).all()
    assert not (net._ksg_prepare(series, False, 1e-6, 12345, 8) == noisy).any()


# ---------------------------------------------------------------------------
# Through the network functions


def prepared(row, index, rank=False, noise=1e-8, seed=0):
    """Row `index` as the network functions prepare it: standardised (or
    ranked) over its finite values, NaN where missing, plus the noise of
    that row index (the noise of a constant row is the noise alone)."""
    out = np.full(row.size, np.nan)
    present = np.isfinite(row)
    out[present] = net._ksg_prepare(np.ascontiguousarray(row[present]), rank, 0.0, seed, index)
    return out + net._ksg_prepare(np.zeros(row.size), False, noise, seed, index)


def past(row, steps, lag, history):
    return np.array([row[steps - lag - h] for h in range(history)]).reshape(history, steps.size)


@pytest.mark.parametrize("kind, history, k, lag, condition_lags, noise, rank", [
    ("gauss", 1, 4, 1, [], 1e-8, False),
    ("gauss", 2, 3, 2, [1, 3], 1e-8, False),
    ("quantised", 1, 4, 1, [2], 0.0, False),   # ties: zero distances and equal counts
    ("quantised", 1, 4, 1, [2], 1e-8, False),  # the same ties broken by the noise
    ("decimal", 2, 5, 1, [1], 0.0, True),
])
def test_conditional_transfer_entropy_equals_the_model_to_the_last_bit(kind, history, k, lag, condition_lags, noise,
                                                                      rank):
    n = 300
    rows = data(kind, 2 + len(condition_lags), n, seed=k + lag)
    if kind == "quantised":
        rows = np.round(rows / 3)  # about a hundred copies of each value
    p = [prepared(row, i, rank, noise, seed=5) for i, row in enumerate(rows)]
    first = max([history, lag + history - 1] + [c + history - 1 for c in condition_lags])
    steps = np.arange(first, n)
    x = past(p[0], steps, lag, history)
    y = p[1][steps][None]
    z = np.vstack([past(p[1], steps, 1, history)] + [past(p[2 + c], steps, lag_c, history)
                                                       for c, lag_c in enumerate(condition_lags)])
    te, counted = zn.conditional_transfer_entropy(rows[0], rows[1], rows[2:], history=history, lag=lag,
                                                  condition_lags=condition_lags, return_steps=True,
                                                  estimator=zn.KSG(k=k, noise=noise, rank=rank, seed=5))
    assert counted == steps.size and te == model_cmi(x, y, z, k)
    if noise == 0.0 and kind == "quantised":
        assert te != zn.conditional_transfer_entropy(rows[0], rows[1], rows[2:], condition_lags=condition_lags,
                                                     estimator=zn.KSG(k=k, seed=5))


def test_matrices_equal_the_model_and_skip_the_steps_with_missing_samples():
    rng = np.random.default_rng(21)
    rows = rng.normal(size=(3, 400))
    rows[1, 1:] += np.sin(2 * rows[0, :-1])
    rows[2] = np.round(rows[2] * 2)  # ties
    holes = rows.copy()
    holes[0, [30, 31, 200]] = np.nan
    holes[2, 77] = np.inf
    p = [prepared(row, i) for i, row in enumerate(holes)]
    te, counted = zn.transfer_entropy_matrix(holes, estimator="ksg", nonfinite="skip", return_steps=True)
    mi, mi_counted = zn.mutual_information_matrix(holes, estimator="ksg", nonfinite="skip", return_steps=True)
    steps = np.arange(1, 400)
    for i, j in [(0, 1), (1, 0), (2, 1), (0, 2)]:
        keep = steps[np.isfinite(p[i][steps - 1]) & np.isfinite(p[j][steps]) & np.isfinite(p[j][steps - 1])]
        assert counted[i, j] == keep.size
        assert te[i, j] == model_cmi(p[i][keep - 1][None], p[j][keep][None], p[j][keep - 1][None], 4), (i, j)
        both = np.isfinite(p[i]) & np.isfinite(p[j])
        assert mi_counted[i, j] == both.sum() and mi[i, j] == mi[j, i] == model_cmi(
            p[i][both][None], p[j][both][None], np.zeros((0, both.sum())), 4)
    assert te[0, 1] > 0.3 and (te < 0).any()  # estimates below zero are reported as they are
    # A row with itself: psi(N) - psi(k) in bits, its values being distinct.
    psi = net._ksg_digamma(400)
    assert mi[1, 1] == pytest.approx((psi[399] - psi[3]) / LN2, rel=1e-12)
    with pytest.raises(ValueError, match="row 0 of signals holds NaN"):
        zn.transfer_entropy_matrix(holes, estimator="ksg")


def test_mutual_information_matrix_of_correlated_gaussians():
    # One estimate at N = 10^4 varies by about 0.013 bits: the error is the
    # mean of four.
    for rho in (0.0, 0.5, 0.9):
        exact = -0.5 * math.log2(1 - rho * rho)
        values = [zn.mutual_information_matrix(np.vstack(correlated(rho, 10_000, seed)), estimator="ksg")[0, 1]
                  for seed in range(20, 24)]
        assert abs(np.mean(values) - exact) <= 0.03, rho


def test_estimator_object_checks_its_arguments_and_pickles():
    assert zn.KSG() == zn.KSG(k=4, noise=1e-8, rank=False, seed=0)
    assert pickle.loads(pickle.dumps(zn.KSG(k=3, noise=0, rank=True))) == zn.KSG(k=3, noise=0.0, rank=True)
    for kwargs, error, match in [
        (dict(k=0), ValueError, "k must be between 1"), (dict(k=2.0), TypeError, "k must be an integer"),
        (dict(k=True), TypeError, "k must be an integer"), (dict(noise=-1e-9), ValueError, "noise must be finite"),
        (dict(noise=math.inf), ValueError, "noise must be finite"), (dict(noise="1"), TypeError, "noise must be a real"),
        (dict(rank=1), TypeError, "rank must be a bool"), (dict(seed=-1), ValueError, "seed must be between"),
    ]:
        with pytest.raises(error, match=match):
            zn.KSG(**kwargs)
    # Fewer steps than neighbours: nothing to count.
    short = np.random.default_rng(0).normal(size=(2, 6))
    assert (zn.transfer_entropy_matrix(short, estimator=zn.KSG(k=5)) == 0).all()
    test = zn.transfer_entropy_test(short, estimator=zn.KSG(k=5), surrogates=5, seed=0)
    assert (test.te == 0).all() and pickle.loads(pickle.dumps(test)).estimator == "ksg"
    assert test.estimator_settings == {"k": 5, "noise": 1e-8, "rank": False, "seed": 0}


def test_a_network_of_coupled_logistic_maps_is_recovered():
    x, truth, lags = simulate.logistic_network(4, 500, in_degree=1.0, max_lag=1, seed=0)
    net = zn.infer_network(x, estimator="ksg", max_lag=1, surrogates=100, seed=1)
    assert (net.adjacency == truth).all() and truth.sum() == 4
    assert net.estimator == "ksg" and (net.surrogates_drawn > 0).all()


# ---------------------------------------------------------------------------
# Early stops of the sequential surrogate tests


def settings_with(surrogates, alpha):
    return net.InferenceSettings(history=1, target_history=1, max_lag=1, max_history=0, alpha=alpha,
                                 surrogates=surrogates, method="shift", seed=0, max_sources=0, analytic=False,
                                 sequential=True)


def early_stop_level(m, surrogates, alpha, trials, rng):
    """The rejection rate under the null of a test that rejects when fewer
    than r of `surrogates` null values reach the observed one (r the fewest
    with p >= alpha), or when none of the first m do: the observed value and
    the null values drawn alike."""
    r = math.ceil(alpha * (1 + surrogates)) - 1
    rejected = 0
    for _ in range(trials // 10_000):
        values = rng.random((10_000, 1 + surrogates), dtype=np.float32)
        reaching = values[:, 1:] >= values[:, :1]
        full = reaching.sum(axis=1) < r
        early = ~reaching[:, :m].any(axis=1)
        rejected += int((full | early).sum())
    return rejected / trials


@pytest.mark.parametrize("surrogates, alpha, expected", [(200, 0.05, 66), (100, 0.05, 51), (200, 0.01, 181)])
def test_an_early_significant_stop_keeps_the_level(surrogates, alpha, expected):
    m = settings_with(surrogates, alpha).early_stop
    assert m == expected
    rng = np.random.default_rng(5)
    # The rate at m stays within the simulation's error of alpha (exactly:
    # 0.04998, 0.04997 and 0.00999); a stop at m / 3 raises it well beyond
    # (0.062, 0.070 and 0.018).
    trials = 200_000
    error = 3 * math.sqrt(alpha * (1 - alpha) / trials)
    assert early_stop_level(m, surrogates, alpha, trials, rng) <= alpha + error
    assert early_stop_level(m // 3, surrogates, alpha, trials, rng) > alpha + 2 * error


def test_steps_after_the_first_stop_early_when_significant():
    # Two strong drivers of row 2 and nothing else: its first selection step
    # draws all 200 surrogates of both candidates, the second step (one
    # candidate) and the pruning (two) stop at 66, the omnibus test and the
    # two final links draw all 200.
    rng = np.random.default_rng(3)
    x = rng.normal(size=(3, 500))
    x[2, 1:] = x[0, :-1] + x[1, :-1] + 0.3 * rng.normal(size=499)
    found = zn.infer_network(x, estimator="ksg", max_lag=1, max_history=None, seed=2)
    assert found.adjacency[:, 2].tolist() == [True, True, False]
    assert found.surrogates_drawn[2] == 200 * 2 + 66 + 66 * 2 + 200 + 200 * 2
    assert (found.p_values[:2, 2] == 1 / 201).all()
