#!/usr/bin/env python3
"""Stress run of every function of zelmo_information._core, on demand (not part
of the test suite).

First each function is called once on very large inputs (10^8 samples per
array by default; the batch transfer entropy on a rows x steps array), each in
a child process of its own, and the wall time and the peak memory the call
added are printed: the child resets its peak resident size (VmHWM, by writing
5 to /proc/self/clear_refs) right before the call and subtracts its resident
size (VmRSS) before the call from the peak after it.

Then each function is called with bin counts just below and at every
table-size limit (2^60 counters for the one-dimensional tables, 2^30 and 2^32
bins for the n_bins x n_bins pair tables, the largest 64-bit values for the
hash-counted measures), again each in its own child process, and the call
must return or raise MemoryError / PanicException as documented, never abort.

    python benchmarks/stress.py                 # 10^8 samples, 1000 x 10000 batch
    python benchmarks/stress.py --size 1e7      # ten times smaller, batch scaled down
    python benchmarks/stress.py --only shannon_entropy mutual_information --no-limits

The exit status is 1 when a limit check fails or a child process dies.
"""

import argparse
import multiprocessing as mp
import os
import sys
import time

import numpy as np

from zelmo_information import _core

CAPACITY = "PanicException: capacity overflow"
MEMORY = "MemoryError"
VALUE = "value"


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def large_arguments(name, size, rows, steps):
    """Arguments for one call on large inputs: y depends on x, z on both."""
    rng = np.random.default_rng(0)
    x = rng.standard_normal(size)
    if name in ("shannon_entropy",):
        return (x, -1)
    if name in ("renyi_entropy", "tsallis_entropy"):
        return (x,)
    if name == "batch_transfer_entropy_py":
        walk = np.cumsum(rng.standard_normal((rows, steps)), axis=1)
        walk[1:, 1:] += 0.5 * walk[:-1, :-1]  # each row driven by the previous one
        return (walk,)
    y = 0.5 * x + rng.standard_normal(size)
    if name == "cond_mutual_information":
        return (x, y, x - y + rng.standard_normal(size))
    if name == "transfer_entropy":
        y = np.roll(x, 1) + 0.5 * rng.standard_normal(size)
    return (x, y)


def describe(result):
    if isinstance(result, list):
        flat = [v for row in result for v in row]
        return f"{len(result)}x{len(result)} matrix, max {max(flat, default=0.0):.6g}"
    return f"{result:.10g}"


def outcome_text(exc):
    if type(exc).__name__ == "PanicException":
        return f"PanicException: {exc.args[0]}"
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


def large_call(name, size, rows, steps, conn):
    try:
        args = large_arguments(name, size, rows, steps)
        f = getattr(_core, name)
        before = status_kib("VmRSS")
        reset_peak()
        start = time.perf_counter()
        try:
            text = describe(f(*args))
        except BaseException as exc:  # noqa: BLE001
            text = outcome_text(exc)
        seconds = time.perf_counter() - start
        extra = status_kib("VmHWM") - before
        conn.send((seconds, extra, text))
    finally:
        conn.close()


def limit_call(name, kwargs, conn):
    # A panic reports to standard error before it is raised; the table says it.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    x = np.linspace(0.0, 1.0, 100)
    y = np.sin(np.arange(100.0))
    if name == "batch_transfer_entropy_py":
        args = (np.array([x, y]),)
    elif name == "cond_mutual_information":
        args = (x, y, x * y)
    elif name in ("shannon_entropy", "renyi_entropy", "tsallis_entropy"):
        args = (x,)
    else:
        args = (x, y)
    try:
        getattr(_core, name)(*args, **kwargs)
        conn.send(VALUE)
    except BaseException as exc:  # noqa: BLE001
        text = outcome_text(exc)
        conn.send(MEMORY if text.startswith(MEMORY) else text)
    finally:
        conn.close()


def power_text(v):
    for k in range(20, 65):
        if v == 2**k:
            return f"2^{k}"
        if v == 2**k - 1:
            return f"2^{k}-1"
    return str(v)


def in_child(target, *args):
    """Runs target(*args, conn) in a forked child: (message or None, exit code)."""
    ctx = mp.get_context("fork")
    receive, send = ctx.Pipe(duplex=False)
    child = ctx.Process(target=target, args=(*args, send))
    child.start()
    send.close()
    try:
        message = receive.recv()
    except EOFError:  # the child died before it could answer
        message = None
    child.join()
    return message, child.exitcode


