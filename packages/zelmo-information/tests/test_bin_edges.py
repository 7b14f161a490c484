"""Both bin rules on values placed on and next to every bin edge, where a
quotient computed any other way than the defining division would round to
the other side. The expected bins come from NumPy's element-wise IEEE
arithmetic in the defining order. Then samples wider than the largest double,
which are binned with every operand halved."""

import numpy as np
import pytest

import models
from conftest import AVAILABLE, SIGNATURES, _core, agrees_with_model, f64, function, same_float
from zelmo_information import network


def edge_heavy(lo, span, n_bins, rng):
    k = np.arange(n_bins + 1)
    edges = np.concatenate([lo + k * (span / n_bins), lo + span * (k / n_bins), lo + (k * span) / n_bins])
    values = np.concatenate([edges, np.nextafter(edges, -np.inf), np.nextafter(edges, np.inf)])
    values = np.concatenate([values[(values >= lo) & (values <= lo + span)], [lo, lo + span],
                             rng.uniform(lo, lo + span, 64)])
    rng.shuffle(values)
    return values


def scaled_bins(v, n_bins, lo=None, hi=None):
    lo, hi = v.min() if lo is None else lo, v.max() if hi is None else hi
    return np.minimum(np.trunc(((v - lo) / (hi - lo)) * float(n_bins)), n_bins - 1).astype(np.int64)


CASES = [(0.0, 1.0, 10), (0.0, 1.0, 3), (-3.7, 11.3, 7), (1e-3, 1e-9, 13), (5.0, 2.0**-30, 64), (0.0, 1e300, 97),
         (-1e5, 3.3e5, 1000), (0.1, 0.7, 49), (0.0, 6.0, 6), (2.0, 1.0, 100000)]


@pytest.mark.parametrize("lo,span,n_bins", CASES)
def test_width_rule_on_edges(lo, span, n_bins):
    v = edge_heavy(lo, span, n_bins, np.random.default_rng(n_bins))
    q = (v - v.min()) / ((v.max() - v.min()) / n_bins)
    counts = np.bincount(np.minimum(np.floor(q), n_bins - 1).astype(np.int64), minlength=n_bins)
    assert same_float(_core.shannon_entropy(v, n_bins), models.entropy_nats(counts.tolist()) / models.LN2)


@pytest.mark.parametrize("lo,span,n_bins", CASES)
def test_scaled_rule_on_edges(lo, span, n_bins):
    rng = np.random.default_rng(n_bins + 1)
    v = edge_heavy(lo, span, n_bins, rng)
    w = rng.permutation(v)
    bx, by = scaled_bins(v, n_bins), scaled_bins(w, n_bins)
    if n_bins <= 1000:
        cells = np.bincount(bx * n_bins + by, minlength=n_bins * n_bins)
        assert same_float(_core.joint_entropy(v, w, n_bins), models.bits(cells.tolist(), len(v)))
    # Paired binning: p's table is the scaled bins of p over the range of both.
    p_counts = np.bincount(bx, minlength=n_bins).tolist()
    q_counts = np.bincount(scaled_bins(v[:1], n_bins, v.min(), v.max()), minlength=n_bins).tolist()
    expected = models.total_variation_from_counts(p_counts, q_counts)
    assert same_float(_core.total_variation_distance(v, v[:1], n_bins), expected)


# -- ranges that overflow --------------------------------------------------------
# Finite samples more than the largest double wide: hi - lo is inf, over which
# every offset would be 0. Such a range is binned with every operand halved:
# lo' = lo * 0.5, range' = hi * 0.5 - lo * 0.5, v' = v * 0.5.

MAX = float(np.finfo(np.float64).max)
WIDE = [-1e308, -1e307, 1e307, 1e308]  # two values in each half


