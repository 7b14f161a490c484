"""The network search of the Gaussian estimator with its analytic null
against an independent model in plain NumPy and SciPy.

With ``null="analytic"`` no surrogate is drawn, so every decision of the
search is a deterministic function of the data: the model below redoes the
whole search (the target's own past, greedy selection with the maximum
statistic, pruning with the minimum statistic, the omnibus test, the final
test of each link, Benjamini-Hochberg across the targets) from least-squares
residuals, and the library must reproduce its sets exactly and its values
to rounding. Each model asserts that no decision lies within a hair of its
threshold, so that rounding cannot flip one and the tests cannot flake."""

import functools

import numpy as np
import pytest
from scipy import stats

from zelmo_information import network as zn

LOG2 = np.log(2.0)
RTOL = 1e-9
MARGIN = 1e-6  # no p-value this close to a threshold it is compared with
TIE = 1e-9  # no two candidates' values this close (relative) where one is picked


# ---------------------------------------------------------------------------
# Data


def coupled_series(m, length, couplings, memory, seed, holes=0):
    """A linear network of m series: x_i(t) = sum over (lag, a) in memory[i]
    of a x_i(t - lag) + sum over (source, i, lag, c) in couplings of
    c x_source(t - lag) + white noise; the first 50 steps are discarded.
    With `holes`, that many samples are set to NaN."""
    rng = np.random.default_rng(seed)
    burn = 50
    x = np.zeros((m, length + burn))
    noise = rng.normal(size=x.shape)
    for t in range(4, length + burn):
        x[:, t] = noise[:, t]
        for i, terms in memory.items():
            for lag, a in terms if i < m else ():
                x[i, t] += a * x[i, t - lag]
        for source, target, lag, c in couplings:
            x[target, t] += c * x[source, t - lag]
    x = x[:, burn:]
    if holes:
        flat = rng.choice(x.size, size=holes, replace=False)
        x.flat[flat] = np.nan
    return x


# ---------------------------------------------------------------------------
# The Gaussian statistic


def columns(x, variables, history, first):
    """The pasts of `variables` ((row, lag) pairs, each `history` values
    ending `lag` steps back) over the steps first .. L - 1, one column per
    value."""
    length = x.shape[1]
    return [x[row, first - lag - q:length - lag - q] for row, lag in variables for q in range(history)]


def partial(x, first, target, own, conditions, sources, history):
    """I(Y; X | Z) in nats, the steps counted and the coefficients of X in
    the regression of Y on Z and X, where Y is the target's next value, Z
    its values at lags `own` (one each) and the pasts of `conditions`, X the
    pasts of `sources`, over the steps first .. L - 1 at which every value is
    finite. By the Frisch-Waugh-Lovell theorem: residualise Y and X on Z
    (with an intercept), then I = -1/2 log(1 - r_y' P r_y / r_y' r_y) with P
    the projection on the residual X columns."""
    length = x.shape[1]
    z = [x[target, first - lag:length - lag] for lag in own] + columns(x, conditions, history, first)
    xs = columns(x, sources, history, first)
    y = x[target, first:]
    present = np.isfinite(y)
    for c in z + xs:
        present &= np.isfinite(c)
    n = int(present.sum())
    design = np.column_stack([np.ones(n)] + [c[present] for c in z])
    def residual(v):
        return v - design @ np.linalg.lstsq(design, v, rcond=None)[0]
    r_y = residual(y[present])
    r_x = np.column_stack([residual(c[present]) for c in xs])
    beta = np.linalg.lstsq(r_x, r_y, rcond=None)[0]
    explained = r_y @ (r_x @ beta)
    return -0.5 * np.log1p(-explained / (r_y @ r_y)), n, beta


def chi2_p(nats, steps, degrees):
    """The analytic null: 2 N I (nats) is chi-squared with `degrees`."""
    return stats.chi2.sf(2.0 * steps * nats, degrees)


def sidak(p, candidates):
    """The p-value of the largest of `candidates` values each with p-value p."""
    return -np.expm1(candidates * np.log1p(-p)) if candidates > 1 else p


