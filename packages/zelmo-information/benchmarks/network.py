"""Network analysis: all-pairs matrices on every core against one core and
against loops of peers, the surrogate test against the obvious NumPy loop,
and network inference against the pairwise test on the same networks."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import math  # noqa: E402
import os  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import Group, Workload, optional_peer, relative_difference, timed  # noqa: E402
from peers import scaled_bins  # noqa: E402
from zelmo_information import _core  # noqa: E402
from zelmo_information import network as zn  # noqa: E402
from zelmo_information.simulate import discrete_network  # noqa: E402

sklearn_metrics, SKLEARN_ERROR = optional_peer("sklearn.metrics")
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def ar1(rng, rows, length, phi=0.5):
    noise = rng.normal(size=(rows, length))
    x = np.empty_like(noise)
    x[:, 0] = noise[:, 0]
    for t in range(1, length):
        x[:, t] = phi * x[:, t - 1] + noise[:, t]
    return x


class Timed:
    """A call that keeps the duration of every run, for notes written after
    the timing."""

    def __init__(self, call):
        self.call, self.seconds = call, []

    def __call__(self):
        start = time.perf_counter()
        value = self.call()
        self.seconds.append(time.perf_counter() - start)
        return value

    def median(self):
        # The timed repetitions: after the call that warms up and gives the
        # result, and the one that measures memory.
        return statistics.median(self.seconds[2:] or self.seconds)


class Note:
    """A line of RESULTS.md formed when it is written (after the runs)."""

    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        return self.text()


SCALING = {}
CALLS = 5  # calls per timing of the scaling workload


def scaling_note():
    measured = {w: t for w, t in SCALING.items() if isinstance(w, int) and t.seconds}
    if 1 not in measured or "fixed" not in SCALING:
        return "Scaling: not measured in this run."
    one = measured[1].median() / CALLS
    curve = ", ".join(f"{w} worker{'s' if w > 1 else ''} {one * CALLS / t.median():.2f}x"
                      for w, t in sorted(measured.items()))
    # The fixed cost of a call: the same call with a history as long as the
    # rows, which counts no step (arguments, result, threads, binning).
    fixed = statistics.median(timed(SCALING["fixed"]) for _ in range(15))
    share = max(0.0, one - fixed)
    predict = ", ".join(f"{n} cores {one / (fixed + share / n):.1f}x" for n in (16, 64))
    return (f"Scaling of `transfer_entropy_matrix` ({SCALING['size']}, speed-up over 1 worker): {curve}. "
            f"The fixed cost of a call, measured as the same call counting no step, is "
            f"{fixed * 1e3:.2f} ms of {one * 1e3:.1f} ms on one worker; with the rest divided evenly, "
            f"that predicts {predict}. Pairs are independent, each reading two rows of 32-bit bins without locks; "
            "the prediction leaves out what larger machines share (memory bandwidth, caches).")


def build_matrix(sizes):
    rng = np.random.default_rng(1)
    signals = ar1(rng, sizes["rows"], sizes["length"])
    size = f"{sizes['rows']} x {sizes['length']:.0e}"
    # Each timing covers CALLS calls, which evens out the hiccups of a shared
    # machine that a two-thread call of 30 ms otherwise shows.
    SCALING.clear()
    single = SCALING[1] = Timed(lambda: [zn.transfer_entropy_matrix(signals, 16, workers=1) for _ in range(CALLS)][0])
    if CORES >= 2:
        SCALING[2] = Timed(lambda: [zn.transfer_entropy_matrix(signals, 16, workers=2) for _ in range(CALLS)][0])
    SCALING["size"] = size
    SCALING["fixed"] = lambda: zn.transfer_entropy_matrix(signals, 16, sizes["length"], workers=1)
    workloads = [
        Workload(name="te_matrix_2_workers", measure=f"transfer_entropy_matrix(S, 16, workers=2), {CALLS} calls",
                 peer_label=f"the same, workers=1, {CALLS} calls", size=size, ours=SCALING.get(2, single), peer=single,
                 target=1.8, agreement=relative_difference,
                 note="speed-up on two cores; the entries are identical for every worker count"),
        Workload(name="te_matrix_vs_batch", measure=f"transfer_entropy_matrix(S, 16, workers={CORES})",
                 peer_label="batch_transfer_entropy_py(S, 16), one core, list of lists", size=size,
                 ours=lambda: zn.transfer_entropy_matrix(signals, 16),
                 peer=lambda: np.array(_core.batch_transfer_entropy_py(signals, 16, 1)),
                 target=None, agreement=relative_difference),
    ]
    return workloads


def surrogate_loop(signals, n_bins, surrogates, seed):
    """The obvious loop: for every ordered pair, `surrogates` rotations of the
    source by np.roll, each through transfer_entropy; p-values counted."""
    rng = np.random.default_rng(seed)
    m, length = signals.shape
    te = np.zeros((m, m))
    p = np.full((m, m), np.nan)
    for i in range(m):
        for j in range(m):
            if i == j:
                continue
            te[i, j] = observed = _core.transfer_entropy(signals[i], signals[j], n_bins, 1)
            offsets = rng.integers(2, length - 1, size=surrogates)
            null = [_core.transfer_entropy(np.roll(signals[i], -d), signals[j], n_bins, 1) for d in offsets]
            p[i, j] = (1 + sum(v >= observed for v in null)) / (1 + surrogates)
    return te, p


def build_test(sizes):
    rng = np.random.default_rng(2)
    signals = ar1(rng, sizes["rows"], sizes["length"])
    signals[1, 1:] += 0.3 * signals[0, :-1]
    surrogates = sizes["surrogates"]
    bins = zn.transfer_entropy_bins(sizes["length"])
    return [
        Workload(name="te_test_vs_numpy_loop",
                 measure=f"transfer_entropy_test(S, surrogates={surrogates}, workers=2)",
                 peer_label="loop over pairs and surrogates of np.roll + transfer_entropy",
                 size=f"{sizes['rows']} x {sizes['length']:.0e}, {bins} bins",
                 ours=lambda: zn.transfer_entropy_test(signals, surrogates=surrogates, seed=3, workers=2).te,
                 peer=lambda: surrogate_loop(signals, bins, surrogates, 3)[0],
                 target=5.0, agreement=relative_difference,
                 note="the observed matrices are compared; the surrogates of the two sides are drawn differently"),
    ]


def build_mutual(sizes):
    rng = np.random.default_rng(3)
    rows, length = sizes["rows"], sizes["length"]
    signals = rng.normal(size=(rows, length))
    signals[1] += signals[0]
    bins = zn.mutual_information_bins(length)
    pairs = [(i, j) for i in range(rows) for j in range(i, rows)]
    sample = pairs[:: max(1, len(pairs) // sizes["sampled_pairs"])]
    binned = [scaled_bins(row, bins) for row in signals] if sklearn_metrics is not None else None
    ours = {}

    def run_ours():
        ours["matrix"] = zn.mutual_information_matrix(signals, workers=2)
        return ours["matrix"]

    def loop():
        return [sklearn_metrics.mutual_info_score(binned[i], binned[j]) / math.log(2) for i, j in sample]

    def agreement(matrix, values):
        return relative_difference([matrix[i, j] for i, j in sample], values)

    if sklearn_metrics is None:
        return []
    return [
        Workload(name="mi_matrix_vs_sklearn_loop", measure="mutual_information_matrix(S, workers=2)",
                 peer_label=f"sklearn mutual_info_score on pre-binned rows, {len(sample)} of the "
                            f"{len(pairs)} pairs timed, scaled",
                 size=f"{rows} x {length:.0e}, {bins} bins", ours=run_ours, peer=loop, target=50.0,
                 agreement=agreement, peer_scale=len(pairs) / len(sample)),
    ]


def mutual_loop(signals, bins):
    """The loop a user would write for the same matrix: mutual_information
    of every pair of rows, the diagonal included."""
    m = signals.shape[0]
    out = np.empty((m, m))
    for i in range(m):
        for j in range(i, m):
            out[i, j] = out[j, i] = _core.mutual_information(signals[i], signals[j], bins)
    return out


def build_mutual_rows(sizes):
    rng = np.random.default_rng(4)
    workloads = []
    for rows, length in sizes["shapes"]:
        signals = rng.normal(size=(rows, length))
        signals[1] += signals[0]
        bins = zn.mutual_information_bins(length)
        workloads.append(Workload(
            name=f"mi_matrix_vs_own_loop_{rows}_rows",
            measure="mutual_information_matrix(S, workers=1)",
            peer_label="a loop of our mutual_information over the pairs i <= j",
            size=f"{rows} x {length:.0e}, {bins} bins",
            ours=lambda s=signals: zn.mutual_information_matrix(s, workers=1),
            peer=lambda s=signals, b=bins: mutual_loop(s, b),
            target=1.0, agreement=relative_difference,
            note="one core each; the matrix bins every row once and ranks its bins, the loop bins both rows "
                 "of every pair; a matrix of few rows is taken pair by pair by the same kernel as the loop"))
    return workloads


def build_inference(sizes):
    networks = [discrete_network(10, sizes["length"], seed=seed)[0] for seed in (1, 2, 3)]
    surrogates = sizes["surrogates"]

    def infer():
        return [zn.infer_network(x, surrogates=surrogates, seed=5, workers=2).adjacency for x in networks]

    def pairwise():
        return [zn.transfer_entropy_test(x, surrogates=surrogates, seed=5, workers=2).significant() for x in networks]

    return [
        Workload(name="infer_network_3_networks", measure=f"infer_network(S, surrogates={surrogates}), 3 networks",
                 peer_label=f"transfer_entropy_test(S, surrogates={surrogates}) on the same networks",
                 size=f"3 x (10 x {sizes['length']:.0e})", ours=infer, peer=pairwise, target=None,
                 agreement="n/a: different networks by design (the pairwise test keeps indirect links)",
                 note="target: the three networks within 30 s on two cores"),
    ]


GROUPS = [
    Group("network_matrix", "All-pairs transfer entropy on every core",
          ["te_matrix_2_workers", "te_matrix_vs_batch"], build_matrix,
          full=dict(rows=60, length=10**4), quick=dict(rows=20, length=2000), notes=[Note(scaling_note)]),
    Group("network_test", "Surrogate test against the NumPy loop", ["te_test_vs_numpy_loop"], build_test,
          full=dict(rows=10, length=10**4, surrogates=1000), quick=dict(rows=4, length=2000, surrogates=100)),
    Group("network_mi", "All-pairs mutual information against a loop of scikit-learn",
          ["mi_matrix_vs_sklearn_loop"], build_mutual,
          full=dict(rows=100, length=10**5, sampled_pairs=100), quick=dict(rows=20, length=10**4, sampled_pairs=50)),
    Group("network_mi_rows", "All-pairs mutual information against a loop of our own single-pair calls",
          [f"mi_matrix_vs_own_loop_{rows}_rows" for rows in (2, 20, 100)], build_mutual_rows,
          full=dict(shapes=[(2, 2 * 10**7), (20, 10**5), (100, 10**4)]),
          quick=dict(shapes=[(2, 2 * 10**6), (20, 10**4), (100, 10**3)])),
    Group("network_inference", "Network inference", ["infer_network_3_networks"], build_inference,
          full=dict(length=10**4, surrogates=200), quick=dict(length=2000, surrogates=50)),
]
