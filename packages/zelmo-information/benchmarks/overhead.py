"""Call overhead: every function on a 3-element array against numpy.sum on
the same array, per call, timed over many calls with timeit."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import numpy as np  # noqa: E402

from common import Group, PerCall, Workload  # noqa: E402
from zelmo_information import _core  # noqa: E402

# The call of each function on the 3-element array `a` (`a2`: one row of it).
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
            name=f"overhead_{name}", measure=call.replace("f", name, 1),
            peer_label="numpy.sum(a)", size="3 elements", ours=None, peer=None,
            target=5.0, agreement="n/a: numpy.sum computes another quantity",
            per_call=PerCall(call, "s(a)", namespace, sizes["calls"])))
    return workloads


GROUPS = [
    Group("overhead", "Call overhead", [f"overhead_{name}" for name in OVERHEAD_CALLS],
          build_overhead, full=dict(calls=20_000), quick=dict(calls=2_000)),
]
