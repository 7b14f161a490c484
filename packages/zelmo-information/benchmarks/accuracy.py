"""Network inference on simulated systems with known links: precision,
recall and time per network of each estimator, beside the peers that run
here, on the same data.

    python benchmarks/accuracy.py                   # every system, 5 networks each
    python benchmarks/accuracy.py --networks 2 --only linear
    python benchmarks/accuracy.py --global-null     # the share of networks of independent series with a link
    python benchmarks/accuracy.py --only logistic --ksg-lengths 1000 10000   # KSG also at 10,000 samples
    python benchmarks/accuracy.py --plot run1.md run2.md --figure accuracy.png   # a chart of printed tables

The nearest-neighbour estimator (`ksg`) costs a few hundred times as much
per sample as the others: it runs at the lengths of `--ksg-lengths` (1,000
by default) and is left out of the longer rows.

Systems (zelmo_information.simulate, 10 nodes): a linear vector
autoregression (mean in-degree 3, lags 1-5, own memory up to lag 2), coupled
logistic maps (in-degree 2, lags 1-5), a nonlinear structural model
(in-degree 2, delays 1-3) and discrete copying networks. A link counts as
found when the source drives the target at any lag. Precision and recall are
summed over the networks of a row. The peers: tigramite's PCMCI with partial
correlation (linear), its p-values corrected by Benjamini-Hochberg at
alpha, where it installs; a peer that does not import is reported as such.
"""

import argparse
import os
import sys
import time
import warnings

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

from zelmo_information import network as zn  # noqa: E402
from zelmo_information import simulate  # noqa: E402

SYSTEMS = {
    "linear": (simulate.linear_network, dict(in_degree=3.0, max_lag=5)),
    "logistic": (simulate.logistic_network, dict(in_degree=2.0, max_lag=5)),
    "nonlinear": (simulate.nonlinear_network, dict(in_degree=2.0, max_lag=3)),
    "discrete": (simulate.discrete_network, dict(max_lag=3)),
}
LENGTHS = (1000, 10_000)
ESTIMATORS = ("binned", "gaussian", "copula", "ksg")


def pcmci_parcorr(x, max_lag, alpha):
    """tigramite's PCMCI with partial correlation: the lagged links whose
    p-value is below alpha, as a boolean (m, m) array."""
    from tigramite import data_processing
    from tigramite.independence_tests.parcorr import ParCorr
    from tigramite.pcmci import PCMCI

    pcmci = PCMCI(dataframe=data_processing.DataFrame(x.T), cond_ind_test=ParCorr(), verbosity=0)
    result = pcmci.run_pcmci(tau_min=1, tau_max=max_lag, pc_alpha=0.05, alpha_level=alpha)
    q = pcmci.get_corrected_pvalues(p_matrix=result["p_matrix"], tau_min=1, tau_max=max_lag, fdr_method="fdr_bh")
    return (q[:, :, 1:] < alpha).any(axis=2)


def peer_error():
    try:
        import tigramite.pcmci  # noqa: F401
    except Exception as error:  # noqa: BLE001
        return f"{type(error).__name__}: {error}"
    return None


def score(found, truth):
    off = ~np.eye(truth.shape[0], dtype=bool)
    return np.array([(found & truth & off).sum(), (found & ~truth & off).sum(), (~found & truth & off).sum()])


def row(label, counts, seconds, networks):
    tp, fp, fn = counts
    precision = tp / (tp + fp) if tp + fp else float("nan")
    recall = tp / (tp + fn) if tp + fn else float("nan")
    return f"| {label} | {precision:.2f} | {recall:.2f} | {fp} | {fn} | {seconds / networks:.2f} s |"


