"""Hand-written reference models of the fifteen measures in plain Python floats
(IEEE doubles; math.log, math.log2 and ** call the C library), written from
the definitions one step at a time, in the library's order of operations, so
that results compare to the last bit. Inputs are lists of floats and Python
ints; a broken invariant is raised as Panic with the native message."""

import math
from collections import Counter

INF, NAN = math.inf, math.nan
U64 = 2**64
CONSTANT = 1e-12  # a range below this is constant
ORDER_TOLERANCE = 1e-10  # Rényi / Tsallis orders this close to 1 are Shannon
PSEUDO_COUNT = 1e-10  # added to every count by KL and JS
NORMALISER = 1e-12  # added to each sample size, and q's probability floor
LN2 = 0.6931471805599453


class Panic(Exception):
    """What the native code reports as PanicException."""


# -- C arithmetic ---------------------------------------------------------------


def div(a, b):
    """IEEE-754 division (Python raises on a zero divisor)."""
    if b != 0:
        return a / b
    if a != a or a == 0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def ln(x):
    """C's log: -inf at 0, NaN below."""
    return NAN if x != x or x < 0 else -INF if x == 0 else math.log(x)


def cpow(x, y):
    """C's pow where Python raises instead of returning an infinity."""
    try:
        return x**y
    except OverflowError:
        return INF
    except ZeroDivisionError:  # 0 to a negative power
        odd = y == math.floor(y) and math.fmod(y, 2.0) != 0
        return math.copysign(INF, x) if odd else INF


def fmin(a, b):
    return b if a != a else a if b != b else b if b < a else a


def fmax(a, b):
    return b if a != a else a if b != b else b if b > a else a


def saturating_u64(t):
    """Truncation to an unsigned 64-bit integer: NaN and negatives give 0."""
    return 0 if not t > 0 else U64 - 1 if t >= 2.0**64 else int(t)


def clamp(i, n_bins):
    return min(i, (n_bins - 1) % U64)  # no effect for n_bins = 0


# -- samples, bins and count tables ----------------------------------------------


def sample_range(values):
    lo, hi = INF, -INF
    for v in values:
        lo, hi = fmin(lo, v), fmax(hi, v)
    return lo, hi


def finite_only(values):
    return [v for v in values if math.isfinite(v)]


def automatic_bins(m):
    return int(fmax(math.sqrt(float(m)), 10.0))


def count(indices, size):
    """A zeroed table of `size` 8-byte counters, counted at `indices`."""
    if size >= 2**60:
        raise Panic("capacity overflow")
    table = [0] * size
    for i in indices:
        if i >= size:
            raise Panic(f"index out of bounds: the len is {size} but the index is {i}")
        table[i] += 1
    return table


def grid(lo, hi):
    """(lo, range, factor on each value): finite lo and hi whose range
    overflows to inf are taken with every operand halved."""
    rng = hi - lo
    if math.isinf(rng) and math.isfinite(lo) and math.isfinite(hi):
        return lo * 0.5, hi * 0.5 - lo * 0.5, 0.5
    return lo, rng, 1.0


def histogram_1d(data, n_bins):
    """The width rule: floor((v - lo) / width), a constant sample in one bin."""
    lo, hi = sample_range(data)
    if hi - lo < CONSTANT:
        return [len(data)]
    lo, rng, factor = grid(lo, hi)
    width = div(rng, float(n_bins))
    indices = []
    for v in data:
        q = div(v * factor - lo, width)
        indices.append(clamp(saturating_u64(math.floor(q) if math.isfinite(q) else q), n_bins))
    return count(indices, n_bins)


def scaled_bins(values, lo, hi, n_bins):
    """The scaled rule over the range [lo, hi]: ((v - lo) / range) * N."""
    if hi - lo < CONSTANT:
        return [0] * len(values)
    lo, rng, factor = grid(lo, hi)
    return [clamp(saturating_u64(div(v * factor - lo, rng) * float(n_bins)), n_bins) for v in values]


def own_scaled_bins(values, n_bins):
    return scaled_bins(values, *sample_range(values), n_bins)


def pair_table(bx, by, n_bins):
    """The dense n_bins x n_bins table (its size overflows from 2**30 on)."""
    return count([i * n_bins + j for i, j in zip(bx, by)], n_bins * n_bins)


def entropy_nats(counts):
    total = float(sum(counts))
    return nats([float(c) / total for c in counts if c])


def nats(probabilities):
    h = 0.0
    for p in probabilities:
        h = h - p * math.log(p)
    return h


def bits(counts, total):
    """-sum p log2 p over the non-zero counts, in the order given."""
    h = 0.0
    for c in counts:
        if c:
            p = float(c) / float(total)
            h = h - p * math.log2(p)
    return h


def keyed_bits(counter, total):
    """bits() of a {key: count} table visited in ascending key order."""
    return bits([counter[k] for k in sorted(counter)], total)