ONE_D = ["shannon_entropy", "renyi_entropy", "tsallis_entropy", "kl_divergence", "js_divergence",
         "hellinger_distance", "total_variation_distance", "cross_entropy"]
PAIR = ["joint_entropy", "conditional_entropy", "mutual_information"]
HASHED = ["transfer_entropy", "cond_mutual_information", "batch_transfer_entropy_py"]
SIGNED = {"shannon_entropy", "renyi_entropy", "tsallis_entropy", "hellinger_distance", "total_variation_distance",
          "cross_entropy"}


def limit_cases():
    """(function, keyword arguments, allowed outcomes)."""
    cases = []
    for name in ONE_D:
        top = 2**63 - 1 if name in SIGNED else 2**64 - 1
        cases += [(name, {"n_bins": 2**60 - 1}, {MEMORY}),
                  (name, {"n_bins": 2**60}, {CAPACITY}),
                  (name, {"n_bins": top}, {CAPACITY})]
    for name in PAIR:
        cases += [(name, {"n_bins": 2**30 - 1}, {MEMORY}),
                  (name, {"n_bins": 2**30}, {CAPACITY}),
                  (name, {"n_bins": 2**32 - 1}, {CAPACITY}),
                  # n_bins^2 no longer fits 64 bits: either failure is a sound answer
                  (name, {"n_bins": 2**32}, {CAPACITY, MEMORY}),
                  (name, {"n_bins": 2**64 - 1}, {CAPACITY, MEMORY})]
    # information_gain counts a one-dimensional histogram of x (n_bins
    # counters, which may or may not be granted) before its pair table.
    cases += [("information_gain", {"n_bins": 2**30 - 1}, {MEMORY}),
              ("information_gain", {"n_bins": 2**30}, {CAPACITY, MEMORY}),
              ("information_gain", {"n_bins": 2**32 - 1}, {CAPACITY, MEMORY}),
              ("information_gain", {"n_bins": 2**60 - 1}, {MEMORY}),
              ("information_gain", {"n_bins": 2**60}, {CAPACITY})]
    for name in HASHED:
        cases += [(name, {"n_bins": 2**64 - 1}, {VALUE}),
                  (name, {"n_bins": 2**32, **({} if name == "cond_mutual_information" else {"history": 3})}, {VALUE})]
        if name != "cond_mutual_information":
            cases.append((name, {"history": 2**64 - 1}, {VALUE}))
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=float, default=1e8, help="samples per array (default 1e8)")
    parser.add_argument("--rows", type=int, help="batch rows (default 1000 x size / 1e8, at least 10)")
    parser.add_argument("--steps", type=int, default=10_000, help="batch steps per row (default 10000)")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these functions")
    parser.add_argument("--no-large", action="store_true", help="skip the large inputs")
    parser.add_argument("--no-limits", action="store_true", help="skip the table-size limits")
    opts = parser.parse_args()
    size = int(opts.size)
    rows = opts.rows if opts.rows is not None else max(10, round(1000 * size / 1e8))
    names = [n for n in _core.__all__ if not opts.only or n in opts.only]
    failed = False

    if not opts.no_large:
        print(f"Large inputs: {size:,} samples per array; batch {rows} x {opts.steps:,}")
        print(f"{'function':<28}{'seconds':>10}{'peak extra MiB':>16}  result")
        for name in names:
            message, code = in_child(large_call, name, size, rows, opts.steps)
            if message is None:
                failed = True
                print(f"{name:<28}{'':>10}{'':>16}  child died (exit code {code})")
                continue
            seconds, extra_kib, text = message
            print(f"{name:<28}{seconds:>10.3f}{extra_kib / 1024:>16.1f}  {text}", flush=True)
        print()

    if not opts.no_limits:
        print("Table-size limits (each call in its own process)")
        print(f"{'function':<28}{'arguments':<24}{'ok':<4}outcome")
        for name, kwargs, allowed in limit_cases():
            if name not in names:
                continue
            message, code = in_child(limit_call, name, kwargs)
            ok = message in allowed and code == 0
            failed |= not ok
            shown = message if message is not None else f"child died (exit code {code})"
            args = ", ".join(f"{k}={power_text(v)}" for k, v in kwargs.items())
            print(f"{name:<28}{args:<24}{'yes' if ok else 'NO':<4}{shown}"
                  + ("" if ok else f"   (expected {' or '.join(sorted(allowed))})"), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
