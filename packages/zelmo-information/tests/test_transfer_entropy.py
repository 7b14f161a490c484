"""transfer_entropy and batch_transfer_entropy_py: the plug-in estimator over
scaled bins and packed past codes, checked to the last bit against the model
in models_transfer (which sums in ascending key order, as the module does)."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import models_transfer as model
from conftest import _core, same_float

TE = _core.transfer_entropy
BATCH = _core.batch_transfer_entropy_py
A = np.array
NAN, INF = math.nan, math.inf
U64 = 2**64

SOURCE = [0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0]
TARGET = [0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0]  # SOURCE delayed by one step
FORWARD, BACKWARD = 0.98679572475212, 0.23546276961663


def f64(values):
    return np.array(values, dtype=np.float64)


def coupled(seed, length, levels=None, delay=1, noise=0.2):
    """A source and a target that follows it `delay` steps later with some
    noise; `levels` quantises both to that many equally spaced values."""
    rng = np.random.default_rng(seed)
    s = rng.random(length)
    t = np.roll(s, delay) * (1 - noise) + noise * rng.random(length)
    if levels:
        s = np.floor(s * levels) / (levels - 1)
        t = np.floor(t * levels) / (levels - 1)
    return s, t


def sparse(seed, length, levels, history, noise=0.02):
    """A source that is mostly 0 with rare events (so that even long pasts
    recur) and a target that copies it one step later with a little noise:
    the next target value is in the source's past, not in the target's."""
    rng = np.random.default_rng(seed)
    events = rng.random(length) < 0.5 / (history + 1)
    s = np.where(events, rng.integers(1, levels, length), 0).astype(float)
    s[0] = levels - 1
    t = np.roll(s, 1)
    flips = rng.random(length) < noise
    t[flips] = rng.integers(0, levels, int(flips.sum()))
    t[1] = levels - 1
    return s / (levels - 1), t / (levels - 1)


def check(source, target, n_bins=16, history=1):
    """The module's value, after checking it bit for bit against the model."""
    got = TE(source, target, n_bins, history)
    assert isinstance(got, float)
    want = model.transfer_entropy(source.tolist(), target.tolist(), n_bins, history)
    assert same_float(got, want), (got, want)
    return got


def check_batch(signals, n_bins=16, history=1):
    got = BATCH(signals, n_bins, history)
    want = model.batch_transfer_entropy(signals.tolist(), n_bins, history)
    assert type(got) is list and all(type(row) is list for row in got)
    assert len(got) == len(want) and all(len(row) == len(want) for row in got)
    for row_got, row_want in zip(got, want):
        for g, w in zip(row_got, row_want):
            assert isinstance(g, float) and same_float(g, w), (g, w)
    return got


# -- guards: no binning, 0.0 ---------------------------------------------------


@pytest.mark.parametrize("ls,lt", [(0, 0), (0, 10), (10, 0), (1, 10), (2, 10), (10, 2), (2, 2)])
@pytest.mark.parametrize("n_bins,history", [(16, 1), (2, 0), (0, 0), (2**64 - 1, 2**64 - 1)])
def test_fewer_than_three_common_steps_give_zero(ls, lt, n_bins, history):
    rng = np.random.default_rng(ls * 31 + lt)
    assert same_float(TE(rng.random(ls), rng.random(lt), n_bins, history), 0.0)


@pytest.mark.parametrize("n,extra,history", [(6, 0, 5), (6, 14, 5), (6, 0, 6), (6, 0, 7), (3, 9, 2), (4, 0, 2**64 - 1)])
def test_history_reaching_the_common_length_gives_zero(n, extra, history):
    # n = history + 1 counts one step (every ratio 1); n <= history counts none.
    s, t = coupled(n, n + extra)
    assert same_float(check(s, t[:n], 2, history), 0.0)
    assert same_float(check(s[:n], t, 2, history), 0.0)


