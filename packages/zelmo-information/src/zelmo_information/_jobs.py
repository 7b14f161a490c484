"""The work of the network functions, described once for local threads and
for a cluster's tasks: pairs of rows computed in tiles of sources x targets
(the matrices and the surrogate test) or targets searched in groups
(inference). A job runs on prepared rows and a piece of the work; a local
call runs it once over everything."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from . import _network
from ._estimators import Prepared

Report = Callable[[int, int], None] | None


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

    def expected_estimates(self, m: int) -> int:
        """About how many estimates a search of m targets computes: for each
        target, its own lags once and the (m - 1) max_lag candidates about
        one and a half times (a first selection step, then the smaller steps
        after each selected source), each with its surrogates. Sparse
        networks take about that; dense ones more."""
        s = self.settings
        surrogates: int = 0 if s.analytic else s.surrogates
        return int(m * (1 + surrogates) * (s.max_history + 1.5 * max(1, m - 1) * s.max_lag))

    def seconds_per_target(self, m: int, length: int) -> float:
        # A target's search tests every candidate against its surrogates a
        # few times over: about (m - 1) max_lag (1 + surrogates) estimates
        # per round, and a handful of rounds.
        s = self.settings
        surrogates: int = 0 if s.analytic else s.surrogates
        lags: int = max(s.max_lag, s.max_history)
        return 4.0 * max(1, m - 1) * lags * (1 + surrogates) * 0.5e-9 * length
