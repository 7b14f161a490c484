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
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _checks
from ._estimators import Prepared
from ._jobs import Inference, PairJob, Report


def everything(m: int) -> NDArray[np.uint64]:
    """The rows of a call over the whole array: keys, sources and targets."""
    return np.arange(m, dtype=np.uint64)


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
        threads = None if workers is None else _checks.in_range(workers, "workers", 1, _checks.U64 - 1)
        if not isinstance(progress, (bool, np.bool_)):
            raise TypeError(f"progress must be True or False, not {type(progress).__name__}")
        if client is not None:
            from . import _distributed

            client = _distributed.checked(client)
        return Plan(client, size, threads, progress)

    def local_threads(self) -> int:
        """Threads here: as asked, capped at this process's cores."""
        return _checks.workers(self.threads)


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


def targets(plan: Plan, prepare: Prepare, job: Inference, m: int) -> list[Any]:
    """The rows prepared once, then the job for every target of the m rows,
    in order."""
    if plan.client is not None:
        from . import _distributed

        data = prepare(_checks.workers(None), None)
        return _distributed.targets(plan.client, data, job, plan.threads, plan.tile, plan.progress)
    threads = plan.local_threads()
    # A search's length depends on what it finds: the bar counts towards an
    # estimate of its estimates.
    description, unit = job.description
    with _checks.progress(plan.progress, f"{description} (total estimated)", unit,
                          expected=job.expected_estimates(m)) as report:
        data = prepare(threads, report)
        return job.run(data, everything(data.shape[0]), threads, report)
