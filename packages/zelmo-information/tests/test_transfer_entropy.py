"""transfer_entropy and batch_transfer_entropy_py against models.py to the
last bit: guards, the worked example, binning over each whole series, dense
and sorted counting, past codes that wrap or saturate, batch layouts."""

import os
import textwrap
import time

import numpy as np
import pytest

import models
from borrows import try_exclusive
from conftest import INF, NAN, Child, _core, agrees_with_model, check, f64, raises_panic, same_float, unaligned

TE, BATCH = _core.transfer_entropy, _core.batch_transfer_entropy_py
SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))
SOURCE = [0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0]
TARGET = [0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0]  # SOURCE delayed by one step
FORWARD, BACKWARD = 0.98679572475212, 0.23546276961663


def te(source, target, n_bins=16, history=1):  # the module's value, checked against the model
    return agrees_with_model("transfer_entropy", source, target, n_bins, history)


def coupled(seed, length, levels=None, noise=0.2):
    """A source and its noisy copy one step later, `levels` equally spaced values if given."""
    rng = np.random.default_rng(seed)
    s = rng.random(length)
    t = np.roll(s, 1) * (1 - noise) + noise * rng.random(length)
    if levels:
        s, t = np.floor(s * levels) / (levels - 1), np.floor(t * levels) / (levels - 1)
    return s, t


def sparse(seed, length, levels, history, noise=0.02):
    """A source mostly 0 with rare events (even long pasts recur) and its slightly noisy copy."""
    rng = np.random.default_rng(seed)
    s = np.where(rng.random(length) < 0.5 / (history + 1), rng.integers(1, levels, length), 0).astype(float)
    s[0] = levels - 1
    t = np.roll(s, 1)
    flips = rng.random(length) < noise
    t[flips] = rng.integers(0, levels, int(flips.sum()))
    t[1] = levels - 1
    return s / (levels - 1), t / (levels - 1)


def test_guards_and_degenerate_series():
    rng = np.random.default_rng(0)
    for ls, lt in ((0, 0), (0, 10), (10, 0), (1, 10), (2, 10), (10, 2), (2, 2)):  # fewer than three common steps
        for n_bins, history in ((16, 1), (2, 0), (0, 0), (2**64 - 1, 2**64 - 1)):
            check("transfer_entropy", rng.random(ls), rng.random(lt), n_bins, history, expected=0.0)
    for n, extra, history in ((6, 0, 5), (6, 14, 5), (6, 0, 6), (6, 0, 7), (3, 9, 2), (4, 0, 2**64 - 1)):
        s, t = coupled(n, n + extra)  # n = history + 1 counts one step (ratio 1); n <= history none
        assert same_float(te(s, t[:n], 2, history), 0.0) and same_float(te(s[:n], t, 2, history), 0.0)
    # n = history + 2: two steps share the target past and differ in source past and next target.
    assert same_float(te(f64([0, 1, 0, 1]), f64([0, 0, 0, 1]), 2, 2), 1.0)
    s, t = coupled(1, 200)
    assert te(s, t, 16, 1) > 0.5
    assert all(same_float(te(s, t, n_bins, 0), 0.0) for n_bins in (0, 1, 2, 16, 2**63))  # history 0
    assert all(same_float(te(s, t, n_bins, h), 0.0) for n_bins in (0, 1) for h in (1, 2, 5))  # one bin
    s, t, ones = f64(SOURCE), f64(TARGET), np.ones(12)
    assert same_float(te(ones * 7.0, t, 2), 0.0) and same_float(te(s, ones * -3.0, 2), 0.0)
    # A range of exactly 1e-12 is not constant; just below it every sample is in bin 0.
    assert same_float(te(s * 1e-12, t * 1e-12, 2), TE(s, t, 2, 1))
    assert same_float(te(s * 0.99e-12, t, 2), 0.0) and same_float(te(s, 5.0 + t * 0.99e-12, 2), 0.0)