def far_from(p, threshold):
    assert abs(p - threshold) > MARGIN, f"p-value {p} on the knife-edge of {threshold}"


def pick(values, largest):
    """The first index of the largest (or smallest) value, with the runner-up
    clearly apart."""
    order = np.argsort(-np.asarray(values) if largest else np.asarray(values), kind="stable")
    if len(values) > 1:
        a, b = values[order[0]], values[order[1]]
        assert abs(a - b) > TIE * max(abs(a), abs(b)), "two candidates tie"
    return int(order[0])


# ---------------------------------------------------------------------------
# The search, one stage at a time


def first_counted_step(history, longest_lag):
    """The first step at which every past of the search lies inside."""
    reach = history + longest_lag
    return reach - 1 if reach > history + 1 else history


class TargetModel:
    """The search of one target, as the engine runs it: each value over the
    search's window, the target's own past at `own` lags (its last
    `history` values without max_history) and the selected pasts as
    conditions."""

    def __init__(self, x, target, history, max_lag, max_history, alpha, max_sources):
        self.x, self.j, self.h, self.alpha = x, target, history, alpha
        self.first = first_counted_step(history, max(max_lag, max_history))
        self.own = [] if max_history else list(range(1, history + 1))
        self.max_lag, self.max_history, self.max_sources = max_lag, max_history, max_sources
        self.history, self.selected = [], []
        self.first_p = self.omnibus_p = None
        self.steps = x.shape[1] - self.first
        self.pruned = 0

    def value(self, conditions, sources):
        nats, steps, _ = partial(self.x, self.first, self.j, self.own, self.history + conditions, sources, self.h)
        return nats, steps

    def greedy(self, pool, into, others):
        """Greedy selection from `pool` into `into` with the maximum
        statistic: the strongest candidate given `others()` is kept while its
        Sidak-corrected p-value is below alpha. Yields each step's p-value
        and steps."""
        while pool and (into is not self.selected or not self.max_sources or len(into) < self.max_sources):
            values = [self.value(others(), [c]) for c in pool]
            best = pick([v for v, _ in values], largest=True)
            nats, steps = values[best]
            p = sidak(chi2_p(nats, steps, self.h), len(pool))
            far_from(p, self.alpha)
            yield p, steps
            if p >= self.alpha:
                return
            into.append(pool.pop(best))

    def select_history(self):
        """Stage 0: the target's own lags 1 .. max_history."""
        pool = [(self.j, lag) for lag in range(1, self.max_history + 1)]
        for _ in self.greedy(pool, self.history, lambda: []):
            pass

    def select_sources(self):
        """Stage 1: every other row at lags 1 .. max_lag, given the target's
        past and the sources selected so far; the first step's p-value is the
        target's."""
        m = self.x.shape[0]
        pool = [(i, lag) for i in range(m) if i != self.j for lag in range(1, self.max_lag + 1)]
        for step, (p, steps) in enumerate(self.greedy(pool, self.selected, lambda: list(self.selected))):
            if step == 0:
                self.first_p, self.steps = p, steps

    def others(self, q):
        return self.selected[:q] + self.selected[q + 1:]

    def prune(self):
        """Stage 2: while the weakest selected source given the others has
        its own p-value at least alpha, it goes."""
        while self.selected:
            values = [self.value(self.others(q), [s]) for q, s in enumerate(self.selected)]
            weakest = pick([v for v, _ in values], largest=False)
            p = chi2_p(*values[weakest], self.h)
            far_from(p, self.alpha)
            if p < self.alpha:
                return
            del self.selected[weakest]
            self.pruned += 1

    def omnibus(self):
        """Stage 3: all selected sources together, h degrees each."""
        nats, steps = self.value([], list(self.selected))
        self.omnibus_p, self.steps = chi2_p(nats, steps, self.h * len(self.selected)), steps

    def links(self):
        """Each selected source given the others: its p-value over the
        search's window; its reported te (bits) and sign over the steps at
        which its own pasts lie inside."""
        out = []
        for q, (row, lag) in enumerate(self.selected):
            p = chi2_p(*self.value(self.others(q), [(row, lag)]), self.h)
            conditions = self.history + self.others(q)
            first = max([len(self.own)] + [lg + self.h - 1 for _, lg in conditions + [(row, lag)]])
            nats, _, beta = partial(self.x, first, self.j, self.own, conditions, [(row, lag)], self.h)
            out.append((row, self.j, lag, nats / LOG2, p, int(np.sign(beta.sum()))))
        return out

    def run(self):
        if self.max_history:
            self.select_history()
        self.select_sources()
        self.prune()
        if not self.selected:
            return []
        self.omnibus()
        return self.links()


