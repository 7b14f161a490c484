"""Both bin rules on values placed on and next to every bin edge, where a
quotient computed any other way than the defining division would round to
the other side. The expected bins come from NumPy's element-wise IEEE
arithmetic in the defining order."""

import numpy as np
import pytest

import models
from conftest import _core, same_float


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
