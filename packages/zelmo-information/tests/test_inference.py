"""Multivariate transfer entropy: the conditional estimate against a direct
count, its agreement with transfer_entropy, and network inference that
removes the links chains and common drivers fake."""

import math
import sys
import warnings
from collections import Counter

import numpy as np
import pytest

from conftest import same_float
from zelmo_information import _core
from zelmo_information import network as zn
from zelmo_information.simulate import discrete_network


def direct_count(source, target, conditions, n_bins, history, lag, condition_lags):
    """The conditional transfer entropy of series of small integers whose
    values are their bins (each series spans 0 .. n_bins - 1), by counting
    the states and summing the defining terms in ascending key order."""
    n = min([len(source), len(target)] + [len(c) for c in conditions])
    first = max([history, lag + history - 1] + [cl + history - 1 for cl in condition_lags])

    def past(series, t, delay):  # the code of the bins ending at t - delay, the latest weighing 1
        return sum(series[t - delay - k] * n_bins**k for k in range(history))

    states = Counter()
    for t in range(first, n):
        z = tuple(past(c, t, cl) for c, cl in zip(conditions, condition_lags))
        states[(target[t], past(target, t, 1), past(source, t, lag), z)] += 1

    def marginal(keep):
        out = Counter()
        for key, count in states.items():
            out[keep(key)] += count
        return out

    c_bz = marginal(lambda k: (k[1], k[3]))
    c_bsz = marginal(lambda k: (k[1], k[2], k[3]))
    c_abz = marginal(lambda k: (k[0], k[1], k[3]))
    total = float(n - first)
    te = 0.0
    for key in sorted(states):
        a, b, s, z = key
        ratio = (float(states[key]) * float(c_bz[(b, z)])) / (float(c_bsz[(b, s, z)]) * float(c_abz[(a, b, z)]))
        if ratio > 0.0 and ratio != 1.0:
            te = te + (states[key] / total) * math.log2(ratio)
    return max(te, 0.0)


@pytest.mark.filterwarnings("ignore:conditional_transfer_entropy")
@pytest.mark.parametrize("history, lag, condition_lags", [(1, 1, [1]), (2, 1, [1, 3]), (1, 3, [2]), (2, 2, [])])
def test_conditional_estimate_against_a_direct_count(history, lag, condition_lags):
    rng = np.random.default_rng(history * 10 + lag)
    n_bins, length = 3, 400
    series = rng.integers(0, n_bins, size=(2 + len(condition_lags), length))
    series[:, :3] = [0, 1, 2]  # every series spans all bins
    series[1, 3:] = np.where(rng.random(length - 3) < 0.5, series[0, 3 - lag:length - lag], series[1, 3:])
    source, target, conditions = series[0], series[1], series[2:]
    got = zn.conditional_transfer_entropy(source.astype(float), target.astype(float), conditions.astype(float),
                                          n_bins, history, lag=lag, condition_lags=condition_lags)
    assert same_float(got, direct_count(source.tolist(), target.tolist(), conditions.tolist(), n_bins, history, lag,
                                        condition_lags))


@pytest.mark.parametrize("n_bins, history", [(16, 1), (4, 3), (2, 5), (300, 1), (16, 17), (2**40, 1), (0, 1), (5, 0)])
def test_without_conditions_it_is_transfer_entropy(n_bins, history):
    rng = np.random.default_rng(n_bins % 97 + history)
    for length in (2, 40, 3000):
        x = rng.normal(size=length + 7)  # lengths differ: the shorter one counts
        y = np.concatenate([[0.0], x[:length - 1]]) + rng.normal(size=length)
        y[::13] = np.nan
        got = zn.conditional_transfer_entropy(x, y, np.zeros((0, 5)), n_bins, history, nonfinite="bin")
        assert same_float(got, _core.transfer_entropy(x, y, n_bins, history)), (length, got)


def test_conditioning_removes_and_reveals():
    rng = np.random.default_rng(0)
    length = 20_000
    x, z = rng.integers(0, 2, size=(2, length)).astype(float)
    chained = np.roll(x, 1)  # y = x(t - 1)
    xor = np.roll((x != z).astype(float), 1)  # x(t - 1) XOR z(t - 1)
    assert zn.transfer_entropy_matrix(np.vstack([x, xor]), 2)[0, 1] < 0.001  # alone, x tells nothing
    assert zn.conditional_transfer_entropy(x, xor, z[None], 2) == pytest.approx(1.0, abs=0.002)  # with z, all
    # Given y, the x it copies adds nothing about w = y(t - 1).
    w = np.roll(chained, 1)
    assert zn.transfer_entropy_matrix(np.vstack([x, w]), 2)[0, 0 + 1] < 0.001  # lag 2 is not lag 1
    assert zn.conditional_transfer_entropy(x, w, np.zeros((0, length)), 2, lag=2) > 0.99
    assert zn.conditional_transfer_entropy(x, w, chained[None], 2, lag=2) == 0.0