def test_delayed_copy_example_and_defaults():
    s, t = f64(SOURCE), f64(TARGET)
    assert abs(te(s, t, 2, 1) - FORWARD) < 5e-15 and abs(te(t, s, 2, 1) - BACKWARD) < 5e-15
    matrix = agrees_with_model("batch_transfer_entropy_py", f64([SOURCE, TARGET]), 2, 1)
    assert matrix[0] == [0.0, TE(s, t, 2, 1)] and matrix[1] == [TE(t, s, 2, 1), 0.0]
    s, t = coupled(2, 300)
    assert same_float(TE(s, t), te(s, t, 16, 1)) and same_float(TE(s, t, 4), te(s, t, 4, 1))
    signals = np.stack([s, t, s[::-1].copy()])
    assert BATCH(signals) == BATCH(signals, 16, 1)


def test_each_series_is_binned_over_its_whole_length():
    s, t = coupled(4, 40, noise=0.1)
    base = te(s, t, 4, 1)

    def inside(x):
        return np.concatenate([x, [x.min(), x.max(), NAN, 0.5 * (x[0] + x[1])]])

    assert same_float(te(inside(s), t, 4, 1), base) and same_float(te(s, inside(t), 4, 1), base)
    # ...but a value that widens the range rebins every counted sample.
    assert not same_float(te(s, np.append(t, 3 * t.max()), 4, 1), base)
    assert not same_float(te(np.append(s, -5.0), t, 4, 1), base)
    assert not same_float(te(inside(s), inside(t)[:41], 4, 1), base)  # one more counted step


def test_scaled_rule_puts_point_three_in_bin_three_of_ten():
    assert models.own_scaled_bins([0.0, 0.3, 1.0], 10) == [0, 3, 9]
    # The target copies whether the source was 0.3 or 0.25: the scaled rule
    # separates them (bins 3 and 2), the width rule would merge them in bin 2.
    values = [0.25, 0.3, 0.3, 0.25, 0.3, 0.25, 0.25, 0.3, 0.25, 0.3, 0.3, 0.25]
    s = f64([0.0, 1.0] + values)
    t = f64([0.0, 0.0, 0.0] + [1.0 if v == 0.3 else 0.0 for v in values[:-1]])
    t_bins = [0, 0, 0] + [9 if v == 0.3 else 0 for v in values[:-1]]
    got = te(s, t, 10, 1)
    assert same_float(got, models.te_from_bins([0, 9] + [3 if v == 0.3 else 2 for v in values], t_bins, 10, 1))
    assert not same_float(got, models.te_from_bins([0, 9] + [2] * len(values), t_bins, 10, 1))


def test_nan_joins_bin_zero_and_an_infinity_puts_its_whole_series_there():
    s, t = coupled(5, 80, levels=4)
    holes, low, high = s.copy(), s.copy(), s.copy()
    holes[[3, 17, 40]], low[[3, 17, 40]], high[[3, 17, 40]] = NAN, s.min(), s.max()
    assert same_float(te(holes, t, 4, 2), TE(low, t, 4, 2)) and not same_float(TE(holes, t, 4, 2), TE(high, t, 4, 2))
    assert same_float(te(np.full(80, NAN), t, 4, 1), 0.0)  # range -inf: constant
    assert te(s, t, 4, 1) > 0.5
    for bad in (INF, -INF):
        for where in (0, 50, 79):
            hs = s.copy()
            hs[where] = bad
            assert same_float(te(hs, t, 4, 1), 0.0) and same_float(te(s[::-1].copy(), hs, 4, 1), 0.0)
        assert same_float(te(np.append(s, bad), t, 4, 1), 0.0) and same_float(te(np.full(80, bad), t, 4, 1), 0.0)


# (n_bins, history, length): small and large state spaces, counted densely or
# with sorted keys, on both sides of the choice (tables of 41**3 and 2**17
# cells are worth filling only for series about a quarter as long), and pasts
# long enough for the weight to saturate.
COUNTING = ([(16, h, 400) for h in (1, 2, 3, 4)] + [(2, h, 400) for h in (1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 18, 20)]
            + [(3, h, 400) for h in (2, 4, 6, 8)] + [(n, 1, 400) for n in (5, 64, 256, 1000, 2**20, 2**31)]
            + [(7, 3, 400), (64, 2, 400), (41, 1, 17000), (41, 1, 18000), (2, 8, 32000), (2, 8, 33000)]
            + [(16, h, 600) for h in (16, 17, 20)] + [(2, h, 600) for h in (63, 64, 66)] + [(3, 45, 600)])


