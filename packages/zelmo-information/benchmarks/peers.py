"""The peer libraries (each optional: None with the error when it does not
import) and the NumPy pieces the peers' sides are built from: the same bins
as ours, and entropies from counts."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import math  # noqa: E402

import numpy as np  # noqa: E402

from common import optional_peer  # noqa: E402

LN2 = math.log(2.0)

scipy_stats, SCIPY_ERROR = optional_peer("scipy.stats", "SciPy")
scipy_distance, _ = optional_peer("scipy.spatial.distance")
sklearn_metrics, SKLEARN_ERROR = optional_peer("sklearn.metrics", "scikit-learn")
pyitlib_drv, PYITLIB_ERROR = optional_peer("pyitlib.discrete_random_variable", "pyitlib")
pyinform, PYINFORM_ERROR = optional_peer("pyinform", "pyinform")


def scaled_bins(values, n_bins, dtype=np.int64):
    """Equal-width bins over the values' own range, index
    ((v - lo) / range) * n_bins truncated and clamped to n_bins - 1, as our
    dependence measures bin (the inputs here hold no NaN)."""
    lo = values.min()
    span = values.max() - lo
    if span < 1e-12:
        return np.zeros(values.size, dtype=dtype)
    index = ((values - lo) / span * n_bins).astype(np.int64)
    return np.minimum(index, n_bins - 1).astype(dtype, copy=False)


def automatic_bins(*lengths):
    return max(10, int(math.sqrt(max(lengths))))


def shared_histograms(p, q, n_bins):
    lo = min(p.min(), q.min())
    hi = max(p.max(), q.max())
    counts_p, _ = np.histogram(p, bins=n_bins, range=(lo, hi))
    counts_q, _ = np.histogram(q, bins=n_bins, range=(lo, hi))
    return counts_p.astype(float), counts_q.astype(float)


def entropy_bits(counts):
    counts = counts[counts > 0]
    p = counts / counts.sum()
    return float(-(p * np.log2(p)).sum())


def entropy_from_codes(codes):
    _, counts = np.unique(codes, return_counts=True)
    return entropy_bits(counts.astype(float))
