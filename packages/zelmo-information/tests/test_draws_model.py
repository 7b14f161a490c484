"""How the pairwise surrogate test draws and counts its surrogates, against
an independent model in plain Python and NumPy.

The model has its own Philox4x64-10 block function (checked against
NumPy's Philox bit generator), draws each surrogate of pair (i, j) from the
stream keyed by (seed, purpose) with counter (i, j, k, block), applies it
to the source row (a rotation by an offset in [h + 1, L - h - 1], or a
Fisher-Yates shuffle from the last position down) and recomputes every
null value from scratch: a plug-in count for the binned estimator, least
squares for the Gaussian one. p-values must then agree exactly and the
null mean and standard deviation to rounding. Each case asserts that no
null value lies within a hair of its observed value, so that rounding
cannot flip a comparison and the tests cannot flake."""

import numpy as np
import pytest

import zelmo_information as zi
from zelmo_information import network as zn

MASK = (1 << 64) - 1
RTOL = 1e-9
TIE = 1e-9  # no null value this close (relative) to its observed value

SHIFT, SHUFFLE = 1, 2  # the purposes that key the pairwise test's draws


# ---------------------------------------------------------------------------
# The generator


def philox4x64_10(counter, key):
    """One Philox4x64-10 block (Salmon et al., SC 2011): ten rounds of two
    64 x 64 -> 128-bit multiplications, the key bumped by the Weyl
    constants between rounds. Returns the four 64-bit output words."""
    m0, m1 = 0xD2E7470EE14C6C93, 0xCA5A826395121157
    w0, w1 = 0x9E3779B97F4A7C15, 0xBB67AE8584CAA73B
    c0, c1, c2, c3 = counter
    k0, k1 = key
    for _ in range(10):
        p0, p1 = m0 * c0, m1 * c2
        c0, c1, c2, c3 = ((p1 >> 64) ^ c1 ^ k0, p1 & MASK, (p0 >> 64) ^ c3 ^ k1, p0 & MASK)
        k0, k1 = (k0 + w0) & MASK, (k1 + w1) & MASK
    return [c0, c1, c2, c3]


class Stream:
    """The words keyed by (seed, purpose) with counter (a, b, c, block) for
    block = 0, 1, ...: the four words of each block in order. below(n) is a
    uniform integer in [0, n) by Lemire's multiply-and-reject method."""

    def __init__(self, seed, purpose, a, b, c):
        self.key, self.abc = (seed, purpose), (a, b, c)
        self.block, self.words = 0, []

    def next(self):
        if not self.words:
            self.words = philox4x64_10((*self.abc, self.block), self.key)
            self.block += 1
        return self.words.pop(0)

    def below(self, bound):
        m = self.next() * bound
        if m & MASK < bound:
            threshold = (-bound % (1 << 64)) % bound
            while m & MASK < threshold:
                m = self.next() * bound
        return m >> 64


def test_philox_block_matches_numpy():
    """Raw 64-bit outputs of the model's block function against
    numpy.random.Philox at counters and keys spread over the whole range.
    NumPy increments word 0 of its counter before each block, so it is set
    one below the counter wanted."""
    rng = np.random.default_rng(20261207)
    for _ in range(20):
        counter = [int(v) for v in rng.integers(1, 2**64, size=4, dtype=np.uint64)]
        key = [int(v) for v in rng.integers(0, 2**64, size=2, dtype=np.uint64)]
        for block in range(3):
            wanted = [counter[0] + block, *counter[1:]]
            if wanted[0] > MASK:
                continue
            gen = np.random.Philox(key=np.array(key, dtype=np.uint64))
            state = gen.state
            state["state"]["counter"] = np.array([wanted[0] - 1, *wanted[1:]], dtype=np.uint64)
            state["buffer_pos"] = 4
            gen.state = state
            assert [int(v) for v in gen.random_raw(4)] == philox4x64_10(wanted, key)


# ---------------------------------------------------------------------------
# The surrogates