@pytest.mark.parametrize("n_bins,history,length", COUNTING)
def test_counting_agrees_with_the_model_on_both_sides_of_the_dense_limit(n_bins, history, length):
    levels = min(n_bins, 41 if length > 600 else 4 if length == 600 else 16)
    s, t = sparse(n_bins + history + length, length, levels, history, noise=0.3 if length > 600 else 0.02)
    assert te(s, t, n_bins, history) > 0.0
    if length <= 600:
        te(t, s, n_bins, history)
        c_s, c_t = coupled(history, 300)
        te(c_s, c_t, n_bins, history)
        te(np.where(c_s > 0.9, NAN, c_s), c_t[:250], n_bins, history)


# (n_bins, history, levels): few distinct values, so that codes that wrap
# modulo 2**64 (or share the saturated weight 2**64 - 1) collide.
@pytest.mark.parametrize("n_bins,history,levels", [(2**63, 2, 4), (2**63, 3, 4), (2**32 + 1, 2, 3), (2**32 + 1, 3, 3),
                                                   (2**32 + 1, 5, 3), (2**64 - 1, 2, 3), (2**64 - 1, 3, 2)])
def test_codes_wrap_modulo_two_to_the_64(n_bins, history, levels):
    rng = np.random.default_rng(levels * 7 + history)
    s = rng.integers(0, levels, 120) / (levels - 1)
    t = np.roll(s, 1)
    t[::7] = 1 - t[::7]
    exact = models.transfer_entropy(s.tolist(), t.tolist(), n_bins, history, wrap=False)
    assert not same_float(te(s, t, n_bins, history), exact)


def layouts():
    rng = np.random.default_rng(8)
    base = np.floor(rng.random((4, 30)) * 5)
    base[1] = np.roll(base[0], 1)
    base[2, 5], base[3, 20] = NAN, INF
    big, big_reversed = np.zeros((8, 90)), np.zeros((8, 90))
    big[::2, ::3] = base
    big_reversed[::-2, ::-3] = base
    return {"C": base, "Fortran": np.asfortranarray(base), "transposed": np.ascontiguousarray(base.T).T,
            "reversed rows": base[::-1], "reversed columns": base[:, ::-1], "reversed both": base[::-1, ::-1],
            "stepped": big[::2, ::3], "negative steps": big_reversed[::-2, ::-3],
            "fortran stepped": np.asfortranarray(big)[1::2, 2::3], "unaligned": unaligned(base),
            "unaligned fortran": unaligned(base.T).T, "repeated row": np.broadcast_to(base[0], (3, 30)),
            "repeated column": np.broadcast_to(base[:, :1], (4, 30))}


@pytest.mark.parametrize("name", list(layouts()))
def test_any_layout_gives_the_matrix_of_its_rows(name):
    view = layouts()[name]
    for n_bins, history in ((5, 1), (3, 2), (2**63, 2), (0, 1), (3, 0)):
        matrix = agrees_with_model("batch_transfer_entropy_py", view, n_bins, history)
        assert matrix == BATCH(np.ascontiguousarray(view), n_bins, history)
        for i, row in enumerate(matrix):
            assert all(same_float(v, 0.0 if i == j else TE(view[i].copy(), view[j].copy(), n_bins, history))
                       for j, v in enumerate(row))


@pytest.mark.parametrize("shape,want", [((0, 0), []), ((0, 12), []), ((1, 0), [[0.0]]), ((1, 12), [[0.0]]),
                                        ((3, 0), [[0.0] * 3] * 3), ((3, 1), [[0.0] * 3] * 3), ((3, 2), [[0.0] * 3] * 3)])
