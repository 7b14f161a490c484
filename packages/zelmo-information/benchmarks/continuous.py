"""The estimators for continuous signals: Gaussian network inference against
tigramite's PCMCI with partial correlation, a large network, and the
Gaussian mutual-information matrix against numpy.corrcoef."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import os  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

from common import Group, Workload, optional_peer, relative_difference  # noqa: E402
from zelmo_information import network as zn  # noqa: E402
from zelmo_information.simulate import linear_network  # noqa: E402

tigramite_pcmci, TIGRAMITE_ERROR = optional_peer("tigramite.pcmci", "tigramite")
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def pcmci_parcorr(x, max_lag):
    from tigramite import data_processing
    from tigramite.independence_tests.parcorr import ParCorr

    pcmci = tigramite_pcmci.PCMCI(dataframe=data_processing.DataFrame(x.T), cond_ind_test=ParCorr(), verbosity=0)
    result = pcmci.run_pcmci(tau_min=1, tau_max=max_lag, pc_alpha=0.05, alpha_level=0.05)
    q = pcmci.get_corrected_pvalues(p_matrix=result["p_matrix"], tau_min=1, tau_max=max_lag, fdr_method="fdr_bh")
    return (q[:, :, 1:] < 0.05).any(axis=2)


def quiet(call):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return call()
    return run


def build_inference(sizes):
    x, truth, _ = linear_network(10, sizes["length"], seed=1)
    big, _, _ = linear_network(sizes["rows"], sizes["big_length"], seed=2)

    def ours():
        return zn.infer_network(x, estimator="gaussian", max_lag=5, seed=1, workers=CORES).adjacency

    def agreement(a, b):
        return f"links found: ours {int((a & truth).sum())}/{int(truth.sum())} with {int((a & ~truth).sum())} false, " \
               f"PCMCI {int((b & truth).sum())}/{int(truth.sum())} with {int((b & ~truth).sum())} false"

    workloads = [
        Workload(name="infer_gaussian_vs_pcmci",
                 measure=f"infer_network(S, estimator='gaussian', max_lag=5), 200 surrogates, {CORES} workers",
                 peer_label="tigramite PCMCI + ParCorr, tau_max=5, pc_alpha=0.05, FDR 5%, one thread"
                 if tigramite_pcmci else f"tigramite unavailable ({TIGRAMITE_ERROR})",
                 size=f"10 x {sizes['length']:,} linear VAR, lags 1-5", ours=quiet(ours),
                 peer=quiet(lambda: pcmci_parcorr(x, 5)) if tigramite_pcmci else None, target=None,
                 agreement=agreement if tigramite_pcmci else "n/a",
                 note="target: at most 1 s on two cores. The multivariate-TE toolbox's Gaussian estimator that "
                      "users pick for this is not on PyPI and could not be installed here; it was reported at 223 s "
                      "for one such network (target: 100x faster)"),
        Workload(name="infer_gaussian_large",
                 measure=f"infer_network(S, estimator='gaussian', max_lag=5), 200 surrogates, {CORES} workers",
                 peer_label="the same with null='analytic'",
                 size=f"{sizes['rows']} x {sizes['big_length']:,} linear VAR",
                 ours=quiet(lambda: zn.infer_network(big, estimator="gaussian", max_lag=5, seed=1).adjacency),
                 peer=quiet(lambda: zn.infer_network(big, estimator="gaussian", null="analytic",
                                                     max_lag=5).adjacency),
                 target=None,
                 agreement=lambda a, b: f"{int((a != b).sum())} of {a.size} entries differ",
                 note="target: at most 60 s on two cores"),
    ]
    return workloads


def build_mutual(sizes):
    rng = np.random.default_rng(4)
    rows, length = sizes["rows"], sizes["length"]
    signals = rng.normal(size=(rows, length))
    signals[1:] += 0.5 * signals[:-1]  # neighbouring rows correlated

    def numpy_mi():
        rho = np.corrcoef(signals)
        with np.errstate(divide="ignore"):
            return -0.5 * np.log1p(-rho**2) / np.log(2.0)

    def agreement(ours, peer):
        # Both sides against correlations in 80-bit extended precision, on
        # a sample of the pairs: where they differ, which one is right.
        off = ~np.eye(rows, dtype=bool)
        extended = signals.astype(np.longdouble)
        extended -= extended.mean(axis=1, keepdims=True)
        pairs = [(i, j) for i in range(0, rows, 7) for j in range(i + 1, rows, 3)]
        reference = []
        for i, j in pairs:
            rho = (extended[i] @ extended[j]) / np.sqrt((extended[i] @ extended[i]) * (extended[j] @ extended[j]))
            reference.append(float(-0.5 * np.log1p(-rho * rho) / np.log(np.longdouble(2))))
        ours_error = relative_difference([ours[i, j] for i, j in pairs], reference)
        peer_error = relative_difference([peer[i, j] for i, j in pairs], reference)
        return (f"{relative_difference(ours[off], peer[off]):.1e}; against extended precision "
                f"({len(pairs)} pairs): ours {ours_error:.1e}, numpy {peer_error:.1e}")

    return [
        Workload(name="mi_gaussian_vs_corrcoef",
                 measure=f"mutual_information_matrix(S, estimator='gaussian', workers={CORES})",
                 peer_label="-1/2 log1p(-numpy.corrcoef(S)**2) / ln 2, OpenBLAS on one thread",
                 size=f"{rows} x {length:,}",
                 ours=lambda: zn.mutual_information_matrix(signals, estimator="gaussian", workers=CORES),
                 peer=numpy_mi, target=0.5, agreement=agreement,
                 note="off-diagonal entries compared (the diagonal is the documented cap, not infinity)"),
    ]


GROUPS = [
    Group("network_gaussian", "Gaussian network inference", ["infer_gaussian_vs_pcmci", "infer_gaussian_large"],
          build_inference, full=dict(length=1000, rows=100, big_length=10**4),
          quick=dict(length=1000, rows=20, big_length=2000)),
    Group("network_gaussian_mi", "The Gaussian mutual-information matrix", ["mi_gaussian_vs_corrcoef"], build_mutual,
          full=dict(rows=100, length=10**5), quick=dict(rows=20, length=10**4)),
]
