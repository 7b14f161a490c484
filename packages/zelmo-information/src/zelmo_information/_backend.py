"""Where the work of a network function runs: on this process's threads, or
on a Dask cluster, by one path for every function and estimator.

A function prepares its rows once (an estimator's :class:`Prepared`) and
describes its work as a job: pairs of rows computed in tiles of sources x
targets (the matrices and the surrogate test), or targets searched in
groups (inference). A local call is the one tile of every row against every
row (or the one group of all targets); a cluster call splits the work into
tasks that run the same job on pieces. Every value depends only on its
rows, the settings and the seed, so both give the same numbers to the last
bit.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from . import _checks, _network
from ._estimators import Prepared

Report = Callable[[int, int], None] | None


def everything(m: int) -> NDArray[np.uint64]:
    """The rows of a call over the whole array: keys, sources and targets."""
    return np.arange(m, dtype=np.uint64)


# ---------------------------------------------------------------------------
# Jobs


@dataclass(frozen=True)
class PairJob:
    """Work over pairs of rows: writes `layers` (sources x targets) arrays.
    Seconds of one thread per pair and sample size the cluster's tasks."""

    layers: ClassVar[int]
    symmetric: ClassVar[bool] = False
    description: ClassVar[tuple[str, str]]

    def run(self, data: Prepared, keys: NDArray[np.uint64], sources: NDArray[np.uint64],
            targets: NDArray[np.uint64], threads: int, report: Report) -> NDArray[np.float64]:
        raise NotImplementedError

    def seconds_per_pair(self, length: int) -> float:
        raise NotImplementedError


@dataclass(frozen=True)
class TransferMatrix(PairJob):
    history: int
    layers: ClassVar[int] = 2  # transfer entropy, steps counted
    description: ClassVar[tuple[str, str]] = ("transfer entropy", "pair")

    def run(self, data: Prepared, keys: NDArray[np.uint64], sources: NDArray[np.uint64],
            targets: NDArray[np.uint64], threads: int, report: Report) -> NDArray[np.float64]:
        out = np.empty((self.layers, sources.size, targets.size))
        _network.transfer_entropy_matrix(data.spec, data.rows, data.constant, keys, sources, targets, self.history,
                                         threads, report, out[0], out[1])
        return out

    def seconds_per_pair(self, length: int) -> float:
        return 2e-9 * length


@dataclass(frozen=True)
class MutualMatrix(PairJob):
    layers: ClassVar[int] = 2  # mutual information, steps counted
    symmetric: ClassVar[bool] = True
    description: ClassVar[tuple[str, str]] = ("mutual information", "pair")

    def run(self, data: Prepared, keys: NDArray[np.uint64], sources: NDArray[np.uint64],
            targets: NDArray[np.uint64], threads: int, report: Report) -> NDArray[np.float64]:
        out = np.empty((self.layers, sources.size, targets.size))
        _network.mutual_information_matrix(data.spec, data.rows, data.constant, keys, sources, targets, threads,
                                           report, out[0], out[1])
        return out

    def seconds_per_pair(self, length: int) -> float:
        return 5e-9 * length


@dataclass(frozen=True)
class SurrogateTest(PairJob):
    settings: Any  # _network.TestSettings
    layers: ClassVar[int] = 5  # te, p-values, null mean, null std, steps
    description: ClassVar[tuple[str, str]] = ("transfer entropy test", "estimate")

    def run(self, data: Prepared, keys: NDArray[np.uint64], sources: NDArray[np.uint64],
            targets: NDArray[np.uint64], threads: int, report: Report) -> NDArray[np.float64]:
        out = np.empty((self.layers, sources.size, targets.size))
        _network.transfer_entropy_test(data.spec, data.rows, data.constant, keys, sources, targets, self.settings,
                                       threads, report, *out)
        return out

    def seconds_per_pair(self, length: int) -> float:
        surrogates: int = 0 if self.settings.analytic else self.settings.surrogates
        return (2e-9 + surrogates * 0.5e-9) * length


@dataclass(frozen=True)
class Inference:
    """Network inference over groups of targets."""

    settings: Any  # _network.InferenceSettings
    description: ClassVar[tuple[str, str]] = ("network inference", "estimate")

    def run(self, data: Prepared, targets: NDArray[np.uint64], threads: int, report: Report) -> list[Any]:
        return list(_network.infer_network(data.spec, data.rows, data.constant, targets, self.settings, threads,
                                           report))

    def seconds_per_target(self, m: int, length: int) -> float:
        # A target's search tests every candidate against its surrogates a
        # few times over: about (m - 1) max_lag (1 + surrogates) estimates
        # per round, and a handful of rounds.
        s = self.settings
        surrogates: int = 0 if s.analytic else s.surrogates
        lags: int = max(s.max_lag, s.max_history)
        return 4.0 * max(1, m - 1) * lags * (1 + surrogates) * 0.5e-9 * length


# ---------------------------------------------------------------------------
# Running them


@dataclass(frozen=True)
class Plan:
    """Where a call runs: on this process's threads, or with ``client`` on a
    Dask cluster in tasks of ``tile`` rows or targets and ``threads``
    threads (None: the worker's share)."""

    client: Any
    tile: int | None
    threads: int | None
    progress: object

    @staticmethod
    def of(client: object, tile: object, workers: object, progress: object) -> Plan:
        size = None if tile is None else _checks.in_range(tile, "tile", 1, 1 << 32)
        threads = None if workers is None else _checks.workers(workers)
        if not isinstance(progress, (bool, np.bool_)):
            raise TypeError(f"progress must be True or False, not {type(progress).__name__}")
        if client is not None:
            from . import _distributed

            client = _distributed.checked(client)
        return Plan(client, size, threads, progress)

    def local_threads(self) -> int:
        return self.threads or _checks.workers(None)


Prepare = Callable[[int, Report], Prepared]


def pairs(plan: Plan, prepare: Prepare, job: PairJob) -> NDArray[np.float64]:
    """The rows prepared once, then the job over every pair of them:
    (layers, m, m)."""
    if plan.client is not None:
        from . import _distributed

        data = prepare(_checks.workers(None), None)
        return _distributed.pairs(plan.client, data, job, plan.threads, plan.tile, plan.progress)
    threads = plan.local_threads()
    with _checks.progress(plan.progress, *job.description) as report:
        data = prepare(threads, report)
        rows = everything(data.shape[0])
        return job.run(data, rows, rows, rows, threads, report)


def targets(plan: Plan, prepare: Prepare, job: Inference) -> list[Any]:
    """The rows prepared once, then the job for every target, in order."""
    if plan.client is not None:
        from . import _distributed

        data = prepare(_checks.workers(None), None)
        return _distributed.targets(plan.client, data, job, plan.threads, plan.tile, plan.progress)
    threads = plan.local_threads()
    with _checks.progress(plan.progress, *job.description) as report:
        data = prepare(threads, report)
        return job.run(data, everything(data.shape[0]), threads, report)
