"""The network measures on a Dask cluster.

The client prepares every row once, as a local call does (binning it, for
the binned estimator), and scatters the rows (bins in the narrowest
unsigned type that holds them) to every worker with one broadcast. The pairs are then split into tiles of sources x targets, and
network inference into groups of targets, one task each; a task reads the
rows it needs from its worker's copy, computes on the worker's cores with
the interpreter lock released, and sends back its block of the result. A
pair's value, and its surrogates, depend only on its two rows and the seed,
so the assembled result equals the local call's to the last bit, however
the work is split and wherever a task runs (or runs again, after a worker
is lost).
"""

from __future__ import annotations

import asyncio
import importlib
import math
import os
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _checks
from ._jobs import Inference, PairJob
from ._estimators import Prepared

INSTALL_HINT = "pip install 'zelmo-information[distributed]'"

# Seconds of a task's work that tasks are sized for.
_TASK_SECONDS = 1.0

# Seconds a call waits for the first worker of a cluster that has none (an
# adaptive or batch-queue cluster still starting its workers).
WORKER_TIMEOUT = 60.0


def checked(client: object) -> Any:
    """``client`` if it is an open ``dask.distributed.Client`` whose cluster
    has a worker, waiting up to WORKER_TIMEOUT seconds for the first one."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise ImportError(
            f"client= runs the work on a Dask cluster, which needs dask.distributed: {INSTALL_HINT}"
        ) from None
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
    if client.status != "running":
        raise ValueError(f"client is {client.status}, not connected to a cluster; pass an open Client")
    try:
        client.wait_for_workers(1, timeout=WORKER_TIMEOUT)
    except (TimeoutError, asyncio.TimeoutError):  # one class from Python 3.11 on
        raise TimeoutError(
            f"the Dask cluster of client has no workers: none joined within {WORKER_TIMEOUT:g} s; "
            "start workers or scale the cluster"
        ) from None
    return client


# ---------------------------------------------------------------------------
# On the workers


def _share(dask_worker: Any = None) -> int:
    """The worker's cores shared among the tasks it runs at once."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not every platform can tell
        cores = os.cpu_count() or 1
    if dask_worker is None:
        try:
            dask_worker = importlib.import_module("distributed").get_worker()
        except ValueError:  # run outside a worker
            return cores
    slots: int = dask_worker.state.nthreads
    return max(1, cores // max(1, slots))


def _task_threads(workers: int | None) -> int:
    """Threads for one task: as asked (capped at the worker's cores), or the
    worker's share of them."""
    return _share() if workers is None else min(workers, _checks.cores())


def _tile_rows(data: Prepared, sources: NDArray[np.uint64],
               targets: NDArray[np.uint64]) -> tuple[Prepared, NDArray[np.uint64], NDArray[np.uint64], NDArray[np.uint64]]:
    """The rows a tile reads, in ascending order (their keys), with the
    tile's sources and targets as positions among them."""
    rows = np.union1d(sources, targets).astype(np.uint64)
    return (data.take(rows), rows, np.searchsorted(rows, sources).astype(np.uint64),
            np.searchsorted(rows, targets).astype(np.uint64))


def pair_task(data: Prepared, job: PairJob, sources: NDArray[np.uint64], targets: NDArray[np.uint64],
              workers: int | None) -> NDArray[np.float64]:
    piece, keys, a, b = _tile_rows(data, sources, targets)
    return job.run(piece, keys, a, b, _task_threads(workers), None)


def target_task(data: Prepared, job: Inference, targets: NDArray[np.uint64], workers: int | None) -> list[Any]:
    return job.run(data.aligned(), targets, _task_threads(workers), None)


# ---------------------------------------------------------------------------
# On the client


def _run(client: Any, data: Prepared, tasks: Sequence[tuple[Callable[..., Any], tuple[Any, ...]]],
         place: Callable[[int, Any], None], progress: object, description: str) -> None:
    """Scatters ``data`` to every worker, runs task i as fn(data, *args) and
    hands each result to place(i, result) as it arrives."""
    distributed = importlib.import_module("distributed")
    with _checks.progress(progress, description, "task") as report:
        shared = client.scatter(data.narrowest(), broadcast=True, hash=False)
        futures = [client.submit(fn, shared, *args, pure=False) for fn, args in tasks]
        index = {future.key: i for i, future in enumerate(futures)}
        try:
            finished = distributed.as_completed(futures, with_results=True)  # results fetched as tasks end
            for done, (future, result) in enumerate(finished, start=1):
                place(index[future.key], result)
                if report is not None:
                    report(done, len(futures))
        finally:
            client.cancel([*futures, shared])


def _per_task(client: Any, workers: int | None, seconds: float, count: int) -> int:
    """How many of `count` items of `seconds` of one thread's work each make
    about a second of a task's work on its threads, while there are at
    least two tasks per Dask thread."""
    threads: int = workers if workers is not None else min(client.run(_share).values(), default=1)
    slots: int = max(1, sum(client.nthreads().values()))
    # Items that cost nothing (series of no steps) all fit one task.
    fits = count if seconds <= 0 else int(_TASK_SECONDS * threads / seconds)
    return max(1, min(fits, -(-count // (2 * slots))))


def _even(m: int, size: int) -> int:
    """The size that cuts m items into as many pieces as `size` does, but of
    lengths that differ by one at most."""
    pieces = -(-m // max(1, size))
    return max(1, -(-m // max(1, pieces)))


def _side(m: int, seconds_per_pair: float, client: Any, workers: int | None, tile: int | None) -> int:
    """Rows per tile side: as asked, or about a second of work per task."""
    if tile is not None:
        return min(tile, max(m, 1))
    return _even(m, math.isqrt(_per_task(client, workers, seconds_per_pair, m * m)))


def _blocks(m: int, side: int) -> list[range]:
    return [range(a, min(a + side, m)) for a in range(0, m, side)]


def _rows(block: range) -> NDArray[np.uint64]:
    return np.arange(block.start, block.stop, dtype=np.uint64)


def pairs(client: Any, data: Prepared, job: PairJob, workers: int | None, tile: int | None,
          progress: object) -> NDArray[np.float64]:
    """Every tile of the job's (layers, m, m) result; a symmetric job's tiles
    on and above the diagonal, mirrored below."""
    m, length = data.shape
    out = np.empty((job.layers, m, m))
    blocks = _blocks(m, _side(m, job.seconds_per_pair(length) * data.cost, client, workers, tile))
    pieces = [(a, b) for a in range(len(blocks)) for b in range(len(blocks)) if not job.symmetric or a <= b]

    def place(i: int, block: NDArray[np.float64]) -> None:
        a, b = pieces[i]
        rows, columns = slice(blocks[a].start, blocks[a].stop), slice(blocks[b].start, blocks[b].stop)
        out[:, rows, columns] = block
        if job.symmetric and a != b:
            out[:, columns, rows] = block.transpose(0, 2, 1)

    tasks = [(pair_task, (job, _rows(blocks[a]), _rows(blocks[b]), workers)) for a, b in pieces]
    _run(client, data, tasks, place, progress, job.description[0])
    return out


def targets(client: Any, data: Prepared, job: Inference, workers: int | None, tile: int | None,
            progress: object) -> list[Any]:
    """Per target, as the local search gives it; a group of targets per task."""
    m, length = data.shape
    if tile is None:
        tile = _even(m, _per_task(client, workers, job.seconds_per_target(m, length) * data.cost, m))
    groups = _blocks(m, tile)
    results: list[Any] = [None] * m

    def place(i: int, found: list[Any]) -> None:
        for j, result in zip(groups[i], found):
            results[j] = result

    _run(client, data, [(target_task, (job, _rows(group), workers)) for group in groups], place, progress,
         job.description[0])
    return results