def test_a_sparse_conditioning_space_warns():
    rng = np.random.default_rng(1)
    x, y, z1, z2 = rng.normal(size=(4, 500))
    with pytest.warns(UserWarning, match="joint states"):
        zn.conditional_transfer_entropy(x, y, np.vstack([z1, z2]), 16)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zn.conditional_transfer_entropy(x, y, z1[None], 2)
        zn.conditional_transfer_entropy(x, y, np.zeros((0, 500)), 16)  # plain transfer entropy: no warning


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(lag=0), ValueError, "lag"),
    (dict(condition_lags=[1, 2]), ValueError, "condition_lags"),
    (dict(condition_lags=[0]), ValueError, "condition_lags"),
    (dict(conditions=np.zeros(10)), ValueError, "conditions must be two-dimensional"),
    (dict(conditions=[[1.0] * 9 + [np.inf]]), ValueError, "row 0 of conditions holds NaN"),
    (dict(source=np.zeros((2, 5))), ValueError, "source must be one-dimensional"),
    (dict(target=[1.0, np.nan, 2.0]), ValueError, "target holds NaN"),
    (dict(n_bins=-2), ValueError, "n_bins"),
])
def test_conditional_bad_arguments(kwargs, error, match):
    args = dict(source=np.arange(10.0), target=np.arange(10.0) % 3, conditions=np.ones((1, 10)))
    with pytest.raises(error, match=match):
        zn.conditional_transfer_entropy(**{**args, **kwargs})


# ---------------------------------------------------------------------------
# Network inference


def chain_and_driver(seed, length=6000):
    """x -> y -> w with a self-correlated x; d -> a at lag 1 and d -> b at
    lag 2; e independent. Rows: x, y, w, d, a, b, e."""
    rng = np.random.default_rng(seed)
    s = rng.integers(0, 2, size=(7, length))
    u = rng.random((7, length))
    for t in range(2, length):
        s[0, t] = s[0, t - 1] if u[0, t] < 0.7 else s[0, t]
        s[1, t] = s[0, t - 1] if u[1, t] < 0.6 else s[1, t]
        s[2, t] = s[1, t - 1] if u[2, t] < 0.6 else s[2, t]
        s[4, t] = s[3, t - 1] if u[4, t] < 0.6 else s[4, t]
        s[5, t] = s[3, t - 2] if u[5, t] < 0.6 else s[5, t]
    return s.astype(float)


def test_chains_and_common_drivers_are_removed():
    signals = chain_and_driver(3)
    pairwise = zn.transfer_entropy_test(signals, 2, surrogates=1000, seed=1).significant()
    assert pairwise[0, 2] and pairwise[4, 5]  # the chain's and the driver's indirect links
    net = zn.infer_network(signals, 2, max_lag=2, surrogates=200, seed=1)
    assert set(zip(*np.nonzero(net.adjacency))) == {(0, 1), (1, 2), (3, 4), (3, 5)}
    assert net.sources(5) == [(3, 2)] and net.sources(4) == [(3, 1)] and net.sources(6) == []
    assert (net.target_p_values[[0, 3, 6]] >= 0.05).all() and (net.target_p_values[[1, 2, 4, 5]] < 0.01).all()
    assert (net.p_values[net.adjacency] < 0.01).all() and np.isnan(net.p_values[~net.adjacency]).all()
    assert (net.te[~net.adjacency] == 0.0).all()


