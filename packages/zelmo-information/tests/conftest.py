import contextlib
import math
import os
import queue
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

sys.path.insert(0, __file__.rsplit("/", 1)[0])

import models  # noqa: E402
from borrows import try_exclusive  # noqa: E402
from zelmo_information import _core  # noqa: E402

# Every function of the module: parameters in order as (name, kind, default),
# kind one of "a1" (1-D array), "a2" (2-D array), "i" (signed), "u"
# (unsigned), "f" (float); REQUIRED marks a parameter without default.
REQUIRED = object()
SIGNATURES = {
    "mutual_information": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 16)],
    "transfer_entropy": [("source", "a1", REQUIRED), ("target", "a1", REQUIRED), ("n_bins", "u", 16), ("history", "u", 1)],
    "batch_transfer_entropy_py": [("signals", "a2", REQUIRED), ("n_bins", "u", 16), ("history", "u", 1)],
    "cond_mutual_information": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("z", "a1", REQUIRED), ("n_bins", "u", 16)],
    "shannon_entropy": [("data", "a1", REQUIRED), ("n_bins", "i", REQUIRED), ("base", "f", 2.0)],
    "renyi_entropy": [("data", "a1", REQUIRED), ("alpha", "f", 2.0), ("n_bins", "i", -1), ("base", "f", 2.0)],
    "tsallis_entropy": [("data", "a1", REQUIRED), ("q", "f", 2.0), ("n_bins", "i", -1)],
    "conditional_entropy": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "joint_entropy": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "kl_divergence": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "u", 10)],
    "js_divergence": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "u", 10)],
    "information_gain": [("x", "a1", REQUIRED), ("y", "a1", REQUIRED), ("n_bins", "u", 10)],
    "cross_entropy": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1), ("base", "f", 2.0)],
    "hellinger_distance": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1)],
    "total_variation_distance": [("p", "a1", REQUIRED), ("q", "a1", REQUIRED), ("n_bins", "i", -1)],
}
AVAILABLE = [name for name in SIGNATURES if name in _core.__all__]
NAN, INF = math.nan, math.inf
INDEX_0 = "index out of bounds: the len is 0 but the index is 0"


def function(name):
    return getattr(_core, name)


def valid_arguments(name, length=8):
    """Well-formed positional arguments for every parameter of `name`."""
    rng = np.random.default_rng(len(name))
    kinds = {"a1": lambda: rng.normal(size=length), "a2": lambda: rng.normal(size=(3, length))}
    return [kinds[k]() if k in kinds else -1 if d is REQUIRED else d for _, k, d in SIGNATURES[name]]


def reference_counts(objects):
    """sys.getrefcount of each object, None for the interpreter's shared
    constants (None, the booleans, the cached small integers and one-character
    strings): before Python 3.12 made them immortal, their counts move with
    any code anywhere that touches them, so they say nothing about a call."""

    def shared(a):
        return (a is None or type(a) is bool or (type(a) is int and -5 <= a <= 256)
                or (type(a) is str and len(a) <= 1))

    return [None if shared(a) else sys.getrefcount(a) for a in objects]


def panic_type():
    """The PanicException type (created on first use, so provoke it once)."""
    try:
        _core.shannon_entropy(np.array([0.0, 1.0]), 0)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("n_bins = 0 did not panic")


@contextlib.contextmanager
def raises_panic(message):
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)


def same_float(a, b):
    """Bit-for-bit equality (NaN equals NaN, 0.0 differs from -0.0)."""
    assert isinstance(a, float)
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


def f64(values):
    return np.array(values, dtype=np.float64)


def check(name, *args, expected):
    """One call of `name` (lists become float64 arrays) against `expected`: a
    float to the last bit, a panic message, an exception type, or anything
    comparing equal (pytest.approx). Every array is released afterwards."""
    arrays = [f64(a) if isinstance(a, list) else a for a in args]
    f = function(name)
    if isinstance(expected, (str, type)):
        with raises_panic(expected) if isinstance(expected, str) else pytest.raises(expected):
            f(*arrays)
    elif isinstance(expected, float):
        got = f(*arrays)
        assert same_float(got, expected), (got, expected)
    else:
        assert f(*arrays) == expected
    assert all(try_exclusive(a) for a in arrays if isinstance(a, np.ndarray))


