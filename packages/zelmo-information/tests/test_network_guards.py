"""zelmo_information.network at its edges: lags that would wrap past 2**64,
arguments that are not what they claim to be, Ctrl-C inside long units of
work, other threads and writers while a call reads its input, progress
bars that end complete, and child processes that stop on SIGINT whatever
their parent ignores."""

import decimal
import os
import signal
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

from conftest import Child, sigint_raises, ticks_during
from zelmo_information import _network
from zelmo_information import network as zn

U64 = 2**64


def coupled(seed, length, conditions=1):
    rng = np.random.default_rng(seed)
    x, y = rng.normal(size=(2, length))
    y[1:] += x[:-1]
    return x, y, rng.normal(size=(conditions, length))


# ---------------------------------------------------------------------------
# Lags


@pytest.mark.parametrize("history, lag, condition_lags", [
    (1, U64 - 1, []),            # lag + history wraps to 0
    (990, U64 - 990, []),        # to exactly 2**64: the past would start after the predicted step
    (2, 1, [U64 - 2]),           # a condition's lag wraps
    (3, 5, [1, U64 - 1, 2]),
    (U64 - 1, U64 - 1, [U64 - 1]),
])
def test_a_reach_beyond_2_64_counts_no_step(history, lag, condition_lags):
    # The private binding takes any 64-bit lag: a reach that overflows
    # counts nothing (the sanitized suite checks that nothing is read
    # outside the bins either).
    x, y, z = coupled(1, 1000, len(condition_lags))
    for estimator in (_network.Estimator("binned", 4), _network.Estimator("gaussian")):
        assert _network.conditional_transfer_entropy(estimator, x, y, z, history, lag, condition_lags, None) == (0.0, 0, 0)


def test_lags_are_bounded_and_a_lag_of_zero_is_refused():
    x, y, z = coupled(2, 1000)
    for lag in (0, U64 - 1):
        with pytest.raises(ValueError, match="^lag must be between 1 and 1048576"):
            zn.conditional_transfer_entropy(x, y, z, 4, lag=lag)
        with pytest.raises(ValueError, match="^condition_lags must be between 1 and 1048576"):
            zn.conditional_transfer_entropy(x, y, z, 4, condition_lags=[lag])
    with pytest.raises(ValueError, match="every lag must be at least 1"):
        _network.conditional_transfer_entropy(_network.Estimator("binned", 4), x, y, z, 1, 0, [1], None)
    # The longest lag allowed reaches past these series: no step, 0.0.
    assert zn.conditional_transfer_entropy(x, y, z, 4, lag=2**20, condition_lags=[2**20]) == 0.0
    assert zn.conditional_transfer_entropy(x, y, z, 4, lag=2) < zn.conditional_transfer_entropy(x, y, z, 4) > 0.2


# ---------------------------------------------------------------------------
# Arguments


def calls():
    """Every network function, as f(signals, **options)."""
    return {
        "transfer_entropy_matrix": zn.transfer_entropy_matrix,
        "mutual_information_matrix": zn.mutual_information_matrix,
        "transfer_entropy_test": lambda s, **k: zn.transfer_entropy_test(s, surrogates=5, seed=0, **k),
        "infer_network": lambda s, **k: zn.infer_network(s, surrogates=5, seed=0, **k),
    }


NOT_REAL = {
    "datetime64": np.arange(40).astype("datetime64[s]").reshape(2, 20),
    "timedelta64": np.arange(40).astype("timedelta64[ms]").reshape(2, 20),
    "bytes": np.array([[b"1", b"2", b"3"]] * 2),
    "numeric strings": np.array([["1.5", "2", "3"]] * 2),
    "objects": np.ones((2, 20), dtype=object),
    "Decimals": [[decimal.Decimal(k) for k in range(20)]] * 2,
}


@pytest.mark.parametrize("kind", NOT_REAL)
def test_signals_must_hold_real_numbers(kind):
    values = NOT_REAL[kind]
    for name, call in calls().items():
        with pytest.raises(TypeError, match="^signals must hold real numbers"):
            call(values)
    x, y, z = coupled(3, 20)
    with pytest.raises(TypeError, match="^source must hold real numbers"):
        zn.conditional_transfer_entropy(np.asarray(values)[0], y, z)
    with pytest.raises(TypeError, match="^conditions must hold real numbers"):
        zn.conditional_transfer_entropy(x, y, values)


@pytest.mark.parametrize("value", [None, 3.0, True, np.float64(2.0)])
def test_series_must_be_arrays(value):
    x, y, z = coupled(4, 20)
    for name, args in (("source", (value, y, z)), ("target", (x, value, z)), ("conditions", (x, y, value))):
        with pytest.raises(TypeError, match=f"^{name} must be an array of real numbers"):
            zn.conditional_transfer_entropy(*args)


