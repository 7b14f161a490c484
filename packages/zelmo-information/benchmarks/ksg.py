#!/usr/bin/env python3
"""The nearest-neighbour (KSG) estimator's kernel, through its private
bindings, against the nearest-neighbour estimators a user would otherwise
call, each on one thread:

- one conditional MI, N = 10^4, x, y, z one column each, k = 4: ennemi's
  `estimate_mi(cond=...)`, a SciPy cKDTree script (k-th neighbour by
  `query`, strict counts by `query_ball_point` at the next smaller radius),
  tigramite's `CMIknn` (standardised, its 1e-6 noise included);
- MI, N = 10^5, one column each: scikit-learn's `mutual_info_regression`;
- 200 rotated sources against one target and condition, N = 10^4: one
  context reused against a fresh estimate each time.

Every side estimates from the same standardised data (no preparation inside
the timed calls, except the peers' own noise); results are compared in bits.

Then the estimator as the network functions' ``"ksg"`` (group `ksg_network`),
with its preparation (standardisation and noise) inside the timed calls:

- transfer entropy, N = 10^4, history 1 (d = 3), one thread:
  `conditional_transfer_entropy(estimator="ksg")` against ennemi's
  `estimate_mi(y, x past, cond=y past)`;
- a 200-surrogate test of both directions of a pair, N = 10^4, d = 3, on two
  threads: `transfer_entropy_test(estimator="ksg", surrogates=200)` against
  ennemi on the 2 x 200 rotated sources, one call each (each call of one
  source runs on one thread), and against ennemi given them as the columns
  of one call per direction on two threads (both timed on a tenth of them
  and scaled);
- `infer_network(estimator="ksg")` on a 10-node coupled-logistic-map network
  of 1,000 samples, lags up to 5, two threads (no peer runs here; the
  published figure for that size is about 2.5 h per network on a CPU);
- the peak memory of `transfer_entropy_matrix(estimator="ksg")` on 100 rows
  x 10^4 samples, two threads.

    python benchmarks/ksg.py            # full sizes; --quick for small ones, --no-network
                                        # to leave out inference and the memory peak

The same group runs inside benchmarks/run.py as `--only ksg`.
"""

import common  # first: the thread defaults precede NumPy

import math  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import Group, Workload, optional_peer  # noqa: E402
from zelmo_information import _network as net  # noqa: E402
from zelmo_information import network as zn  # noqa: E402
from zelmo_information import simulate  # noqa: E402

LN2 = math.log(2.0)

ennemi, ENNEMI_ERROR = optional_peer("ennemi", "ennemi")
spatial, SCIPY_ERROR = optional_peer("scipy.spatial")
special, _ = optional_peer("scipy.special")
sklearn_selection, SKLEARN_ERROR = optional_peer("sklearn.feature_selection")
cmiknn, TIGRAMITE_ERROR = optional_peer("tigramite.independence_tests.cmiknn", "tigramite CMIknn")

K = 4


def standardised(a):
    return (a - a.mean(axis=-1, keepdims=True)) / a.std(axis=-1, keepdims=True)


def bits_difference(ours, peer):
    """|ours - peer| in bits (the estimates can be near 0, where a relative
    difference says nothing)."""
    return abs(float(ours) - float(peer))


def unavailable(error):
    """A peer that is missing: timed as nothing, named in the agreement."""
    return lambda: math.nan, f"n/a ({error})"


def ckdtree_cmi(x, y, z, k):
    """I(x; y | z) in bits from SciPy k-d trees: the k-th neighbour distance in
    the joint space, counts strictly within it (radius one step below it) in
    the subspaces, Frenzel and Pompe's formula."""
    joint = np.column_stack([x, y, z])
    eps = spatial.cKDTree(joint).query(joint, k=[k + 1], p=np.inf, workers=1)[0][:, 0]
    radius = np.nextafter(eps, 0)
    counts = []
    for space in (np.column_stack([x, z]), np.column_stack([y, z]), z[:, None]):
        tree = spatial.cKDTree(space)
        counts.append(tree.query_ball_point(space, r=radius, p=np.inf, workers=1, return_length=True) - 1)
    n_xz, n_yz, n_z = counts
    nats = special.digamma(k) + np.mean(special.digamma(n_z + 1) - special.digamma(n_xz + 1)
                                         - special.digamma(n_yz + 1))
    return nats / LN2


