"""Plug-in information-theoretic measures on float64 NumPy arrays.

Every measure bins real-valued samples into equal-width bins, counts them and
computes the measure from the relative frequencies. Two bin rules are used and
kept apart: the width rule (width = range / n_bins once, bin =
floor((v - lo) / width)) and the scaled rule (bin = trunc(((v - lo) / range) *
n_bins)); both clamp to n_bins - 1 and send NaN and negative quotients to
bin 0, and they can disagree for a value on a bin edge. Ranges ignore NaN.
A sample of finite values more than the largest double apart (whose range
hi - lo overflows to inf) is binned with every operand halved: lo / 2,
range hi / 2 - lo / 2, and v / 2 for each value.

Arrays must be one-dimensional float64 ndarrays (two-dimensional for
batch_transfer_entropy_py) and are never cast: another dtype or shape raises
TypeError naming the argument, and a negative or too large integer for an
unsigned n_bins or history raises OverflowError. A masked array is read
without its mask: masked entries count with the values underneath them
(pass ``a.compressed()`` to leave them out). Numerical degeneracies give a
number (NaN, 0.0 or a finite value), never an exception. A broken internal
invariant raises PanicException, which derives from BaseException (like
SystemExit), so ``except Exception`` does not catch it; it is raised for a
non-empty one-dimensional array that is not contiguous or not aligned (a
strided or reversed view), for an array that another extension holds
borrowed for writing, for a bin count of 0 where values must be counted, and
for a count table whose size would overflow ("capacity overflow").
"""

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "mutual_information",
    "transfer_entropy",
    "batch_transfer_entropy_py",
    "cond_mutual_information",
    "shannon_entropy",
    "renyi_entropy",
    "tsallis_entropy",
    "conditional_entropy",
    "joint_entropy",
    "kl_divergence",
    "js_divergence",
    "information_gain",
    "cross_entropy",
    "hellinger_distance",
    "total_variation_distance",
]

def mutual_information(x: NDArray[np.float64], y: NDArray[np.float64], n_bins: int = 16) -> float:
    """Mutual information I(X; Y) in bits, by the plug-in rule, over the
    first n = min(len(x), len(y)) pairs. Each variable is binned by the scaled
    rule into n_bins bins over the range of its own first n values (values
    beyond the n-th play no part), the pairs are counted in a dense
    n_bins x n_bins table, and the result is the sum over occupied cells of
    p(x, y) * log2(p(x, y) / (p(x) * p(y))), clamped below at 0.0. A NaN value
    is counted in bin 0; an infinity makes its variable's range infinite or
    NaN and puts all its values in bin 0. Returns 0.0 for fewer than three
    pairs, or when either variable's range is below 1e-12 (constant, or NaN
    only). Raises PanicException when n_bins is 0 and neither of those
    applies ("index out of bounds"), and when the n_bins**2 table cannot be
    sized ("capacity overflow", n_bins from 2**30)."""

def transfer_entropy(
    source: NDArray[np.float64], target: NDArray[np.float64], n_bins: int = 16, history: int = 1
) -> float:
    """Transfer entropy T(source -> target) in bits: how much the last
    `history` values of source tell about the next value of target beyond
    target's own last `history` values, by plug-in counting of binned states.
    Each series is binned by the scaled rule over the range of its whole
    length (samples beyond the common length n = min(len(source),
    len(target)) widen the range but are never counted); a series whose range
    is below 1e-12, or that holds an infinity, has every sample in bin 0, and a
    NaN sample is in bin 0. Steps history .. n - 1 are counted and summed in
    a fixed order, so the result repeats to the last bit. The result is
    clamped below at 0.0 and is never NaN. Returns 0.0 when n < 3 or
    n <= history, for history 0, for n_bins 0 or 1, for a constant series, and
    for a series with itself. Raises PanicException only for an array that
    cannot be viewed (not contiguous or not aligned) or is borrowed for
    writing elsewhere."""

