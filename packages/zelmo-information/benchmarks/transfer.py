"""Transfer entropy: single pairs at history 1 and 3 against pyinform and a
NumPy counter, and the batch over all ordered pairs against loops of pairs."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import numpy as np  # noqa: E402

from common import Group, Workload, relative_difference  # noqa: E402
from peers import PYINFORM_ERROR, entropy_from_codes, pyinform, scaled_bins  # noqa: E402
from zelmo_information import _core  # noqa: E402

TE_BINS = 16  # the default of transfer_entropy; pyinform handles it at history 1 and 3


def pyinform_te(source_bins, target_bins, history):
    return pyinform.transfer_entropy(source_bins, target_bins, k=history)


def numpy_te(source_bins, target_bins, history, n_bins):
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
    n = sizes["n"]
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
            peer = (lambda h=history: pyinform_te(source_bins, target_bins, h))
            agreement = relative_difference if history == 1 else (
                "n/a: pyinform conditions on the source's last value only; ours on "
                "`history` source steps")
        else:
            label = f"NumPy np.unique counting (pyinform unavailable: {PYINFORM_ERROR})"
            peer = (lambda h=history: numpy_te(source_bins, target_bins, h, TE_BINS))
            agreement = relative_difference
        workloads.append(Workload(
            name=f"te_history{history}", measure=f"transfer_entropy(s, t, 16, {history})",
            peer_label=label, size=f"{n:.0e} steps",
            ours=lambda h=history: _core.transfer_entropy(source, target, TE_BINS, h), peer=peer,
            target=1.0, agreement=agreement,
            note="16 bins; ours includes binning, the peer's time excludes it"))
    if pyinform:
        # pyinform's history-3 quantity is not ours; this peer computes ours.
        workloads.append(Workload(
            name="te_history3_numpy", measure="transfer_entropy(s, t, 16, 3)",
            peer_label="NumPy np.unique counting, source and target history 3, on binned series",
            size=f"{n:.0e} steps",
            ours=lambda: _core.transfer_entropy(source, target, TE_BINS, 3),
            peer=lambda: numpy_te(source_bins, target_bins, 3, TE_BINS),
            target=1.0, agreement=relative_difference,
            note="16 bins; the same quantity as ours; the peer's time excludes binning"))
    return workloads


def build_batch(sizes):
    rng = np.random.default_rng(20240106)
    m, length = sizes["rows"], sizes["length"]
    signals = rng.normal(size=(m, length))
    signals[1:, 1:] += 0.5 * signals[:-1, :-1]  # each row driven by the one before
    rows = [signals[i] for i in range(m)]
    binned = [scaled_bins(row, TE_BINS, np.int32) for row in rows]
    size = f"{m} x {length:.0e}"

    def ours():
        return _core.batch_transfer_entropy_py(signals)

    def pyinform_loop():
        return [[pyinform_te(binned[i], binned[j], 1) if i != j else 0.0 for j in range(m)]
                for i in range(m)]

    def numpy_loop():
        return [[numpy_te(binned[i], binned[j], 1, TE_BINS) if i != j else 0.0 for j in range(m)]
                for i in range(m)]

    def own_loop():
        te = _core.transfer_entropy
        return [[te(rows[i], rows[j]) if i != j else 0.0 for j in range(m)] for i in range(m)]

    if pyinform:
        label, loop = "loop of pyinform.transfer_entropy over all ordered pairs (pre-binned)", pyinform_loop
    else:
        label, loop = f"loop of NumPy np.unique TE (pyinform unavailable: {PYINFORM_ERROR})", numpy_loop
    return [
        Workload(name="batch_vs_pyinform", measure="batch_transfer_entropy_py(S)",
                 peer_label=label, size=size, ours=ours, peer=loop,
                 target=20.0, agreement=relative_difference,
                 note=f"16 bins, history 1; {m * (m - 1)} ordered pairs"),
        Workload(name="batch_vs_own_loop", measure="batch_transfer_entropy_py(S)",
                 peer_label="loop of our transfer_entropy over all ordered pairs", size=size,
                 ours=ours, peer=own_loop, target=5.0, agreement=relative_difference,
                 note=f"{m * (m - 1)} calls of transfer_entropy"),
    ]


GROUPS = [
    Group("te", "Transfer entropy", ["te_history1", "te_history3", "te_history3_numpy"], build_te,
          full=dict(n=10**6), quick=dict(n=10**5),
          notes=["pyinform keeps dense count arrays over its joint states (b^(history+2) for "
                 "b symbols, int32 state codes): at 10^6 steps b = 16 runs up to history 5 "
                 "(about 1.1 GB), history 7 fails with \"memory allocation failed\", and "
                 "b = 256 fails already at history 3. 16 bins are used at both histories. "
                 "pyinform's `k` is the target's history only; the source contributes its "
                 "last value, so its result equals ours at history 1 only; te_history3_numpy "
                 "compares with a NumPy peer that computes our history-3 quantity."]),
    Group("batch", "Transfer entropy", ["batch_vs_pyinform", "batch_vs_own_loop"], build_batch,
          full=dict(rows=100, length=10**4), quick=dict(rows=20, length=2_000)),
]
