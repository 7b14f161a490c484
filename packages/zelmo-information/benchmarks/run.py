#!/usr/bin/env python3
"""Side-by-side benchmarks of zelmo_information against the libraries a NumPy
user would otherwise pick (NumPy, SciPy, scikit-learn, pyitlib, pyinform).

Every workload times our function and its peer on the same seeded data in one
run, the repetitions of the two sides interleaved, and reports both medians,
the ratio peer / ours (above 1: we are faster), the peak extra resident memory
of one call of each side, and the largest relative difference between the two
results wherever both compute the same number.

    python benchmarks/run.py            # full sizes, 7 repetitions
    python benchmarks/run.py --quick    # small sizes, 3 repetitions
    python benchmarks/run.py --only te_history1 --only batch

The table is printed and written to benchmarks/RESULTS.md together with a
description of the machine; benchmarks/ratios.png charts the ratios.
"""

import os

# Every measure of ours runs on one thread; keep the peers' numeric libraries
# on one thread as well, so that the ratios compare algorithms, not cores.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse  # noqa: E402
import ctypes  # noqa: E402
import datetime  # noqa: E402
import gc  # noqa: E402
import importlib  # noqa: E402
import importlib.metadata  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402
import warnings  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Callable, Optional, Union  # noqa: E402

import numpy as np  # noqa: E402

from zelmo_information import _core  # noqa: E402

HERE = Path(__file__).resolve().parent
LN2 = math.log(2.0)
MIB = 1024.0 * 1024.0

# Sizes of the full run and of --quick.
FULL = dict(
    reps=7, shannon=10**7, paired=10**6, mi=10**7, cmi=10**6, te=10**6,
    batch_rows=100, batch_length=10**4, overhead_calls=20_000,
)
QUICK = dict(
    reps=3, shannon=10**6, paired=10**5, mi=10**6, cmi=10**5, te=10**5,
    batch_rows=20, batch_length=2_000, overhead_calls=2_000,
)

TE_BINS = 16  # the default of transfer_entropy; pyinform handles it at history 1 and 3


# --------------------------------------------------------------------------
# Optional peers: a missing or broken one is reported in the table and
# replaced by the closest stand-in that runs here.

def _optional(module_name):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return importlib.import_module(module_name), None
    except Exception as error:  # ImportError, or a binary that fails to load
        return None, f"{type(error).__name__}: {error}"


def _version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


scipy_stats, SCIPY_ERROR = _optional("scipy.stats")
scipy_distance, _ = _optional("scipy.spatial.distance")
sklearn_metrics, SKLEARN_ERROR = _optional("sklearn.metrics")
pyitlib_drv, PYITLIB_ERROR = _optional("pyitlib.discrete_random_variable")
pyinform, PYINFORM_ERROR = _optional("pyinform")


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

def _timed(function):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        function()
        return time.perf_counter() - start
    finally:
        gc.enable()


def _interleaved(measure_ours, measure_peer, reps):
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
    return _interleaved(lambda: _timed(ours), lambda: _timed(peer), reps)


