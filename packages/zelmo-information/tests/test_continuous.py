"""The estimators for continuous signals behind the network functions: the
Gaussian estimator against a direct log-determinant formula, the copula
against the Gaussian estimator on rank-normal scores, the analytic null's
calibration, the steps left out for missing samples, the target's own past,
and the one seam that every estimator goes through."""

import warnings

import numpy as np
import pytest
from scipy import special, stats

from zelmo_information import network as zn
from zelmo_information import simulate

LOG2 = np.log(2.0)


def logdet_cmi(x, y, z):
    """I(X; Y | Z) in bits from the log-determinants of sample covariances
    (columns are variables)."""
    def logdet(*blocks):
        a = np.hstack([b for b in blocks if b.shape[1]])
        if a.shape[1] == 0:
            return 0.0
        return np.linalg.slogdet(np.atleast_2d(np.cov(a, rowvar=False, bias=True)))[1]
    return 0.5 * (logdet(x, z) + logdet(y, z) - logdet(z) - logdet(x, y, z)) / LOG2


def lagged(row, steps, lags):
    return np.stack([row[steps - lag] for lag in lags], axis=1) if lags else np.zeros((steps.size, 0))


def coupled(seed, length=3000):
    """0 -> 1 at lag 1, 1 -> 2 at lag 2 and 0 -> 2 at lag 2, 2 -> 3 at lag 1;
    row 3 has its own lag-2 memory."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(4, length))
    for t in range(2, length):
        a[1, t] += 0.6 * a[0, t - 1]
        a[2, t] += 0.5 * a[1, t - 2] + 0.3 * a[0, t - 2]
        a[3, t] += 0.4 * a[2, t - 1] + 0.5 * a[3, t - 2]
    return a


def close(a, b, rtol=1e-10):
    # The log-determinant formula is a difference of values of order one, so
    # its own rounding is about 1e-15 in absolute terms: values far below a
    # bit are compared to that, the others to rtol.
    return np.allclose(a, b, rtol=rtol, atol=1e-13)


# ---------------------------------------------------------------------------
# Values


@pytest.mark.parametrize("history", [1, 2, 3])
def test_gaussian_transfer_entropy_is_the_log_determinant_formula(history):
    a = coupled(history)
    te = zn.transfer_entropy_matrix(a, history=history, estimator="gaussian")
    steps = np.arange(history, a.shape[1])
    past = list(range(1, history + 1))
    for i in range(4):
        for j in range(4):
            expected = 0.0 if i == j else logdet_cmi(lagged(a[i], steps, past), a[j, steps, None],
                                                     lagged(a[j], steps, past))
            assert close(te[i, j], expected), (i, j, te[i, j], expected)


@pytest.mark.parametrize("history, lag, condition_lags", [(1, 1, [1]), (2, 3, [1, 2]), (1, 2, []), (3, 1, [4])])
def test_gaussian_conditional_transfer_entropy_is_the_log_determinant_formula(history, lag, condition_lags):
    a = coupled(10 + lag)
    source, target, conditions = a[0], a[2], a[[1, 3][:len(condition_lags)]] if condition_lags else np.zeros((0, 3000))
    got, counted = zn.conditional_transfer_entropy(source, target, conditions, history=history, lag=lag,
                                                   condition_lags=condition_lags, estimator="gaussian",
                                                   return_steps=True)
    first = max([history, lag + history - 1] + [c + history - 1 for c in condition_lags])
    steps = np.arange(first, a.shape[1])
    z = [lagged(target, steps, range(1, history + 1))]
    z += [lagged(c, steps, range(cl, cl + history)) for c, cl in zip(conditions, condition_lags)]
    expected = logdet_cmi(lagged(source, steps, range(lag, lag + history)), target[steps, None], np.hstack(z))
    assert counted == steps.size and close(got, expected), (got, expected)


def test_gaussian_mutual_information_is_the_correlation_formula():
    a = np.vstack([coupled(3, length=5000), np.zeros((2, 5000))])
    a[4] = np.random.default_rng(4).normal(size=5000)
    a[5] = 2.0 * a[4] - 1.0  # an exact linear copy
    mi = zn.mutual_information_matrix(a, estimator="gaussian")
    rho = np.corrcoef(a)
    expected = -0.5 * np.log2(1.0 - rho**2)
    off = ~np.eye(6, dtype=bool)
    off[4, 5] = off[5, 4] = False
    assert close(mi[off], expected[off], 1e-10)
    cap = 0.5 * np.log2(1e12)  # a row with itself or its copy
    assert np.allclose(np.diag(mi), cap) and mi[4, 5] == pytest.approx(cap) and (mi == mi.T).all()


def test_gaussian_mutual_information_of_a_pair_does_not_depend_on_the_other_rows():
    # 19 rows (sources go by groups, one left over), 2,501 steps (rows are
    # read in pieces, with a tail of one step), scales from 1e-3 to 1e3.
    rng = np.random.default_rng(11)
    x = rng.normal(size=(19, 2501))
    x[1:] += 0.4 * x[:-1]
    x = x * 10.0 ** rng.integers(-3, 4, size=(19, 1)) + rng.normal(size=(19, 1))
    full = zn.mutual_information_matrix(x, estimator="gaussian", workers=3)
    pairs = [(i, j) for i in range(19) for j in range(i + 1, 19)]
    assert all(full[i, j] == zn.mutual_information_matrix(x[[i, j]], estimator="gaussian")[0, 1] for i, j in pairs)
    # Against correlations in extended precision.
    e = x.astype(np.longdouble)
    e -= e.mean(axis=1, keepdims=True)
    rho = np.array([(e[i] @ e[j]) / np.sqrt((e[i] @ e[i]) * (e[j] @ e[j])) for i, j in pairs])
    expected = (-0.5 * np.log1p(-rho * rho) / np.log(np.longdouble(2))).astype(float)
    got = np.array([full[i, j] for i, j in pairs])
    assert np.max(np.abs(got - expected) / expected) < 2e-14  # NumPy's corrcoef: 1.2e-13


def test_degenerate_series_give_documented_finite_values():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(4, 500))
    x[1] = 7.0  # constant
    x[2, 1:] = 3.0 * x[0, :-1]  # x0 determines x2's next value exactly
    te = zn.transfer_entropy_matrix(x, estimator="gaussian")
    mi = zn.mutual_information_matrix(x, estimator="gaussian")
    assert np.isfinite(te).all() and (te >= 0).all() and np.isfinite(mi).all() and (mi >= 0).all()
    assert (te[1] == 0).all() and (te[:, 1] == 0).all() and (mi[1] == 0).all()
    assert te[0, 2] == pytest.approx(0.5 * np.log2(1e12), rel=1e-3)
    for estimator in ("gaussian", "copula"):
        assert zn.conditional_transfer_entropy(x[0], x[2], x[[1, 0]], estimator=estimator) == 0.0  # x0 in the context


def test_copula_is_the_gaussian_estimator_on_rank_normal_scores():
    rng = np.random.default_rng(5)
    a = coupled(5, length=2000)[:3]
    a = np.vstack([np.exp(a[0]), a[1] ** 3, np.round(a[2], 1)])  # monotonic maps; ties in row 2
    scores = special.ndtri(stats.rankdata(a, axis=1) / (a.shape[1] + 1))
    for args in (dict(), dict(history=2)):
        assert close(zn.transfer_entropy_matrix(a, estimator="copula", **args),
                     zn.transfer_entropy_matrix(scores, estimator="gaussian", **args), 1e-12)
    assert close(zn.mutual_information_matrix(a, estimator=zn.GaussianCopula()),
                 zn.mutual_information_matrix(scores, estimator=zn.Gaussian()), 1e-12)
    # A monotonic nonlinear coupling that a linear measure barely sees.
    x = rng.normal(size=4000)
    y = np.concatenate([[0.0], np.exp(3 * x[:-1])]) + 0.1 * rng.normal(size=4000)
    pair = np.vstack([x, y])
    assert zn.transfer_entropy_matrix(pair, estimator="copula")[0, 1] > 3 * zn.transfer_entropy_matrix(
        pair, estimator="gaussian")[0, 1]


# ---------------------------------------------------------------------------
# Significance


def test_the_analytic_null_is_calibrated_on_independent_series():
    rng = np.random.default_rng(11)
    p = []
    for _ in range(10):
        x = rng.normal(size=(8, 500))
        x[:, 1:] += 0.5 * x[:, :-1]  # self-correlated, but independent of each other
        res = zn.transfer_entropy_test(x, estimator="gaussian", null="analytic")
        p.append(res.p_values[~np.eye(8, dtype=bool)])
        assert res.null == "analytic" and np.isnan(np.diag(res.p_values)).all()
    p = np.concatenate(p)  # 560 p-values
    assert 0.02 < (p < 0.05).mean() < 0.09 and 0.06 < (p < 0.1).mean() < 0.15
    assert stats.kstest(p, "uniform").pvalue > 0.01


def test_surrogate_and_analytic_p_values_agree():
    a = coupled(2, length=1500)
    by_surrogates = zn.transfer_entropy_test(a, estimator="gaussian", surrogates=400, seed=3)
    analytic = zn.transfer_entropy_test(a, estimator="gaussian", null="analytic")
    assert (by_surrogates.te == analytic.te).all()
    off = ~np.eye(4, dtype=bool)
    assert np.abs(by_surrogates.p_values[off] - analytic.p_values[off]).max() < 0.1
    assert (by_surrogates.significant() == analytic.significant()).all()


@pytest.mark.parametrize("estimator, null", [("binned", "surrogates"), ("gaussian", "surrogates"),
                                             ("gaussian", "analytic"), ("copula", "analytic"),
                                             ("ksg", "surrogates")])
def test_networks_of_independent_series_rarely_show_a_link(estimator, null):
    networks = 100 if null == "analytic" or estimator == "ksg" else 30
    shape = (3, 200) if estimator == "ksg" else (6, 300)
    reported = 0
    for seed in range(networks):
        x = np.random.default_rng(seed).normal(size=shape)
        net = zn.infer_network(x, estimator=estimator, null=null, max_lag=2,
                               surrogates=100 if estimator == "ksg" else 200, seed=seed)
        reported += bool(net.adjacency.any())
    assert reported <= 0.1 * networks, reported


# ---------------------------------------------------------------------------
# Missing samples


def test_skipped_steps_are_those_that_use_a_missing_value():
    a = coupled(4, length=400)[:3]
    holes = a.copy()
    holes[0, 50] = np.nan  # the source at step 50: steps 51 (lag 1) and 52 (lag 2) lose it
    holes[2, 100] = np.inf  # the target at step 100: its own next value and its past at step 101
    holes[1, 300] = -np.inf
    te, counted = zn.transfer_entropy_matrix(holes, history=2, estimator="gaussian", nonfinite="skip",
                                             return_steps=True)
    steps = np.arange(2, 400)
    for i, j in [(0, 2), (1, 2), (2, 0)]:
        used = [(i, 1), (i, 2), (j, 0), (j, 1), (j, 2)]
        keep = np.array([all(np.isfinite(holes[r, t - lag]) for r, lag in used) for t in steps])
        kept = steps[keep]
        expected = logdet_cmi(lagged(a[i], kept, [1, 2]), a[j, kept, None], lagged(a[j], kept, [1, 2]))
        assert counted[i, j] == keep.sum() and close(te[i, j], expected), (i, j)
    # A pair without missing values is counted as without skipping.
    one_hole = a.copy()
    one_hole[2, 7] = np.nan
    assert (zn.transfer_entropy_matrix(one_hole, estimator="gaussian", nonfinite="skip")[:2, :2]
            == zn.transfer_entropy_matrix(a, estimator="gaussian")[:2, :2]).all()
    mi, counted = zn.mutual_information_matrix(holes, estimator="gaussian", nonfinite="skip", return_steps=True)
    keep = np.isfinite(holes[0]) & np.isfinite(holes[2])
    assert counted[0, 2] == keep.sum() and close(mi[0, 2], -0.5 * np.log2(1 - np.corrcoef(a[[0, 2]][:, keep])[0, 1] ** 2))
    with pytest.raises(ValueError, match="row 0 of signals holds NaN"):
        zn.transfer_entropy_matrix(holes, estimator="gaussian")


def plug_in_te(source, target, history, steps):
    """Transfer entropy of small-integer series counted over `steps` (each a
    step t whose pasts lie inside), summed in ascending state order."""
    from collections import Counter

    states = Counter((target[t], tuple(target[t - 1 - k] for k in range(history)),
                      tuple(source[t - 1 - k] for k in range(history))) for t in steps)
    b = Counter((key[1]) for key in states.elements())
    bs = Counter((key[1], key[2]) for key in states.elements())
    ab = Counter((key[0], key[1]) for key in states.elements())
    total = float(len(steps))
    te = 0.0
    for key in sorted(states):
        a, past, s = key
        ratio = (float(states[key]) * float(b[past])) / (float(bs[(past, s)]) * float(ab[(a, past)]))
        if ratio > 0.0 and ratio != 1.0:
            te += states[key] / total * np.log2(ratio)
    return max(te, 0.0)


@pytest.mark.parametrize("history", [1, 2])
def test_binned_skipping_counts_the_steps_whose_samples_are_present(history):
    rng = np.random.default_rng(history)
    x = rng.integers(0, 3, size=(4, 600)).astype(float)
    x[:, :3] = [[0, 1, 2]] * 4  # every row spans its three states
    x[1, 3:] = np.where(rng.random(597) < 0.6, x[0, 2:-1], x[1, 3:])  # 0 -> 1
    holes = x.copy()
    holes[0, [40, 41, 300]] = np.nan
    holes[1, 77] = np.inf
    te, counted = zn.transfer_entropy_matrix(holes, 3, history, nonfinite="skip", return_steps=True)
    for i, j in [(0, 1), (1, 0), (0, 2), (2, 1)]:
        used = [(i, 1 + k) for k in range(history)] + [(j, k) for k in range(history + 1)]
        steps = [t for t in range(history, 600) if all(np.isfinite(holes[r, t - lag]) for r, lag in used)]
        assert counted[i, j] == len(steps) and te[i, j] == pytest.approx(plug_in_te(x[i], x[j], history, steps),
                                                                         rel=1e-12), (i, j)
    assert te[2, 2] == 0.0 and counted[2, 3] == 600 - history  # rows 2 and 3 have no gap
    clean = zn.transfer_entropy_matrix(x, 3, history)
    assert te[2, 3] == clean[2, 3] and te[3, 2] == clean[3, 2]  # as without skipping, to the bit
    mi, counted = zn.mutual_information_matrix(holes, 3, nonfinite="skip", return_steps=True)
    both = np.isfinite(holes[0]) & np.isfinite(holes[1])
    expected = zn.mutual_information_matrix(x[:2, both], 3)[0, 1]
    assert counted[0, 1] == both.sum() and mi[0, 1] == pytest.approx(expected, rel=1e-12)
    test = zn.transfer_entropy_test(holes, 3, history, nonfinite="skip", surrogates=100, seed=1)
    assert test.p_values[0, 1] < 0.02 and (test.steps == counted_te(holes, history)).all()
    # The same partition into 2**25 bins: states too wide to pack into one
    # key are counted row by row, to the same counts.
    wide = zn.transfer_entropy_test(holes, 2**25, history, nonfinite="skip", surrogates=100, seed=1)
    assert np.allclose(wide.te, test.te, rtol=1e-12, atol=0) and np.array_equal(wide.p_values, test.p_values, equal_nan=True)
    net = zn.infer_network(holes, 3, history, max_lag=2, max_history=None, nonfinite="skip", seed=1)
    assert net.sources(1) == [(0, 1)] and net.steps[1] < 600 - 2


def counted_te(holes, history):
    return zn.transfer_entropy_matrix(holes, 3, history, nonfinite="skip", return_steps=True)[1]


def test_inference_skips_gaps_and_keeps_the_links():
    x, truth, _ = simulate.linear_network(6, 3000, in_degree=1.5, max_lag=2, seed=3)
    gaps = x.copy()
    rng = np.random.default_rng(0)
    gaps[rng.random(x.shape) < 0.02] = np.nan  # 2% of the samples: each test loses about a tenth of its steps
    whole = zn.infer_network(x, estimator="gaussian", null="analytic", max_lag=2)
    net = zn.infer_network(gaps, estimator="gaussian", null="analytic", max_lag=2, nonfinite="skip")
    assert (net.adjacency == whole.adjacency).all() and (net.adjacency >= truth).all()
    assert (net.steps < 0.95 * 2998).all() and (net.steps > 0.8 * 2998).all() and (whole.steps == 2998).all()


# ---------------------------------------------------------------------------
# The target's own past


def target_with_lag_two_memory(discrete, length=20_000):
    """x drives w at lag 1; w repeats its value from two steps back; s copies
    w one step later. Rows x, w, s."""
    rng = np.random.default_rng(7)
    e, n, x = rng.normal(size=(3, length))
    u = rng.random((2, length))
    if discrete:
        e, n, x = (rng.integers(0, 3, size=length).astype(float) for _ in range(3))
    w = np.zeros(length)
    for t in range(2, length):
        if discrete:
            w[t] = w[t - 2] if u[0, t] < 0.6 else x[t - 1] if u[0, t] < 0.85 else e[t]
        else:
            w[t] = 0.8 * w[t - 2] + 0.5 * x[t - 1] + e[t]
    s = np.concatenate([[0.0], w[:-1]])
    s = np.where(u[1] < 0.8, s, n) if discrete else s + 0.5 * n
    return np.vstack([x, w, s])


@pytest.mark.parametrize("estimator", ["gaussian", "copula", "binned"])
def test_selecting_the_target_past_removes_the_false_links_of_a_short_history(estimator):
    # With history=1, s's past stands in for w's own lag 2 and is reported as
    # a source of w, the more significantly the longer the series.
    signals = target_with_lag_two_memory(discrete=estimator == "binned")
    args = dict(estimator=estimator, max_lag=2, seed=1, surrogates=200)
    if estimator == "binned":
        args["n_bins"] = 3
    fixed = zn.infer_network(signals, max_history=None, **args)
    selected = zn.infer_network(signals, max_history=3, **args)
    assert (2, 1) in fixed.sources(1) and fixed.target_history[1] == (1,)  # the false link
    assert selected.sources(1) == [(0, 1)] and 2 in selected.target_history[1]
    assert selected.sources(2)[0] == (1, 1) and selected.max_history == 3


# ---------------------------------------------------------------------------
# One seam for every estimator


# KSG without noise: conditional_transfer_entropy draws the noise of its
# own rows, so only noise-free values match the network functions' bit for bit.
@pytest.mark.parametrize("estimator", ["binned", "gaussian", "copula", zn.KSG(noise=0)])
def test_every_function_agrees_and_repeats_for_any_worker_count(estimator):
    name = getattr(estimator, "name", estimator)
    length = 600 if name == "ksg" else 1200
    a = np.vstack([coupled(8, length=length), np.random.default_rng(9).normal(size=length)])
    te = [zn.transfer_entropy_matrix(a, estimator=estimator, workers=w) for w in (1, 2, 3)]
    test = [zn.transfer_entropy_test(a, estimator=estimator, surrogates=50, seed=2, workers=w) for w in (1, 2, 3)]
    nets = [zn.infer_network(a, estimator=estimator, max_lag=2, surrogates=100, seed=2, workers=w) for w in (1, 2, 3)]
    for w in (1, 2):
        assert te[w].tobytes() == te[0].tobytes()
        assert all(getattr(test[w], f).tobytes() == getattr(test[0], f).tobytes()
                   for f in ("te", "p_values", "null_mean", "null_std", "steps"))
        assert nets[w].links == nets[0].links
    assert test[0].te.tobytes() == te[0].tobytes() and test[0].estimator == name
    assert nets[0].estimator == name and (0, 1) in nets[0].sources(1) and (2, 1) in nets[0].sources(3)
    for link in nets[0].links:  # a link's value is the conditional estimate given the target's other links
        others = [(s, lag) for s, lag in nets[0].sources(link.target) if (s, lag) != (link.source, link.lag)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            expected = zn.conditional_transfer_entropy(
                a[link.source], a[link.target], a[np.array([s for s, _ in others], dtype=np.intp)].reshape(len(others), a.shape[1]),
                nets[0].n_bins, estimator=estimator, lag=link.lag, condition_lags=[lag for _, lag in others],
                target_lags=nets[0].target_history[link.target])
        assert link.te == expected


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(estimator="gaussian", n_bins=8), ValueError, "n_bins applies to the binned estimator"),
    (dict(estimator=zn.Binned(4), n_bins=8), ValueError, "bins once"),
    (dict(estimator="knn"), ValueError, "estimator must be one of"),
    (dict(estimator=3), TypeError, "estimator must be"),
    (dict(estimator="gaussian", nonfinite="bin"), ValueError, "does not apply to the gaussian estimator"),
    (dict(null="analytic"), ValueError, "binned estimator has no analytic null"),
    (dict(estimator="gaussian", null="exact"), ValueError, "null must be one of"),
    (dict(estimator="ksg", null="analytic"), ValueError, "ksg estimator has no analytic null"),
    (dict(estimator="ksg", nonfinite="bin"), ValueError, "does not apply to the ksg estimator"),
    (dict(estimator="ksg", n_bins=4), ValueError, "n_bins applies to the binned estimator"),
])
def test_estimator_arguments_are_checked(kwargs, error, match):
    with pytest.raises(error, match=match):
        zn.transfer_entropy_test(np.random.default_rng(0).normal(size=(3, 100)), **kwargs)
