"""The machinery the benchmark families share: thread defaults, optional
peers, memory and time measurement, the workload and result records, running
a list of groups, and the table, RESULTS.md and chart.

A family file (entropy.py, transfer.py, ...) imports this module before
NumPy, builds its workloads in functions of the sizes and exposes them as
`GROUPS`, a list of `Group`; run.py runs the groups of every family in turn.
See README.md for an example.
"""

import os

# Every measure of ours runs on one thread; keep the peers' numeric libraries
# on one thread as well, so that the ratios compare algorithms, not cores.
# This has to happen before NumPy is first imported.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import ctypes  # noqa: E402
import gc  # noqa: E402
import importlib  # noqa: E402
import importlib.metadata  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402
import warnings  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Callable, Optional, Union  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
MIB = 1024.0 * 1024.0

# Repetitions per side of the full run and of --quick.
REPS = {"full": 7, "quick": 3}


# --------------------------------------------------------------------------
# Optional peers: a missing or broken one is reported in RESULTS.md and the
# workload falls back to the closest stand-in that runs here.

_UNAVAILABLE = []  # (display name, error), in the order of the imports


def optional_peer(module_name, display_name=None):
    """(module, None) when `module_name` imports, else (None, the error as
    text). With a `display_name`, a failure is listed under the notes of
    RESULTS.md."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return importlib.import_module(module_name), None
    except Exception as error:  # ImportError, or a binary that fails to load
        message = f"{type(error).__name__}: {error}"
        if display_name is not None:
            _UNAVAILABLE.append((display_name, message))
        return None, message


def unavailable_peers():
    return [f"- {name} could not be imported ({error}); its rows use the stand-in named there."
            for name, error in _UNAVAILABLE]


def version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


# --------------------------------------------------------------------------
# Memory: peak resident set of one call above the resident set before it.

try:
    _libc = ctypes.CDLL(None)
    _malloc_trim = _libc.malloc_trim
    _malloc_trim.argtypes = [ctypes.c_size_t]
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None


def _status_kib(*keys):
    values = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in keys:
                values[key] = int(rest.split()[0])
    return [values[key] for key in keys]


def _release_free_memory():
    gc.collect()
    if _malloc_trim is not None:
        # Hands free heap pages back to the system, so that a call reusing
        # them has to fault them in again and shows up in the peak.
        _malloc_trim(0)


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")  # resets VmHWM to the current VmRSS
        return True
    except OSError:
        return False


CAN_RESET_PEAK = os.path.exists("/proc/self/status") and _reset_peak()


def peak_extra_bytes(function):
    """Peak resident memory of one call of `function` above the resident set
    before it, in bytes; None where /proc is not available."""
    if not os.path.exists("/proc/self/status"):
        return None
    _release_free_memory()
    if CAN_RESET_PEAK:
        _reset_peak()
        (before,) = _status_kib("VmRSS")
        function()
        (peak,) = _status_kib("VmHWM")
        return max(peak - before, 0) * 1024
    # Without clear_refs: a forked child starts with its high-water mark at
    # its resident set, so the child measures the call.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            (before,) = _status_kib("VmRSS")
            function()
            (peak,) = _status_kib("VmHWM")
            os.write(write_end, str(max(peak - before, 0) * 1024).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    answer = os.read(read_end, 64)
    os.close(read_end)
    os.waitpid(pid, 0)
    return int(answer) if answer else None


# --------------------------------------------------------------------------
# Timing

def timed(function):
    """Seconds of one call of `function`, with the garbage collector off."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        function()
        return time.perf_counter() - start
    finally:
        gc.enable()


def interleaved_medians(measure_ours, measure_peer, reps):
    """Medians of two measurements (each a call returning seconds), the
    repetitions interleaved and the order of the two sides alternating from
    one repetition to the next."""
    ours_times, peer_times = [], []
    for rep in range(reps):
        sides = [(measure_ours, ours_times), (measure_peer, peer_times)]
        if rep % 2:
            sides.reverse()
        for measure, times in sides:
            times.append(measure())
    return statistics.median(ours_times), statistics.median(peer_times)


def time_side_by_side(ours, peer, reps):
    """Median seconds per call of each side."""
    return interleaved_medians(lambda: timed(ours), lambda: timed(peer), reps)