def test_a_sample_wider_than_the_largest_double_fills_its_bins():
    x, low = f64(WIDE), f64([0.0] * 4)
    for name in ("shannon_entropy", "joint_entropy", "mutual_information", "information_gain"):
        args = (x, 2) if name == "shannon_entropy" else (x, x, 2)
        assert same_float(function(name)(*args), 1.0), name
    assert same_float(_core.conditional_entropy(x, x, 2), 0.0)
    assert same_float(_core.cond_mutual_information(x, x, low, 2), 1.0)
    # The comparisons bin both samples on one grid: the lower half against the upper.
    for name, formula in (("kl_divergence", models.kl_from_counts), ("js_divergence", models.js_from_counts),
                          ("hellinger_distance", models.hellinger_from_counts),
                          ("total_variation_distance", models.total_variation_from_counts)):
        assert same_float(function(name)(x[:2], x[2:], 2), formula([2, 0], [0, 2])), name
    ce = models.cross_entropy_nats_from_counts([2, 0], [0, 2]) / models.LN2
    assert same_float(_core.cross_entropy(x[:2], x[2:], 2), ce)
    # Transfer entropy of the worked example with its 0/1 values at -1e308/1e308.
    source = f64([0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0])
    target = np.roll(source, 1)
    target[0] = 0.0
    wide_s, wide_t = np.where(source == 1, 1e308, -1e308), np.where(target == 1, 1e308, -1e308)
    forward = _core.transfer_entropy(source, target, 2, 1)
    assert forward > 0.9 and same_float(_core.transfer_entropy(wide_s, wide_t, 2, 1), forward)
    signals = np.vstack([wide_s, wide_t])
    expected = _core.batch_transfer_entropy_py(np.vstack([source, target]), 2, 1)
    assert _core.batch_transfer_entropy_py(signals, 2, 1) == expected
    assert (network.transfer_entropy_matrix(signals, 2) == np.array(expected)).all()


@pytest.mark.parametrize("n_bins", [2, 3, 10, 97])
def test_both_rules_on_the_edges_of_a_halved_grid(n_bins):
    # Values on and beside the edges of the halved grid [-0.4 MAX, 0.4 MAX],
    # doubled (exactly) into a sample whose own range overflows.
    rng = np.random.default_rng(n_bins)
    with np.errstate(over="ignore"):  # edges beyond the largest double are left out
        v = 2.0 * edge_heavy(-0.4 * MAX, 0.8 * MAX, n_bins, rng)
        assert np.isinf(v.max() - v.min())
    w = rng.permutation(v)
    agrees_with_model("shannon_entropy", v, n_bins)
    agrees_with_model("joint_entropy", v, w, n_bins)
    agrees_with_model("total_variation_distance", v, w[:5], n_bins)


def test_a_wide_sample_is_binned_as_its_half():
    # On a halved grid every value lands where the halved sample puts it on
    # its own (finite) range, so every measure of a sample too wide for its
    # range equals that of its half, bit for bit.
    rng = np.random.default_rng(5)
    hashed = {"cond_mutual_information", "transfer_entropy", "batch_transfer_entropy_py"}
    for length in (4, 40, 5000):  # scalar code, vector code, several blocks
        wide = [rng.uniform(-1.0, 1.0, length) * MAX for _ in range(3)]
        for a in wide:
            a[1:3] = -0.9 * MAX, 0.9 * MAX
        wide[1][::7] = np.nan
        with np.errstate(over="ignore"):
            assert all(np.isinf(np.nanmax(a) - np.nanmin(a)) for a in wide)
        for name in AVAILABLE:
            kinds = [kind for _, kind, _ in SIGNATURES[name]]
            bin_counts = (2, 16, 2**33) if name in hashed else (2, 16, 1000) + ((-1,) if "i" in kinds else ())
            for n_bins in bin_counts:
                def call(arrays):
                    args = [np.vstack(arrays) if kind == "a2" else arrays[k] for k, kind in enumerate(kinds)
                            if kind.startswith("a")]
                    return function(name)(*args, n_bins=n_bins)

                got, half = call(wide), call([a * 0.5 for a in wide])
                assert got == half if isinstance(got, list) else same_float(got, half), (name, length, n_bins)
