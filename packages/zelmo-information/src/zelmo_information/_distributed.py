"""The network measures on a Dask cluster.

The client bins every row once, as a local call does, and scatters the bins
(in the narrowest unsigned type that holds them) to every worker with one
broadcast. The pairs are then split into tiles of sources x targets, and
network inference into groups of targets, one task each; a task reads the
rows it needs from its worker's copy, computes on the worker's cores with
the interpreter lock released, and sends back its block of the result. A
pair's value, and its surrogates, depend only on its two rows and the seed,
so the assembled result equals the local call's to the last bit, however
the work is split and wherever a task runs (or runs again, after a worker
is lost).
"""

from __future__ import annotations

import importlib
import math
import os
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _network
from .network import _Binned, _progress

INSTALL_HINT = "pip install 'zelmo-information[distributed]'"

# Seconds of one thread's work per pair and per sample of the series, about
# as measured on the benchmark machine (benchmarks/cluster.py); they size
# tasks, never results.
_TRANSFER_PER_SAMPLE = 2e-9
_MUTUAL_PER_SAMPLE = 5e-9
_SURROGATE_PER_SAMPLE = 0.5e-9
_TASK_SECONDS = 1.0


def checked(client: object) -> Any:
    """``client`` if it is a ``dask.distributed.Client``."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise ImportError(
            f"client= runs the work on a Dask cluster, which needs dask.distributed: {INSTALL_HINT}"
        ) from None
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
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
    """Threads for one task: as asked, or the worker's share."""
    return _share() if workers is None else workers


Rows = tuple[NDArray[Any], NDArray[np.uint8], int, NDArray[np.uint64], NDArray[np.uint64], NDArray[np.uint64]]
# history, max_lag, alpha, surrogates, method, seed, max_sources
InferenceSettings = tuple[int, int, float, int, str, int, int]


def _tile_rows(data: _Binned, sources: NDArray[np.uint64], targets: NDArray[np.uint64]) -> Rows:
    """The rows a tile reads, in ascending order, with the tile's sources
    and targets as positions among them."""
    rows = np.union1d(sources, targets).astype(np.uint64)
    codes = np.ascontiguousarray(data.codes[rows])
    constant = np.ascontiguousarray(data.constant[rows])
    return (codes, constant, data.n_bins, rows, np.searchsorted(rows, sources).astype(np.uint64),
            np.searchsorted(rows, targets).astype(np.uint64))


def transfer_tile(data: _Binned, sources: NDArray[np.uint64], targets: NDArray[np.uint64], history: int,
                  workers: int | None) -> NDArray[np.float64]:
    out = np.empty((sources.size, targets.size))
    _network.transfer_entropy_matrix(*_tile_rows(data, sources, targets), history, _task_threads(workers), None,
                                     out)
    return out


def mutual_tile(data: _Binned, sources: NDArray[np.uint64], targets: NDArray[np.uint64],
                workers: int | None) -> NDArray[np.float64]:
    out = np.empty((sources.size, targets.size))
    _network.mutual_information_matrix(*_tile_rows(data, sources, targets), _task_threads(workers), None, out)
    return out


def surrogate_tile(data: _Binned, sources: NDArray[np.uint64], targets: NDArray[np.uint64], history: int,
              surrogates: int, method: str, seed: int, workers: int | None) -> NDArray[np.float64]:
    out = np.empty((4, sources.size, targets.size))
    _network.transfer_entropy_test(*_tile_rows(data, sources, targets), history, surrogates, method, seed,
                                   _task_threads(workers), None, out[0], out[1], out[2], out[3])
    return out


def inference_task(data: _Binned, targets: NDArray[np.uint64], settings: InferenceSettings,
                   workers: int | None) -> list[Any]:
    return _network.infer_network(data.codes, data.constant, data.n_bins, targets, *settings,
                                  _task_threads(workers), None)


# ---------------------------------------------------------------------------
# On the client