def test_one_counted_step_more_can_already_transfer():
    # n = history + 2 = 4: two steps share the target past 0 and differ in
    # source past and next target, ratio 2 for each, te = 1 bit.
    assert same_float(check(f64([0, 1, 0, 1]), f64([0, 0, 0, 1]), 2, 2), 1.0)


def test_history_zero_and_one_bin_give_zero_where_history_one_does_not():
    s, t = coupled(1, 200)
    assert check(s, t, 16, 1) > 0.5
    for n_bins in (0, 1, 2, 16, 2**63):
        assert same_float(check(s, t, n_bins, 0), 0.0)
    for n_bins in (0, 1):
        for history in (1, 2, 5):
            assert same_float(check(s, t, n_bins, history), 0.0)


def test_constant_series_give_zero_with_the_strict_threshold():
    s, t = f64(SOURCE), f64(TARGET)
    ones = np.ones(12)
    assert same_float(check(ones * 7.0, t, 2, 1), 0.0)
    assert same_float(check(s, ones * -3.0, 2, 1), 0.0)
    # A range of exactly 1e-12 is not constant: the example's value to the bit.
    assert same_float(check(s * 1e-12, t * 1e-12, 2, 1), TE(s, t, 2, 1))
    assert check(s * 1e-12, t * 1e-12, 2, 1) > 0.98
    # Just below it every sample of that series is in bin 0.
    assert same_float(check(s * 0.99e-12, t, 2, 1), 0.0)
    assert same_float(check(s, 5.0 + t * 0.99e-12, 2, 1), 0.0)


# -- known values ---------------------------------------------------------------


def test_delayed_copy_example():
    s, t = f64(SOURCE), f64(TARGET)
    forward, backward = check(s, t, 2, 1), check(t, s, 2, 1)
    assert abs(forward - FORWARD) < 5e-15
    assert abs(backward - BACKWARD) < 5e-15
    matrix = check_batch(f64([SOURCE, TARGET]), 2, 1)
    assert matrix[0][0] == 0.0 and matrix[1][1] == 0.0
    assert abs(matrix[0][1] - FORWARD) < 5e-15 and abs(matrix[1][0] - BACKWARD) < 5e-15
    assert same_float(matrix[0][1], forward) and same_float(matrix[1][0], backward)


def test_defaults_are_sixteen_bins_and_one_step():
    s, t = coupled(2, 300)
    assert same_float(TE(s, t), check(s, t, 16, 1))
    assert same_float(TE(s, t, 4), check(s, t, 4, 1))
    signals = np.stack([s, t, s[::-1].copy()])
    assert BATCH(signals) == check_batch(signals, 16, 1)


@pytest.mark.parametrize("n_bins,history", [(2, 1), (16, 1), (16, 3), (2**63, 2), (2**64 - 1, 1)])
def test_a_series_transfers_nothing_to_itself(n_bins, history):
    x = coupled(3, 120, levels=5)[0]
    assert same_float(TE(x, x, n_bins, history), 0.0)
    assert same_float(TE(x, x.copy(), n_bins, history), 0.0)
    assert check(x, np.roll(x, 1), n_bins, history) > 0.0


# -- binning --------------------------------------------------------------------


def test_each_series_is_binned_over_its_whole_length():
    s, t = coupled(4, 40, noise=0.1)
    base = check(s, t, 4, 1)

    def inside(x):
        return np.concatenate([x, [x.min(), x.max(), NAN, 0.5 * (x[0] + x[1])]])

    # Values beyond the common length inside the range change nothing...
    assert same_float(check(inside(s), t, 4, 1), base)
    assert same_float(check(s, inside(t), 4, 1), base)
    # ...but a value that widens the range rebins every counted sample.
    wide_target = check(s, np.append(t, 3 * t.max()), 4, 1)
    assert wide_target > 0.0 and not same_float(wide_target, base)
    assert not same_float(check(np.append(s, -5.0), t, 4, 1), base)
    # Lengthening both counts one more step.
    assert not same_float(check(inside(s), inside(t)[:41], 4, 1), base)


