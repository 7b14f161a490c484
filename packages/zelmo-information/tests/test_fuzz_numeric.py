"""Property tests over well-formed arguments: every function agrees with its
model to the last bit (panics included) on continuous, small-integer, constant
and NaN/infinity-laden samples of unequal lengths and bin counts up to the
table limits; the identities users rely on hold exactly. ZELMO_FUZZ_EXAMPLES
sets the number of examples per property."""

import functools
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import AVAILABLE, INF, NAN, SIGNATURES, agrees_with_model, f64, function, same_float
from models_reliability import fuzz_examples

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
SPECIAL = [NAN, INF, -INF, -0.0, 0.0, 0.1, 0.3, 0.35, 0.7, 1.0, 2.1, 1.0 + 1e-13, 1e-300, 5e-324, 1e308, -1e308]
REGIMES = {
    "continuous": st.floats(-1e3, 1e3),
    "small integers": st.integers(0, 4).map(float),
    "unit": st.floats(0.0, 1.0),
    "mixed": st.one_of(st.floats(), st.floats(-1e6, 1e6), st.integers(-4, 4).map(float), st.sampled_from(SPECIAL)),
}


@st.composite
def samples(draw, max_size=40, size=None):
    n = draw(st.integers(0, max_size)) if size is None else size
    regime = draw(st.sampled_from([*REGIMES, "constant"]))
    if regime == "constant":
        return [draw(st.one_of(st.floats(-10, 10), st.sampled_from(SPECIAL)))] * n
    return draw(st.lists(REGIMES[regime], min_size=n, max_size=n))


@st.composite
def signals(draw):
    m, length = draw(st.integers(0, 4)), draw(st.integers(0, 30))
    rows = np.array([draw(samples(size=length)) for _ in range(m)], np.float64).reshape(m, length)
    layout = draw(st.sampled_from(["c", "f", "transposed", "reversed"]))
    return {"c": rows, "f": np.asfortranarray(rows), "transposed": rows.T.copy().T,
            "reversed": rows[::-1, ::-1].copy()[::-1, ::-1]}[layout]


SIGNED = st.one_of(st.integers(-3, 40), st.sampled_from([-(2**63), 2**60, 2**63 - 1]))
UNSIGNED = st.one_of(st.integers(0, 40), st.sampled_from([2**60, 2**64 - 1]))
PAIRS = st.one_of(st.integers(0, 40), st.sampled_from([2**30, 2**32 - 1, 2**32, 2**40, 2**64 - 1]))  # square overflow
HASHED = st.one_of(st.integers(0, 40), st.integers(41, 300), st.sampled_from([1000, 10**6, 2**32 + 1, 2**63, 2**64 - 1]))
N_BINS = {"joint_entropy": PAIRS, "conditional_entropy": PAIRS, "mutual_information": PAIRS,
          "cond_mutual_information": HASHED, "transfer_entropy": HASHED, "batch_transfer_entropy_py": HASHED}
ORDERS = st.one_of(st.floats(-60.0, 60.0), st.sampled_from([
    0.0, 1.0, 1.0 + 5e-11, 1.0 - 5e-11, 1.0 + 2e-10, -1.0, 2.0, 0.5, math.e, NAN, INF, -INF, 1e300, -1e300, 1e-320]))
OTHERS = {
    "history": st.one_of(st.integers(0, 4), st.integers(5, 70), st.sampled_from([2**63, 2**64 - 1])),
    "base": st.one_of(st.floats(), st.sampled_from([2.0, math.e, 10.0, 0.0, 1.0, 0.5, -2.0, NAN, INF, 1.0 + 5e-11])),
    "alpha": ORDERS,
    "q": ORDERS,
}


@functools.cache
def arguments(name):
    drawn = []
    for param, kind, _ in SIGNATURES[name]:
        if kind == "a1":
            drawn.append(samples(max_size=80 if name == "transfer_entropy" else 40))
        elif kind == "a2":
            drawn.append(signals())
        elif param == "n_bins":
            drawn.append(N_BINS.get(name, SIGNED if kind == "i" else UNSIGNED))
        else:
            drawn.append(OTHERS[param])
    return st.tuples(*drawn)


@pytest.mark.parametrize("name", AVAILABLE)
@settings(max_examples=fuzz_examples(200), **SETTINGS)
@given(data=st.data())
def test_every_measure_agrees_with_its_model(name, data):
    agrees_with_model(name, *data.draw(arguments(name)))