@pytest.mark.parametrize("length, method", [(3000, "shift"), (150, "shuffle")])
def test_reported_values_are_conditional_transfer_entropies(length, method):
    # c copies a from one step back or b from two; d copies c.
    rng = np.random.default_rng(length + 1)
    signals = rng.integers(0, 3, size=(4, length))
    pick = rng.random((2, length))
    for t in range(2, length):
        signals[2, t] = signals[0, t - 1] if pick[0, t] < 0.45 else signals[1, t - 2] if pick[0, t] < 0.9 else signals[2, t]
        signals[3, t] = signals[2, t - 1] if pick[1, t] < 0.6 else signals[3, t]
    signals = signals.astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # 150 steps are few for 3 ** 4 states
        net = zn.infer_network(signals, 3, max_lag=2, max_history=None, alpha=0.01, surrogates=200, method=method, seed=2)
    assert sorted(net.sources(2)) == [(0, 1), (1, 2)] and net.sources(3) == [(2, 1)]
    for link in net.links:
        others = [(s, lag) for s, lag in net.sources(link.target) if (s, lag) != (link.source, link.lag)]
        conditions = signals[np.array([s for s, _ in others], dtype=np.intp)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            expected = zn.conditional_transfer_entropy(signals[link.source], signals[link.target], conditions, 3,
                                                       lag=link.lag, condition_lags=[lag for _, lag in others])
        assert same_float(link.te, expected)
        assert net.te[link.source, link.target] >= link.te


def test_same_seed_same_network_for_any_worker_count():
    signals, _, _ = discrete_network(8, 4000, max_lag=2, seed=5)
    for method in ("shift", "shuffle"):
        runs = [zn.infer_network(signals, max_lag=2, surrogates=60, method=method, seed=8, workers=w)
                for w in (1, 2, 3)]
        for run in runs[1:]:
            assert run.links == runs[0].links
            assert run.target_p_values.tobytes() == runs[0].target_p_values.tobytes()
    fresh = zn.infer_network(signals, surrogates=60)
    assert zn.infer_network(signals, surrogates=60, seed=fresh.seed).links == fresh.links


def test_simulated_networks_are_recovered_where_pairwise_tests_are_not():
    found = {"multivariate": Counter(), "pairwise": Counter()}
    for seed in (11, 12, 13):
        signals, truth, _ = discrete_network(10, 10_000, seed=seed)
        net = zn.infer_network(signals, surrogates=200, alpha=0.01, seed=seed)
        pairwise = zn.transfer_entropy_test(signals, surrogates=2000, seed=seed).significant(0.01)
        for name, adjacency in (("multivariate", net.adjacency), ("pairwise", pairwise)):
            found[name].update(tp=int((adjacency & truth).sum()), fp=int((adjacency & ~truth).sum()),
                               fn=int((~adjacency & truth).sum()))
    precision = {k: c["tp"] / (c["tp"] + c["fp"]) for k, c in found.items()}
    recall = {k: c["tp"] / (c["tp"] + c["fn"]) for k, c in found.items()}
    assert precision["multivariate"] >= 0.9 and recall["multivariate"] >= 0.9, found
    assert precision["pairwise"] < 0.75, found


def test_networks_without_links_rarely_report_any():
    # Every target's p-value, valid when it has no source, enters one
    # Benjamini-Hochberg correction: where no series drives another, a
    # network reports any link with probability about alpha at most.
    reported = 0
    for seed in range(100):
        signals = np.random.default_rng(seed).normal(size=(6, 1000))
        net = zn.infer_network(signals, alpha=0.05, surrogates=200, seed=seed)
        reported += bool(net.adjacency.any())
        counts = net.target_p_values * 201  # every p-value is (1 + k) / (1 + surrogates)
        assert np.allclose(counts, np.round(counts), rtol=0, atol=1e-9) and (counts > 0.99).all()
    assert reported <= 10


def test_too_few_surrogates_for_the_correction_warn():
    signals = chain_and_driver(5, 2000)
    # The smallest p-value, 1 / (1 + surrogates), must reach alpha / 7.
    with pytest.warns(UserWarning, match="use at least 139 surrogates"):
        few = zn.infer_network(signals, 2, surrogates=100, seed=0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        enough = zn.infer_network(signals, 2, surrogates=139, seed=0)
    assert enough.adjacency[0, 1] and enough.adjacency[3, 4]
    assert few.adjacency.sum() <= enough.adjacency.sum()


def test_sparse_networks_warn_and_settings_are_reported():
    signals = np.random.default_rng(0).normal(size=(4, 400))
    signals[1, 1:] += signals[0, :-1]
    signals[2, 1:] += signals[0, :-1]
    signals[2, 2:] += signals[1, :-2]
    with pytest.warns(UserWarning, match="joint states"):
        net = zn.infer_network(signals, 12, surrogates=100, seed=0)
    assert (net.n_bins, net.history, net.max_lag, net.surrogates, net.method, net.seed) == (12, 1, 5, 100, "shift", 0)
    assert zn.infer_network(signals, surrogates=20, seed=0, max_sources=1).n_bins == zn.transfer_entropy_bins(400)
    assert zn.infer_network(signals, surrogates=20, seed=0).n_bins == zn.transfer_entropy_bins(400, 1, 1)


def test_to_networkx(monkeypatch):
    networkx = pytest.importorskip("networkx")
    signals = chain_and_driver(4, 3000)
    net = zn.infer_network(signals, 2, max_lag=2, surrogates=100, seed=3)
    graph = net.to_networkx()
    assert isinstance(graph, networkx.DiGraph) and sorted(graph.nodes) == list(range(7))
    assert sorted(graph.edges) == sorted(zip(*map(list, np.nonzero(net.adjacency))))
    assert graph.edges[3, 5] == {"te": net.te[3, 5], "p_value": net.p_values[3, 5], "lag": 2}
    monkeypatch.setitem(sys.modules, "networkx", None)
    with pytest.raises(ImportError, match="pip install networkx"):
        net.to_networkx()


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(max_lag=0), ValueError, "max_lag"),
    (dict(alpha=1.0), ValueError, "alpha"),
    (dict(max_sources=0), ValueError, "max_sources"),
    (dict(surrogates=0), ValueError, "surrogates"),
    (dict(method="roll"), ValueError, "method"),
    (dict(max_lag=20), ValueError, "2 \\* \\(history \\+ max_lag\\)"),
    (dict(signals=np.ones(40)), ValueError, "two-dimensional"),
])
def test_infer_network_bad_arguments(kwargs, error, match):
    args = dict(signals=np.random.default_rng(0).normal(size=(3, 40)))
    with pytest.raises(error, match=match):
        zn.infer_network(**{**args, **kwargs})