def build_cmi(sizes):
    rng = np.random.default_rng(20)
    n = sizes["n"]
    y, z = rng.normal(size=(2, n))
    x = standardised(y + 0.8 * z + rng.normal(size=n))
    y, z = standardised(y), standardised(z)
    x2, y2, z2 = x[None], y[None], z[None]
    ours = lambda: net._ksg_conditional_mutual_information(x2, y2, z2, K)  # noqa: E731
    size = f"N = {n}, d = 3, k = {K}"
    measure = "_ksg_conditional_mutual_information(x, y, z, 4)"
    workloads = []
    if ennemi is not None:
        peer = lambda: ennemi.estimate_mi(y, x, cond=z, k=K, preprocess=False, max_threads=1)[0, 0] / LN2  # noqa: E731
        agreement = bits_difference
    else:
        peer, agreement = unavailable(ENNEMI_ERROR)
    workloads.append(Workload("ksg_cmi_ennemi", measure, "ennemi `estimate_mi(y, x, cond=z, k=4)`", size,
                              ours, peer, 8.0, agreement))
    if spatial is not None:
        peer, agreement = (lambda: ckdtree_cmi(x, y, z, K)), bits_difference
    else:
        peer, agreement = unavailable(SCIPY_ERROR)
    workloads.append(Workload("ksg_cmi_ckdtree", measure, "SciPy cKDTree `query` + `query_ball_point`", size,
                              ours, peer, None, agreement))
    if cmiknn is not None:
        test = cmiknn.CMIknn(knn=K, transform="standardize", workers=1, significance="fixed_thres")
        array = np.vstack([x, y, z])
        xyz = np.array([0, 1, 2])
        peer = lambda: test.get_dependence_measure(array.copy(), xyz) / LN2  # noqa: E731
        agreement = bits_difference
    else:
        peer, agreement = unavailable(TIGRAMITE_ERROR)
    workloads.append(Workload("ksg_cmi_tigramite", measure, "tigramite `CMIknn(knn=4).get_dependence_measure`",
                              size, ours, peer, None, agreement))
    return workloads


def build_mi(sizes):
    rng = np.random.default_rng(21)
    n = sizes["mi_n"]
    x = rng.normal(size=n)
    y = standardised(x + rng.normal(size=n))
    x = standardised(x)
    ours = lambda: net._ksg_mutual_information(x[None], y[None], K)  # noqa: E731
    if sklearn_selection is not None:
        column = x[:, None]

        def peer():
            return sklearn_selection.mutual_info_regression(column, y, n_neighbors=K, random_state=0)[0] / LN2

        agreement = bits_difference
    else:
        peer, agreement = unavailable(SKLEARN_ERROR)
    return [Workload("ksg_mi_sklearn", "_ksg_mutual_information(x, y, 4)",
                     "scikit-learn `mutual_info_regression(n_neighbors=4)`", f"N = {n}, d = 2, k = {K}",
                     ours, peer, 10.0, agreement)]