@settings(max_examples=fuzz_examples(100), **SETTINGS)
@given(x=samples().map(f64), n_bins=st.integers(0, 40), history=st.integers(0, 4))
def test_a_series_transfers_nothing_to_itself(x, n_bins, history):
    assert same_float(function("transfer_entropy")(x, x, n_bins, history), 0.0)
    assert same_float(function("transfer_entropy")(x, x.copy(), n_bins, history), 0.0)
    assert function("batch_transfer_entropy_py")(np.array([x, x]), n_bins, history) == [[0.0, 0.0], [0.0, 0.0]]


@pytest.mark.parametrize("name", ["kl_divergence", "js_divergence", "hellinger_distance", "total_variation_distance",
                                  "mutual_information"])
@settings(max_examples=fuzz_examples(60), **SETTINGS)
@given(data=st.data(), p=samples().map(f64), q=samples().map(f64), n_bins=st.integers(1, 40))
def test_distances_are_zero_between_identical_samples_and_symmetric(name, data, p, q, n_bins):
    f = function(name)
    if name != "mutual_information":
        for same in (p, p[data.draw(st.permutations(range(len(p))))]):
            no_finite = name in ("hellinger_distance", "total_variation_distance") and not np.isfinite(p).any()
            assert math.isnan(f(p, same, n_bins)) if no_finite else same_float(f(p, same, n_bins), 0.0)
    if name == "mutual_information":  # the same terms, summed in another order
        assert abs(f(p, q, n_bins) - f(q, p, n_bins)) <= 1e-12 * max(1.0, f(p, q, n_bins))
    elif name != "kl_divergence":
        assert same_float(f(p, q, n_bins), f(q, p, n_bins))


@settings(max_examples=fuzz_examples(100), **SETTINGS)
@given(rows=signals(), n_bins=st.integers(0, 40), history=st.integers(0, 4))
def test_batch_entries_equal_single_transfer_entropy_calls(rows, n_bins, history):
    matrix = function("batch_transfer_entropy_py")(rows, n_bins, history)
    assert len(matrix) == len(rows)
    for i, row in enumerate(matrix):
        for j, v in enumerate(row):
            single = 0.0 if i == j else function("transfer_entropy")(rows[i].copy(), rows[j].copy(), n_bins, history)
            assert same_float(v, single), (i, j)


def large_cases():
    """Samples beyond the property tests' sizes: automatic bin counts above
    10, wide tables, and the dense and sorted counting of CMI (n_bins**3
    cells against 4n observations: 50 bins are dense for 32000, not 30000)."""
    rng = np.random.default_rng(2)
    mixed = np.concatenate([rng.normal(size=3000), rng.integers(0, 5, 500).astype(float), [NAN, INF, -INF] * 10])
    rng.shuffle(mixed)
    q = np.concatenate([rng.exponential(size=900), [-INF]])
    x, y = rng.normal(size=(2, 2000))
    y = np.where(rng.random(2000) < 0.3, x, y)
    cases = [("shannon_entropy", (mixed, n)) for n in (-1, 1, 7, 100, 5000)]
    cases += [(f, (mixed, order, n)) for f in ("renyi_entropy", "tsallis_entropy") for n in (-1, 3, 500)
              for order in (0.0, 0.5, 3.5, -2.0)]
    cases += [(f, (mixed, q, n)) for f in ("hellinger_distance", "total_variation_distance", "cross_entropy")
              for n in (-1, 1, 7, 300)]
    cases += [(f, (mixed[np.isfinite(mixed)], q[:-1], n)) for f in ("kl_divergence", "js_divergence") for n in (1, 10, 300)]
    cases += [(f, (x, y, n)) for f in ("joint_entropy", "conditional_entropy", "information_gain", "mutual_information")
              for n in (7, 64)]
    for n, n_bins in [(200, 41), (32000, 50), (30000, 50), (2000, 1000), (300, 10**6), (300, 2**40), (300, 2**64 - 1)]:
        x3 = rng.normal(size=n)
        y3 = np.where(rng.random(n) < 0.3, x3, rng.normal(size=n))
        z3 = np.round(rng.normal(size=n), 1)
        z3[::17], y3[5] = NAN, 1e300
        cases += [("cond_mutual_information", (a, y3, z3, n_bins)) for a in (x3, np.floor(x3 * 3))]
    return cases


@pytest.mark.parametrize("name,args", large_cases(), ids=lambda v: v if isinstance(v, str) else "")
def test_large_samples_agree_with_the_models(name, args):
    first = agrees_with_model(name, *args)
    assert same_float(function(name)(*args), first)  # and repeat to the last bit