# -- entropies of one sample ------------------------------------------------------


def probabilities(data, n_bins):
    """Probabilities of the non-empty bins of the finite values, or None for
    fewer than two of them."""
    sample = finite_only(data)
    if len(sample) < 2:
        return None
    counts = histogram_1d(sample, automatic_bins(len(sample)) if n_bins < 0 else n_bins)
    total = float(sum(counts))
    return [float(c) / total for c in counts if c]


def power_sum(ps, order):
    s = 0.0
    for p in ps:
        s = s + cpow(p, order)
    return s


def shannon_entropy(data, n_bins, base=2.0):
    ps = probabilities(data, n_bins)
    return NAN if ps is None else div(nats(ps), ln(base))


def renyi_entropy(data, alpha=2.0, n_bins=-1, base=2.0):
    ps = probabilities(data, n_bins)
    if ps is None:
        return NAN
    if abs(alpha - 1.0) < ORDER_TOLERANCE:
        return div(nats(ps), ln(base))
    return div(ln(power_sum(ps, alpha)), (1.0 - alpha) * ln(base))


def tsallis_entropy(data, q=2.0, n_bins=-1):
    ps = probabilities(data, n_bins)
    if ps is None:
        return NAN
    d = q - 1.0
    return nats(ps) if abs(d) < ORDER_TOLERANCE else div(1.0 - power_sum(ps, q), d)


# -- comparisons of two samples on one grid ------------------------------------------


def paired_histograms(p, q, n_bins):
    """P- and Q-tables on one scaled grid over p followed by q."""
    lo, hi = sample_range(list(p) + list(q))
    p_bins, q_bins = scaled_bins(p, lo, hi, n_bins), scaled_bins(q, lo, hi, n_bins)
    if n_bins >= 2**60:
        raise Panic("capacity overflow")
    return count(p_bins, n_bins), count(q_bins, n_bins)


def smoothed(counts):
    total = 0.0
    for c in counts:
        total = total + (float(c) + PSEUDO_COUNT)
    return [(float(c) + PSEUDO_COUNT) / total for c in counts]


def kl_from_counts(cp, cq):
    d = 0.0
    for p, q in zip(smoothed(cp), smoothed(cq)):
        d = d + p * math.log(p / q)
    return d


def js_sum(cp, cq):
    """The two halves of the divergence added up, as rounded (can be < 0)."""
    a = b = 0.0
    for p, q in zip(smoothed(cp), smoothed(cq)):
        m = (p + q) * 0.5
        a = a + p * math.log2(p / m)
        b = b + q * math.log2(q / m)
    return a * 0.5 + b * 0.5


def js_from_counts(cp, cq):
    js = js_sum(cp, cq)
    return 0.0 if js < 0.0 else js


def normalised(cp, cq):
    tp, tq = float(sum(cp)) + NORMALISER, float(sum(cq)) + NORMALISER
    return [(float(a) / tp, float(b) / tq) for a, b in zip(cp, cq)]


def hellinger_from_counts(cp, cq):
    s = 0.0
    for a, b in normalised(cp, cq):
        d = math.sqrt(a) - math.sqrt(b)
        s = s + d * d
    return math.sqrt(s * 0.5)


def total_variation_from_counts(cp, cq):
    s = 0.0
    for a, b in normalised(cp, cq):
        s = s + abs(a - b)
    return s * 0.5


def cross_entropy_nats_from_counts(cp, cq):
    h = 0.0
    for a, b in normalised(cp, cq):
        if a > 0:
            h = h - a * math.log(fmax(b, NORMALISER))
    return h


def kl_divergence(p, q, n_bins=10):
    return kl_from_counts(*paired_histograms(p, q, n_bins))


def js_divergence(p, q, n_bins=10):
    return js_from_counts(*paired_histograms(p, q, n_bins))


def on_finite_tables(formula, p, q, n_bins):
    """`formula` on the tables of the finite values; NaN when a sample has none."""
    fp, fq = finite_only(p), finite_only(q)
    if not fp or not fq:
        return NAN
    return formula(*paired_histograms(fp, fq, automatic_bins(max(len(fp), len(fq))) if n_bins < 0 else n_bins))


def hellinger_distance(p, q, n_bins=-1):
    return on_finite_tables(hellinger_from_counts, p, q, n_bins)


def total_variation_distance(p, q, n_bins=-1):
    return on_finite_tables(total_variation_from_counts, p, q, n_bins)


def cross_entropy(p, q, n_bins=-1, base=2.0):
    return div(on_finite_tables(cross_entropy_nats_from_counts, p, q, n_bins), ln(base))


# -- dependence of two or three variables ---------------------------------------------


def joint_entropy(x, y, n_bins=10):
    """Scaled bins of the first n pairs over the ranges of the whole arrays."""
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    bx = scaled_bins(x[:n], *sample_range(x), n_bins)
    by = scaled_bins(y[:n], *sample_range(y), n_bins)
    return bits(pair_table(bx, by, n_bins), n)