def time_calls_side_by_side(ours_stmt, peer_stmt, namespace, reps, number):
    """Median seconds per call of two statements, each timed over `number`
    calls per repetition."""
    ours_timer = timeit.Timer(ours_stmt, globals=namespace)
    peer_timer = timeit.Timer(peer_stmt, globals=namespace)
    ours_timer.timeit(number // 10 or 1)  # warm-up
    peer_timer.timeit(number // 10 or 1)
    return _interleaved(lambda: ours_timer.timeit(number) / number, lambda: peer_timer.timeit(number) / number, reps)


# --------------------------------------------------------------------------
# Agreement of the two results

def relative_difference(ours, peer):
    ours_array = np.asarray(ours, dtype=float)
    peer_array = np.asarray(peer, dtype=float)
    scale = np.maximum(np.abs(ours_array), np.abs(peer_array))
    difference = np.abs(ours_array - peer_array)
    with np.errstate(invalid="ignore", divide="ignore"):
        relative = np.where(scale > 0, difference / scale, 0.0)
    return float(np.max(relative)) if relative.size else 0.0


# --------------------------------------------------------------------------
# Binning on the peer side: the same bins as ours, in NumPy.

def scaled_bins(values, n_bins, dtype=np.int64):
    """Equal-width bins over the values' own range, index
    ((v - lo) / range) * n_bins truncated and clamped to n_bins - 1, as our
    dependence measures bin (the inputs here hold no NaN)."""
    lo = values.min()
    span = values.max() - lo
    if span < 1e-12:
        return np.zeros(values.size, dtype=dtype)
    index = ((values - lo) / span * n_bins).astype(np.int64)
    return np.minimum(index, n_bins - 1).astype(dtype, copy=False)


def automatic_bins(*lengths):
    return max(10, int(math.sqrt(max(lengths))))


def shared_histograms(p, q, n_bins):
    lo = min(p.min(), q.min())
    hi = max(p.max(), q.max())
    counts_p, _ = np.histogram(p, bins=n_bins, range=(lo, hi))
    counts_q, _ = np.histogram(q, bins=n_bins, range=(lo, hi))
    return counts_p.astype(float), counts_q.astype(float)


def entropy_bits(counts):
    counts = counts[counts > 0]
    p = counts / counts.sum()
    return float(-(p * np.log2(p)).sum())


def entropy_from_codes(codes):
    _, counts = np.unique(codes, return_counts=True)
    return entropy_bits(counts.astype(float))


# --------------------------------------------------------------------------
# Workloads

@dataclass
class Workload:
    name: str                    # what --only selects (or the group's name)
    group: str
    measure: str                 # our call
    peer_label: str              # the peer's call
    size: str
    ours: Callable[[], object]
    peer: Callable[[], object]
    target: Optional[float]      # wanted ratio peer / ours; None: reported only
    # A function (ours value, peer value) -> max relative difference, or the
    # reason why the two results are not comparable.
    agreement: Union[Callable[[object, object], float], str]
    note: str = ""
    per_call: Optional[tuple] = None   # (ours stmt, peer stmt, namespace, number)


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


@dataclass
class Group:
    name: str
    title: str
    names: list
    build: Callable[[dict], list]
    notes: list = field(default_factory=list)


def build_shannon(sizes):
    rng = np.random.default_rng(20240101)
    x = rng.normal(size=sizes["shannon"])
    n = x.size

    def peer():
        finite = x[np.isfinite(x)]
        counts, _ = np.histogram(finite, bins=automatic_bins(finite.size))
        return scipy_stats.entropy(counts, base=2)

    def peer_numpy_only():
        finite = x[np.isfinite(x)]
        counts, _ = np.histogram(finite, bins=automatic_bins(finite.size))
        return entropy_bits(counts.astype(float))

    workloads = [
        Workload(
            "shannon", "Entropy of one sample", "shannon_entropy(x, -1)",
            "numpy.histogram + scipy.stats.entropy" if scipy_stats else
            f"numpy.histogram + NumPy entropy (SciPy unavailable: {SCIPY_ERROR})",
            f"{n:.0e} normal", lambda: _core.shannon_entropy(x, -1),
            peer if scipy_stats else peer_numpy_only, 10.0, relative_difference,
            "finite values, automatic bin count on both sides",
        ),
        Workload(
            "shannon_copy", "Floor: one copy of the sample", "shannon_entropy(x, -1)",
            "numpy.copy(x)", f"{n:.0e} normal", lambda: _core.shannon_entropy(x, -1),
            lambda: np.copy(x), 0.5, "n/a: numpy.copy computes no entropy",
            "target: ours within 2x of a copy (ratio >= 0.5)",
        ),
    ]
    return workloads


def build_paired(sizes):
    rng = np.random.default_rng(20240102)
    n = sizes["paired"]
    p = rng.normal(0.0, 1.0, size=n)
    q = rng.normal(0.3, 1.2, size=n)
    epsilon = 1e-10
    size = f"2 x {n:.0e} normal"

    def smoothed():
        counts_p, counts_q = shared_histograms(p, q, 10)
        return counts_p + epsilon, counts_q + epsilon

    def kl_peer():
        sp, sq = smoothed()
        if scipy_stats and scipy_distance:
            return scipy_stats.entropy(sp, sq)
        sp, sq = sp / sp.sum(), sq / sq.sum()
        return float(np.sum(sp * np.log(sp / sq)))

    def js_peer():
        sp, sq = smoothed()
        if scipy_stats and scipy_distance:
            return scipy_distance.jensenshannon(sp, sq, base=2) ** 2
        sp, sq = sp / sp.sum(), sq / sq.sum()
        mid = (sp + sq) * 0.5
        return 0.5 * float(np.sum(sp * np.log2(sp / mid))) + 0.5 * float(np.sum(sq * np.log2(sq / mid)))

    def normalised():
        finite_p = p[np.isfinite(p)]
        finite_q = q[np.isfinite(q)]
        counts_p, counts_q = shared_histograms(
            finite_p, finite_q, automatic_bins(finite_p.size, finite_q.size))
        return counts_p / (finite_p.size + 1e-12), counts_q / (finite_q.size + 1e-12)

    def hellinger_peer():
        prob_p, prob_q = normalised()
        return float(np.sqrt(0.5 * np.sum((np.sqrt(prob_p) - np.sqrt(prob_q)) ** 2)))

    def total_variation_peer():
        prob_p, prob_q = normalised()
        return float(0.5 * np.sum(np.abs(prob_p - prob_q)))

    def cross_entropy_peer():
        prob_p, prob_q = normalised()
        occupied = prob_p > 0
        return float(-np.sum(prob_p[occupied] * np.log(np.maximum(prob_q[occupied], 1e-12))) / LN2)

    if scipy_stats and scipy_distance:
        kl_label = "numpy.histogram shared grid + scipy.stats.entropy"
        js_label = "numpy.histogram shared grid + scipy jensenshannon(base=2)**2"
    else:
        kl_label = js_label = f"numpy.histogram shared grid + NumPy formula (SciPy unavailable: {SCIPY_ERROR})"
    return [
        Workload("kl_divergence", "Comparisons of two samples", "kl_divergence(p, q)",
                 kl_label, size,
                 lambda: _core.kl_divergence(p, q), kl_peer, 5.0, relative_difference,
                 "10 bins (default), pseudo-count 1e-10 on both sides"),
        Workload("js_divergence", "Comparisons of two samples", "js_divergence(p, q)",
                 js_label, size,
                 lambda: _core.js_divergence(p, q), js_peer, 5.0, relative_difference,
                 "10 bins (default), pseudo-count 1e-10 on both sides"),
        Workload("hellinger_distance", "Comparisons of two samples", "hellinger_distance(p, q)",
                 "numpy.histogram shared grid + NumPy expression", size,
                 lambda: _core.hellinger_distance(p, q), hellinger_peer, 5.0, relative_difference,
                 "finite values, automatic bin count"),
        Workload("total_variation_distance", "Comparisons of two samples",
                 "total_variation_distance(p, q)", "numpy.histogram shared grid + NumPy expression",
                 size, lambda: _core.total_variation_distance(p, q), total_variation_peer, 5.0,
                 relative_difference, "finite values, automatic bin count"),
        Workload("cross_entropy", "Comparisons of two samples", "cross_entropy(p, q)",
                 "numpy.histogram shared grid + NumPy expression", size,
                 lambda: _core.cross_entropy(p, q), cross_entropy_peer, 5.0, relative_difference,
                 "finite values, automatic bin count, q floored at 1e-12"),
    ]


def build_pairs(sizes):
    rng = np.random.default_rng(20240103)
    n = sizes["mi"]
    x = rng.normal(size=n)
    y = 0.6 * x + 0.8 * rng.normal(size=n)
    size = f"{n:.0e} pairs"

    def mi_peer():
        bx = scaled_bins(x, 16)
        by = scaled_bins(y, 16)
        if sklearn_metrics:
            return sklearn_metrics.mutual_info_score(bx, by) / LN2
        joint = np.bincount(bx * 16 + by, minlength=256).astype(float)
        return (entropy_bits(np.bincount(bx, minlength=16).astype(float))
                + entropy_bits(np.bincount(by, minlength=16).astype(float)) - entropy_bits(joint))

    def joint_peer():
        codes = scaled_bins(x, 10) * 10 + scaled_bins(y, 10)
        counts = np.bincount(codes, minlength=100)
        if scipy_stats:
            return scipy_stats.entropy(counts, base=2)
        return entropy_bits(counts.astype(float))

    mi_label = ("sklearn.metrics.mutual_info_score" if sklearn_metrics else
                f"NumPy bincount (scikit-learn unavailable: {SKLEARN_ERROR})")
    return [
        Workload("mutual_information", "Dependence", "mutual_information(x, y)",
                 mi_label + " on the same bins", size,
                 lambda: _core.mutual_information(x, y), mi_peer, 20.0, relative_difference,
                 "16 bins (default); peer bins with NumPy integer arithmetic (timed)"),
        Workload("joint_entropy", "Dependence", "joint_entropy(x, y)",
                 "np.bincount of joint codes + " + ("scipy.stats.entropy" if scipy_stats else
                                                    f"NumPy entropy (SciPy unavailable: {SCIPY_ERROR})"), size,
                 lambda: _core.joint_entropy(x, y), joint_peer, None, relative_difference,
                 "10 bins (default); peer bins with NumPy integer arithmetic (timed)"),
    ]


def build_cmi(sizes):
    rng = np.random.default_rng(20240104)
    n = sizes["cmi"]
    z = rng.normal(size=n)
    x = z + rng.normal(size=n)
    y = z + 0.5 * x + rng.normal(size=n)

    def pyitlib_peer():
        return pyitlib_drv.information_mutual_conditional(
            scaled_bins(x, 16), scaled_bins(y, 16), scaled_bins(z, 16))

    def numpy_peer():
        bx, by, bz = scaled_bins(x, 16), scaled_bins(y, 16), scaled_bins(z, 16)
        return (entropy_from_codes(bx * 16 + bz) + entropy_from_codes(by * 16 + bz)
                - entropy_from_codes((bx * 16 + by) * 16 + bz) - entropy_from_codes(bz))

    if pyitlib_drv:
        label, peer = "pyitlib information_mutual_conditional", pyitlib_peer
    else:
        label, peer = f"NumPy np.unique entropies (pyitlib unavailable: {PYITLIB_ERROR})", numpy_peer
    return [
        Workload("cond_mutual_information", "Dependence", "cond_mutual_information(x, y, z)",
                 label + " on the same bins", f"{n:.0e} triples",
                 lambda: _core.cond_mutual_information(x, y, z), peer, 20.0, relative_difference,
                 "16 bins (default); peer bins with NumPy integer arithmetic (timed)"),
    ]


def _pyinform_te(source_bins, target_bins, history):
    return pyinform.transfer_entropy(source_bins, target_bins, k=history)


def _numpy_te(source_bins, target_bins, history, n_bins):
    """Transfer entropy with `history` past steps of both series, by np.unique
    counting (the stand-in when pyinform cannot run)."""
    n = target_bins.size
    nxt = target_bins[history:].astype(np.int64)
    target_past = np.zeros(n - history, np.int64)
    source_past = np.zeros(n - history, np.int64)
    weight = 1
    for k in range(history):
        target_past += target_bins[history - 1 - k:n - 1 - k].astype(np.int64) * weight
        source_past += source_bins[history - 1 - k:n - 1 - k].astype(np.int64) * weight
        weight *= n_bins
    full = (nxt * weight + target_past) * weight + source_past
    return max(0.0, entropy_from_codes(nxt * weight + target_past)
               + entropy_from_codes(target_past * weight + source_past)
               - entropy_from_codes(full) - entropy_from_codes(target_past))


def build_te(sizes):
    rng = np.random.default_rng(20240105)
    n = sizes["te"]
    source = rng.normal(size=n)
    target = np.empty(n)
    target[0] = rng.normal()
    target[1:] = 0.6 * source[:-1] + 0.8 * rng.normal(size=n - 1)
    source_bins = scaled_bins(source, TE_BINS, np.int32)
    target_bins = scaled_bins(target, TE_BINS, np.int32)
    workloads = []
    for history in (1, 3):
        if pyinform:
            label = "pyinform.transfer_entropy on binned int32 series"
            peer = (lambda h=history: _pyinform_te(source_bins, target_bins, h))
            agreement = relative_difference if history == 1 else (
                "n/a: pyinform conditions on the source's last value only; ours on "
                "`history` source steps")
        else:
            label = f"NumPy np.unique counting (pyinform unavailable: {PYINFORM_ERROR})"
            peer = (lambda h=history: _numpy_te(source_bins, target_bins, h, TE_BINS))
            agreement = relative_difference
        workloads.append(Workload(
            f"te_history{history}", "Transfer entropy", f"transfer_entropy(s, t, 16, {history})",
            label, f"{n:.0e} steps", lambda h=history: _core.transfer_entropy(source, target, TE_BINS, h),
            peer, 1.0, agreement, "16 bins; ours includes binning, the peer's time excludes it"))
    if pyinform:
        # pyinform's history-3 quantity is not ours; this peer computes ours.
        workloads.append(Workload(
            "te_history3_numpy", "Transfer entropy", "transfer_entropy(s, t, 16, 3)",
            "NumPy np.unique counting, source and target history 3, on binned series",
            f"{n:.0e} steps", lambda: _core.transfer_entropy(source, target, TE_BINS, 3),
            lambda: _numpy_te(source_bins, target_bins, 3, TE_BINS), 1.0, relative_difference,
            "16 bins; the same quantity as ours; the peer's time excludes binning"))
    return workloads


def build_batch(sizes):
    rng = np.random.default_rng(20240106)
    m, length = sizes["batch_rows"], sizes["batch_length"]
    signals = rng.normal(size=(m, length))
    signals[1:, 1:] += 0.5 * signals[:-1, :-1]  # each row driven by the one before
    rows = [signals[i] for i in range(m)]
    binned = [scaled_bins(row, TE_BINS, np.int32) for row in rows]
    size = f"{m} x {length:.0e}"

    def ours():
        return _core.batch_transfer_entropy_py(signals)

    def pyinform_loop():
        return [[_pyinform_te(binned[i], binned[j], 1) if i != j else 0.0 for j in range(m)]
                for i in range(m)]

    def numpy_loop():
        return [[_numpy_te(binned[i], binned[j], 1, TE_BINS) if i != j else 0.0 for j in range(m)]
                for i in range(m)]

    def own_loop():
        te = _core.transfer_entropy
        return [[te(rows[i], rows[j]) if i != j else 0.0 for j in range(m)] for i in range(m)]

    if pyinform:
        label, loop = "loop of pyinform.transfer_entropy over all ordered pairs (pre-binned)", pyinform_loop
    else:
        label, loop = f"loop of NumPy np.unique TE (pyinform unavailable: {PYINFORM_ERROR})", numpy_loop
    return [
        Workload("batch_vs_pyinform", "Transfer entropy", "batch_transfer_entropy_py(S)",
                 label, size, ours, loop, 20.0, relative_difference,
                 f"16 bins, history 1; {m * (m - 1)} ordered pairs"),
        Workload("batch_vs_own_loop", "Transfer entropy", "batch_transfer_entropy_py(S)",
                 "loop of our transfer_entropy over all ordered pairs", size, ours, own_loop, 5.0,
                 relative_difference, f"{m * (m - 1)} calls of transfer_entropy"),
    ]


OVERHEAD_CALLS = {
    "mutual_information": "f(a, a)",
    "transfer_entropy": "f(a, a)",
    "batch_transfer_entropy_py": "f(a2)",
    "cond_mutual_information": "f(a, a, a)",
    "shannon_entropy": "f(a, -1)",
    "renyi_entropy": "f(a)",
    "tsallis_entropy": "f(a)",
    "conditional_entropy": "f(a, a)",
    "joint_entropy": "f(a, a)",
    "kl_divergence": "f(a, a)",
    "js_divergence": "f(a, a)",
    "information_gain": "f(a, a)",
    "cross_entropy": "f(a, a)",
    "hellinger_distance": "f(a, a)",
    "total_variation_distance": "f(a, a)",
}


def build_overhead(sizes):
    a = np.array([0.25, -1.5, 3.0])
    workloads = []
    for name in _core.__all__:
        call = OVERHEAD_CALLS.get(name)
        if call is None:
            continue
        namespace = {"f": getattr(_core, name), "a": a, "a2": a.reshape(1, 3), "s": np.sum}
        workloads.append(Workload(
            f"overhead_{name}", "Call overhead (3 elements, per call)", call.replace("f", name, 1),
            "numpy.sum(a)", "3 elements", None, None, 5.0,
            "n/a: numpy.sum computes another quantity",
            per_call=(call, "s(a)", namespace, sizes["overhead_calls"])))
    return workloads


GROUPS = [
    Group("shannon", "Entropy of one sample", ["shannon", "shannon_copy"], build_shannon),
    Group("comparisons", "Comparisons of two samples",
          ["kl_divergence", "js_divergence", "hellinger_distance", "total_variation_distance",
           "cross_entropy"], build_paired),
    Group("pairs", "Dependence", ["mutual_information", "joint_entropy"], build_pairs),
    Group("cmi", "Dependence", ["cond_mutual_information"], build_cmi),
    Group("te", "Transfer entropy", ["te_history1", "te_history3", "te_history3_numpy"], build_te,
          notes=["pyinform keeps dense count arrays over its joint states (b^(history+2) for "
                 "b symbols, int32 state codes): at 10^6 steps b = 16 runs up to history 5 "
                 "(about 1.1 GB), history 7 fails with \"memory allocation failed\", and "
                 "b = 256 fails already at history 3. 16 bins are used at both histories. "
                 "pyinform's `k` is the target's history only; the source contributes its "
                 "last value, so its result equals ours at history 1 only; te_history3_numpy "
                 "compares with a NumPy peer that computes our history-3 quantity."]),
    Group("batch", "Transfer entropy", ["batch_vs_pyinform", "batch_vs_own_loop"], build_batch),
    Group("overhead", "Call overhead", [f"overhead_{name}" for name in OVERHEAD_CALLS],
          build_overhead),
]


# --------------------------------------------------------------------------
# Running

def run_workload(workload, reps):
    if workload.per_call is not None:
        ours_stmt, peer_stmt, namespace, number = workload.per_call
        ours_seconds, peer_seconds = time_calls_side_by_side(
            ours_stmt, peer_stmt, namespace, reps, number)
        return Result(workload, ours_seconds, peer_seconds, agreement=workload.agreement)

    # One untimed call per side gives the results to compare and warms up.
    ours_value = workload.ours()
    peer_value = workload.peer()
    if callable(workload.agreement):
        agreement = f"{workload.agreement(ours_value, peer_value):.1e}"
    else:
        agreement = workload.agreement
    del ours_value, peer_value
    ours_memory = peak_extra_bytes(workload.ours)
    peer_memory = peak_extra_bytes(workload.peer)
    ours_seconds, peer_seconds = time_side_by_side(workload.ours, workload.peer, reps)
    return Result(workload, ours_seconds, peer_seconds, ours_memory, peer_memory, agreement)


def selected(group, only):
    if not only:
        return list(group.names)
    if group.name in only:
        return list(group.names)
    return [name for name in group.names if name in only]


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
        f"- NumPy {np.__version__}, SciPy {_version('scipy')}, scikit-learn {_version('scikit-learn')}, "
        f"pyitlib {_version('pyitlib')}, pyinform {_version('pyinform')}, "
        f"matplotlib {_version('matplotlib')}",
        f"- zelmo-information {_version('zelmo-information')}",
        f"- Load average at the end of the run (1, 5, 15 min): {load}",
    ]


def unavailable_peers():
    lines = []
    for name, error in (("SciPy", SCIPY_ERROR), ("scikit-learn", SKLEARN_ERROR),
                        ("pyitlib", PYITLIB_ERROR), ("pyinform", PYINFORM_ERROR)):
        if error:
            lines.append(f"- {name} could not be imported ({error}); its rows use the stand-in named there.")
    return lines


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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, 3 repetitions")
    parser.add_argument("--only", action="append", default=[], metavar="NAME",
                        help="run only this workload or group (repeatable); names: "
                             + ", ".join(g.name for g in GROUPS) + " and the workload names")
    parser.add_argument("--reps", type=int, help="repetitions per side (default 7, quick 3)")
    parser.add_argument("--no-write", action="store_true",
                        help="print only; do not write RESULTS.md and ratios.png")
    args = parser.parse_args(argv)

    known = {g.name for g in GROUPS} | {n for g in GROUPS for n in g.names}
    unknown = [name for name in args.only if name not in known]
    if unknown:
        parser.error(f"unknown workload(s) {', '.join(unknown)}; known: {', '.join(sorted(known))}")

    sizes = dict(QUICK if args.quick else FULL)
    reps = args.reps or sizes["reps"]
    started = datetime.datetime.now()
    print(f"zelmo_information benchmarks ({'quick' if args.quick else 'full'} sizes, "
          f"{reps} interleaved repetitions per side, medians)", flush=True)

    results, notes = [], []
    for group in GROUPS:
        names = selected(group, args.only)
        if not names:
            continue
        workloads = [w for w in group.build(sizes) if w.name in names]
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

    lines = table_lines(results)
    print()
    print("\n".join(lines))

    targeted = [r for r in results if r.workload.target is not None]
    missed = [r.workload.name for r in targeted if not r.met]
    summary = (f"{len(targeted) - len(missed)} of {len(targeted)} targets met"
               + (f"; missed: {', '.join(missed)}" if missed else ""))
    print()
    print(summary)

    if args.no_write:
        return 0
    command = " ".join(["benchmarks/run.py"] + (argv if argv is not None else sys.argv[1:]))
    document = [
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
        *lines,
        "",
        summary + ".",
        "",
        "## Notes",
        "",
        "- `shannon_copy` is the floor: one copy of the sample, which our finite-value "
        "filtering needs anyway; the target is ours within 2x of it.",
        "- The peers bin with NumPy on the same grid (equal-width, `numpy.histogram` for the "
        "comparisons and the one-sample entropy, our scaled index in integer arithmetic for "
        "the dependence measures); their binning is inside their timed call, except for "
        "pyinform, which is handed series binned beforehand.",
        *[f"- {note}" for note in notes],
        *unavailable_peers(),
        "",
        "![ratios](ratios.png)",
        "",
    ]
    (HERE / "RESULTS.md").write_text("\n".join(document), encoding="utf-8")
    charted = write_chart(results, HERE / "ratios.png")
    print(f"\nwrote {HERE / 'RESULTS.md'}" + (f" and {HERE / 'ratios.png'}" if charted else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