def test_real_numbers_of_every_kind_are_accepted():
    x, y, z = coupled(5, 300)
    expected = zn.conditional_transfer_entropy(x, y, z, 2)
    as_lists = zn.conditional_transfer_entropy(x.tolist(), y.tolist(), z.tolist(), 2)
    assert as_lists == expected
    levels = (x > 0).astype(np.int16), y > 0
    assert zn.conditional_transfer_entropy(*levels, z, 2) == zn.conditional_transfer_entropy(
        *(v.astype(float) for v in levels), z, 2)


@pytest.mark.parametrize("alpha", ["0.05", decimal.Decimal("0.05"), None, [0.05], np.bool_(True)])
def test_alpha_must_be_a_real_number(alpha):
    signals = np.random.default_rng(6).normal(size=(3, 200))
    with pytest.raises(TypeError, match="^alpha must be a real number"):
        zn.infer_network(signals, surrogates=5, alpha=alpha)
    with pytest.raises(TypeError, match="^alpha must be a real number"):
        zn.transfer_entropy_test(signals, surrogates=5, seed=0).significant(alpha)


def test_alpha_takes_python_and_numpy_reals():
    signals = np.random.default_rng(7).normal(size=(3, 200))
    test = zn.transfer_entropy_test(signals, surrogates=5, seed=0)
    for alpha in (0.05, np.float32(0.05), np.float16(0.05)):
        assert test.significant(alpha).shape == (3, 3)
    assert zn.infer_network(signals, surrogates=30, seed=0, alpha=np.float64(0.2)).alpha == 0.2


def test_surrogates_are_bounded():
    signals = np.random.default_rng(8).normal(size=(3, 200))
    for call in (zn.transfer_entropy_test, zn.infer_network):
        with pytest.raises(ValueError, match="^surrogates must be between 1 and 67108864, got 4611686018427387904"):
            call(signals, surrogates=2**62)


def threads_now():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="counts threads through /proc")
def test_workers_beyond_the_cores_are_capped():
    signals = np.random.default_rng(9).normal(size=(6, 3000))
    expected = zn.transfer_entropy_test(signals, surrogates=200, seed=1, workers=1)
    before = threads_now()
    most, done = [before], threading.Event()

    def sample():
        while not done.is_set():
            most.append(threads_now())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        capped = zn.transfer_entropy_test(signals, surrogates=200, seed=1, workers=65536)
    finally:
        done.set()
        sampler.join()
    assert np.array_equal(capped.p_values, expected.p_values, equal_nan=True)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    assert max(most) <= before + 1 + cores  # the sampler and a thread per core at most


# ---------------------------------------------------------------------------
# Ctrl-C inside long units of work


# Ctrl-C stops these calls within a few tens of milliseconds (probed from
# 0.1 s to 1.5 s into each call); the bound leaves a wide margin for a busy
# machine and about three times that for a sanitized build.
PROMPT = 1.5 if os.environ.get("ZELMO_SANITIZED") else 0.5

LONG_CALLS = """
    # One unit of seconds each: sorting wide conditional states, a wide
    # surrogate test (every surrogate sorts its states), ranking rows of
    # distinct bins.
    x = np.random.default_rng(0).normal(size=(3, 5_000_000))
    calls = {
        "conditional_transfer_entropy": lambda: zn.conditional_transfer_entropy(x[0], x[1], x[2:3], 2**40),
        "transfer_entropy_test": lambda: zn.transfer_entropy_test(x[:2, :200_000], 2**33, surrogates=10_000, seed=1),
        "mutual_information_matrix": lambda: zn.mutual_information_matrix(x, 2**31, workers=1),
    }
"""


def test_ctrl_c_stops_every_long_unit_promptly():
    with Child(textwrap.dedent("""
        import time, warnings
        import numpy as np
        from zelmo_information import network as zn
        warnings.simplefilter("ignore")
    """) + textwrap.dedent(LONG_CALLS) + textwrap.dedent("""
        for name, call in calls.items():
            print("ready", name, flush=True)
            try:
                call()
                print("finished", name, flush=True)
            except KeyboardInterrupt:
                print("interrupted", name, flush=True)
        assert zn.mutual_information_matrix(x[:, :1000], 8).shape == (3, 3)
        print("next call ok", flush=True)
    """)) as child:
        for name in ("conditional_transfer_entropy", "transfer_entropy_test", "mutual_information_matrix"):
            assert child.line() == f"ready {name}"
            time.sleep(0.7)
            sent = time.perf_counter()
            child.interrupt()
            line = child.line()
            latency = time.perf_counter() - sent
            assert line == f"interrupted {name}" and latency < PROMPT, (line, latency)
        assert child.line() == "next call ok"
        assert child.wait() == 0


