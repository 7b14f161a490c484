"""Hand-written reference models of the measures, in plain Python floats
(IEEE doubles, C's log/log2/pow), written from the definitions one step at a
time so that results can be compared to the last bit."""

import math

INF = math.inf
NAN = math.nan
U64 = 2**64
CONSTANT = 1e-12


class Panic(Exception):
    """What the native code reports as PanicException."""


def div(a, b):
    """IEEE-754 division (Python raises on a zero divisor)."""
    if b != 0:
        return a / b
    if a != a or a == 0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def ln(x):
    """C's log: -inf at 0, NaN below."""
    if x != x or x < 0:
        return NAN
    if x == 0:
        return -INF
    return math.log(x)


def fmin(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return b if b < a else a


def fmax(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return b if b > a else a


def sample_range(values):
    lo, hi = INF, -INF
    for v in values:
        lo, hi = fmin(lo, v), fmax(hi, v)
    return lo, hi


def saturating_u64(t):
    if not t > 0:
        return 0
    if t >= 2.0**64:
        return U64 - 1
    return int(t)


def clamp(i, n_bins):
    cap = (n_bins - 1) % U64
    return min(i, cap)


def finite_only(values):
    return [v for v in values if math.isfinite(v)]


def automatic_bins(m):
    return int(fmax(math.sqrt(float(m)), 10.0))


def histogram_1d(data, n_bins):
    lo, hi = sample_range(data)
    rng = hi - lo
    if rng < CONSTANT:
        return [len(data)]
    if n_bins >= 2**60:
        raise Panic("capacity overflow")
    width = div(rng, float(n_bins))
    counts = [0] * n_bins
    for v in data:
        q = div(v - lo, width)
        b = clamp(saturating_u64(math.floor(q) if math.isfinite(q) else q), n_bins)
        if b >= n_bins:
            raise Panic(f"index out of bounds: the len is {n_bins} but the index is {b}")
        counts[b] += 1
    return counts


def entropy_nats(counts):
    total = float(sum(counts))
    h = 0.0
    for c in counts:
        if c:
            p = float(c) / total
            h = h - p * math.log(p)
    return h


def shannon_entropy(data, n_bins, base=2.0):
    sample = finite_only(data)
    if len(sample) < 2:
        return NAN
    b = automatic_bins(len(sample)) if n_bins < 0 else n_bins
    counts = histogram_1d(sample, b)
    if not counts or sum(counts) == 0:
        return 0.0
    return div(entropy_nats(counts), ln(base))
