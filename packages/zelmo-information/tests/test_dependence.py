"""joint_entropy, conditional_entropy, information_gain, mutual_information and
cond_mutual_information: the scaled rule against the width rule, which values
the ranges are taken over, guards, worked values, identities and the
failures of the dense tables."""

import math

import numpy as np
import pytest

import models
from conftest import INDEX_0, INF, NAN, _core, check, same_float

JE, CE, IG, MI, CMI = ("joint_entropy", "conditional_entropy", "information_gain", "mutual_information",
                       "cond_mutual_information")
TWO = (JE, CE, IG, MI)
LOG2_3 = math.log2(3)
D = [0.0, 1.0, 2.0, 3.0]
C4 = [5.0] * 4
X100, Y3 = [0.0, 1.0, 2.0, 100.0], [0.0, 0.0, 1.0]
XOR = ([0.0, 0.0, 1.0, 1.0, 0.0, 1.0, 1.0, 0.0], [0.0, 0.0, 1.0, 1.0, 1.0, 0.0, 0.0, 1.0], [0.0] * 4 + [1.0] * 4)
EDGE = [0.0, 0.3, 0.35, 1.0]  # 0.3 is bin 3 of ((v - lo) / range) * 10, bin 2 of (v - lo) / 0.1
I25 = ([float(i // 5) for i in range(25)], [float(i % 5) for i in range(25)])

CASES = [
    # The joint term bins with the scaled rule ({0}, {0.3, 0.35}, {1}: 1.5 bits), the
    # histogram marginals with the width rule (four singletons: 2 bits each).
    (JE, (EDGE, EDGE, 10), 1.5), (CE, (EDGE, EDGE, 10), -0.5), (IG, (EDGE, EDGE, 10), 2.5),
    (MI, (EDGE, EDGE, 10), 1.5), (CMI, (EDGE, EDGE, [4.0] * 4, 10), 1.5),
    # The maximum is scaled to exactly N and clamped into the last bin; with
    # n_bins = 2**64 - 1 it saturates and is clamped to 2**64 - 2.
    (MI, (D, D, 4), 2.0), (JE, (D, [0.0, 0.0, 0.0, 3.0], 4), 2.0), (CMI, (D, D, C4, 2**64 - 1), 2.0),
    # Joint entropy takes the ranges over the whole arrays (x: 0..100, so 0, 1, 2 share bin 0),
    # the others over the first n values only (x bins 0, 1, 1).
    (JE, (X100, Y3, 2), pytest.approx(0.918295834054, abs=1e-12)),
    (JE, (Y3, X100, 2), pytest.approx(0.918295834054, abs=1e-12)),
    (CE, (X100, Y3, 2), pytest.approx(0.666666666667, abs=1e-12)),
    (IG, (X100, Y3, 2), pytest.approx(0.251629167388, abs=1e-12)),
    (MI, (X100, Y3, 2), pytest.approx(0.251629167388, abs=1e-12)),
    (JE, ([0.0, 1.0, 2.0], Y3, 2), pytest.approx(LOG2_3, rel=1e-15)),
    # Worked values.
    (JE, (D, D, 4), 2.0), (CE, (D, D, 4), 0.0), (IG, (D, D, 4), 2.0), (MI, (D, D, 2), 1.0), (MI, (D, D[::-1], 4), 2.0),
    (MI, ([0.0, 1.0, 2.0], [0.0, 1.0, 2.0], 3), pytest.approx(LOG2_3, rel=1e-15)),
    (CE, (D, C4, 4), 2.0), (IG, (D, C4, 4), 0.0), (JE, (C4, C4, 4), 0.0), (CE, (C4, C4, 4), 0.0), (IG, (C4, C4, 4), 0.0),
    (MI, ([0.0, 0.0, 1.0, 1.0], [0.0, 1.0, 0.0, 1.0], 2), 0.0),  # every ratio exactly 1
    (CMI, (*XOR, 2), 1.0), (MI, (*XOR[:2], 2), 0.0),  # y = x xor z: pairwise independent
    (MI, (*I25, 5), 0.0), (MI, (*I25[::-1], 5), 0.0),  # each term slightly negative: clamped
    (IG, ([0.0, 0.0, 1.0, 0.0], [2.0, 1.0, 0.0, 3.0], 10), 0.8112781244591328),  # h_x - (h_xy - h_y), in that order
    (JE, ([2.0, 3.0], [0.0, 1.0], 2), 1.0), (CE, ([2.0, 3.0], [0.0, 1.0], 2), 0.0), (IG, ([2.0, 3.0], [0.0, 1.0], 2), 1.0),
    # NaN counts in bin 0; an infinity, or a NaN range, puts every value of its variable there.
    (JE, ([NAN, 0.0, 1.0], [0.0, 1.0, 2.0], 2), pytest.approx(LOG2_3, rel=1e-15)),
    (JE, ([INF, 0.0, 1.0], [0.0, 1.0, 2.0], 2), pytest.approx(0.918295834054, abs=1e-12)),
    (MI, ([0.0, 1.0, 2.0], [INF, INF, NAN], 3), 0.0), (MI, ([0.0, 1.0, 2.0], [INF, INF, NAN], 0), INDEX_0),
    (MI, ([0.0, 1.0, 2.0], [INF, INF, NAN], 2**40), "capacity overflow"),
]
# NaN counts in the lowest bin; an infinity puts every value of its variable in bin 0, like a constant.
Y5, Z5 = [0.0, 1.0, 2.0, 0.5, 1.5], [0.0, 1.0, 0.0, 2.0, 1.0]
for odd, plain in (([0.5, NAN, 0.0, 1.0, NAN], [0.5, 0.0, 0.0, 1.0, 0.0]), ([0.0, -INF, 3.0, NAN, 1.0], [7.0] * 5),
                   ([INF] * 5, [7.0] * 5)):
    CASES += [(f, (odd, Y5, 3), getattr(models, f)(plain, Y5, 3)) for f in TWO]
    CASES += [(f, (Y5, odd, 3), getattr(models, f)(Y5, plain, 3)) for f in TWO]
    CASES += [(CMI, (odd, Y5, Z5, 3), models.cond_mutual_information(plain, Y5, Z5, 3))]
BIN_COUNTS = (0, 1, 10, 2**30, 2**40, 2**64 - 1)
for n_bins in BIN_COUNTS:  # guards come before any table
    for lx, ly in ((0, 0), (0, 5), (5, 0), (1, 1), (1, 5), (5, 1)):
        x, y = list(np.arange(lx, dtype=float)), list(np.arange(ly, dtype=float) * 2)
        CASES += [(f, (x, y, n_bins), NAN) for f in (JE, CE, IG)] + [(MI, (x, y, n_bins), 0.0)]
    for lengths in ((2, 2, 9), (2, 9, 9), (9, 2, 9), (9, 9, 2)):
        x, y, z = (list(np.arange(k, dtype=float)) for k in lengths)
        CASES += [(CMI, (x, y, z, n_bins), 0.0)] + ([(MI, (x, y, n_bins), 0.0)] if min(lengths[:2]) == 2 else [])
    for y in (C4, [1.0, 1.0 + 1e-13, 1.0, 1.0], [NAN] * 4, [NAN, 2.0, NAN, 2.0], [5.0, 5.0, 5.0, 5.0, 100.0]):
        CASES += [(MI, (D, y, n_bins), 0.0), (MI, (y, D, n_bins), 0.0), (CMI, (D, y, D, n_bins), 0.0)]
RANDOM = [list(v) for v in np.random.default_rng(1).normal(size=(3, 30))]
CASES += [(f, (*RANDOM[:2], 1), 0.0) for f in TWO] + [(CMI, (*RANDOM, 1), 0.0), (CMI, (*RANDOM, 0), 0.0)]
CASES += [(f, (*RANDOM[:2], 0), INDEX_0) for f in TWO] + [(f, ([2.0] * 5, [3.0] * 5, 0), INDEX_0) for f in (JE, CE, IG)]
CASES += [(CMI, ([2.0] * 5, [3.0] * 5, [1.0, 2.0, 3.0, 4.0, 5.0], 0), 0.0)]
# Square tables from 2**30 bins on overflow the address space; below that they
# cannot be allocated (information_gain gets a constant x, so that its first
# histogram has one cell).
X3, Y4, C3 = [0.0, 1.0, 2.0], [2.0, 0.0, 1.0, 9.0], [5.0] * 3
for n_bins in (2**30, 2**31 + 1, 2**32 - 1, 2**32, 2**33 + 7, 2**40, 2**60, 2**63, 2**64 - 1):
    CASES += [(f, (a, b, n_bins), "capacity overflow") for f, a, b in ((JE, X3, Y4), (CE, X3, Y4), (MI, X3, Y4),
                                                                       (JE, C3, C3), (CE, C3, Y4), (IG, C3, Y4))]
    CASES += [(IG, (X3, Y4, n_bins), "capacity overflow")] if n_bins >= 2**60 else []
    CASES += [(CMI, (X3, Y4, X3, n_bins), models.cond_mutual_information(X3, Y4, X3, n_bins))]
for n_bins in (2**28, 2**29 - 1, 2**30 - 1):
    CASES += [(f, (a, b, n_bins), MemoryError) for f, a, b in ((JE, X3, Y4), (CE, X3, Y4), (MI, X3, Y4), (IG, C3, Y4))]


@pytest.mark.parametrize("name,args,expected", CASES)
def test_documented_values(name, args, expected):
    check(name, *args, expected=expected)


def test_values_beyond_the_common_length_change_only_joint_entropy():
    x, y, z = np.random.default_rng(3).normal(size=(3, 40))
    for extra in ([1e300], [-1e300, NAN, INF], [0.5] * 7):
        longer = np.concatenate([y, extra])
        for args, same in (((x, longer, z), (x, y, z)), ((longer, x, z), (y, x, z))):
            assert same_float(_core.cond_mutual_information(*args, 5), _core.cond_mutual_information(*same, 5))
            for f in (CE, IG, MI):
                assert same_float(getattr(_core, f)(*args[:2], 5), getattr(_core, f)(*same[:2], 5))
    assert not same_float(_core.joint_entropy(x, np.append(y, 1e300), 5), _core.joint_entropy(x, y, 5))


@pytest.mark.parametrize("n_bins", [3, 16, 100, 10**6])
def test_cmi_identities(n_bins):
    rng = np.random.default_rng(n_bins)
    x, z = rng.normal(size=(2, 300))
    y = x + rng.normal(size=300)
    cmi = _core.cond_mutual_information
    # Conditioning on x itself, or a constant x, leaves nothing.
    for args in ((x, y, x), (y, x, x), (np.full(300, 1.5), y, z)):
        assert 0.0 <= cmi(*args, n_bins) < 1e-12
    # A constant z leaves H(X) + H(Y) - H(X, Y) of the scaled bins of the first
    # n values, which is what mutual information estimates.
    constant = np.full(301, -2.0)
    if n_bins <= 100:
        assert cmi(x, y, constant, n_bins) == pytest.approx(_core.mutual_information(x, y, n_bins), rel=1e-12)
    assert cmi(x, y, constant, n_bins) > 0.1