def benjamini_hochberg(p, alpha):
    """Which of the p-values pass Benjamini-Hochberg at alpha; asserts that
    none lies on the edge of its rank's threshold."""
    order = np.argsort(p, kind="stable")
    thresholds = alpha * np.arange(1, p.size + 1) / p.size
    for value, threshold in zip(p[order], thresholds):
        far_from(value, threshold)
    below = np.nonzero(p[order] <= thresholds)[0]
    passed = np.zeros(p.size, dtype=bool)
    if below.size:
        passed[order[: below[-1] + 1]] = True
    return passed


def network_model(x, history=1, max_lag=2, max_history="auto", alpha=0.05, max_sources=None):
    """The whole network: each target's search, then Benjamini-Hochberg over
    the targets' p-values (the first selection step's, or the omnibus
    test's if larger); a target that fails keeps no links."""
    own = (max_lag if history == 1 else 0) if max_history == "auto" else (max_history or 0)
    searches = [TargetModel(x, j, history, max_lag, own, alpha, max_sources or 0) for j in range(x.shape[0])]
    found = [s.run() for s in searches]
    target_p = np.array([max(s.first_p, s.omnibus_p or 0.0) for s in searches])
    passed = benjamini_hochberg(target_p, alpha)
    links = [link for j, target_links in enumerate(found) if passed[j] for link in target_links]
    return dict(links=links, target_p=target_p, steps=[s.steps for s in searches],
                target_history=[tuple(lag for _, lag in s.history) if own else tuple(range(1, history + 1))
                                for s in searches],
                pruned=sum(s.pruned for s in searches),
                dropped=sum(bool(target_links) and not ok for target_links, ok in zip(found, passed)))


# ---------------------------------------------------------------------------
# Tests


def close(actual, expected):
    """Equal to rounding; p-values too small for double precision to
    resolve may both be tiny."""
    actual, expected = np.asarray(actual, dtype=float), np.asarray(expected, dtype=float)
    tiny = (np.abs(expected) < 1e-280) & (np.abs(actual) < 1e-280)
    np.testing.assert_allclose(np.where(tiny, 0, actual), np.where(tiny, 0, expected), rtol=RTOL, atol=0)


@pytest.mark.parametrize("history, length, holes", [(1, 400, 0), (2, 500, 0), (1, 400, 12)])
def test_pairwise_analytic_test_matches_the_model(history, length, holes):
    x = coupled_series(4, length, [(0, 1, 1, 0.3), (1, 2, 2, 0.2)], {0: [(1, 0.5)], 3: [(2, 0.4)]},
                       seed=11, holes=holes)
    res = zn.transfer_entropy_test(x, estimator="gaussian", null="analytic", history=history,
                                   nonfinite="skip" if holes else "raise")
    m = x.shape[0]
    te, p, steps = np.zeros((m, m)), np.full((m, m), np.nan), np.zeros((m, m), dtype=np.int64)
    for i in range(m):
        for j in range(m):
            if i == j:
                continue
            nats, n, _ = partial(x, history, j, range(1, history + 1), [], [(i, 1)], history)
            te[i, j], p[i, j], steps[i, j] = nats / LOG2, chi2_p(nats, n, history), n
    off = ~np.eye(m, dtype=bool)
    close(res.te[off], te[off])
    close(res.p_values[off], p[off])
    assert (res.steps[off] == steps[off]).all()
    assert np.isnan(np.diag(res.p_values)).all()


