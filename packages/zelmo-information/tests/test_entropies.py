"""shannon_entropy, renyi_entropy and tsallis_entropy: worked values, the width
rule, guards, signs of zero, the Shannon fall-backs near order 1, automatic
bin counts and the failures of the histogram."""

import math

import numpy as np
import pytest

import models
from conftest import INDEX_0, INF, NAN, _core, check, f64, same_float

H, R, T = "shannon_entropy", "renyi_entropy", "tsallis_entropy"
FOUR = [1.0, 2.0, 3.0, 4.0]  # width 0.75: bins 0..3 with 4 clamped, p = 0.25 each
SKEWED = [0.0, 0.0, 0.0, 1.0, 0.4, 0.45, 0.2]  # 10 bins: counts 3, 0, 1, 0, 2, 0, ..., 1
NEG = [0.0, 0.0, 0.0, 1.0]  # 4 bins: p = 0.75 and 0.25, two empty bins
S_NEG = 1.0 / 0.75 + 1.0 / 0.25


CASES = [
    (H, (FOUR, 4), 2.0),
    (H, ([0.0, 0.3, 0.35, 1.0], 10), 2.0),  # 0.3 / 0.1 = 2.9999999999999996: bin 2, apart from 0.35
    (H, (list(np.arange(11.0)), 10), models.entropy_nats([1] * 9 + [2]) / models.LN2),  # the maximum joins the last bin
    (H, ([0.0, 1.0, INF, NAN, 2.0, 3.0], 4), 2.0),  # non-finite values are dropped first
    (H, ([-INF, 5.0, NAN, 7.0], 2), 1.0),
    (H, ([-0.0, 0.0, 5e-324, 1.0], 2), models.entropy_nats([3, 1]) / models.LN2),
    (H, (FOUR, 4, math.e), math.log(4.0)),
    (H, (FOUR, 4, 10.0), models.entropy_nats([1] * 4) / math.log(10.0)),
    (H, (FOUR, 4, 1.0), INF),  # base is not validated
    (H, ([2.0, 2.0], 4, 1.0), NAN),
    (H, (FOUR, 4, 0.0), -0.0),
    (H, (FOUR, 4, -2.0), NAN),
    (H, (FOUR, 4, NAN), NAN),
    (H, (FOUR, 4, 0.5), -2.0),
    (H, ([0.0, 1.0], 0), INDEX_0),
    (R, (FOUR, 2.0, 4), 2.0),
    (R, (FOUR, 0.0, 4), 2.0),  # log2 of the number of non-empty bins
    (R, (FOUR, 2.0, 4, math.e), math.log(0.25) / ((1.0 - 2.0) * math.log(math.e))),
    (R, (FOUR, 2.0, 4, 0.5), -2.0),
    (R, (FOUR, 2.0, 4, 1.0), INF),  # ln(1/4) / -0.0
    (R, (FOUR, 2.0, 4, -2.0), NAN),
    (R, (NEG, -1.0, 4), pytest.approx(math.log2(S_NEG) / 2.0, rel=1e-15)),  # empty bins are not raised to -1
    (R, (SKEWED, NAN), NAN),
    (R, ([2.0, 2.0], NAN), NAN),
    (T, (FOUR, 2.0, 4), 0.75),
    (T, (FOUR, 1.0, 4), 1.3862943611198906),  # ln 4, in nats
    (T, (NEG, -1.0, 4), pytest.approx((1.0 - S_NEG) / -2.0, rel=1e-15)),
    (T, (SKEWED, NAN), NAN),
    (T, ([2.0, 2.0], NAN), NAN),
]
# Constant samples: one bin with p = 1, and a definite sign of zero.
for data in ([7.0, 7.0, 7.0], [1.0, 1.0 + 1e-13, NAN], [-0.0, 0.0]):
    CASES += [(H, (data, n), 0.0) for n in (-5, 0, 1, 10, 2**62)]
    CASES += [(R, (data,), -0.0), (R, (data, 0.5), 0.0), (R, (data, 3.0, -1, 0.5), 0.0), (R, (data, 1.0), 0.0),
              (R, (data, 2.0, 0), -0.0), (R, (data, 2.0, 2**62), -0.0),
              (T, (data,), 0.0), (T, (data, 0.5), -0.0), (T, (data, 1.0), 0.0), (T, (data, 2.0, 0), 0.0)]
