"""kl_divergence, js_divergence, hellinger_distance, total_variation_distance
and cross_entropy: the shared grid over both samples (scaled rule), the two
preparations, guards, worked values and the failures of the tables."""

import math

import numpy as np
import pytest

import models as m
from conftest import INDEX_0, INF, NAN, check, function, same_float

KL, JS, HD, TV, CE = ("kl_divergence", "js_divergence", "hellinger_distance", "total_variation_distance",
                      "cross_entropy")
FORMULA = {KL: m.kl_from_counts, JS: m.js_from_counts, HD: m.hellinger_from_counts, TV: m.total_variation_from_counts,
           CE: lambda cp, cq: m.cross_entropy_nats_from_counts(cp, cq) / math.log(2.0)}

# (p, q, n_bins, P-table, Q-table)
GRIDS = [
    ([0.0, 0.7], [2.1], 3, [1, 1, 0], [0, 0, 1]),  # 0.7 / 2.1 * 3 is exactly 1.0; the width rule gives bin 0
    ([0.0, 0.7], [0.0, 0.0, 2.1], 3, [1, 1, 0], [2, 0, 1]),
    ([0.0, 1.0], [10.0, 11.0], 10, [2] + [0] * 9, [0] * 9 + [2]),  # one range over both samples
    ([1.0, 1.0 + 1e-13], [1.0], 4, [2, 0, 0, 0], [1, 0, 0, 0]),  # span below 1e-12: all in bin 0
    ([5.0, 5.0], [5.0], 3, [2, 0, 0], [1, 0, 0]),
    ([0.0, 0.3, 0.35, 1.0], [1.0], 10, [1, 0, 0, 2, 0, 0, 0, 0, 0, 1], [0] * 9 + [1]),  # 0.3 * 10 = 3: bin 3
    ([0.0, 1.0], [5.0], 1, [2], [1]),
]
# KL and JS count every element: NaN in bin 0, an infinite (or NaN) span puts everything in bin 0.
WHOLE = [([NAN, 0.0, 1.0], [0.0, 1.0], 2, [2, 1], [1, 1]), ([0.0, 1.0], [1.0, NAN, NAN], 2, [1, 1], [2, 1]),
         ([0.0, 1.0, INF], [0.5], 2, [3, 0], [1, 0]), ([0.0, 1.0], [-INF, 3.0], 3, [2, 0, 0], [2, 0, 0]),
         ([INF, INF], [INF, NAN], 2, [2, 0], [2, 0])]

CASES = [(f, (p, q, n), FORMULA[f](cp, cq)) for f in FORMULA for p, q, n, cp, cq in GRIDS]
CASES += [(f, (p, q, n), FORMULA[f](cp, cq)) for f in (KL, JS) for p, q, n, cp, cq in WHOLE]
CASES += [(f, ([0.0, 1.0, INF], [-INF, 0.0, 1.0], 2), FORMULA[f]([1, 1], [1, 1])) for f in (HD, TV, CE)]  # finite only
CASES += [(f, ([0.0, INF], [1.0], 2), FORMULA[f]([1, 0], [0, 1])) for f in (HD, TV, CE)]
CASES += [
    (KL, ([0.0, 0.0], [1.0, 1.0], 2), pytest.approx(math.log(2e10), rel=1e-9)),  # about 23.719, not infinite
    (JS, ([0.0, 0.0], [1.0, 1.0], 2), pytest.approx(0.9999999982, abs=1e-10)),
    (KL, ([], [1.0]), pytest.approx(18.42, abs=5e-3)),
    (KL, ([0.0, 0.0, 0.0, 1.0], [0.0, 1.0], 2), pytest.approx(0.75 * math.log(1.5) + 0.25 * math.log(0.5), rel=1e-9)),
    (KL, ([0.0, 1.0], [0.0, 0.0, 0.0, 1.0], 2), pytest.approx(0.5 * math.log(2 / 3) + 0.5 * math.log(2.0), rel=1e-9)),
    (TV, ([0.0], [1.0]), 1.0 / (1.0 + 1e-12)),
    (HD, ([0.0], [1.0]), pytest.approx(0.9999999999995, abs=1e-15)),
    (TV, ([1.0], [1.0, 2.0], 1), pytest.approx(2.5e-13, rel=1e-3)),  # each normaliser carries its own 1e-12
    (HD, ([1.0], [1.0, 2.0], 1), pytest.approx(1.77e-13, rel=1e-2)),
    (HD, ([0.0, 9.0], [NAN, 4.0, 5.0], 1), 0.0),
    (TV, ([1.0, 2.0, 3.0], [1.0, NAN, 2.0, INF, 3.0]), 0.0),
    (CE, ([0.0], [1.0]), pytest.approx(math.log(1e12) / math.log(2.0), rel=1e-11)),  # about 39.863
    (CE, ([0.0], [1.0], -1, math.e), pytest.approx(27.631, abs=5e-4)),
    (CE, ([0.0, 1.0], [0.0, 1.0]), pytest.approx(1.0000000000002, abs=1e-13)),
    (CE, ([0.0], [0.0, 1.0], 2), FORMULA[CE]([1, 0], [1, 1])),  # a bin that only q fills adds no term
    (CE, ([0.0, 1.0], [1.0, 2.0], -1, 1.0), INF),  # base is not validated
    (CE, ([0.0, 1.0], [1.0, 2.0], -1, 0.0), -0.0),
    (CE, ([0.0, 1.0], [1.0, 2.0], -1, -2.0), NAN),
    (CE, ([0.0, 1.0], [1.0, 2.0], -1, NAN), NAN),
    (CE, ([0.0, 1.0], [1.0, 2.0], -1, 0.5), -m.cross_entropy([0.0, 1.0], [1.0, 2.0])),
    (CE, ([0.0, 1.0], [0.0], 2), FORMULA[CE]([1, 1], [1, 0])),  # not symmetric
]
for f in (KL, JS):
    CASES += [(f, ([], [], n), 0.0) for n in (0, 1, 2, 10, 1000)]
    CASES += [(f, (p, q, 1), 0.0) for p, q in (([0.0, 1.0, NAN], [5.0]), ([INF], [-3.0, 2.0, 7.0]), ([], [1.0]))]
    CASES += [(f, (p, q, 0), INDEX_0) for p, q in (([1.0], []), ([], [1.0]), ([NAN], [NAN]), ([5.0, 5.0], [5.0]))]
    CASES += [(f, (p, q, n), "capacity overflow") for p, q in (([0.0, 1.0], [2.0]), ([], [])) for n in (2**60, 2**64 - 1)]