def batch_transfer_entropy_py(signals: NDArray[np.float64], n_bins: int = 16, history: int = 1) -> list[list[float]]:
    """Transfer entropy in bits between every ordered pair of rows of the
    two-dimensional array `signals` of shape (m, L): entry ``[i][j]`` is
    transfer_entropy(signals[i], signals[j], n_bins, history), row i the
    source and row j the target, and the diagonal is 0.0. Each pair is binned
    afresh exactly as transfer_entropy does (scaled rule over the whole of each
    row, NaN in bin 0, a row below 1e-12 in range or holding an infinity all in
    bin 0), and every entry is clamped below at 0.0, never NaN. Any memory
    layout is accepted (transposed, Fortran-ordered, sliced or reversed views).
    Shape (0, L) gives [], and L < 3 gives an m x m matrix of zeros. Pending
    signals are handled between pairs: Ctrl-C stops the call with
    KeyboardInterrupt. Raises PanicException when the array is borrowed for
    writing elsewhere, and for 2**30 rows or more, whose m x m matrix cannot
    be addressed ("capacity overflow")."""

def cond_mutual_information(
    x: NDArray[np.float64], y: NDArray[np.float64], z: NDArray[np.float64], n_bins: int = 16
) -> float:
    """Conditional mutual information I(X; Y | Z) in bits, as
    H(X, Z) + H(Y, Z) - H(X, Y, Z) - H(Z) from plug-in entropies of the binned
    tuples, over the first n = min(len(x), len(y), len(z)) observations. Each
    variable is binned by the scaled rule over the range of its own first n
    values (later values play no part); a variable whose range is below 1e-12,
    or that holds an infinity among those values, has every value in bin 0, and
    a NaN value is in bin 0. Tuples are counted and summed in a fixed order,
    so the result repeats to the last bit. The result is clamped below at 0.0
    and is never NaN. Returns 0.0 for n < 3 and for n_bins 0 or 1. Raises
    PanicException only for an array that cannot be viewed (not contiguous or
    not aligned) or is borrowed for writing elsewhere."""

def shannon_entropy(data: NDArray[np.float64], n_bins: int, base: float = 2.0) -> float:
    """Shannon entropy of the binned sample, -sum(p * ln p) / ln(base), in the
    unit of `base` (bits by default). NaN and infinities are dropped first; the
    m finite values are binned by the width rule over their own range, into
    n_bins bins, or for a negative n_bins into max(10, floor(sqrt(m))) bins;
    n_bins has no default. Returns NaN for fewer than two finite values, and
    0.0 for a constant sample (range below 1e-12: one bin), whatever n_bins is.
    `base` is not validated: 1 gives inf (NaN for a zero entropy), and a
    negative base NaN. Raises PanicException for n_bins = 0 with a
    non-constant sample ("index out of bounds") and for n_bins of 2**60 or
    more ("capacity overflow")."""

def renyi_entropy(data: NDArray[np.float64], alpha: float = 2.0, n_bins: int = -1, base: float = 2.0) -> float:
    """Rényi entropy of order `alpha`, ln(sum(p ** alpha)) / ((1 - alpha) *
    ln(base)), in the unit of `base` (bits by default); for |alpha - 1| <
    1e-10 the Shannon entropy in that unit. NaN and infinities are dropped
    first; the m finite values are binned by the width rule over their own
    range, into n_bins bins, or for a negative n_bins (the default) into
    max(10, floor(sqrt(m))) bins. Empty bins are skipped, so a negative order
    gives a finite value. Returns NaN for fewer than two finite values; a
    constant sample (one bin, p = 1) gives a zero, -0.0 with the defaults.
    `alpha` and `base` are not validated (a NaN order gives NaN). Raises
    PanicException for n_bins = 0 with a non-constant sample ("index out of
    bounds") and for n_bins of 2**60 or more ("capacity overflow")."""