def agrees_with_model(name, *args):
    """`name` on args (lists or arrays) against models.<name>, to the last bit
    and panics included; returns the result."""
    arrays = [f64(a) if isinstance(a, list) else a for a in args]
    try:
        expected = getattr(models, name)(*[a.tolist() if isinstance(a, np.ndarray) else a for a in args])
    except models.Panic as p:
        with raises_panic(str(p)):
            function(name)(*arrays)
        return None
    got = function(name)(*arrays)
    if isinstance(expected, list):
        assert type(got) is list and len(got) == len(expected)
        for row, want in zip(got, expected):
            assert type(row) is list and len(row) == len(want)
            assert all(same_float(g, w) for g, w in zip(row, want)), (row, want)
    else:
        assert same_float(got, expected), (got, expected)
    return got


def fresh(kind, message, cause=None):
    """A new exception, with a __cause__ of type `cause` if given. (Made here, so
    that no frame of the raising method refers to it: no reference cycle.)"""
    exc = kind(message)
    if cause is not None:
        exc.__cause__ = cause(f"cause of {message}")
    return exc


class Returns:
    """Returns `result` from a conversion method; raises it if it is an
    exception, or a fresh one each time if it is (type, message[, cause type])."""

    def __init__(self, result):
        self.result = result

    def value(self):
        if isinstance(self.result, tuple):
            raise fresh(*self.result)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class Index(Returns):
    def __index__(self):
        return self.value()


class Float(Returns):
    def __float__(self):
        return self.value()


def unaligned(values):
    """A misaligned float64 copy of `values` (any shape)."""
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.size * 8 + 1, np.uint8)
    out = np.ndarray(values.shape, np.float64, raw, 1)
    out[...] = values
    assert values.size == 0 or not out.flags.aligned
    return out


# ---------------------------------------------------------------------------
# Child processes. A test run in the background, under nohup or by a parent
# that ignores SIGINT starts its children with SIGINT ignored, and Python
# then installs no KeyboardInterrupt handler: every child sets its own.

CHILD_PRELUDE = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"


def child_command(script):
    """The command that runs `script` (dedented) in a fresh interpreter that
    turns SIGINT into KeyboardInterrupt whatever its parent ignores."""
    return [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(script)]


def child_env():
    """The environment of a child: this one, with the tests' helpers importable."""
    here = os.path.dirname(os.path.abspath(__file__))
    return {**os.environ, "PYTHONPATH": os.pathsep.join([here, os.environ.get("PYTHONPATH", "")])}


class Child:
    """A child interpreter running `script`, whose output lines are read
    with a timeout; it is killed when the block ends, and after `lifetime`
    seconds in any case."""

    def __init__(self, script, lifetime=180):
        self.process = subprocess.Popen(child_command(script), stdout=subprocess.PIPE, text=True, env=child_env())
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._watchdog = threading.Timer(lifetime, self.process.kill)
        self._watchdog.start()

    def _read(self):
        for line in self.process.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def line(self, timeout=120):
        """The next line of output, stripped; fails after `timeout` seconds
        without one, or when the child has ended."""
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no output from the child within {timeout} s") from None
        assert line is not None, f"the child ended with status {self.process.wait(timeout=30)}"
        return line.strip()

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def wait(self, timeout=60):
        return self.process.wait(timeout=timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._watchdog.cancel()
        self.process.kill()
        self.process.wait(timeout=30)
        self.process.stdout.close()


@contextlib.contextmanager
def sigint_raises():
    """SIGINT raises KeyboardInterrupt in this process while the block runs,
    also when the suite was started with SIGINT ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def ticks_during(call):
    """How often another thread ran while `call` ran."""
    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(None)
            time.sleep(0)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.01)
        started = len(ticks)
        call()
        return len(ticks) - started
    finally:
        done.set()
        counter.join()


@pytest.fixture
def uncapped_workers(monkeypatch):
    """The network functions cap workers at the cores this process may use;
    here they take up to 4, so that results on 1, 2 and 3 threads are
    compared on smaller machines too."""
    from zelmo_information import _checks

    cores = _checks.cores()
    monkeypatch.setattr(_checks, "cores", lambda: max(cores, 4))