def time_calls_side_by_side(ours_stmt, peer_stmt, namespace, reps, number):
    """Median seconds per call of two statements, each timed over `number`
    calls per repetition."""
    ours_timer = timeit.Timer(ours_stmt, globals=namespace)
    peer_timer = timeit.Timer(peer_stmt, globals=namespace)
    ours_timer.timeit(number // 10 or 1)  # warm-up
    peer_timer.timeit(number // 10 or 1)
    return interleaved_medians(lambda: ours_timer.timeit(number) / number,
                               lambda: peer_timer.timeit(number) / number, reps)


# --------------------------------------------------------------------------
# Agreement of the two results

def relative_difference(ours, peer):
    """Largest relative difference of two numbers or arrays of the same shape."""
    ours_array = np.asarray(ours, dtype=float)
    peer_array = np.asarray(peer, dtype=float)
    scale = np.maximum(np.abs(ours_array), np.abs(peer_array))
    difference = np.abs(ours_array - peer_array)
    with np.errstate(invalid="ignore", divide="ignore"):
        relative = np.where(scale > 0, difference / scale, 0.0)
    return float(np.max(relative)) if relative.size else 0.0


# --------------------------------------------------------------------------
# Workloads, groups and results

@dataclass
class PerCall:
    """Two statements timed over `number` calls per repetition with timeit,
    for calls too short to time one at a time. No memory is measured."""
    ours: str
    peer: str
    namespace: dict
    number: int


@dataclass
class Workload:
    name: str                    # the table's row; what --only selects
    measure: str                 # our call, as shown in the table
    peer_label: str              # the peer's call, as shown in the table
    size: str
    ours: Optional[Callable[[], object]]
    peer: Optional[Callable[[], object]]
    target: Optional[float]      # wanted ratio peer / ours; None: reported only
    # A function (ours value, peer value) -> max relative difference, or the
    # reason why the two results are not comparable.
    agreement: Union[Callable[[object, object], Union[float, str]], str]
    note: str = ""
    per_call: Optional[PerCall] = None  # replaces ours and peer
    # The peer is timed on 1 / peer_scale of the work (a sample of the pairs
    # of a loop too slow to run whole) and its time multiplied by this.
    peer_scale: float = 1.0


@dataclass
class Group:
    """Workloads built together on the same data. `build` takes the sizes
    (`full`, or `quick` under --quick) and returns the workloads; `names`
    lists them in table order without building them, for --only."""
    name: str                    # what --only selects
    title: str
    names: list
    build: Callable[[dict], list]
    full: dict
    quick: dict
    notes: list = field(default_factory=list)   # lines under "Notes" in RESULTS.md


@dataclass
class Result:
    workload: Workload
    ours_seconds: float
    peer_seconds: float
    ours_memory: Optional[int] = None
    peer_memory: Optional[int] = None
    agreement: str = ""

    @property
    def ratio(self):
        return self.peer_seconds / self.ours_seconds if self.ours_seconds > 0 else math.inf

    @property
    def met(self):
        return self.workload.target is None or self.ratio >= self.workload.target


def run_workload(workload, reps):
    if workload.per_call is not None:
        calls = workload.per_call
        ours_seconds, peer_seconds = time_calls_side_by_side(
            calls.ours, calls.peer, calls.namespace, reps, calls.number)
        return Result(workload, ours_seconds, peer_seconds, agreement=workload.agreement)

    # One untimed call per side gives the results to compare and warms up.
    ours_value = workload.ours()
    peer_value = workload.peer()
    if callable(workload.agreement):
        agreement = workload.agreement(ours_value, peer_value)
        if not isinstance(agreement, str):
            agreement = f"{agreement:.1e}"
    else:
        agreement = workload.agreement
    del ours_value, peer_value
    ours_memory = peak_extra_bytes(workload.ours)
    peer_memory = peak_extra_bytes(workload.peer)
    ours_seconds, peer_seconds = time_side_by_side(workload.ours, workload.peer, reps)
    return Result(workload, ours_seconds, peer_seconds * workload.peer_scale, ours_memory, peer_memory, agreement)


def known_names(groups):
    return {g.name for g in groups} | {n for g in groups for n in g.names}


def selected(group, only):
    if not only or group.name in only:
        return list(group.names)
    return [name for name in group.names if name in only]


def run_groups(groups, only=(), quick=False, reps=None):
    """Runs the selected workloads of `groups` in order, one group's data at
    a time, printing a line per workload. Returns (results, notes of the
    groups that ran)."""
    reps = reps or REPS["quick" if quick else "full"]
    results, notes = [], []
    for group in groups:
        names = selected(group, only)
        if not names:
            continue
        workloads = [w for w in group.build(dict(group.quick if quick else group.full))
                     if w.name in names]
        notes.extend(group.notes)
        for workload in workloads:
            result = run_workload(workload, reps)
            workload.ours = workload.peer = workload.per_call = None  # let the data go
            results.append(result)
            print(f"  {workload.name:<44} ours {format_seconds(result.ours_seconds):>9}  "
                  f"peer {format_seconds(result.peer_seconds):>9}  "
                  f"ratio {format_ratio(result.ratio):>8}  "
                  f"({'no target' if workload.target is None else f'target ≥ {workload.target:g}x'})  "
                  f"diff {result.agreement}", flush=True)
        del workloads
        gc.collect()
    return results, notes


# --------------------------------------------------------------------------
# Reporting

def format_seconds(seconds):
    if seconds >= 1.0:
        return f"{seconds:.3g} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.3g} µs"
    return f"{seconds * 1e9:.3g} ns"


def format_memory(size):
    return "–" if size is None else f"{size / MIB:.1f}"


def format_ratio(ratio):
    return f"{ratio:.3g}x"


def table_lines(results):
    lines = [
        "| workload | ours | peer | size | ours median | peer median | ratio peer/ours | target | met "
        "| ours peak MiB | peer peak MiB | max rel diff |",
        "|---|---|---|---|---:|---:|---:|---:|---|---:|---:|---|",
    ]
    for result in results:
        w = result.workload
        lines.append(
            f"| {w.name} | `{w.measure}` | {w.peer_label} | {w.size} "
            f"| {format_seconds(result.ours_seconds)} | {format_seconds(result.peer_seconds)} "
            f"| {format_ratio(result.ratio)} | {'–' if w.target is None else f'≥ {w.target:g}x'} "
            f"| {'–' if w.target is None else 'yes' if result.met else '**no**'} "
            f"| {format_memory(result.ours_memory)} | {format_memory(result.peer_memory)} "
            f"| {result.agreement} |")
    return lines


def summary_line(results):
    targeted = [r for r in results if r.workload.target is not None]
    missed = [r.workload.name for r in targeted if not r.met]
    return (f"{len(targeted) - len(missed)} of {len(targeted)} targets met"
            + (f"; missed: {', '.join(missed)}" if missed else ""))


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = "unknown"
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemTotal"):
                    memory = f"{int(line.split()[1]) / MIB:.1f} GiB"
                    break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg()) if hasattr(os, "getloadavg") else "n/a"
    return [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores ({usable} usable)",
        f"- Memory: {memory}",
        f"- System: {platform.platform()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()})",
        f"- NumPy {np.__version__}, SciPy {version('scipy')}, scikit-learn {version('scikit-learn')}, "
        f"pyitlib {version('pyitlib')}, pyinform {version('pyinform')}, "
        f"matplotlib {version('matplotlib')}",
        f"- zelmo-information {version('zelmo-information')}",
        f"- Load average at the end of the run (1, 5, 15 min): {load}",
    ]


def results_document(results, notes, command, started, reps):
    """The text of RESULTS.md: how it was measured, the machine, the table,
    the summary and `notes` (one line each), then the chart."""
    return "\n".join([
        "# Benchmark results",
        "",
        f"Measured {started:%Y-%m-%d %H:%M} with `{command}`: {reps} repetitions per side, "
        "interleaved, medians; peak memory is the resident-set high-water mark of one call "
        "above the resident set before it (MiB). Ratio = peer time / our time (above 1: ours "
        "is faster). \"max rel diff\" compares the two results where both compute the same "
        "number.",
        "",
        "## Machine",
        "",
        *machine_description(),
        "",
        "## Results",
        "",
        *table_lines(results),
        "",
        summary_line(results) + ".",
        "",
        "## Notes",
        "",
        *[f"- {note}" for note in notes],
        *unavailable_peers(),
        "",
        "![ratios](ratios.png)",
        "",
    ])


def write_chart(results, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as error:
        print(f"(no chart: matplotlib unavailable: {error})")
        return False
    labels = [r.workload.name for r in results]
    ratios = [r.ratio for r in results]
    colours = ["tab:green" if r.met else "tab:red" for r in results]
    height = max(3.0, 0.32 * len(results) + 1.2)
    figure, axes = plt.subplots(figsize=(9, height))
    positions = np.arange(len(results))[::-1]
    axes.barh(positions, ratios, color=colours, height=0.7)
    targeted = [(r.workload.target, p) for r, p in zip(results, positions) if r.workload.target is not None]
    axes.scatter([t for t, _ in targeted], [p for _, p in targeted], marker="|", s=200,
                 color="black", zorder=3, label="target")
    axes.axvline(1.0, color="grey", linewidth=0.8, linestyle="--")
    axes.set_xscale("log")
    axes.set_yticks(positions)
    axes.set_yticklabels(labels, fontsize=8)
    for position, ratio in zip(positions, ratios):
        axes.text(ratio, position, f" {ratio:.3g}x", va="center", fontsize=7)
    axes.set_xlabel("peer time / our time (log scale; right of 1 = ours faster)")
    axes.set_title("zelmo_information against its peers (green: target met)")
    axes.legend(loc="lower right", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)
    return True


def write_results(results, notes, command, started, reps, directory=HERE):
    """Writes RESULTS.md and ratios.png into `directory` and says so."""
    (directory / "RESULTS.md").write_text(
        results_document(results, notes, command, started, reps), encoding="utf-8")
    charted = write_chart(results, directory / "ratios.png")
    print(f"\nwrote {directory / 'RESULTS.md'}" + (f" and {directory / 'ratios.png'}" if charted else ""))