def test_scaled_rule_puts_point_three_in_bin_three_of_ten():
    assert model.bin_series([0.0, 0.3, 1.0], 10) == [0, 3, 9]
    # The target copies whether the source was 0.3 or 0.25. The scaled rule
    # separates them (bins 3 and 2); the width rule (0.3 / 0.1 =
    # 2.9999999999999996) would merge them into bin 2.
    values = [0.25, 0.3, 0.3, 0.25, 0.3, 0.25, 0.25, 0.3, 0.25, 0.3, 0.3, 0.25]
    s = f64([0.0, 1.0] + values)
    t = f64([0.0, 0.0, 0.0] + [1.0 if v == 0.3 else 0.0 for v in values[:-1]])
    scaled = [0, 9] + [3 if v == 0.3 else 2 for v in values]
    width = [0, 9] + [2] * len(values)
    t_bins = [0, 0, 0] + [9 if v == 0.3 else 0 for v in values[:-1]]
    got = check(s, t, 10, 1)
    assert same_float(got, model.te_from_bins(scaled, t_bins, 10, 1))
    assert not same_float(got, model.te_from_bins(width, t_bins, 10, 1))


def test_nan_samples_join_bin_zero():
    s, t = coupled(5, 80, levels=4)
    holes = s.copy()
    holes[[3, 17, 40]] = NAN
    low, high = s.copy(), s.copy()
    low[[3, 17, 40]] = s.min()
    high[[3, 17, 40]] = s.max()
    got = check(holes, t, 4, 2)
    assert same_float(got, TE(low, t, 4, 2))
    assert not same_float(got, TE(high, t, 4, 2))
    # A series of NaN only has range -inf and is constant.
    assert same_float(check(np.full(80, NAN), t, 4, 1), 0.0)


@pytest.mark.parametrize("bad", [INF, -INF])
def test_an_infinity_puts_every_sample_of_its_series_in_bin_zero(bad):
    s, t = coupled(6, 100, levels=4)
    assert check(s, t, 4, 1) > 0.5
    for where in (0, 50, 99):
        hs, ht = s.copy(), t.copy()
        hs[where] = bad
        ht[where] = bad
        assert same_float(check(hs, t, 4, 1), 0.0)
        assert same_float(check(s, ht, 4, 1), 0.0)
    # Also beyond the common length, and a series of one infinity (NaN range).
    assert same_float(check(np.append(s, bad), t, 4, 1), 0.0)
    assert same_float(check(np.full(100, bad), t, 4, 1), 0.0)
    assert same_float(check(s, np.full(100, bad), 4, 1), 0.0)


# -- past codes: dense and fallback counting, wrapping ---------------------------


DENSE_AND_FALLBACK = (
    [(16, h) for h in (1, 2, 3, 4)]
    + [(2, h) for h in (1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 18, 20)]
    + [(3, h) for h in (2, 4, 6, 8)]
    + [(5, 1), (7, 3), (64, 1), (64, 2), (256, 1), (1000, 1), (2**20, 1), (2**31, 1)]
)


@pytest.mark.parametrize("n_bins,history", DENSE_AND_FALLBACK)
def test_counting_agrees_with_the_model_on_both_sides_of_the_dense_limit(n_bins, history):
    s, t = sparse(n_bins + history, 400, min(n_bins, 16), history)
    assert check(s, t, n_bins, history) > 0.0
    assert check(t, s, n_bins, history) >= 0.0
    c_s, c_t = coupled(history, 300)
    check(c_s, c_t, n_bins, history)
    check(np.where(c_s > 0.9, NAN, c_s), c_t[:250], n_bins, history)


@pytest.mark.parametrize("n_bins,history,length", [(41, 1, 17000), (41, 1, 18000), (2, 8, 32000), (2, 8, 33000)])
def test_larger_tables_are_counted_densely_only_for_long_series(n_bins, history, length):
    # Tables of 41^3 and 2^17 cells are worth filling only when the series has
    # about a quarter as many steps; each pair straddles that choice.
    s, t = sparse(length, length, min(n_bins, 41), history, noise=0.3)
    assert check(s, t, n_bins, history) > 0.0