def run_system(name, networks, lengths, workers, alpha, ksg_lengths=(1000,)):
    generate, settings = SYSTEMS[name]
    max_lag = settings["max_lag"]
    lines = []
    for length in lengths:
        data = [generate(10, length, seed=seed, **settings) for seed in range(networks)]
        runs = [(estimator, dict(estimator=estimator)) for estimator in ESTIMATORS
                if estimator != "ksg" or length in ksg_lengths]
        runs.append(("gaussian, null='analytic'", dict(estimator="gaussian", null="analytic")))
        for label, args in runs:
            counts, seconds = np.zeros(3, dtype=int), 0.0
            for seed, (x, truth, _) in enumerate(data):
                start = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    net = zn.infer_network(x, max_lag=max_lag, alpha=alpha, seed=seed, workers=workers, **args)
                seconds += time.perf_counter() - start
                counts += score(net.adjacency, truth)
            lines.append(row(f"{name}, {length:,} | `{label}`", counts, seconds, networks))
            print(lines[-1], flush=True)
        error = peer_error()
        if error is None and name != "discrete":
            counts, seconds = np.zeros(3, dtype=int), 0.0
            for x, truth, _ in data:
                start = time.perf_counter()
                found = pcmci_parcorr(x, max_lag, alpha)
                seconds += time.perf_counter() - start
                counts += score(found, truth)
            lines.append(row(f"{name}, {length:,} | PCMCI + ParCorr, FDR (tigramite, 1 thread)", counts, seconds, networks))
            print(lines[-1], flush=True)
        elif error is not None:
            print(f"| {name}, {length:,} | PCMCI + ParCorr | could not run: {error} |", flush=True)
    return lines


def global_null(networks, workers):
    """The share of networks of 6 independent white-noise series x 1,000
    steps in which each estimator reports any link (alpha 0.05)."""
    for label, args in [("binned", dict()), ("gaussian", dict(estimator="gaussian")),
                        ("gaussian, analytic", dict(estimator="gaussian", null="analytic")),
                        ("copula", dict(estimator="copula")), ("ksg", dict(estimator="ksg"))]:
        reported = 0
        for seed in range(networks):
            x = np.random.default_rng(seed).normal(size=(6, 1000))
            net = zn.infer_network(x, alpha=0.05, surrogates=200, seed=seed, workers=workers, **args)
            reported += bool(net.adjacency.any())
        print(f"| `{label}` | {reported} of {networks} |", flush=True)


def plot(tables, path):
    """Draws precision and recall per system, samples and method from the
    rows of tables this script printed (files), one panel per system and
    samples; methods that a panel lacks are left out of it."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels, methods = {}, []
    for table in tables:
        with open(table) as lines:
            for line in lines:
                cells = [c.strip() for c in line.strip().strip("|").split("|")]
                if len(cells) != 7 or not cells[1].startswith("`"):
                    continue
                method = cells[1].strip("`")
                try:
                    precision, recall = float(cells[2]), float(cells[3])
                except ValueError:
                    continue
                panels.setdefault(cells[0], {})[method] = (precision, recall)
                if method not in methods:
                    methods.append(method)
    names = sorted(panels, key=lambda p: (p.split(",")[0], int(p.split(",")[1].replace(",", ""))))
    figure, axes = plt.subplots(1, len(names), figsize=(3.2 * len(names), 3.4), sharey=True, squeeze=False)
    for axis, name in zip(axes[0], names):
        present = [m for m in methods if m in panels[name]]
        where = np.arange(len(present))
        axis.bar(where - 0.2, [panels[name][m][0] for m in present], 0.4, label="precision")
        axis.bar(where + 0.2, [panels[name][m][1] for m in present], 0.4, label="recall")
        axis.set_xticks(where, present, rotation=45, ha="right", fontsize=8)
        axis.set_title(f"{name} samples", fontsize=9)
        axis.set_ylim(0, 1.05)
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper right", ncol=2, fontsize=8)
    figure.tight_layout(rect=(0, 0, 1, 0.93))
    figure.savefig(path, dpi=110)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--networks", type=int, default=5)
    parser.add_argument("--only", action="append", choices=sorted(SYSTEMS))
    parser.add_argument("--lengths", type=int, nargs="+", default=list(LENGTHS))
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--global-null", action="store_true")
    parser.add_argument("--ksg-lengths", type=int, nargs="*", default=[1000])
    parser.add_argument("--plot", nargs="+", metavar="TABLE", help="chart tables printed by earlier runs")
    parser.add_argument("--figure", default="accuracy.png", help="where --plot draws (accuracy.png)")
    args = parser.parse_args(argv)
    if args.plot:
        plot(args.plot, args.figure)
        return
    if args.global_null:
        print("| estimator | networks with a link |\n|---|---:|")
        global_null(100, args.workers)
        return
    print(f"{args.networks} networks of 10 nodes per row; alpha {args.alpha}, 200 surrogates, max_lag as simulated, "
          f"{args.workers} workers\n")
    print("| system, samples | method | precision | recall | false links | missed links | time per network |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for name in args.only or list(SYSTEMS):
        run_system(name, args.networks, args.lengths, args.workers, args.alpha, tuple(args.ksg_lengths))


if __name__ == "__main__":
    sys.exit(main())
