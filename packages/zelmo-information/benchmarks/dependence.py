"""Dependence: mutual information and joint entropy of pairs, conditional
mutual information of triples, each peer on the same bins as ours (binned
with NumPy inside its timed call)."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import numpy as np  # noqa: E402

from common import Group, Workload, relative_difference  # noqa: E402
from peers import (  # noqa: E402
    LN2, PYITLIB_ERROR, SCIPY_ERROR, SKLEARN_ERROR, entropy_bits, entropy_from_codes,
    pyitlib_drv, scaled_bins, scipy_stats, sklearn_metrics)
from zelmo_information import _core  # noqa: E402


def build_pairs(sizes):
    rng = np.random.default_rng(20240103)
    n = sizes["n"]
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
    joint_label = "np.bincount of joint codes + " + (
        "scipy.stats.entropy" if scipy_stats else f"NumPy entropy (SciPy unavailable: {SCIPY_ERROR})")
    return [
        Workload(name="mutual_information", measure="mutual_information(x, y)",
                 peer_label=mi_label + " on the same bins", size=size,
                 ours=lambda: _core.mutual_information(x, y), peer=mi_peer,
                 target=20.0, agreement=relative_difference,
                 note="16 bins (default); peer bins with NumPy integer arithmetic (timed)"),
        Workload(name="joint_entropy", measure="joint_entropy(x, y)",
                 peer_label=joint_label, size=size,
                 ours=lambda: _core.joint_entropy(x, y), peer=joint_peer,
                 target=None, agreement=relative_difference,
                 note="10 bins (default); peer bins with NumPy integer arithmetic (timed)"),
    ]


def build_cmi(sizes):
    rng = np.random.default_rng(20240104)
    n = sizes["n"]
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
        Workload(name="cond_mutual_information", measure="cond_mutual_information(x, y, z)",
                 peer_label=label + " on the same bins", size=f"{n:.0e} triples",
                 ours=lambda: _core.cond_mutual_information(x, y, z), peer=peer,
                 target=20.0, agreement=relative_difference,
                 note="16 bins (default); peer bins with NumPy integer arithmetic (timed)"),
    ]


GROUPS = [
    Group("pairs", "Dependence", ["mutual_information", "joint_entropy"], build_pairs,
          full=dict(n=10**7), quick=dict(n=10**6)),
    Group("cmi", "Dependence", ["cond_mutual_information"], build_cmi,
          full=dict(n=10**6), quick=dict(n=10**5)),
]