def surrogate(row, method, seed, i, j, k, history):
    """Surrogate k of source row i against target j: the row rotated left by
    d = h + 1 + below(L - 2 (h + 1) + 1), so that row'[t] = row[(t + d) mod
    L], or shuffled by Fisher-Yates from the last position down."""
    length = len(row)
    if method == "shift":
        s = Stream(seed, SHIFT, i, j, k)
        reach = history + 1
        d = reach + s.below(length - 2 * reach + 1)
        assert reach <= d <= length - reach
        return np.roll(row, -d)
    s = Stream(seed, SHUFFLE, i, j, k)
    out = row.copy()
    for u in range(length - 1, 0, -1):
        v = s.below(u + 1)
        out[u], out[v] = out[v], out[u]
    return out


# ---------------------------------------------------------------------------
# The statistics, over the steps t = h .. L - 1 with the source's past
# x[t - 1 .. t - h] read from the (rotated or shuffled) row as it stands


def pasts(row, history):
    """The past of `history` values ending one step back, per counted step."""
    length = len(row)
    return [row[history - q:length - q] for q in range(1, history + 1)]


def plugin_te(source, target, history, n_bins):
    """Transfer entropy in bits by counting the joint states:
    (sum F(acs) + sum F(c) - sum F(cs) - sum F(ac)) / N, F(k) = k log2 k."""
    a = target[history:].astype(np.int64)
    c = np.zeros_like(a)
    s = np.zeros_like(a)
    for past in pasts(target, history):
        c = c * n_bins + past
    for past in pasts(source, history):
        s = s * n_bins + past
    radix = n_bins ** history
    def f(keys):
        counts = np.unique(keys, return_counts=True)[1].astype(float)
        return float(np.sum(counts * np.log2(counts)))
    acs = (a * radix + c) * radix + s
    total = f(acs) + f(c) - f(c * radix + s) - f(a * radix + c)
    return total / len(a)


def gaussian_te(source, target, history):
    """Transfer entropy in bits of the Gaussian estimator: 1/2 log of the
    residual sums of squares of the target's next value regressed (with an
    intercept) on its own past, and on its own past and the source's."""
    y = target[history:]
    ones = [np.ones_like(y)]
    def rss(cols):
        design = np.column_stack(cols)
        r = y - design @ np.linalg.lstsq(design, y, rcond=None)[0]
        return r @ r
    own = ones + pasts(target, history)
    return 0.5 * np.log(rss(own) / rss(own + pasts(source, history))) / np.log(2.0)


def test_model_statistics_match_the_single_pair_functions():
    """The model's binned count equals transfer_entropy on integer bins (each
    row spans 0 .. n_bins - 1, so the scaled binning keeps them)."""
    x = discrete_series(2, 300, 3, seed=4)
    for h in (1, 2):
        assert zi.transfer_entropy(x[0], x[1], 3, h) == pytest.approx(plugin_te(x[0], x[1], h, 3), rel=1e-12)


# ---------------------------------------------------------------------------
# The pairwise test


def pairwise_model(x, value, method, seed, surrogates, history):
    """Observed value, p-value, null mean and std (ddof 0) of every ordered
    pair, p = (1 + #{null >= observed}) / (1 + S), asserting no tie."""
    m = x.shape[0]
    out = {name: np.full((m, m), np.nan) for name in ("te", "p", "mean", "std")}
    for i in range(m):
        for j in range(m):
            if i == j:
                continue
            observed = value(x[i], x[j])
            nulls = np.array([value(surrogate(x[i], method, seed, i, j, k, history), x[j])
                              for k in range(surrogates)])
            gap = np.abs(nulls - observed)
            assert np.all(gap > TIE * max(abs(observed), 1e-300)), f"a null value ties with pair {(i, j)}"
            out["te"][i, j] = observed
            out["p"][i, j] = (1 + np.sum(nulls >= observed)) / (1 + surrogates)
            out["mean"][i, j] = nulls.mean()
            out["std"][i, j] = nulls.std()
    return out