def build_reuse(sizes):
    rng = np.random.default_rng(22)
    n, count = sizes["n"], sizes["surrogates"]
    y, z = standardised(rng.normal(size=(2, n)))[:, None]
    x = standardised(y[0] + rng.normal(size=n))[None]
    shifts = rng.integers(n // 10, n - n // 10, size=count)
    sources = [np.ascontiguousarray(np.roll(x, int(s), axis=1)) for s in shifts]

    def ours():
        return net._KsgContext(y, z, K).values(sources)

    def fresh():
        return [net._ksg_conditional_mutual_information(s, y, z, K) for s in sources]

    return [Workload("ksg_context_reuse", f"_KsgContext(y, z, 4).values({count} x rotated)",
                     f"{count} `_ksg_conditional_mutual_information(x rotated, y, z, 4)`",
                     f"N = {n}, d = 3, {count} rotations", ours, fresh, None,
                     lambda a, b: max(abs(p - q) for p, q in zip(a, b)),
                     note="time per value = the median / the number of rotations")]


def build_network(sizes):
    rng = np.random.default_rng(23)
    n = sizes["n"]
    x = rng.normal(size=n)
    y = np.concatenate([[0.0], np.sin(2 * x[:-1])]) + rng.normal(size=n)
    no_conditions = np.empty((0, n))
    ours = lambda: zn.conditional_transfer_entropy(x, y, no_conditions, estimator="ksg")  # noqa: E731
    workloads = []
    if ennemi is not None:
        xs, yn, yp = standardised(x[:-1]), standardised(y[1:]), standardised(y[:-1])
        peer = lambda: ennemi.estimate_mi(yn, xs, cond=yp, k=K, preprocess=False, max_threads=1)[0, 0] / LN2  # noqa: E731
        agreement = bits_difference
    else:
        peer, agreement = unavailable(ENNEMI_ERROR)
    workloads.append(Workload("ksg_te_ennemi", 'conditional_transfer_entropy(x, y, [], estimator="ksg")',
                              "ennemi `estimate_mi(y next, x past, cond=y past, k=4)`",
                              f"N = {n}, d = 3, k = {K}, 1 thread", ours, peer, 8.0, agreement))

    count, sample = sizes["surrogates"], max(1, sizes["surrogates"] // 10)
    pair = np.vstack([x, y])
    test = lambda: zn.transfer_entropy_test(pair, estimator="ksg", surrogates=count, seed=0, workers=2)  # noqa: E731
    calls = batched = None
    if ennemi is not None:
        shifts = np.random.default_rng(24).integers(2, n - 2, size=sample)
        # Both directions: x -> y and y -> x, each source rotated.
        rotated_x = np.column_stack([standardised(np.roll(x, int(d))[:-1]) for d in shifts])
        rotated_y = np.column_stack([standardised(np.roll(y, int(d))[:-1]) for d in shifts])
        xn, xp = standardised(x[1:]), standardised(x[:-1])

        def calls():
            # One call per rotated source, as a loop over surrogates makes
            # them (a call of one source runs on one thread, whatever
            # max_threads says).
            total = 0.0
            for j in range(sample):
                total += ennemi.estimate_mi(yn, rotated_x[:, j], cond=yp, k=K, preprocess=False)[0, 0]
                total += ennemi.estimate_mi(xn, rotated_y[:, j], cond=xp, k=K, preprocess=False)[0, 0]
            return total / (2 * sample) / LN2

        def batched():
            a = ennemi.estimate_mi(yn, rotated_x, cond=yp, k=K, preprocess=False, max_threads=2)
            b = ennemi.estimate_mi(xn, rotated_y, cond=xp, k=K, preprocess=False, max_threads=2)
            return float(np.mean(a) + np.mean(b)) / 2 / LN2

        agreement = "null means agree: see the note"
    else:
        calls, agreement = unavailable(ENNEMI_ERROR)
        batched = calls
    workloads.append(Workload("ksg_surrogate_test", f'transfer_entropy_test(2 rows, estimator="ksg", surrogates={count})',
                              f"ennemi, 2 x {count} calls on rotated sources (timed on {2 * sample}, scaled)",
                              f"N = {n}, d = 3, k = {K}, 2 threads", test, calls, 50.0, agreement,
                              peer_scale=count / sample))
    workloads.append(Workload("ksg_surrogate_test_batched",
                              f'transfer_entropy_test(2 rows, estimator="ksg", surrogates={count})',
                              f"ennemi, the 2 x {count} rotated sources as columns of two calls on two threads "
                              f"(timed on {2 * sample}, scaled)",
                              f"N = {n}, d = 3, k = {K}, 2 threads", test, batched, None, agreement,
                              peer_scale=count / sample))
    return workloads


def inference_and_memory(sizes):
    """Seconds, precision and recall of infer_network on one logistic-map
    network; seconds and peak memory of a transfer-entropy matrix."""
    x, truth, _ = simulate.logistic_network(10, sizes["network_n"], max_lag=5, seed=0)
    start = time.perf_counter()
    found = zn.infer_network(x, estimator="ksg", max_lag=5, seed=1, workers=2)
    seconds = time.perf_counter() - start
    tp = int((found.adjacency & truth).sum())
    fp = int((found.adjacency & ~truth).sum())
    lines = [f"infer_network(estimator='ksg'), 10-node logistic network, {sizes['network_n']} samples, max_lag 5, "
             f"2 threads: {seconds:.1f} s (target <= 60 s); precision {tp / max(1, tp + fp):.2f}, "
             f"recall {tp / max(1, int(truth.sum())):.2f}; surrogate values drawn {int(found.surrogates_drawn.sum())}"]
    rows = np.random.default_rng(25).normal(size=(sizes["memory_m"], sizes["n"]))
    start = time.perf_counter()
    peak = common.peak_extra_bytes(lambda: zn.transfer_entropy_matrix(rows, estimator="ksg", workers=2))
    seconds = time.perf_counter() - start
    lines.append(f"transfer_entropy_matrix(estimator='ksg'), {rows.shape[0]} x {rows.shape[1]}, 2 threads: "
                 f"{seconds:.1f} s, peak memory above the input {common.format_memory(peak)} MiB "
                 f"(the input itself {rows.nbytes / common.MIB:.1f} MiB)")
    return lines


GROUPS = [
    Group("ksg", "Nearest-neighbour (KSG) estimates",
          ["ksg_cmi_ennemi", "ksg_cmi_ckdtree", "ksg_cmi_tigramite", "ksg_mi_sklearn", "ksg_context_reuse"],
          lambda sizes: build_cmi(sizes) + build_mi(sizes) + build_reuse(sizes),
          full={"n": 10_000, "mi_n": 100_000, "surrogates": 200},
          quick={"n": 2_000, "mi_n": 20_000, "surrogates": 20},
          notes=["KSG rows: every side on one thread and the same standardised data; "
                 "\"max rel diff\" there is the absolute difference of the estimates in bits. "
                 "`ksg_context_reuse` times 200 values in all: divide by 200 for one."]),
    Group("ksg_network", "The KSG estimator through the network functions",
          ["ksg_te_ennemi", "ksg_surrogate_test", "ksg_surrogate_test_batched"], build_network,
          full={"n": 10_000, "surrogates": 200}, quick={"n": 2_000, "surrogates": 20},
          notes=["`ksg_surrogate_test`: ours computes 2 x (1 + 200) values (both directions of the pair) on two "
                 "threads, with the standardisation and noise; ennemi makes one call per rotated source, each of "
                 "which runs on one thread. `ksg_surrogate_test_batched` gives ennemi the rotated sources as "
                 "columns of one call per direction, which it spreads over both threads."]),
]


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    quick = "--quick" in args
    reps = 3 if quick else 5
    print(f"KSG kernel benchmarks ({'quick' if quick else 'full'} sizes, {reps} interleaved repetitions per side, "
          "medians)", flush=True)
    results, _ = common.run_groups(GROUPS, quick=quick, reps=reps)
    print()
    print("\n".join(common.table_lines(results)))
    print()
    for result in results:
        if result.workload.name == "ksg_context_reuse":
            count = GROUPS[0].quick["surrogates"] if quick else GROUPS[0].full["surrogates"]
            print(f"context reuse: {result.ours_seconds / count * 1e3:.2f} ms per value reused, "
                  f"{result.peer_seconds / count * 1e3:.2f} ms from scratch "
                  f"({result.peer_seconds / result.ours_seconds:.2f}x)")
    print(common.summary_line(results))
    if "--no-network" not in args:
        sizes = {"network_n": 1000, "n": 10_000, "memory_m": 100}
        if quick:
            sizes = {"network_n": 300, "n": 2_000, "memory_m": 20}
        print()
        for line in inference_and_memory(sizes):
            print(line, flush=True)
    for line in common.unavailable_peers():
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