# Fewer than two finite values: NaN whatever the order and bin count.
for data in ([], [1.0], [1.0, NAN, INF], [NAN, 2.0, -INF], [INF, INF], [NAN, NAN]):
    CASES += [(H, (data, n), NAN) for n in (-1, 0, 1, 2**62)]
    CASES += [(f, (data, order, n), NAN) for f in (R, T) for order in (2.0, 1.0, -1.0) for n in (-1, 0, 3, 2**62)]
# Failures of the histogram: counters for n_bins from 2**60 on overflow, and
# tables far beyond the address space cannot be allocated.
for f in (H, R, T):
    args = ([0.0, 1.0, 2.0],) if f == H else ([0.0, 1.0, 2.0], 2.0)
    CASES += [(f, (*args, 0), INDEX_0)] + [(f, (*args, n), "capacity overflow") for n in (2**60, 2**62, 2**63 - 1)]
    CASES += [(f, (*args, n), MemoryError) for n in (2**60 - 1, 2**59, 2**45)]


@pytest.mark.parametrize("name,args,expected", CASES)
def test_documented_values(name, args, expected):
    check(name, *args, expected=expected)


@pytest.mark.parametrize("m,bins", [(50, 10), (100, 10), (120, 10), (400, 20), (1000, 31), (1023, 31), (1024, 32)])
def test_automatic_bin_count_is_the_larger_of_10_and_the_floor_of_the_root(m, bins):
    data = np.random.default_rng(m).normal(size=m)
    noisy = np.concatenate([data, [NAN, INF, -INF] * 30])
    h = _core.shannon_entropy
    assert same_float(h(data, -1), h(data, bins)) and same_float(h(noisy, -7), h(data, bins))
    assert not same_float(h(data, -1), h(data, bins + 1))
    assert same_float(_core.renyi_entropy(noisy), _core.renyi_entropy(data, 2.0, bins, 2.0))
    assert same_float(_core.tsallis_entropy(noisy, 3.0, -9), _core.tsallis_entropy(data, 3.0, bins))


@pytest.mark.parametrize("base", [2.0, math.e, 10.0])
def test_orders_within_the_tolerance_of_one_are_exactly_shannon(base):
    for data, n_bins in ((f64(SKEWED), 10), (f64(FOUR), 4), (f64(SKEWED), -1)):
        for offset in (0.0, 5e-11, -5e-11, 9e-11):
            assert same_float(_core.renyi_entropy(data, 1.0 + offset, n_bins, base),
                              _core.shannon_entropy(data, n_bins, base))
            counts = models.histogram_1d(list(data), 10 if n_bins < 0 else n_bins)
            assert same_float(_core.tsallis_entropy(data, 1.0 + offset, n_bins), models.entropy_nats(counts))
    skewed = f64(SKEWED)
    for offset in (2e-10, -2e-10, 1e-6):  # just outside: the power sums, close to Shannon
        renyi, shannon = _core.renyi_entropy(skewed, 1.0 + offset, 10, base), _core.shannon_entropy(skewed, 10, base)
        assert renyi != shannon and renyi == pytest.approx(shannon, rel=1e-4)
        tsallis = _core.tsallis_entropy(skewed, 1.0 + offset, 10)
        assert tsallis == pytest.approx(_core.shannon_entropy(skewed, 10, math.e), rel=1e-4)
    for order in (-0.5, -3.0, -40.0):  # negative orders skip the empty bins
        assert math.isfinite(_core.renyi_entropy(f64(SKEWED), order, 10))
        assert math.isfinite(_core.tsallis_entropy(f64(SKEWED), order, 10))
