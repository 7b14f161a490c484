"""Both bin rules on values placed on and next to every bin edge, where a
quotient computed any other way than the defining division would round to
the other side. The expected bins come from NumPy's element-wise IEEE
arithmetic in the defining order."""

import math

import numpy as np
import pytest

import models
from conftest import _core, same_float


def edge_heavy(lo, span, n_bins, rng):
    k = np.arange(n_bins + 1)
    edges = np.concatenate([lo + k * (span / n_bins), lo + span * (k / n_bins), lo + (k * span) / n_bins])
    values = np.concatenate([edges, np.nextafter(edges, -np.inf), np.nextafter(edges, np.inf)])
    values = values[(values >= lo) & (values <= lo + span)]
    values = np.concatenate([values, [lo, lo + span], rng.uniform(lo, lo + span, 64)])
    rng.shuffle(values)
    return values


def width_counts(v, n_bins):
    lo, hi = v.min(), v.max()
    q = (v - lo) / ((hi - lo) / n_bins)
    return np.bincount(np.minimum(np.floor(q), n_bins - 1).astype(np.int64), minlength=n_bins)


def scaled_bins(v, n_bins):
    lo, hi = v.min(), v.max()
    t = ((v - lo) / (hi - lo)) * float(n_bins)
    return np.minimum(np.trunc(t), n_bins - 1).astype(np.int64)


def entropy_bits(counts, total):
    h = 0.0
    for c in counts:
        if c:
            p = float(c) / total
            h = h - p * math.log2(p)
    return h


CASES = [(0.0, 1.0, 10), (0.0, 1.0, 3), (-3.7, 11.3, 7), (1e-3, 1e-9, 13), (5.0, 2.0**-30, 64), (0.0, 1e300, 97),
         (-1e5, 3.3e5, 1000), (0.1, 0.7, 49), (0.0, 6.0, 6), (2.0, 1.0, 100000)]


@pytest.mark.parametrize("lo,span,n_bins", CASES)
def test_width_rule_on_edges(lo, span, n_bins):
    v = edge_heavy(lo, span, n_bins, np.random.default_rng(n_bins))
    counts = [int(c) for c in width_counts(v, n_bins)]
    expected = models.entropy_nats(counts) / math.log(2.0)
    assert same_float(_core.shannon_entropy(v, n_bins), expected)


@pytest.mark.parametrize("lo,span,n_bins", CASES)
def test_scaled_rule_on_edges(lo, span, n_bins):
    rng = np.random.default_rng(n_bins + 1)
    v = edge_heavy(lo, span, n_bins, rng)
    w = rng.permutation(v)
    bx, by = scaled_bins(v, n_bins), scaled_bins(w, n_bins)
    cells = np.bincount(bx * n_bins + by, minlength=n_bins * n_bins) if n_bins <= 1000 else None
    if cells is not None:
        assert same_float(_core.joint_entropy(v, w, n_bins), entropy_bits(cells, float(len(v))))
    # Paired binning: p's table is the scaled bins of p over the range of both.
    tv = _core.total_variation_distance(v, v[:1], n_bins)
    p_counts = np.bincount(bx, minlength=n_bins)
    q_counts = np.bincount(bx[:0], minlength=n_bins)
    q_counts[scaled_bins(np.concatenate([v, v[:1]]), n_bins)[-1]] += 1
    tp, tq = len(v) + 1e-12, 1 + 1e-12
    s = 0.0
    for a, b in zip(p_counts, q_counts):
        s = s + abs(float(a) / tp - float(b) / tq)
    assert same_float(tv, s * 0.5)
