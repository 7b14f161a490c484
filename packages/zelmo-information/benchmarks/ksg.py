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

    python benchmarks/ksg.py            # full sizes; --quick for small ones

The same group runs inside benchmarks/run.py as `--only ksg`.
"""

import common  # first: the thread defaults precede NumPy

import math  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402

from common import Group, Workload, optional_peer  # noqa: E402
from zelmo_information import _network as net  # noqa: E402

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


GROUPS = [
    Group("ksg", "Nearest-neighbour (KSG) estimates",
          ["ksg_cmi_ennemi", "ksg_cmi_ckdtree", "ksg_cmi_tigramite", "ksg_mi_sklearn", "ksg_context_reuse"],
          lambda sizes: build_cmi(sizes) + build_mi(sizes) + build_reuse(sizes),
          full={"n": 10_000, "mi_n": 100_000, "surrogates": 200},
          quick={"n": 2_000, "mi_n": 20_000, "surrogates": 20},
          notes=["KSG rows: every side on one thread and the same standardised data; "
                 "\"max rel diff\" there is the absolute difference of the estimates in bits. "
                 "`ksg_context_reuse` times 200 values in all: divide by 200 for one."]),
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
    for line in common.unavailable_peers():
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