# (n_bins, history, levels): few distinct values, so that codes that wrap
# modulo 2^64 (or share the saturated weight 2^64 - 1) collide.
WRAPPING = [
    (2**63, 2, 4),
    (2**63, 3, 4),
    (2**32 + 1, 2, 3),
    (2**32 + 1, 3, 3),
    (2**32 + 1, 5, 3),
    (2**64 - 1, 2, 3),
    (2**64 - 1, 3, 2),
]


@pytest.mark.parametrize("n_bins,history,levels", WRAPPING)
def test_codes_wrap_modulo_two_to_the_64(n_bins, history, levels):
    rng = np.random.default_rng(levels * 7 + history)
    s = rng.integers(0, levels, 120) / (levels - 1)
    t = np.roll(s, 1)
    t[::7] = 1 - t[::7]
    got = check(s, t, n_bins, history)
    exact = model.transfer_entropy(s.tolist(), t.tolist(), n_bins, history, wrap=False)
    assert not same_float(got, exact)


@pytest.mark.parametrize("n_bins,history", [(16, 16), (16, 17), (16, 20), (2, 63), (2, 64), (2, 66), (3, 45)])
def test_long_histories_saturate_the_weight(n_bins, history):
    s, t = sparse(history, 600, min(n_bins, 4), history)
    assert check(s, t, n_bins, history) > 0.0
    check(t, s, n_bins, history)


HUGE = [0, 1, 2, 3, 16, 2**32 + 1, 2**63, 2**64 - 2, 2**64 - 1]


@pytest.mark.parametrize("n_bins", HUGE)
@pytest.mark.parametrize("history", [0, 1, 2, 3, 39, 40, 2**32, 2**63, 2**64 - 1])
def test_every_unsigned_n_bins_and_history_give_a_number(n_bins, history):
    s, t = coupled(7, 40, levels=3)
    got = check(s, t, n_bins, history)
    assert got >= 0.0 and not math.isnan(got)


# -- the batch --------------------------------------------------------------------


def unaligned(values):
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    out = np.ndarray(values.shape, dtype=np.float64, buffer=raw, offset=1)
    out[...] = values
    assert not out.flags.aligned
    return out