def test_batch_shapes(shape, want):
    signals = np.random.default_rng(9).random(shape)
    got = BATCH(signals, 2, 1)
    assert got == want and all(same_float(v, 0.0) for row in got for v in row)
    assert BATCH(signals.T.copy().T, 2**64 - 1, 2**64 - 1) == want


@pytest.mark.parametrize("rows", [2**30, 2**31 + 1, 2**32, 2**32 + 1, 2**40])
def test_a_batch_whose_matrix_cannot_be_addressed_panics_before_allocating(rows):
    # m * m results: from 2**30 rows their bytes exceed the address space,
    # from 2**32 the product wraps (to 0 for 2**32, to a few cells after).
    signals = np.empty((rows, 0))
    with raises_panic("capacity overflow"):
        BATCH(signals)
    assert try_exclusive(signals)


def test_ctrl_c_stops_a_long_batch_which_frees_what_it_holds():
    # Each batch would run for minutes; Ctrl-C stops it between two pairs with
    # KeyboardInterrupt, everything it allocated (the bins or codes of every
    # row and the matrix, 70 to 190 MB) is freed, and the next call gives the
    # usual matrix. Once for dense counting, once for sorted states.
    script = textwrap.dedent("""
        import ctypes, sys, time
        import numpy as np
        from borrows import try_exclusive
        from zelmo_information import _core

        class MallocInfo(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                              "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

        def allocated():  # bytes malloc has handed out and not had back (glibc)
            libc = ctypes.CDLL(None)
            if not hasattr(libc, "mallinfo2"):
                return 0
            libc.mallinfo2.restype = MallocInfo
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd

        signals = np.random.default_rng(0).normal(size=(2000, 5000))
        small = signals[:4, :300].copy()
        expected = _core.batch_transfer_entropy_py(small, 8, 1)
        references = sys.getrefcount(signals)
        for n_bins in (16, 2**33):
            before = allocated()
            print("ready", flush=True)
            try:
                _core.batch_transfer_entropy_py(signals, n_bins, 1)
                print("finished", flush=True)
            except KeyboardInterrupt:
                print("interrupted", time.monotonic(), allocated() - before, flush=True)
            assert sys.getrefcount(signals) == references and try_exclusive(signals)
            assert _core.batch_transfer_entropy_py(small, 8, 1) == expected
    """)
    with Child(script, lifetime=120) as child:  # a batch that ignores the signal runs for minutes
        for _ in range(2):
            assert child.line() == "ready"
            time.sleep(0.5)
            sent = time.monotonic()
            child.interrupt()
            line = child.line().split()
            assert line and line[0] == "interrupted", line
            # Typically a few milliseconds; the margin is for a loaded machine.
            assert float(line[1]) - sent < 2.0, float(line[1]) - sent
            # The sanitizers' allocator is not glibc's, which counts here.
            assert SANITIZED or int(line[2]) < 2**20, int(line[2])
        assert child.wait() == 0


def test_the_quick_start_example():
    # The README's series: z follows x one step later. Transfer entropy
    # predicts z's next step from both pasts, so the series go in unshifted;
    # the uncoupled direction shows the estimate's upward bias, larger on
    # fewer steps. Counting and summing in a fixed order, every call repeats
    # to the last bit (so does conditional mutual information).
    rng = np.random.default_rng(0)
    x = rng.normal(size=100_000)
    rng.normal(size=100_000)  # the README's y
    z = np.roll(x, 1) + rng.normal(size=100_000)
    forward, backward = TE(x, z), TE(z, x)
    assert forward == pytest.approx(0.47, abs=0.005) and backward == pytest.approx(0.013, abs=0.0005)
    assert TE(z[:1000], x[:1000]) == pytest.approx(0.64, abs=0.005)
    assert TE(x[:-1], z[1:]) < 0.02  # shifted by hand: a lag of 2, where z has nothing of x
    assert same_float(TE(x, z), forward) and BATCH(np.vstack([x, z])) == [[0.0, forward], [backward, 0.0]]
    cmi = _core.cond_mutual_information(x, z, np.roll(z, 1), 64)
    assert same_float(_core.cond_mutual_information(x, z, np.roll(z, 1), 64), cmi)
