"""zelmo_information.network: all-pairs matrices equal the single-pair
functions bit for bit on any number of workers; surrogate p-values follow
their documented definition, are calibrated and have power; calls release
the interpreter lock, stop on Ctrl-C and reject bad input."""

import math
import sys
import time

import numpy as np
import pytest

from conftest import Child, same_float, ticks_during
from zelmo_information import _core
from zelmo_information import network as zn

WORKERS = [1, 2, 3]

# Results on 1, 2 and 3 threads, also where fewer cores would cap workers.
pytestmark = pytest.mark.usefixtures("uncapped_workers")


def ar1(seed, m, length, phi=0.6):
    rng = np.random.default_rng(seed)
    noise = rng.normal(size=(m, length))
    x = np.zeros((m, length))
    for t in range(1, length):
        x[:, t] = phi * x[:, t - 1] + noise[:, t]
    return x


def batch(signals, n_bins, history):
    return np.array(_core.batch_transfer_entropy_py(np.asarray(signals, dtype=np.float64), n_bins, history))


def identical(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------
# Matrices against the single-pair functions


def layouts(values):
    """The same rows in several memory layouts."""
    yield values
    yield np.asfortranarray(values)
    yield np.ascontiguousarray(values.T).T  # transposed view
    yield np.ascontiguousarray(values[::-1, ::-1])[::-1, ::-1]  # reversed view
    wide = np.zeros((values.shape[0], 2 * values.shape[1]))
    wide[:, ::2] = values
    yield wide[:, ::2]  # strided


@pytest.mark.parametrize("n_bins, history", [
    (None, 1), (4, 2), (16, 1), (0, 1), (1, 3), (5, 0),
    (16, 9),        # codes too wide for packed states: the sorted path
    (2**40, 1),     # bins beyond 32 bits
])
def test_transfer_entropy_matrix_equals_the_batch(n_bins, history):
    rng = np.random.default_rng(history)
    signals = rng.normal(size=(5, 300))
    signals[1, 1:] += 0.9 * signals[0, :-1]
    signals[3] = np.round(signals[3])  # many ties
    bins = zn.transfer_entropy_bins(300, history) if n_bins is None else n_bins
    expected = batch(signals, bins, history)
    for workers, values in zip(WORKERS * 2, layouts(signals)):
        got = zn.transfer_entropy_matrix(values, n_bins, history, workers=workers)
        assert got.dtype == np.float64 and got.flags.c_contiguous
        assert identical(got, expected), (workers, values.strides)


def test_transfer_entropy_matrix_degenerate_shapes():
    for shape in [(0, 10), (1, 50), (3, 2), (3, 0)]:
        assert identical(zn.transfer_entropy_matrix(np.ones(shape)), np.zeros((shape[0],) * 2))
    assert identical(zn.transfer_entropy_matrix(np.arange(10.0)[None] * [[1], [1], [-1]], history=20), np.zeros((3, 3)))


@pytest.mark.parametrize("n_bins", [None, 1, 3, 64, 5000])
def test_mutual_information_matrix_equals_single_calls(n_bins):
    rng = np.random.default_rng(3)
    signals = rng.normal(size=(6, 400))
    signals[1] = signals[0] ** 2
    signals[2] = 7.0  # constant: 0.0 against everything
    signals[4, ::50] = np.nan  # binned as mutual_information bins them
    signals[5, 3] = np.inf  # an infinite range: every value in bin 0
    bins = zn.mutual_information_bins(400) if n_bins is None else n_bins
    for workers, values in zip(WORKERS, layouts(signals)):
        got = zn.mutual_information_matrix(values, n_bins, nonfinite="bin", workers=workers)
        assert identical(got, got.T)
        for i in range(6):
            for j in range(i, 6):
                assert same_float(got[i, j], _core.mutual_information(signals[i], signals[j], bins)), (i, j)
    # Beyond what a dense table allows: 400 distinct values in 2**31 bins.
    assert zn.mutual_information_matrix(signals[[0, 3]], 2**31)[0, 1] == pytest.approx(math.log2(400), rel=1e-14)
    # Up to eight rows go pair by pair, more take the matrix of binned rows:
    # the same refusal either way, and the same values.
    more = np.vstack([signals, rng.normal(size=(4, 400))])
    for rows in ([0, 4, 5], [0, 4, 5, 6, 7, 8, 9]):
        with pytest.raises(ValueError, match="row 1 of signals holds NaN"):
            zn.mutual_information_matrix(np.vstack([more[rows], more[rows]]))
    wide = zn.mutual_information_matrix(more, n_bins, nonfinite="bin", workers=2)
    assert identical(wide[:6, :6], zn.mutual_information_matrix(signals, n_bins, nonfinite="bin", workers=2))
    assert same_float(wide[9, 4], _core.mutual_information(more[4], more[9], bins))


def test_automatic_bin_counts():
    # TE: the largest b <= 16 with b ** (2 h + 1) <= L / 10; MI: b <= 64 with b ** 2 <= L / 10.
    assert [zn.transfer_entropy_bins(n) for n in (10, 80, 2000, 10**4, 10**5)] == [2, 2, 5, 10, 16]
    assert [zn.transfer_entropy_bins(10**5, h) for h in (0, 2, 3, 40, 2**63)] == [16, 6, 3, 2, 2]
    assert [zn.mutual_information_bins(n) for n in (30, 1000, 10**5, 10**7)] == [2, 10, 64, 64]
    result = zn.transfer_entropy_test(ar1(0, 2, 3000), surrogates=9, seed=1)
    assert result.n_bins == 6 and result.history == 1


def test_input_conversions_and_masks():
    rng = np.random.default_rng(5)
    ints = rng.integers(0, 6, size=(4, 200))
    expected = batch(ints.astype(float), 6, 1)
    assert identical(zn.transfer_entropy_matrix(ints, 6), expected)
    assert identical(zn.transfer_entropy_matrix(ints.tolist(), 6), expected)
    assert identical(zn.transfer_entropy_matrix(ints.astype(np.float32), 6), expected)

    values = rng.normal(size=(3, 200))
    underneath = values.copy()
    underneath[1, 10:20] = 1e300  # would widen the range if it were read
    masked = np.ma.array(underneath, mask=np.zeros_like(underneath, dtype=bool))
    masked[1, 10:20] = np.ma.masked
    with pytest.raises(ValueError, match="row 1 "):
        zn.transfer_entropy_matrix(masked)
    with_nan = values.copy()
    with_nan[1, 10:20] = np.nan
    assert identical(zn.transfer_entropy_matrix(masked, 8, nonfinite="bin"), batch(with_nan, 8, 1))


def test_nonfinite_values_raise_naming_the_first_row():
    values = np.ones((4, 50)).cumsum(axis=1)
    values[2, 7], values[3, 0] = np.inf, np.nan
    for call in (zn.transfer_entropy_matrix, zn.mutual_information_matrix, zn.transfer_entropy_test):
        with pytest.raises(ValueError, match=r"^row 2 of signals holds NaN or an infinity"):
            call(values)
    assert zn.transfer_entropy_matrix(values, 4, nonfinite="bin").shape == (4, 4)


@pytest.mark.parametrize("call, kwargs, error, match", [
    (zn.transfer_entropy_matrix, dict(signals=np.ones(5)), ValueError, "two-dimensional"),
    (zn.transfer_entropy_matrix, dict(signals=np.ones((2, 2, 2))), ValueError, "two-dimensional"),
    (zn.transfer_entropy_matrix, dict(signals=np.ones((2, 5), complex)), TypeError, "real"),
    (zn.transfer_entropy_matrix, dict(signals=[[1.0, 2.0], [3.0]]), ValueError, "sequence"),
    (zn.transfer_entropy_matrix, dict(workers=0), ValueError, "workers"),
    (zn.transfer_entropy_matrix, dict(workers=1.5), TypeError, "workers"),
    (zn.transfer_entropy_matrix, dict(n_bins=-1), ValueError, "n_bins"),
    (zn.transfer_entropy_matrix, dict(history=-1), ValueError, "history"),
    (zn.transfer_entropy_matrix, dict(history=True), TypeError, "history"),
    (zn.transfer_entropy_matrix, dict(nonfinite="drop"), ValueError, "nonfinite"),
    (zn.transfer_entropy_matrix, dict(progress="yes"), TypeError, "progress"),
    (zn.mutual_information_matrix, dict(n_bins=0), ValueError, "n_bins"),
    (zn.transfer_entropy_test, dict(surrogates=0), ValueError, "surrogates"),
    (zn.transfer_entropy_test, dict(method="roll"), ValueError, "method"),
    (zn.transfer_entropy_test, dict(seed=-1), ValueError, "seed"),
    (zn.transfer_entropy_test, dict(seed=2**64), ValueError, "seed"),
    (zn.transfer_entropy_test, dict(history=10, signals=np.ones((2, 21)).cumsum(1)), ValueError, "2 \\* history"),
])
def test_bad_arguments_name_the_problem(call, kwargs, error, match):
    kwargs = {"signals": np.random.default_rng(0).normal(size=(3, 40)), **kwargs}
    with pytest.raises(error, match=match):
        call(**kwargs)


# ---------------------------------------------------------------------------
# The surrogate test


def philox_words(seed, purpose, i, j, k):
    """The documented stream: Philox4x64-10 keyed by (seed, purpose), the
    blocks of counters (i, j, k, 0), (i, j, k, 1), ..., here from NumPy's
    Philox (which adds 1 to its counter before making a block)."""
    for block in range(2**64):
        counter = i + (j << 64) + (k << 128) + (block << 192)
        bits = np.random.Philox(counter=counter - 1, key=seed + (purpose << 64))
        yield from (int(w) for w in bits.random_raw(4))


def lemire(words, bound):
    m = next(words) * bound
    if m % 2**64 < bound:
        threshold = (2**64 - bound) % bound
        while m % 2**64 < threshold:
            m = next(words) * bound
    return m >> 64


def model_null(signals, i, j, k, n_bins, history, method, seed):
    """Transfer entropy of surrogate k of pair (i, j), by the definition."""
    source, length = signals[i], signals.shape[1]
    if method == "shift":
        d = history + 1 + lemire(philox_words(seed, 1, i, j, k), length - 2 * history - 1)
        surrogate = np.roll(source, -d)
    else:
        words = philox_words(seed, 2, i, j, k)
        surrogate = source.copy()
        for u in range(length - 1, 0, -1):
            r = lemire(words, u + 1)
            surrogate[u], surrogate[r] = surrogate[r], surrogate[u]
    return _core.transfer_entropy(surrogate, signals[j], n_bins, history)


@pytest.mark.parametrize("method, n_bins, history, length", [
    ("shift", None, 1, 400),    # dense tables read whole
    ("shift", 16, 1, 300),      # dense tables kept by increments
    ("shuffle", 7, 2, 200),
    ("shift", 16, 6, 120),      # states counted by sorting
    ("shuffle", 2**40, 1, 60),  # bins beyond 32 bits
])
def test_null_values_follow_the_documented_surrogates(method, n_bins, history, length):
    signals = ar1(7, 3, length)
    signals[1, 2:] += 0.5 * signals[0, :-2]
    surrogates, seed = 12, 2**63 + 12345
    result = zn.transfer_entropy_test(signals, n_bins, history, surrogates=surrogates, method=method, seed=seed)
    bins = result.n_bins
    for i in range(3):
        for j in range(3):
            if i == j:
                assert math.isnan(result.p_values[i, j]) and math.isnan(result.null_mean[i, j])
                continue
            nulls = np.array([model_null(signals, i, j, k, bins, history, method, seed) for k in range(surrogates)])
            observed = result.te[i, j]
            assert same_float(observed, _core.transfer_entropy(signals[i], signals[j], bins, history))
            assert result.p_values[i, j] == (1 + np.sum(nulls >= observed)) / (1 + surrogates)
            assert result.null_mean[i, j] == pytest.approx(nulls.mean(), rel=1e-9, abs=1e-12)
            assert result.null_std[i, j] == pytest.approx(nulls.std(), rel=1e-6, abs=1e-12)
    assert identical(result.effective_te, result.te - result.null_mean)


def test_same_seed_same_result_for_every_worker_count():
    signals = ar1(1, 5, 500)
    for method in ("shift", "shuffle"):
        runs = [zn.transfer_entropy_test(signals, surrogates=70, method=method, seed=99, workers=w) for w in WORKERS]
        for run in runs[1:]:
            for name in ("te", "p_values", "null_mean", "null_std"):
                assert identical(getattr(run, name), getattr(runs[0], name)), (method, name)
    fresh = zn.transfer_entropy_test(signals, surrogates=70)
    again = zn.transfer_entropy_test(signals, surrogates=70, seed=fresh.seed)
    assert identical(fresh.p_values, again.p_values) and identical(fresh.null_std, again.null_std)
    other = zn.transfer_entropy_test(signals, surrogates=70, seed=fresh.seed ^ 1)
    assert not identical(fresh.null_mean, other.null_mean)


def test_surrogates_with_the_observed_counts_tie_with_it():
    # Every rotation of a period-4 source of four distinct values relabels
    # its states one to one: each surrogate has the observed counts in other
    # cells, the same value, and must count as reaching it.
    source = np.tile([0.0, 1.0, 2.0, 3.0], 250)
    bits = np.random.default_rng(0).integers(0, 2, 1000)
    target = (np.roll(source, 1) + bits) % 4
    result = zn.transfer_entropy_test(np.vstack([source, target]), 4, surrogates=300, seed=3)
    assert result.te[0, 1] > 0.4 and result.p_values[0, 1] == 1.0 and result.null_std[0, 1] < 1e-12


def test_p_values_are_calibrated_on_independent_series():
    signals = ar1(2024, 30, 2000)
    off = ~np.eye(30, dtype=bool)
    for method in ("shift", "shuffle"):
        result = zn.transfer_entropy_test(signals, surrogates=100, method=method, seed=11)
        rate = np.mean(result.p_values[off] < 0.05)
        assert 0.01 <= rate <= 0.09, (method, rate)
        assert result.significant().sum() <= 2


def test_a_weak_coupling_is_found_and_nothing_else():
    signals = ar1(8, 6, 3000)
    signals[4, 1:] += 0.25 * signals[1, :-1]
    # Benjamini-Hochberg over 30 tests can pass p = 1 / 1001, not 1 / 201.
    result = zn.transfer_entropy_test(signals, surrogates=1000, seed=5)
    assert result.p_values[1, 4] == 1 / 1001
    assert set(zip(*np.nonzero(result.significant()))) == {(1, 4)}
    # The plug-in bias (about 0.024 bits here) is what the null mean removes.
    independent = ~np.eye(6, dtype=bool)
    independent[1, 4] = False
    assert result.te[independent].min() > 0.015 and abs(result.effective_te[independent].mean()) < 0.002


def test_significant_corrections():
    from scipy.stats import false_discovery_control

    rng = np.random.default_rng(4)
    m = 12
    p = np.where(rng.random((m, m)) < 0.2, rng.random((m, m)) * 0.01, rng.random((m, m)))
    np.fill_diagonal(p, np.nan)
    nan = np.full((m, m), np.nan)
    result = zn.TransferEntropyTest(te=np.zeros((m, m)), p_values=p, null_mean=nan, null_std=nan, n_bins=2,
                                    history=1, surrogates=100, method="shift", seed=0)
    off = ~np.eye(m, dtype=bool)
    for alpha in (0.01, 0.05, 0.2):
        assert identical(result.significant(alpha)[off], false_discovery_control(p[off]) <= alpha)
        assert identical(result.significant(alpha, "bonferroni")[off], p[off] * m * (m - 1) <= alpha)
        assert identical(result.significant(alpha, None)[off], p[off] <= alpha)
    assert not result.significant().diagonal().any()
    for bad in (0.0, 1.0, -0.1):
        with pytest.raises(ValueError, match="alpha"):
            result.significant(bad)
    with pytest.raises(ValueError, match="correction"):
        result.significant(0.05, "holm")  # type: ignore[arg-type]


# ---------------------------------------------------------------------------
# Threads, signals, progress


def test_the_interpreter_lock_is_released_while_pairs_are_computed():
    signals = np.random.default_rng(0).normal(size=(12, 20_000))
    start = time.perf_counter()
    ticks = ticks_during(lambda: zn.transfer_entropy_test(signals, surrogates=300, workers=1, seed=0))
    elapsed = time.perf_counter() - start
    # Held for the whole call, the lock would let the counter tick only
    # before and after it.
    assert elapsed > 0.2 and ticks > 1000


def test_ctrl_c_stops_a_long_call_promptly():
    with Child("""
        import sys, time, numpy as np
        from zelmo_information import _core, network as zn
        signals = np.random.default_rng(0).normal(size=(30, 20_000))
        print("ready", flush=True)
        start = time.perf_counter()
        try:
            zn.transfer_entropy_test(signals, surrogates=100_000, workers=2, seed=1)
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start, flush=True)
        small = zn.transfer_entropy_matrix(signals[:3, :500], 4)
        assert (small == np.array(_core.batch_transfer_entropy_py(signals[:3, :500], 4, 1))).all()
        print("next call ok", flush=True)
    """) as child:
        assert child.line() == "ready"
        time.sleep(1.0)
        sent = time.perf_counter()
        child.interrupt()
        line = child.line().split()
        latency = time.perf_counter() - sent
        assert line[0] == "interrupted" and latency < 0.5, (line, latency)
        assert child.line() == "next call ok"
        assert child.wait() == 0


def test_progress_bar(capsys, monkeypatch):
    pytest.importorskip("tqdm")
    signals = np.random.default_rng(0).normal(size=(4, 300))
    plain = zn.transfer_entropy_test(signals, surrogates=20, seed=2)
    shown = zn.transfer_entropy_test(signals, surrogates=20, seed=2, progress=True)
    assert identical(plain.p_values, shown.p_values)
    assert "252/252" in capsys.readouterr().err  # 12 pairs x (1 + 20)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match="pip install tqdm"):
        zn.mutual_information_matrix(signals, progress=True)
    assert zn.mutual_information_matrix(signals).shape == (4, 4)