NETWORK = [(0, 1, 1, 0.35), (1, 2, 2, 0.3), (0, 3, 1, 0.2), (3, 4, 3, 0.3), (2, 4, 1, 0.12)]
MEMORY = {0: [(1, 0.5)], 1: [(2, 0.3)], 3: [(1, 0.4), (2, -0.2)], 4: [(1, 0.3)]}

CASES = {
    "auto history, max_lag 2": (dict(m=4, length=500, seed=1), dict(max_lag=2)),
    "auto history, max_lag 3": (dict(m=5, length=700, seed=2), dict(max_lag=3)),
    "fixed history of 2": (dict(m=4, length=600, seed=3), dict(history=2, max_lag=2, max_history=None)),
    "fixed history of 1": (dict(m=5, length=400, seed=4), dict(max_lag=2, max_history=None)),
    # Row 4's links pass at alpha but its p-value fails Benjamini-Hochberg.
    "a target dropped": (dict(m=5, length=400, seed=4), dict(max_lag=2, max_history=None, alpha=0.035)),
    "one source at most, alpha 0.01": (dict(m=5, length=800, seed=5), dict(max_lag=3, max_sources=1, alpha=0.01)),
    "short history selection": (dict(m=5, length=600, seed=6), dict(max_lag=3, max_history=1)),
    # Row 2 mixes rows 0 and 1 at once, which both drive row 3: the mix is
    # selected first and pruned once both are in.
    "a proxy pruned": (dict(m=4, length=500, seed=9, couplings=[(0, 2, 0, 1.0), (1, 2, 0, 1.0), (0, 3, 1, 1.0),
                                                                (1, 3, 1, 1.0)], memory={}), dict(max_lag=1)),
    "missing samples": (dict(m=4, length=600, seed=7, holes=15), dict(max_lag=2)),
    "missing samples, history 2": (dict(m=5, length=500, seed=8, holes=10),
                                   dict(history=2, max_lag=2, max_history=None)),
}


@functools.cache
def check_network(case):
    """The library's network for a case against the model's (each case
    checked once; the model's record is kept for the coverage test)."""
    data, options = CASES[case]
    m = data["m"]
    couplings = data.get("couplings", [c for c in NETWORK if c[0] < m and c[1] < m])
    x = coupled_series(m, data["length"], couplings, data.get("memory", MEMORY), data["seed"], data.get("holes", 0))
    model = network_model(x, **options)
    net = zn.infer_network(x, estimator="gaussian", null="analytic",
                           nonfinite="skip" if data.get("holes") else "raise", **options)
    assert [(k.source, k.target, k.lag) for k in net.links] == [link[:3] for link in model["links"]]
    if model["links"]:
        close([k.te for k in net.links], [link[3] for link in model["links"]])
        close([k.p_value for k in net.links], [link[4] for link in model["links"]])
        assert [k.sign for k in net.links] == [link[5] for link in model["links"]]
    # The matrices keep each pair's strongest lag.
    adjacency, te = np.zeros((m, m), dtype=bool), np.zeros((m, m))
    for source, target, _, bits, _, _ in model["links"]:
        if not adjacency[source, target] or bits > te[source, target]:
            adjacency[source, target], te[source, target] = True, bits
    assert (net.adjacency == adjacency).all()
    close(net.te, te)
    close(net.target_p_values, model["target_p"])
    assert net.steps.tolist() == model["steps"]
    assert [tuple(h) for h in net.target_history] == model["target_history"]
    return model


@pytest.mark.parametrize("case", CASES)
def test_network_search_matches_the_model(case):
    check_network(case)


def test_the_cases_reach_every_stage():
    """The data of the cases above are such that pruning removes a source
    and a target with links fails the correction across targets, so those
    paths are compared too."""
    models = [check_network(case) for case in CASES]
    assert sum(model["pruned"] for model in models) > 0
    assert sum(model["dropped"] for model in models) > 0