def discrete_series(m, length, n_bins, seed):
    """m series of integer states 0 .. n_bins - 1: series 1 copies series 0's
    previous state with probability 0.4, the last copies its own previous
    state with probability 0.5, the rest are fresh. Every row spans the
    whole range."""
    rng = np.random.default_rng(seed)
    x = rng.integers(0, n_bins, size=(m, length))
    copy = rng.random((m, length))
    for t in range(1, length):
        if copy[1, t] < 0.4:
            x[1, t] = x[0, t - 1]
        if m > 2 and copy[m - 1, t] < 0.5:
            x[m - 1, t] = x[m - 1, t - 1]
    x[:, 0], x[:, 1] = 0, n_bins - 1
    return x.astype(float)


def real_series(m, length, seed):
    """m self-correlated Gaussian series, series 1 driven weakly by 0."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(m, length))
    for t in range(1, length):
        x[:, t] += 0.5 * x[:, t - 1]
        x[1, t] += 0.15 * x[0, t - 1]
    return x


def compare(res, model):
    off = ~np.eye(model["p"].shape[0], dtype=bool)
    assert np.array_equal(res.p_values[off], model["p"][off])
    for name, got in (("te", res.te), ("mean", res.null_mean), ("std", res.null_std)):
        np.testing.assert_allclose(got[off], model[name][off], rtol=RTOL, atol=1e-15, err_msg=name)
    assert np.all(np.isnan(np.diag(res.p_values)))
    # Not a vacuous match: the coupled pair beats every surrogate and the
    # p-values of the others spread.
    assert model["p"][0, 1] == model["p"][off].min()
    assert len(set(model["p"][off])) > 2


CASES = [
    # method, seed, history, m, length, surrogates
    ("shift", 0, 1, 3, 300, 40),
    ("shift", 2**64 - 1, 2, 4, 257, 25),
    ("shift", 123456789, 1, 4, 400, 30),
    ("shuffle", 7, 1, 3, 300, 30),
    ("shuffle", 2**63 + 5, 2, 3, 211, 20),
]


@pytest.mark.parametrize("method, seed, history, m, length, surrogates", CASES)
def test_binned_surrogates_match_the_model(method, seed, history, m, length, surrogates):
    n_bins = 3
    x = discrete_series(m, length, n_bins, seed=length + history)
    res = zn.transfer_entropy_test(x, n_bins, history, surrogates=surrogates, method=method, seed=seed)
    model = pairwise_model(x, lambda s, t: plugin_te(s, t, history, n_bins), method, seed, surrogates, history)
    compare(res, model)


@pytest.mark.parametrize("method, seed, history, m, length, surrogates", CASES)
def test_gaussian_surrogates_match_the_model(method, seed, history, m, length, surrogates):
    x = real_series(m, length, seed=length + 3 * history)
    res = zn.transfer_entropy_test(x, history=history, estimator="gaussian", surrogates=surrogates,
                                   method=method, seed=seed)
    model = pairwise_model(x, lambda s, t: gaussian_te(s, t, history), method, seed, surrogates, history)
    compare(res, model)


def test_binned_surrogates_with_the_observed_counts_tie():
    """A source of period 2 (L even) rotated by any offset is itself or its
    two states swapped: every surrogate has the observed counts, so each
    ties with the observed value and counts as reaching it, p = 1, whatever
    the coupling (the target copies the source's last state)."""
    rng = np.random.default_rng(11)
    length = 300
    source = np.arange(length) % 2
    target = np.where(rng.random(length) < 0.8, np.roll(source, 1), rng.integers(0, 2, length))
    x = np.vstack([source, target]).astype(float)
    res = zn.transfer_entropy_test(x, 2, surrogates=30, method="shift", seed=3)
    assert res.te[0, 1] > 0.1
    assert res.p_values[0, 1] == 1.0
    assert res.null_mean[0, 1] == pytest.approx(res.te[0, 1], rel=1e-12)
    assert res.null_std[0, 1] == pytest.approx(0.0, abs=1e-12)
