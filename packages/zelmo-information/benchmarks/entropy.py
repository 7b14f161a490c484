"""Entropy of one sample: shannon_entropy against NumPy + SciPy, and against
the floor of one copy of the sample."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import numpy as np  # noqa: E402

from common import Group, Workload, relative_difference  # noqa: E402
from peers import SCIPY_ERROR, automatic_bins, entropy_bits, scipy_stats  # noqa: E402
from zelmo_information import _core  # noqa: E402


def build_shannon(sizes):
    rng = np.random.default_rng(20240101)
    x = rng.normal(size=sizes["n"])
    n = x.size

    def peer():
        finite = x[np.isfinite(x)]
        counts, _ = np.histogram(finite, bins=automatic_bins(finite.size))
        return scipy_stats.entropy(counts, base=2)

    def peer_numpy_only():
        finite = x[np.isfinite(x)]
        counts, _ = np.histogram(finite, bins=automatic_bins(finite.size))
        return entropy_bits(counts.astype(float))

    return [
        Workload(
            name="shannon", measure="shannon_entropy(x, -1)",
            peer_label="numpy.histogram + scipy.stats.entropy" if scipy_stats else
            f"numpy.histogram + NumPy entropy (SciPy unavailable: {SCIPY_ERROR})",
            size=f"{n:.0e} normal",
            ours=lambda: _core.shannon_entropy(x, -1),
            peer=peer if scipy_stats else peer_numpy_only,
            target=10.0, agreement=relative_difference,
            note="finite values, automatic bin count on both sides"),
        Workload(
            name="shannon_copy", measure="shannon_entropy(x, -1)",
            peer_label="numpy.copy(x)", size=f"{n:.0e} normal",
            ours=lambda: _core.shannon_entropy(x, -1), peer=lambda: np.copy(x),
            target=0.5, agreement="n/a: numpy.copy computes no entropy",
            note="target: ours within 2x of a copy (ratio >= 0.5)"),
    ]


GROUPS = [
    Group("shannon", "Entropy of one sample", ["shannon", "shannon_copy"], build_shannon,
          full=dict(n=10**7), quick=dict(n=10**6)),
]
