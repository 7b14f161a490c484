"""Reference models of the dependence measures (joint and conditional entropy,
information gain, mutual information, conditional mutual information) in
plain Python floats, one step at a time, so that results can be compared with
the native code to the last bit.

Inputs are lists of floats; `n_bins` is a non-negative int below 2**64.
Invariant failures are raised as models.Panic with the native message."""

import math
from collections import Counter

from models import CONSTANT, NAN, Panic, clamp, div, entropy_nats, histogram_1d, sample_range, saturating_u64

LN2 = 0.6931471805599453

# From this bin count on, an n_bins x n_bins table of 8-byte counters is more
# than 2**63 - 8 bytes (and from 2**32 on, n_bins**2 does not even fit 64 bits).
SQUARE_OVERFLOW = 2**30


# -- the scaled bin rule ------------------------------------------------------


def scaled_bin_index(v, lo, rng, n_bins):
    """((v - lo) / range) * N, truncated with saturation, clamped to n_bins - 1."""
    t = div(v - lo, rng) * float(n_bins)
    return clamp(saturating_u64(t), n_bins)


def scaled_bins(values, lo, hi, n_bins):
    """Bins `values` over the range [lo, hi] (which may come from more values)."""
    rng = hi - lo
    if rng < CONSTANT:
        return [0] * len(values)
    return [scaled_bin_index(v, lo, rng, n_bins) for v in values]


def own_scaled_bins(values, n_bins):
    """Scaled bins of a sequence over its own range."""
    lo, hi = sample_range(values)
    return scaled_bins(values, lo, hi, n_bins)


# -- dense pair table ---------------------------------------------------------


def square_table(n_bins):
    if n_bins >= SQUARE_OVERFLOW:
        raise Panic("capacity overflow")
    return [0] * (n_bins * n_bins)


def count_pairs(bx, by, n_bins):
    table = square_table(n_bins)
    for i, j in zip(bx, by):
        cell = i * n_bins + j
        if cell >= len(table):
            raise Panic(f"index out of bounds: the len is {len(table)} but the index is {cell}")
        table[cell] += 1
    return table


def entropy_bits_in_order(counts, total):
    """-sum p log2 p over the non-zero counts, in the order given."""
    h = 0.0
    for c in counts:
        if c:
            p = float(c) / float(total)
            h = h - p * math.log2(p)
    return h


def joint_entropy_inner(x, y, n_bins):
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    lo_x, hi_x = sample_range(x)  # whole sequences, not just the n pairs
    lo_y, hi_y = sample_range(y)
    bx = scaled_bins(x[:n], lo_x, hi_x, n_bins)
    by = scaled_bins(y[:n], lo_y, hi_y, n_bins)
    return entropy_bits_in_order(count_pairs(bx, by, n_bins), n)


def marginal_entropy_bits(counts):
    return entropy_nats(counts) / LN2


# -- joint entropy, conditional entropy, information gain ---------------------


def joint_entropy(x, y, n_bins=10):
    return joint_entropy_inner(x, y, n_bins)


def conditional_entropy(x, y, n_bins=10):
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    x, y = x[:n], y[:n]
    h_xy = joint_entropy_inner(x, y, n_bins)
    h_y = marginal_entropy_bits(histogram_1d(y, n_bins))
    return h_xy - h_y


def information_gain(x, y, n_bins=10):
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    x, y = x[:n], y[:n]
    h_x = marginal_entropy_bits(histogram_1d(x, n_bins))
    h_xy = joint_entropy_inner(x, y, n_bins)
    h_y = marginal_entropy_bits(histogram_1d(y, n_bins))
    return h_x - (h_xy - h_y)


# -- mutual information -------------------------------------------------------


def mutual_information_sum(x, y, n_bins=16):
    """The sum before the clamp at zero (None where an early 0.0 is returned)."""
    n = min(len(x), len(y))
    if n < 3:
        return None
    x, y = x[:n], y[:n]
    lo_x, hi_x = sample_range(x)
    lo_y, hi_y = sample_range(y)
    if hi_x - lo_x < CONSTANT or hi_y - lo_y < CONSTANT:
        return None
    bx = scaled_bins(x, lo_x, hi_x, n_bins)
    by = scaled_bins(y, lo_y, hi_y, n_bins)
    table = count_pairs(bx, by, n_bins)
    cx = [0] * n_bins
    cy = [0] * n_bins
    for i in range(n_bins):
        for j in range(n_bins):
            c = table[i * n_bins + j]
            cx[i] += c
            cy[j] += c
    total = float(n)
    mi = 0.0
    for i in range(n_bins):
        if cx[i] == 0:
            continue
        px = float(cx[i]) / total
        for j in range(n_bins):
            c = table[i * n_bins + j]
            if c == 0 or cy[j] == 0:
                continue
            pxy = float(c) / total
            py = float(cy[j]) / total
            mi = mi + pxy * math.log2(pxy / (px * py))
    return mi


def mutual_information(x, y, n_bins=16):
    mi = mutual_information_sum(x, y, n_bins)
    if mi is None:
        return 0.0
    return mi if mi > 0.0 else 0.0  # maxNum(mi, 0.0); mi is never NaN


# -- conditional mutual information -------------------------------------------


def keyed_entropy_bits(counts, total):
    """Entropy of a {key: count} table summed in ascending key order."""
    return entropy_bits_in_order([counts[k] for k in sorted(counts)], total)


def cmi_entropies(x, y, z, n_bins=16):
    """(H_xz, H_yz, H_xyz, H_z) with each table summed in ascending key order."""
    n = min(len(x), len(y), len(z))
    bx = own_scaled_bins(x[:n], n_bins)
    by = own_scaled_bins(y[:n], n_bins)
    bz = own_scaled_bins(z[:n], n_bins)
    xz, yz, xyz, zz = Counter(), Counter(), Counter(), Counter()
    for t in range(n):
        xz[(bx[t], bz[t])] += 1
        yz[(by[t], bz[t])] += 1
        xyz[(bx[t], by[t], bz[t])] += 1
        zz[bz[t]] += 1
    return tuple(keyed_entropy_bits(table, n) for table in (xz, yz, xyz, zz))


def cond_mutual_information(x, y, z, n_bins=16):
    if min(len(x), len(y), len(z)) < 3:
        return 0.0
    h_xz, h_yz, h_xyz, h_z = cmi_entropies(x, y, z, n_bins)
    result = ((h_xz + h_yz) - h_xyz) - h_z
    return result if result > 0.0 else 0.0  # NaN and negative values give 0.0


def plugin_mi_bits(x, y, n_bins):
    """H(X) + H(Y) - H(X, Y) over the scaled bins of the first n values,
    each entropy summed in ascending key order."""
    n = min(len(x), len(y))
    bx = own_scaled_bins(x[:n], n_bins)
    by = own_scaled_bins(y[:n], n_bins)
    h_x = keyed_entropy_bits(Counter(bx), n)
    h_y = keyed_entropy_bits(Counter(by), n)
    h_xy = keyed_entropy_bits(Counter(zip(bx, by)), n)
    return (h_x + h_y) - h_xy