def tsallis_entropy(data: NDArray[np.float64], q: float = 2.0, n_bins: int = -1) -> float:
    """Tsallis entropy of index `q`, (1 - sum(p ** q)) / (q - 1), without a
    unit; for |q - 1| < 1e-10 the Shannon entropy in nats. NaN and infinities
    are dropped first; the m finite values are binned by the width rule over
    their own range, into n_bins bins, or for a negative n_bins (the default)
    into max(10, floor(sqrt(m))) bins. Empty bins are skipped. Returns NaN for
    fewer than two finite values; a constant sample gives 0.0 for q > 1 and
    -0.0 for q < 1. `q` is not validated (NaN gives NaN). Raises
    PanicException for n_bins = 0 with a non-constant sample ("index out of
    bounds") and for n_bins of 2**60 or more ("capacity overflow")."""

def conditional_entropy(x: NDArray[np.float64], y: NDArray[np.float64], n_bins: int = 10) -> float:
    """Conditional entropy H(X | Y) = H(X, Y) - H(Y) in bits over the first
    n = min(len(x), len(y)) pairs. H(X, Y) bins both variables by the scaled
    rule over the range of their first n values (a range below 1e-12 puts all
    in bin 0); H(Y) comes from the width-rule histogram of y's first n values
    (one bin when constant). The two rules can put a value on a bin edge into
    different bins, so the result is not clamped and can be negative. Values
    are not filtered: NaN does not move a range and is counted in bin 0, and an
    infinity puts all values of its variable in bin 0. Returns NaN for fewer
    than two pairs, 0.0 for n_bins = 1. Raises PanicException for n_bins = 0
    with two or more pairs ("index out of bounds") and for a bin count whose
    n_bins**2 table cannot be sized ("capacity overflow", from 2**30)."""

def joint_entropy(x: NDArray[np.float64], y: NDArray[np.float64], n_bins: int = 10) -> float:
    """Joint entropy H(X, Y) in bits of the binned pairs (x[i], y[i]) for
    i < n = min(len(x), len(y)). Each variable is binned by the scaled rule
    over the range of its whole array, so values of the longer array beyond
    the n-th widen its range without being counted; a range below 1e-12 puts
    all values in bin 0. Values are not filtered: NaN does not move a range and
    is counted in bin 0, and an infinity puts all values of its variable in
    bin 0. Returns NaN for fewer than two pairs, 0.0 for two constant inputs or
    n_bins = 1. Raises PanicException for n_bins = 0 with two or more pairs
    ("index out of bounds") and for a bin count whose n_bins**2 table cannot be
    sized ("capacity overflow", from 2**30)."""

def kl_divergence(p: NDArray[np.float64], q: NDArray[np.float64], n_bins: int = 10) -> float:
    """Kullback-Leibler divergence D(p || q) in nats, sum(P * ln(P / Q)),
    between the binned distributions of two samples. Every value is kept. Both
    samples are binned by the scaled rule on one grid over the range of p and
    q together; a joint range below 1e-12 puts everything in bin 0, a NaN is
    counted in bin 0, and an infinity anywhere puts every value of both
    samples in bin 0. A pseudo-count of 1e-10 is added to every bin of both
    histograms, P = (count + 1e-10) / sum(count + 1e-10), so the result is
    always finite, also for empty samples. Identical samples and n_bins = 1
    give 0.0. Raises PanicException for n_bins = 0 when either sample has a
    value ("index out of bounds") and for n_bins of 2**60 or more ("capacity
    overflow")."""

def js_divergence(p: NDArray[np.float64], q: NDArray[np.float64], n_bins: int = 10) -> float:
    """Jensen-Shannon divergence in bits, 0.5 * sum(P * log2(P / M)) +
    0.5 * sum(Q * log2(Q / M)) with M = (P + Q) / 2, between the binned
    distributions of two samples; symmetric and at most 1. Every value is
    kept. Both samples are binned by the scaled rule on one grid over the
    range of p and q together; a joint range below 1e-12 puts everything in
    bin 0, a NaN is counted in bin 0, and an infinity anywhere puts every value
    of both samples in bin 0. A pseudo-count of 1e-10 is added to every bin of
    both histograms, so the result is always finite, and a sum that rounds
    below 0.0 gives 0.0 (so sqrt of it, the Jensen-Shannon distance, is never
    NaN); two empty samples give 0.0, as do identical samples and n_bins = 1.
    Raises PanicException for
    n_bins = 0 when either sample has a value ("index out of bounds") and for
    n_bins of 2**60 or more ("capacity overflow")."""