def test_a_child_stops_on_ctrl_c_when_its_parent_ignores_it():
    # As in a suite started in the background or under nohup: the child
    # inherits SIGINT ignored and must set its own handler.
    ignored = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        child = Child("""
            import time
            try:
                print("ready", flush=True)
                time.sleep(60)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """)
    finally:
        signal.signal(signal.SIGINT, ignored)
    with child:
        assert child.line() == "ready"
        child.interrupt()
        assert child.line(timeout=10) == "interrupted"
        assert child.wait() == 0


# ---------------------------------------------------------------------------
# Other threads while a call reads its input


def test_a_concurrent_writer_cannot_change_what_a_call_reads():
    # The writer flips one value between two states, each a consistent
    # input: 0.0 inside the range, or -1e3, which widens it. A call sees
    # one state or the other; reading while the writer runs, the range of
    # one and the value of the other would give a third result.
    x, y, z = coupled(11, 300_000, 2)
    x[0] = 0.0
    signals = np.vstack([x, y, z])
    states = (0.0, -1e3)
    conditional, matrix = set(), []
    for v in states:
        flipped = signals.copy()
        flipped[0, 0] = v
        conditional.add(zn.conditional_transfer_entropy(flipped[0], y, z, 4))
        matrix.append(zn.transfer_entropy_matrix(flipped, 4))
    done = threading.Event()

    def write():
        while not done.is_set():
            for v in states:
                x[0] = v
                signals[0, 0] = v

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(20):
            assert zn.conditional_transfer_entropy(x, y, z, 4) in conditional
        for _ in range(5):
            got = zn.transfer_entropy_matrix(signals, 4)
            assert any(np.array_equal(got, m) for m in matrix)
    finally:
        done.set()
        writer.join()


def test_other_threads_run_while_rows_are_binned():
    # The call only bins (a NaN in the last row stops it after binning). A
    # thread stamping the time must not be kept waiting for most of it, as
    # it is when the whole binning holds the interpreter lock. A short
    # switch interval makes the lock change hands often enough to see it
    # within a call of a few tens of milliseconds; the best of three calls
    # keeps a stall of the machine from deciding.
    signals = np.random.default_rng(3).normal(size=(128, 2**18))
    signals[-1, -1] = np.nan

    def longest_wait():
        stamps, done = [], threading.Event()

        def stamp():
            while not done.is_set():
                stamps.append(time.perf_counter())

        stamper = threading.Thread(target=stamp)
        stamper.start()
        try:
            time.sleep(0.01)
            started = time.perf_counter()
            with pytest.raises(ValueError, match="row 127 of signals"):
                zn.mutual_information_matrix(signals, 8, workers=2)
            ended = time.perf_counter()
        finally:
            done.set()
            stamper.join()
        during = np.array([started] + [t for t in stamps if started < t < ended] + [ended])
        return np.diff(during).max() / (ended - started)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        assert min(longest_wait() for _ in range(3)) < 0.5
    finally:
        sys.setswitchinterval(interval)


# ---------------------------------------------------------------------------
# Progress bars


@pytest.mark.parametrize("call, signals", [
    (zn.transfer_entropy_matrix, np.zeros((0, 10))),
    (zn.mutual_information_matrix, np.zeros((3, 2))),
    (lambda s, progress: zn.transfer_entropy_test(s, surrogates=5, seed=0, progress=progress), np.zeros((2, 2))),
    (lambda s, progress: zn.infer_network(s, surrogates=19, seed=0, progress=progress),
     np.random.default_rng(12).normal(size=(3, 300))),
])
def test_a_bar_ends_complete(call, signals, capsys):
    pytest.importorskip("tqdm")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call(signals, progress=True)
    final = capsys.readouterr().err.rstrip().rsplit("\r", 1)[-1]
    assert "100%" in final, final


def test_a_stopped_bar_stays_where_it_stopped(capsys):
    pytest.importorskip("tqdm")
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    signals = np.random.default_rng(13).normal(size=(20, 20_000))
    with sigint_raises(), pytest.raises(KeyboardInterrupt):
        timer.start()
        zn.transfer_entropy_test(signals, surrogates=100_000, seed=1, progress=True)
    final = capsys.readouterr().err.rstrip().rsplit("\r", 1)[-1]
    assert "transfer entropy test" in final and "100%" not in final
