"""Reference model of transfer entropy in plain Python floats.

Every step follows the estimator one operation at a time: the scaled bin rule
over each series' whole length, past codes packed with wrapping 64-bit
arithmetic and a saturating weight, four count tables keyed by codes, and the
sum visited in ascending key order (target_next, target_past, source_past),
so that results compare to the last bit. Tables are dicts keyed by codes, so
huge n_bins or history cost nothing beyond the counted steps."""

import math

from models import CONSTANT, U64, div, fmax, sample_range, saturating_u64

MAX = U64 - 1


def scaled_bin_index(v, lo, rng, n_bins):
    """((v - lo) / range) * N, truncated with saturation, clamped to n_bins - 1
    (no clamp for n_bins = 0)."""
    i = saturating_u64(div(v - lo, rng) * float(n_bins))
    return i if n_bins == 0 else min(i, n_bins - 1)


def bin_series(values, n_bins):
    """Scaled bin index of every value, over the range of the whole series."""
    lo, hi = sample_range(values)
    rng = hi - lo
    if rng < CONSTANT:
        return [0] * len(values)
    return [scaled_bin_index(v, lo, rng, n_bins) for v in values]


def past_code(bins, t, n_bins, history, wrap=True):
    """The bins at t-1 ... t-history, the most recent as the lowest digit.
    With wrap=False the code is the exact integer (for showing what wrapping
    changes); otherwise additions and products wrap modulo 2^64 and the weight
    saturates at 2^64 - 1."""
    code, w = 0, 1
    for k in range(history):
        if wrap:
            code = (code + bins[t - 1 - k] * w) % U64
            w = min(w * n_bins, MAX)
        else:
            code += bins[t - 1 - k] * w
            w *= n_bins
    return code


def counts_from_bins(source_bins, target_bins, n_bins, history, wrap=True):
    """The four count tables over the steps history ... n - 1."""
    n = min(len(source_bins), len(target_bins))
    full, transition, pair, past = {}, {}, {}, {}
    for t in range(history, n):
        a = target_bins[t]
        b = past_code(target_bins, t, n_bins, history, wrap)
        s = past_code(source_bins, t, n_bins, history, wrap)
        full[(a, b, s)] = full.get((a, b, s), 0) + 1
        transition[(a, b)] = transition.get((a, b), 0) + 1
        pair[(b, s)] = pair.get((b, s), 0) + 1
        past[b] = past.get(b, 0) + 1
    return full, transition, pair, past


def te_from_bins(source_bins, target_bins, n_bins, history, wrap=True, clamp=True):
    """Transfer entropy in bits from already binned series."""
    n = min(len(source_bins), len(target_bins))
    if n < 3 or n <= history:
        return 0.0
    full, transition, pair, past = counts_from_bins(source_bins, target_bins, n_bins, history, wrap)
    total = float(n - history)
    te = 0.0
    for (a, b, s) in sorted(full):
        c_abs = full[(a, b, s)]
        c_bs = pair[(b, s)]
        c_ab = transition[(a, b)]
        c_b = past[b]
        ratio = (float(c_abs) * float(c_b)) / (float(c_bs) * float(c_ab))
        if ratio > 0:
            te = te + (float(c_abs) / total) * math.log2(ratio)
    return fmax(te, 0.0) if clamp else te


def transfer_entropy(source, target, n_bins=16, history=1, wrap=True, clamp=True):
    """T(source -> target) in bits."""
    source, target = [float(v) for v in source], [float(v) for v in target]
    if min(len(source), len(target)) < 3 or min(len(source), len(target)) <= history:
        return 0.0
    return te_from_bins(bin_series(source, n_bins), bin_series(target, n_bins),
                        n_bins, history, wrap, clamp)


def batch_transfer_entropy(rows, n_bins=16, history=1):
    """m x m matrix, source row as the outer index, zeros on the diagonal."""
    rows = [[float(v) for v in row] for row in rows]
    m = len(rows)
    return [[0.0 if i == j else transfer_entropy(rows[i], rows[j], n_bins, history)
             for j in range(m)] for i in range(m)]
