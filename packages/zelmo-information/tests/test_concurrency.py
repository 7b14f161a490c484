"""Many Python threads calling every function at once on shared arrays get
exactly the results (values and exceptions) of serial calls. Arguments whose
__index__ or __float__ release the interpreter lock let other threads run
whole calls while a call holds its borrows."""

import inspect
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

from borrows import try_exclusive
from conftest import AVAILABLE, SIGNATURES, Returns, child_command, function

THREADS = 8
REPEATS = 40


class Yielding(Returns):
    """A number whose conversion lets other threads run."""

    def value(self):
        time.sleep(0)
        return self.result

    __index__ = __float__ = value


def shared_arrays():
    rng = np.random.default_rng(11)
    gappy = rng.normal(size=300)
    gappy[::17], gappy[5] = np.nan, np.inf
    return {"normal": rng.normal(size=400), "levels": rng.integers(0, 5, size=350).astype(np.float64),
            "gappy": gappy, "short": np.array([1.0, 2.0]), "signals": rng.normal(size=(4, 120)),
            "columns": np.asfortranarray(rng.normal(size=(3, 90)))}


def cases(arrays):
    """(function, positional arguments) for every function, sharing arrays
    between functions and passing one array for several parameters."""
    ones = ["normal", "levels", "gappy", "short"]
    out = []
    for name in AVAILABLE:
        for k, n_bins in enumerate([None, 7, Yielding(5), 0]):
            args = []
            for i, (param, kind, default) in enumerate(SIGNATURES[name]):
                if kind == "a1":
                    args.append(arrays[ones[(k + i) % len(ones)] if i else ones[k % 2]])
                elif kind == "a2":
                    args.append(arrays["signals" if k % 2 else "columns"])
                elif kind == "f":
                    args.append(Yielding(3.0) if k == 2 else 2.5)
                elif param == "n_bins" and n_bins is not None:
                    args.append(n_bins)
                else:
                    args.append(-1 if param == "n_bins" and kind == "i" else default)
            out.append((function(name), args))
    return out


def outcome(f, args):
    """The value or the exception of a call, comparable bit for bit (repr)."""
    try:
        return repr(f(*args))
    except BaseException as exc:  # noqa: BLE001
        return type(exc).__name__ + repr(exc.args)


def test_threads_get_the_serial_results(capfd):
    arrays = shared_arrays()
    work = cases(arrays)
    expected = [outcome(*w) for w in work]
    assert any(e.startswith("PanicException") for e in expected)
    barrier, mismatches = threading.Barrier(THREADS), []

    def worker(k):
        barrier.wait()
        for r in range(REPEATS):
            start = (k * 7 + r) % len(work)
            for i in list(range(start, len(work))) + list(range(start)):
                if outcome(*work[i]) != expected[i]:
                    mismatches.append((work[i][0].__name__, outcome(*work[i]), expected[i]))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sys.setswitchinterval(interval)
    capfd.readouterr()  # the panics' reports
    assert mismatches == []
    assert all(try_exclusive(a) for a in arrays.values())


FIRST_USE = textwrap.dedent("""
    import sys, threading
    import numpy as np
    from zelmo_information import _core

    sys.setswitchinterval(1e-6)
    x, y = np.linspace(0.0, 1.0, 64), np.sin(np.arange(64.0))
    calls = [(_core.mutual_information, (x, y, 4)), (_core.shannon_entropy, (x, 0)),
             (_core.transfer_entropy, (y, x, 3, 2)), (_core.kl_divergence, (x, y[::2], 5))]
    barrier, results = threading.Barrier(8), {}

    def first_calls(k):
        barrier.wait()
        results[k] = [outcome(f, args) for f, args in calls]

    threads = [threading.Thread(target=first_calls, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8 and all(r == results[0] for r in results.values()), results
    print(results[0])
""")


def test_first_calls_in_a_fresh_process_race_safely():
    """The NumPy API table, the borrow registry and PanicException are made on
    first use; eight threads making their first calls at once all succeed."""
    script = inspect.getsource(outcome) + FIRST_USE
    done = subprocess.run(child_command(script), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "PanicException('index out of bounds: the len is 0 but the index is 0',)" in done.stdout
    assert "PanicException('called `Result::unwrap()` on an `Err` value: AsSliceError',)" in done.stdout
