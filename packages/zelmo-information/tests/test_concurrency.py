"""Many Python threads calling every function at once on shared arrays get
exactly the results (values and exceptions) of serial calls. Arguments whose
__index__ or __float__ release the interpreter lock let other threads run
whole calls while a call holds its borrows."""

import math
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from borrows import try_exclusive
from conftest import AVAILABLE, SIGNATURES, function

THREADS = 8
REPEATS = 40


class Yielding:
    """An integer or float argument that lets other threads run while it is
    being converted."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value

    def __float__(self):
        time.sleep(0)
        return float(self.value)


def shared_arrays():
    rng = np.random.default_rng(11)
    gappy = rng.normal(size=300)
    gappy[::17] = np.nan
    gappy[5] = np.inf
    return {
        "normal": rng.normal(size=400),
        "levels": rng.integers(0, 5, size=350).astype(np.float64),
        "gappy": gappy,
        "short": np.array([1.0, 2.0]),
        "signals": rng.normal(size=(4, 120)),
        "columns": np.asfortranarray(rng.normal(size=(3, 90))),
    }


def cases(arrays):
    """(function name, positional arguments) for every function, sharing arrays
    between functions and passing one array for several parameters."""
    ones = ["normal", "levels", "gappy", "short"]
    out = []
    for name in AVAILABLE:
        sig = SIGNATURES[name]
        for k, n_bins in enumerate([None, 7, Yielding(5), 0]):
            args = []
            for i, (_, kind, default) in enumerate(sig):
                if kind == "a1":
                    args.append(arrays[ones[(k + i) % len(ones)] if i else ones[k % 2]])
                elif kind == "a2":
                    args.append(arrays["signals" if k % 2 else "columns"])
                elif kind == "f":
                    args.append(Yielding(3) if k == 2 else 2.5)
                elif sig[i][0] == "n_bins":
                    args.append(-1 if n_bins is None and kind == "i" else n_bins if n_bins is not None else default)
                else:
                    args.append(default)
            out.append((name, args))
    return out


def outcome(name, args):
    try:
        return ("value", function(name)(*args))
    except BaseException as exc:  # noqa: BLE001
        return (type(exc).__name__, exc.args)


def identical(a, b):
    """Bit-for-bit equality of outcomes, NaN equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b))
    return a == b


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_get_the_serial_results(fast_switching, capfd):
    arrays = shared_arrays()
    work = cases(arrays)
    expected = [outcome(name, args) for name, args in work]
    assert any(e[0] == "PanicException" for e in expected) and any(e[0] == "value" for e in expected)
    barrier = threading.Barrier(THREADS)
    mismatches = []

    def worker(k):
        barrier.wait()
        for r in range(REPEATS):
            start = (k * 7 + r) % len(work)
            for i in list(range(start, len(work))) + list(range(start)):
                got = outcome(*work[i])
                if not identical(got, expected[i]):
                    mismatches.append((work[i][0], got, expected[i]))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    capfd.readouterr()  # the panics' reports
    assert mismatches == []
    for a in arrays.values():
        assert try_exclusive(a)


FIRST_USE = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from zelmo_information import _core

    sys.setswitchinterval(1e-6)
    barrier = threading.Barrier(8)
    x = np.linspace(0.0, 1.0, 64)
    y = np.sin(np.arange(64.0))
    results = [None] * 8

    def first_call(k):
        barrier.wait()
        out = []
        for f, args in [(_core.mutual_information, (x, y, 4)), (_core.shannon_entropy, (x, 0)),
                        (_core.transfer_entropy, (y, x, 3, 2)), (_core.kl_divergence, (x, y[::2], 5))]:
            try:
                out.append(repr(f(*args)))
            except BaseException as exc:
                out.append(type(exc).__name__ + repr(exc.args))
        results[k] = out

    threads = [threading.Thread(target=first_call, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results), results
    print(results[0])
""")


def test_first_calls_in_a_fresh_process_race_safely():
    """The NumPy API table, the borrow registry and PanicException are made on
    first use; eight threads making their first calls at once all succeed."""
    done = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "PanicException('index out of bounds: the len is 0 but the index is 0',)" in out
    assert "PanicException('called `Result::unwrap()` on an `Err` value: AsSliceError',)" in out
