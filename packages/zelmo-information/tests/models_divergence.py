"""Reference models of the Rényi and Tsallis entropies and of the two-sample
comparisons (KL, JS, Hellinger, total variation, cross entropy), in plain
Python floats, one step at a time in the library's order of operations."""

import math

from models import (
    CONSTANT,
    INF,
    NAN,
    Panic,
    automatic_bins,
    clamp,
    div,
    finite_only,
    fmax,
    histogram_1d,
    ln,
    sample_range,
    saturating_u64,
)

ORDER_TOLERANCE = 1e-10
PSEUDO_COUNT = 1e-10
NORMALISER = 1e-12  # added to each sample count, and q's probability floor


def cpow(x, y):
    """C's pow for the arguments the entropies use (Python raises where C
    returns an infinity)."""
    try:
        return x**y
    except OverflowError:
        return INF
    except ZeroDivisionError:  # 0 to a negative power
        odd = y == math.floor(y) and math.fmod(y, 2.0) != 0
        return math.copysign(INF, x) if odd else INF


# -- one-sample entropies -----------------------------------------------------


def _nonempty_probabilities(data, n_bins):
    """The probabilities of the non-empty bins in bin order, or None when the
    result is NaN before any formula."""
    sample = finite_only(data)
    if len(sample) < 2:
        return None
    b = automatic_bins(len(sample)) if n_bins < 0 else n_bins
    counts = histogram_1d(sample, b)
    total = sum(counts)
    if not counts or total == 0:
        return None
    return [float(c) / float(total) for c in counts if c]


def _shannon_nats(probabilities):
    h = 0.0
    for p in probabilities:
        h = h - p * math.log(p)
    return h


def _power_sum(probabilities, order):
    s = 0.0
    for p in probabilities:
        s = s + cpow(p, order)
    return s


def renyi_entropy(data, alpha=2.0, n_bins=-1, base=2.0):
    probabilities = _nonempty_probabilities(data, n_bins)
    if probabilities is None:
        return NAN
    if abs(alpha - 1.0) < ORDER_TOLERANCE:
        return div(_shannon_nats(probabilities), ln(base))
    s = _power_sum(probabilities, alpha)
    return div(ln(s), (1.0 - alpha) * ln(base))


def tsallis_entropy(data, q=2.0, n_bins=-1):
    probabilities = _nonempty_probabilities(data, n_bins)
    if probabilities is None:
        return NAN
    d = q - 1.0
    if abs(d) < ORDER_TOLERANCE:
        return _shannon_nats(probabilities)
    return div(1.0 - _power_sum(probabilities, q), d)


# -- paired binning -----------------------------------------------------------


def whole_sample(values):
    return list(values)


def scaled_bin_index(v, lo, span, n_bins):
    t = div(v - lo, span) * float(n_bins)
    return clamp(saturating_u64(t), n_bins)


def paired_histograms(p, q, n_bins):
    """P-table and Q-table on one grid over p followed by q (scaled rule)."""
    lo, hi = sample_range(list(p) + list(q))
    span = hi - lo
    if span < CONSTANT:
        p_bins, q_bins = [0] * len(p), [0] * len(q)
    else:
        p_bins = [scaled_bin_index(v, lo, span, n_bins) for v in p]
        q_bins = [scaled_bin_index(v, lo, span, n_bins) for v in q]
    if n_bins >= 2**60:
        raise Panic("capacity overflow")
    tables = []
    for bins in (p_bins, q_bins):
        table = [0] * n_bins
        for i in bins:
            if i >= n_bins:
                raise Panic(f"index out of bounds: the len is {n_bins} but the index is {i}")
            table[i] += 1
        tables.append(table)
    return tables[0], tables[1]


def paired_automatic_bins(n_p, n_q):
    return automatic_bins(max(n_p, n_q))


# -- formulas on count tables -------------------------------------------------


def _smoothed(counts):
    total = 0.0
    for c in counts:
        total = total + (float(c) + PSEUDO_COUNT)
    return [(float(c) + PSEUDO_COUNT) / total for c in counts]


def kl_from_counts(cp, cq):
    d = 0.0
    for p, q in zip(_smoothed(cp), _smoothed(cq)):
        d = d + p * math.log(p / q)
    return d


def js_from_counts(cp, cq):
    a = b = 0.0
    for p, q in zip(_smoothed(cp), _smoothed(cq)):
        m = (p + q) * 0.5
        a = a + p * math.log2(p / m)
        b = b + q * math.log2(q / m)
    return a * 0.5 + b * 0.5


def _normalisers(cp, cq):
    return float(sum(cp)) + NORMALISER, float(sum(cq)) + NORMALISER


def hellinger_from_counts(cp, cq):
    tp, tq = _normalisers(cp, cq)
    s = 0.0
    for a, b in zip(cp, cq):
        d = math.sqrt(float(a) / tp) - math.sqrt(float(b) / tq)
        s = s + d * d
    return math.sqrt(s * 0.5)


def total_variation_from_counts(cp, cq):
    tp, tq = _normalisers(cp, cq)
    s = 0.0
    for a, b in zip(cp, cq):
        s = s + abs(float(a) / tp - float(b) / tq)
    return s * 0.5


def cross_entropy_nats_from_counts(cp, cq):
    tp, tq = _normalisers(cp, cq)
    h = 0.0
    for a, b in zip(cp, cq):
        pi = float(a) / tp
        if pi > 0:
            qi = fmax(float(b) / tq, NORMALISER)
            h = h - pi * math.log(qi)
    return h


# -- the five comparisons -----------------------------------------------------


def kl_divergence(p, q, n_bins=10):
    return kl_from_counts(*paired_histograms(whole_sample(p), whole_sample(q), n_bins))


def js_divergence(p, q, n_bins=10):
    return js_from_counts(*paired_histograms(whole_sample(p), whole_sample(q), n_bins))


def _finite_tables(p, q, n_bins):
    """Finite-only tables, or None when either sample has no finite value."""
    fp, fq = finite_only(p), finite_only(q)
    if not fp or not fq:
        return None
    if n_bins < 0:
        n_bins = paired_automatic_bins(len(fp), len(fq))
    return paired_histograms(fp, fq, n_bins)


def hellinger_distance(p, q, n_bins=-1):
    tables = _finite_tables(p, q, n_bins)
    return NAN if tables is None else hellinger_from_counts(*tables)


def total_variation_distance(p, q, n_bins=-1):
    tables = _finite_tables(p, q, n_bins)
    return NAN if tables is None else total_variation_from_counts(*tables)


def cross_entropy(p, q, n_bins=-1, base=2.0):
    tables = _finite_tables(p, q, n_bins)
    if tables is None:
        return NAN
    return div(cross_entropy_nats_from_counts(*tables), ln(base))
