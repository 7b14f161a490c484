"""Comparisons of two samples: the divergences and distances against NumPy
histograms on the shared grid, with SciPy where it has the measure."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import numpy as np  # noqa: E402

from common import Group, Workload, relative_difference  # noqa: E402
from peers import (  # noqa: E402
    LN2, SCIPY_ERROR, automatic_bins, scipy_distance, scipy_stats, shared_histograms)
from zelmo_information import _core  # noqa: E402


def build_paired(sizes):
    rng = np.random.default_rng(20240102)
    n = sizes["n"]
    p = rng.normal(0.0, 1.0, size=n)
    q = rng.normal(0.3, 1.2, size=n)
    epsilon = 1e-10
    size = f"2 x {n:.0e} normal"

    def smoothed():
        counts_p, counts_q = shared_histograms(p, q, 10)
        return counts_p + epsilon, counts_q + epsilon

    def kl_peer():
        sp, sq = smoothed()
        if scipy_stats and scipy_distance:
            return scipy_stats.entropy(sp, sq)
        sp, sq = sp / sp.sum(), sq / sq.sum()
        return float(np.sum(sp * np.log(sp / sq)))

    def js_peer():
        sp, sq = smoothed()
        if scipy_stats and scipy_distance:
            return scipy_distance.jensenshannon(sp, sq, base=2) ** 2
        sp, sq = sp / sp.sum(), sq / sq.sum()
        mid = (sp + sq) * 0.5
        return 0.5 * float(np.sum(sp * np.log2(sp / mid))) + 0.5 * float(np.sum(sq * np.log2(sq / mid)))

    def normalised():
        finite_p = p[np.isfinite(p)]
        finite_q = q[np.isfinite(q)]
        counts_p, counts_q = shared_histograms(
            finite_p, finite_q, automatic_bins(finite_p.size, finite_q.size))
        return counts_p / (finite_p.size + 1e-12), counts_q / (finite_q.size + 1e-12)

    def hellinger_peer():
        prob_p, prob_q = normalised()
        return float(np.sqrt(0.5 * np.sum((np.sqrt(prob_p) - np.sqrt(prob_q)) ** 2)))

    def total_variation_peer():
        prob_p, prob_q = normalised()
        return float(0.5 * np.sum(np.abs(prob_p - prob_q)))

    def cross_entropy_peer():
        prob_p, prob_q = normalised()
        occupied = prob_p > 0
        return float(-np.sum(prob_p[occupied] * np.log(np.maximum(prob_q[occupied], 1e-12))) / LN2)

    if scipy_stats and scipy_distance:
        kl_label = "numpy.histogram shared grid + scipy.stats.entropy"
        js_label = "numpy.histogram shared grid + scipy jensenshannon(base=2)**2"
    else:
        kl_label = js_label = f"numpy.histogram shared grid + NumPy formula (SciPy unavailable: {SCIPY_ERROR})"
    numpy_label = "numpy.histogram shared grid + NumPy expression"
    return [
        Workload(name="kl_divergence", measure="kl_divergence(p, q)", peer_label=kl_label,
                 size=size, ours=lambda: _core.kl_divergence(p, q), peer=kl_peer,
                 target=5.0, agreement=relative_difference,
                 note="10 bins (default), pseudo-count 1e-10 on both sides"),
        Workload(name="js_divergence", measure="js_divergence(p, q)", peer_label=js_label,
                 size=size, ours=lambda: _core.js_divergence(p, q), peer=js_peer,
                 target=5.0, agreement=relative_difference,
                 note="10 bins (default), pseudo-count 1e-10 on both sides"),
        Workload(name="hellinger_distance", measure="hellinger_distance(p, q)",
                 peer_label=numpy_label, size=size,
                 ours=lambda: _core.hellinger_distance(p, q), peer=hellinger_peer,
                 target=5.0, agreement=relative_difference,
                 note="finite values, automatic bin count"),
        Workload(name="total_variation_distance", measure="total_variation_distance(p, q)",
                 peer_label=numpy_label, size=size,
                 ours=lambda: _core.total_variation_distance(p, q), peer=total_variation_peer,
                 target=5.0, agreement=relative_difference,
                 note="finite values, automatic bin count"),
        Workload(name="cross_entropy", measure="cross_entropy(p, q)",
                 peer_label=numpy_label, size=size,
                 ours=lambda: _core.cross_entropy(p, q), peer=cross_entropy_peer,
                 target=5.0, agreement=relative_difference,
                 note="finite values, automatic bin count, q floored at 1e-12"),
    ]


GROUPS = [
    Group("comparisons", "Comparisons of two samples",
          ["kl_divergence", "js_divergence", "hellinger_distance", "total_variation_distance",
           "cross_entropy"], build_paired,
          full=dict(n=10**6), quick=dict(n=10**5)),
]