def information_gain(x: NDArray[np.float64], y: NDArray[np.float64], n_bins: int = 10) -> float:
    """Information gain H(X) - (H(X, Y) - H(Y)) in bits over the first
    n = min(len(x), len(y)) pairs. H(X) and H(Y) come from width-rule
    histograms of the first n values of each variable (one bin when constant);
    H(X, Y) bins both by the scaled rule over the range of their first n
    values (a range below 1e-12 puts all in bin 0). The two rules can put a
    value on a bin edge into different bins, so the result is not clamped and
    can exceed H(X) or be negative. Values are not filtered: NaN does not move
    a range and is counted in bin 0, and an infinity puts all values of its
    variable in bin 0. Returns NaN for fewer than two pairs, 0.0 for
    n_bins = 1. Raises PanicException for n_bins = 0 with two or more pairs
    ("index out of bounds") and for a bin count whose tables cannot be sized
    ("capacity overflow")."""

def cross_entropy(p: NDArray[np.float64], q: NDArray[np.float64], n_bins: int = -1, base: float = 2.0) -> float:
    """Cross entropy H(p, q) = -sum(P * ln Q) / ln(base), in the unit of
    `base` (bits by default); not symmetric. NaN and infinities are dropped
    first. Both samples are binned by the scaled rule on one grid over the
    range of their finite values together (below 1e-12 all in bin 0), into
    n_bins bins, or for a negative n_bins (the default) into
    max(10, floor(sqrt(m))) bins, m the larger number of finite values.
    P = count / (N_p + 1e-12), Q likewise and floored at 1e-12; bins that p
    leaves empty are skipped. Returns NaN when either sample has no finite
    value. `base` is not validated. Raises PanicException for n_bins = 0 with
    finite values in both ("index out of bounds") and for n_bins of 2**60 or
    more ("capacity overflow")."""

def hellinger_distance(p: NDArray[np.float64], q: NDArray[np.float64], n_bins: int = -1) -> float:
    """Hellinger distance sqrt(0.5 * sum((sqrt(P) - sqrt(Q)) ** 2)) between the
    binned distributions of two samples, without a unit, between 0 and 1;
    symmetric. NaN and infinities are dropped first. Both samples are binned by
    the scaled rule on one grid over the range of their finite values together
    (below 1e-12 all in bin 0), into n_bins bins, or for a negative n_bins (the
    default) into max(10, floor(sqrt(m))) bins, m the larger number of finite
    values. P = count / (N_p + 1e-12), Q likewise, without pseudo-counts.
    Returns NaN when either sample has no finite value, 0.0 for samples with
    the same finite values. Raises PanicException for n_bins = 0 with finite
    values in both ("index out of bounds") and for n_bins of 2**60 or more
    ("capacity overflow")."""

def total_variation_distance(p: NDArray[np.float64], q: NDArray[np.float64], n_bins: int = -1) -> float:
    """Total variation distance 0.5 * sum(|P - Q|) between the binned
    distributions of two samples, without a unit, between 0 and 1; symmetric.
    NaN and infinities are dropped first. Both samples are binned by the
    scaled rule on one grid over the range of their finite values together
    (below 1e-12 all in bin 0), into n_bins bins, or for a negative n_bins (the
    default) into max(10, floor(sqrt(m))) bins, m the larger number of finite
    values. P = count / (N_p + 1e-12), Q likewise, without pseudo-counts.
    Returns NaN when either sample has no finite value, 0.0 for samples with
    the same finite values. Raises PanicException for n_bins = 0 with finite
    values in both ("index out of bounds") and for n_bins of 2**60 or more
    ("capacity overflow")."""