for f in (HD, TV, CE):
    for empty in ([], [NAN, INF], [-INF]):  # no finite value: NaN before the bin count is looked at
        CASES += [(f, (a, b, n), NAN) for a, b in ((empty, [1.0, 2.0]), ([NAN], empty), (empty, empty))
                  for n in (-1, 0, 1, 2**60, 2**63 - 1)]
    CASES += [(f, (p, q, 0), INDEX_0) for p, q in (([1.0], [2.0]), ([NAN, 1.0], [1.0]), ([3.0], [3.0]))]
    CASES += [(f, ([0.0, 1.0], [2.0], n), "capacity overflow") for n in (2**60, 2**63 - 1)]
CASES += [(f, ([0.0, 1.0], [2.0], 2**59), MemoryError) for f in FORMULA]


@pytest.mark.parametrize("name,args,expected", CASES)
def test_documented_values(name, args, expected):
    check(name, *args, expected=expected)


def test_defaults_kl_and_js_ten_bins_the_others_automatic_over_the_larger_finite_sample():
    rng = np.random.default_rng(11)
    p, q = rng.normal(size=200), rng.normal(0.5, 1.0, size=300)
    for f in (KL, JS):
        assert same_float(function(f)(p, q), function(f)(p, q, 10))
    small, large = rng.normal(size=3), rng.normal(size=150)  # sqrt(150) = 12.2
    padded = np.concatenate([large, [NAN, INF] * 30])  # 210 elements, 150 finite
    for f in (HD, TV, CE):
        g = function(f)
        for a, b in ((small, large), (large, small), (small, padded)):
            expected = g(a, b, 12)
            assert all(same_float(g(a, b, n), expected) for n in (-1, -5, -(2**63)))
            assert same_float(g(a, b), expected) and not same_float(g(a, b, 11), expected)
        assert same_float(g(np.array([0.0, 1.0]), np.array([0.3])), g(np.array([0.0, 1.0]), np.array([0.3]), 10))



def test_js_divergence_that_rounds_below_zero_is_plus_zero():
    # Samples of one distribution, the second twice the first: the divergence
    # is 0, and its rounded sum often just below. A distance sqrt(JS) must not
    # be NaN; every other value is the sum as it is.
    js = function(JS)
    assert m.js_sum([1, 3], [2, 6]) < 0.0  # the grid counts of the example below
    assert same_float(js(np.array([1.0, 2, 0, 2]), np.array([2.0, 0, 2, 1, 2, 0, 1, 2]), 2), 0.0)
    rng = np.random.default_rng(3)
    below = 0
    for _ in range(300):
        p = rng.integers(0, 3, int(rng.integers(2, 12))).astype(float)
        q = rng.permutation(np.concatenate([p, p]))
        for a, b in ((p, q), (q, p)):
            raw = m.js_sum(*m.paired_histograms(a.tolist(), b.tolist(), 2))
            below += raw < 0.0
            assert same_float(js(a, b, 2), 0.0 if raw < 0.0 else raw)
            assert not math.isnan(math.sqrt(js(a, b, 2)))
    assert below > 50