def conditional_entropy(x, y, n_bins=10):
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    h_xy = joint_entropy(x[:n], y[:n], n_bins)
    return h_xy - entropy_nats(histogram_1d(y[:n], n_bins)) / LN2


def information_gain(x, y, n_bins=10):
    n = min(len(x), len(y))
    if n < 2:
        return NAN
    h_x = entropy_nats(histogram_1d(x[:n], n_bins)) / LN2
    h_xy = joint_entropy(x[:n], y[:n], n_bins)
    h_y = entropy_nats(histogram_1d(y[:n], n_bins)) / LN2
    return h_x - (h_xy - h_y)


def mutual_information(x, y, n_bins=16):
    n = min(len(x), len(y))
    if n < 3:
        return 0.0
    (lo_x, hi_x), (lo_y, hi_y) = sample_range(x[:n]), sample_range(y[:n])
    if hi_x - lo_x < CONSTANT or hi_y - lo_y < CONSTANT:
        return 0.0
    table = pair_table(scaled_bins(x[:n], lo_x, hi_x, n_bins), scaled_bins(y[:n], lo_y, hi_y, n_bins), n_bins)
    cx, cy = [0] * n_bins, [0] * n_bins
    for i in range(n_bins):
        for j in range(n_bins):
            cx[i] += table[i * n_bins + j]
            cy[j] += table[i * n_bins + j]
    mi = 0.0
    for i in range(n_bins):
        for j in range(n_bins):
            c = table[i * n_bins + j]
            if cx[i] and c and cy[j]:
                pxy, px, py = float(c) / float(n), float(cx[i]) / float(n), float(cy[j]) / float(n)
                mi = mi + pxy * math.log2(pxy / (px * py))
    return mi if mi > 0.0 else 0.0  # the terms can sum to slightly below zero


def cond_mutual_information(x, y, z, n_bins=16):
    """H(X,Z) + H(Y,Z) - H(X,Y,Z) - H(Z), each table summed in key order."""
    n = min(len(x), len(y), len(z))
    if n < 3:
        return 0.0
    bx, by, bz = (own_scaled_bins(v[:n], n_bins) for v in (x, y, z))
    h_xz = keyed_bits(Counter(zip(bx, bz)), n)
    h_yz = keyed_bits(Counter(zip(by, bz)), n)
    h_xyz = keyed_bits(Counter(zip(bx, by, bz)), n)
    h_z = keyed_bits(Counter(bz), n)
    result = ((h_xz + h_yz) - h_xyz) - h_z
    return result if result > 0.0 else 0.0  # NaN and negative values give 0.0


# -- transfer entropy ------------------------------------------------------------------


def past_code(bins, t, n_bins, history, wrap=True):
    """bins[t-1] ... bins[t-history], the most recent as the lowest digit;
    sums and products wrap modulo 2**64 and the weight saturates at 2**64 - 1
    (wrap=False gives the exact integer instead)."""
    code, w = 0, 1
    for k in range(history):
        code, w = code + bins[t - 1 - k] * w, w * n_bins
        if wrap:
            code, w = code % U64, min(w, U64 - 1)
    return code


def te_from_bins(source_bins, target_bins, n_bins, history, wrap=True):
    n = min(len(source_bins), len(target_bins))
    if n < 3 or n <= history:
        return 0.0
    full, transition, pair, past = Counter(), Counter(), Counter(), Counter()
    for t in range(history, n):
        a = target_bins[t]
        b = past_code(target_bins, t, n_bins, history, wrap)
        s = past_code(source_bins, t, n_bins, history, wrap)
        full[(a, b, s)] += 1
        transition[(a, b)] += 1
        pair[(b, s)] += 1
        past[b] += 1
    total = float(n - history)
    te = 0.0
    for a, b, s in sorted(full):  # ascending (target_next, target_past, source_past)
        c_abs = full[(a, b, s)]
        ratio = (float(c_abs) * float(past[b])) / (float(pair[(b, s)]) * float(transition[(a, b)]))
        if ratio > 0:
            te = te + (float(c_abs) / total) * math.log2(ratio)
    return fmax(te, 0.0)


def transfer_entropy(source, target, n_bins=16, history=1, wrap=True):
    """T(source -> target) in bits, each series binned over its whole length."""
    if min(len(source), len(target)) < 3 or min(len(source), len(target)) <= history:
        return 0.0
    return te_from_bins(own_scaled_bins(source, n_bins), own_scaled_bins(target, n_bins), n_bins, history, wrap)


def batch_transfer_entropy_py(rows, n_bins=16, history=1):
    """The m x m matrix, source row as the outer index, zeros on the diagonal."""
    return [[0.0 if i == j else transfer_entropy(s, t, n_bins, history) for j, t in enumerate(rows)]
            for i, s in enumerate(rows)]