def _run(client: Any, data: _Binned, tasks: Sequence[tuple[Callable[..., Any], tuple[Any, ...]]],
         place: Callable[[int, Any], None], progress: object, description: str) -> None:
    """Scatters ``data`` to every worker, runs task i as fn(data, *args) and
    hands each result to place(i, result) as it arrives."""
    distributed = importlib.import_module("distributed")
    with _progress(progress, description, "task") as report:
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
    return max(1, min(int(_TASK_SECONDS * threads / seconds), -(-count // (2 * slots))))


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


def _tiles(client: Any, data: _Binned, fn: Callable[..., Any], args: tuple[Any, ...], seconds_per_pair: float,
           workers: int | None, tile: int | None, symmetric: bool, layers: int, progress: object,
           description: str) -> NDArray[np.float64]:
    """Every tile of the (m, m) result in `layers` layers; with `symmetric`,
    the tiles on and above the diagonal, mirrored below."""
    m = data.codes.shape[0]
    out = np.empty((layers, m, m))
    blocks = _blocks(m, _side(m, seconds_per_pair, client, workers, tile))
    pairs = [(a, b) for a in range(len(blocks)) for b in range(len(blocks)) if not symmetric or a <= b]

    def place(i: int, block: NDArray[np.float64]) -> None:
        a, b = pairs[i]
        rows, columns = slice(blocks[a].start, blocks[a].stop), slice(blocks[b].start, blocks[b].stop)
        block = block.reshape(layers, len(blocks[a]), len(blocks[b]))
        out[:, rows, columns] = block
        if symmetric and a != b:
            out[:, columns, rows] = block.transpose(0, 2, 1)

    tasks = [(fn, (_rows(blocks[a]), _rows(blocks[b]), *args)) for a, b in pairs]
    _run(client, data, tasks, place, progress, description)
    return out


def transfer_entropy_matrix(client: Any, data: _Binned, history: int, workers: int | None, tile: int | None,
                            progress: object) -> NDArray[np.float64]:
    per_pair = _TRANSFER_PER_SAMPLE * data.codes.shape[1]
    out = _tiles(client, data, transfer_tile, (history, workers), per_pair, workers, tile, False, 1, progress,
                 "transfer entropy")
    return np.ascontiguousarray(out[0])


def mutual_information_matrix(client: Any, data: _Binned, workers: int | None, tile: int | None,
                              progress: object) -> NDArray[np.float64]:
    per_pair = _MUTUAL_PER_SAMPLE * data.codes.shape[1]
    out = _tiles(client, data, mutual_tile, (workers,), per_pair, workers, tile, True, 1, progress, "mutual information")
    return np.ascontiguousarray(out[0])


def transfer_entropy_test(client: Any, data: _Binned, history: int, surrogates: int, method: str, seed: int,
                          workers: int | None, tile: int | None, progress: object) -> list[NDArray[np.float64]]:
    length = data.codes.shape[1]
    per_pair = (_TRANSFER_PER_SAMPLE + surrogates * _SURROGATE_PER_SAMPLE) * length
    out = _tiles(client, data, surrogate_tile, (history, surrogates, method, seed, workers), per_pair, workers, tile,
                 False, 4,
                 progress, "transfer entropy test")
    return [np.ascontiguousarray(layer) for layer in out]


def infer_network(client: Any, data: _Binned, settings: InferenceSettings, workers: int | None, tile: int | None,
                  progress: object) -> list[Any]:
    """Per target, as the local search gives it; a group of targets per task."""
    m, length = data.codes.shape
    if tile is None:
        # A target's search tests every candidate against its surrogates a
        # few times over: about (m - 1) max_lag (1 + surrogates) estimates
        # per round, and a handful of rounds.
        _, max_lag, _, surrogates, *_ = settings
        per_target = 4.0 * max(1, m - 1) * max_lag * (1 + surrogates) * _SURROGATE_PER_SAMPLE * length
        tile = _even(m, _per_task(client, workers, per_target, m))
    groups = _blocks(m, tile)
    results: list[Any] = [None] * m

    def place(i: int, found: list[Any]) -> None:
        for j, result in zip(groups[i], found):
            results[j] = result

    _run(client, data, [(inference_task, (_rows(group), settings, workers)) for group in groups], place, progress,
         "network inference")
    return results