def layouts():
    rng = np.random.default_rng(8)
    base = np.floor(rng.random((4, 30)) * 5)
    base[1] = np.roll(base[0], 1)
    base[2, 5] = NAN
    big = np.zeros((8, 90))
    big[::2, ::3] = base
    big_reversed = np.zeros((8, 90))
    big_reversed[::-2, ::-3] = base
    return {
        "C": base,
        "Fortran": np.asfortranarray(base),
        "transposed": np.ascontiguousarray(base.T).T,
        "reversed rows": base[::-1],
        "reversed columns": base[:, ::-1],
        "reversed both": base[::-1, ::-1],
        "stepped": big[::2, ::3],
        "negative steps": big_reversed[::-2, ::-3],
        "fortran stepped": np.asfortranarray(big)[1::2, 2::3],
        "unaligned": unaligned(base),
        "unaligned fortran": unaligned(base.T).T,
        "repeated row": np.broadcast_to(base[0], (3, 30)),
        "repeated column": np.broadcast_to(base[:, :1], (4, 30)),
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_any_layout_gives_the_matrix_of_a_c_contiguous_copy(name):
    view = layouts()[name]
    for n_bins, history in ((5, 1), (3, 2), (2**63, 2)):
        got = check_batch(view, n_bins, history)
        assert got == BATCH(np.ascontiguousarray(view), n_bins, history)


def test_reversing_the_rows_reverses_both_indices():
    base = layouts()["C"]
    forward, backward = BATCH(base, 5, 1), BATCH(base[::-1], 5, 1)
    m = len(base)
    assert forward[0][1] > 0.5
    assert all(same_float(backward[i][j], forward[m - 1 - i][m - 1 - j]) for i in range(m) for j in range(m))


@pytest.mark.parametrize("n_bins,history", [(16, 1), (4, 2), (2, 5), (2**63, 2), (0, 1), (3, 0)])
def test_batch_entries_are_single_calls(n_bins, history):
    rng = np.random.default_rng(n_bins % 1000 + history)
    rows = np.floor(rng.random((5, 50)) * 4)
    rows[1] = np.roll(rows[0], 1)
    rows[2] = rng.normal(size=50)
    rows[2, [4, 9]] = NAN
    rows[3, 20] = INF
    rows[4, ::5] = NAN
    matrix = check_batch(rows, n_bins, history)
    for i in range(5):
        assert same_float(matrix[i][i], 0.0)
        for j in range(5):
            if i != j:
                assert same_float(matrix[i][j], TE(rows[i].copy(), rows[j].copy(), n_bins, history))


@pytest.mark.parametrize("shape,want", [
    ((0, 0), []),
    ((0, 12), []),
    ((1, 0), [[0.0]]),
    ((1, 12), [[0.0]]),
    ((3, 0), [[0.0] * 3] * 3),
    ((3, 1), [[0.0] * 3] * 3),
    ((3, 2), [[0.0] * 3] * 3),
])
def test_batch_shapes(shape, want):
    signals = np.random.default_rng(9).random(shape)
    got = BATCH(signals, 2, 1)
    assert got == want
    assert all(same_float(v, 0.0) for row in got for v in row)
    assert BATCH(signals.T.copy().T, 2**64 - 1, 2**64 - 1) == want


@pytest.mark.parametrize("n_bins,history", [(16, 1), (2, 12), (16, 4), (2**40, 3), (2**63, 5)])
def test_results_repeat_exactly(n_bins, history):
    s, t = sparse(11, 500, 8, history % 64)
    first = TE(s, t, n_bins, history)
    matrix = BATCH(np.stack([s, t, np.roll(t, 2)]), n_bins, history)
    for _ in range(3):
        assert same_float(TE(s, t, n_bins, history), first)
        assert BATCH(np.stack([s, t, np.roll(t, 2)]), n_bins, history) == matrix
    assert same_float(matrix[0][1], first)


# -- properties -----------------------------------------------------------------


ELEMENTS = {
    "continuous": st.floats(-10.0, 10.0),
    "small": st.integers(0, 3).map(float),
    "special": st.one_of(st.integers(0, 3).map(float), st.just(NAN), st.just(NAN), st.sampled_from([INF, -INF])),
    "any": st.floats(width=64),
}

N_BINS = st.one_of(st.integers(0, 31), st.sampled_from([2**32 + 1, 2**63, 2**64 - 1]))
HISTORY = st.one_of(st.integers(0, 4), st.integers(5, 70), st.sampled_from([2**63, 2**64 - 1]))


@st.composite
def series(draw, max_size):
    kind = draw(st.sampled_from(sorted(ELEMENTS)))
    return f64(draw(st.lists(ELEMENTS[kind], max_size=max_size)))


@settings(max_examples=250, deadline=None)
@given(series(80), series(80), N_BINS, HISTORY)
def test_transfer_entropy_matches_the_model(source, target, n_bins, history):
    got = check(source, target, n_bins, history)
    assert got >= 0.0 and not math.isnan(got)


@st.composite
def matrices(draw):
    m, length = draw(st.integers(0, 4)), draw(st.integers(0, 40))
    kind = draw(st.sampled_from(sorted(ELEMENTS)))
    values = draw(st.lists(ELEMENTS[kind], min_size=m * length, max_size=m * length))
    signals = f64(values).reshape(m, length)
    return draw(st.sampled_from([signals, np.asfortranarray(signals), signals[::-1, ::-1]]))


@settings(max_examples=120, deadline=None)
@given(matrices(), st.one_of(st.integers(0, 31), st.sampled_from([2**63, 2**64 - 1])), st.integers(0, 6))
def test_batch_matches_the_model(signals, n_bins, history):
    matrix = check_batch(signals, n_bins, history)
    assert all(v >= 0.0 for row in matrix for v in row)
