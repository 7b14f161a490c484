#!/usr/bin/env python3
"""How soon Ctrl-C stops the long calls of zelmo_information.network, on
demand (not part of the test suite).

Each call runs in a child process of its own on seeded data; SIGINT is sent
`--delay` seconds after the call began, and the time until the child reports
KeyboardInterrupt is printed with the memory the child held. The calls are
the long units of work: a conditional estimate on long series, a surrogate
test and a mutual-information matrix with huge bin counts (states counted
by sorting), the binning of long rows, and an ordinary surrogate test.

    python benchmarks/interrupt.py               # the full sizes (several GB)
    python benchmarks/interrupt.py --scale 0.1   # every length ten times shorter
    python benchmarks/interrupt.py --only conditional binning

The target is 0.5 s. The exit status is 1 when a child fails to report.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time

CALLS = {
    "conditional": ("conditional_transfer_entropy, 2 x 2e7 + 3 conditions, 16 bins",
                    "x = rng.normal(size=(5, n(2e7)))",
                    "zn.conditional_transfer_entropy(x[0], x[1], x[2:], 16)"),
    "test_wide": ("transfer_entropy_test, 4 x 5e5, n_bins=2**33",
                  "x = rng.normal(size=(4, n(5e5)))",
                  "zn.transfer_entropy_test(x, 2**33, surrogates=1000, seed=1)"),
    "mi_wide": ("mutual_information_matrix, 2 x 3e7, n_bins=2**31",
                "x = rng.normal(size=(2, n(3e7)))",
                "zn.mutual_information_matrix(x, 2**31)"),
    "binning": ("transfer_entropy_matrix binning only, 2 x 5e7, n_bins=2**40",
                "x = rng.normal(size=(2, n(5e7)))",
                "zn.transfer_entropy_matrix(x, 2**40, x.shape[1])"),
    "test": ("transfer_entropy_test, 30 x 2e4, 100,000 surrogates",
             "x = rng.normal(size=(30, n(2e4)))",
             "zn.transfer_entropy_test(x, surrogates=100_000, seed=1)"),
}

CHILD = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
import time, warnings
import numpy as np
from zelmo_information import network as zn
warnings.simplefilter("ignore")
def n(length):
    return max(100, int(length * {scale}))
rng = np.random.default_rng(0)
{setup}
print("ready", flush=True)
start = time.perf_counter()
try:
    {call}
    print("finished", time.perf_counter() - start, flush=True)
except KeyboardInterrupt:
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print("interrupted", time.perf_counter() - start, peak, flush=True)
"""


def run(name, scale, delay):
    label, setup, call = CALLS[name]
    script = CHILD.format(scale=scale, setup=setup, call=call)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE, text=True)
    watchdog = threading.Timer(300, child.kill)  # a call that ignores the signal ends here
    watchdog.start()
    try:
        if child.stdout.readline().strip() != "ready":
            return label, None, "the child did not start"
        time.sleep(delay)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        latency = time.perf_counter() - sent
        if not line:
            return label, None, "no answer"
        if line[0] == "finished":
            return label, None, f"finished in {float(line[1]):.2f} s, before the signal"
        return label, latency, f"peak {int(line[2]) / 1024:.0f} MiB"
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every series length")
    parser.add_argument("--delay", type=float, default=1.0, help="seconds between the call's start and SIGINT")
    parser.add_argument("--repeat", type=int, default=3, help="runs per call (the median is shown)")
    parser.add_argument("--only", nargs="+", choices=sorted(CALLS), default=sorted(CALLS, key=list(CALLS).index))
    args = parser.parse_args(argv)
    print(f"Ctrl-C latency, {args.repeat} runs each, SIGINT {args.delay} s into the call, scale {args.scale} "
          f"({len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()} cores)")
    print("| call | SIGINT to KeyboardInterrupt (median, max) | note |")
    print("|---|---:|---|")
    failed = False
    for name in args.only:
        latencies, note = [], ""
        for _ in range(args.repeat):
            label, latency, note = run(name, args.scale, args.delay)
            if latency is not None:
                latencies.append(latency)
        if latencies:
            shown = f"{statistics.median(latencies) * 1e3:.0f} ms, {max(latencies) * 1e3:.0f} ms"
        else:
            shown, failed = "n/a", True
        print(f"| {label} | {shown} | {note} |", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
