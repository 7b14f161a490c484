"""Network analysis: all-pairs matrices and significance by surrogate data.

The functions here take a two-dimensional array whose rows are series (one
signal per row, time along the columns) and compute a measure for every pair
of rows on every core, with the interpreter lock released while the pairs
are computed. Every entry equals the single-pair function of
:mod:`zelmo_information` on the same two rows, to the last bit, whatever the
number of workers. A long call stops with ``KeyboardInterrupt`` soon after
Ctrl-C.

Inputs
------
``signals`` is anything that ``numpy.asarray(signals, dtype=numpy.float64)``
turns into a two-dimensional array: a float64 array of any memory layout,
another real dtype, or nested lists. The entries of a masked array that are
masked count as non-finite values; the values underneath are never read.

``nonfinite="raise"`` (the default) raises ``ValueError`` naming the first row
that holds NaN or an infinity. ``nonfinite="bin"`` bins such values as the
single-pair functions do (NaN in bin 0; an infinity makes its row's range
infinite, which puts the whole row in bin 0).

Bins
----
Every row is binned once into ``n_bins`` equal-width bins over its own
range, by the scaled rule of the single-pair functions. ``n_bins=None``
chooses the count from the length L of the series so that the joint states
can be filled: for transfer entropy with history h the largest b in 2..16
with b ** (2 h + 1) <= L / 10; for mutual information the largest b in 2..64
with b ** 2 <= L / 10; 2 when no b fits. Plug-in estimates over state spaces
the samples cannot fill are biased upwards: 16 bins at history 1 need well
over 40,000 samples.

Surrogates and p-values
-----------------------
:func:`transfer_entropy_test` compares each observed transfer entropy with
its values on surrogate sources: copies of the source row that keep its
values (and, for ``method="shift"``, its own dynamics) but break its timing
against the target. The p-value of pair (i, j) is
``(1 + #{null >= observed}) / (1 + surrogates)``. Surrogate k of pair
(i, j) is drawn from the counter-based generator Philox4x64-10 keyed by
``(seed, method)`` with counter ``(i, j, k, block)``, so a result depends only
on the data, the settings and the seed: the same on any number of workers
and any machine.

Clusters
--------
``client=`` takes a ``dask.distributed.Client`` (``pip install
'zelmo-information[distributed]'``) and runs the work on its cluster: a
laptop's ``LocalCluster``, Slurm or PBS through dask-jobqueue, Kubernetes.
The rows are binned here, once, and the bins (8-bit integers for up to 256
bins) are broadcast to every worker. The matrices and the test are split into
tiles of sources x targets, inference into groups of targets; each is one
task, run on its worker's cores (``workers`` sets the threads per task),
sized for about a second of work unless ``tile`` says otherwise. Every value
depends only on its rows, the settings and the seed, so the result equals
the local call's to the last bit, also when the scheduler reruns the tasks
of a worker that was lost. ``progress=True`` counts the tasks.
"""

from __future__ import annotations

import importlib
import operator
import os
import secrets
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _network

__all__ = [
    "InferredNetwork",
    "Link",
    "TransferEntropyTest",
    "conditional_transfer_entropy",
    "infer_network",
    "mutual_information_bins",
    "mutual_information_matrix",
    "transfer_entropy_bins",
    "transfer_entropy_matrix",
    "transfer_entropy_test",
]

Nonfinite = Literal["raise", "bin"]
Method = Literal["shift", "shuffle"]
Correction = Literal["fdr_bh", "bonferroni"]

_U64 = 1 << 64
_MAX_MI_BINS = 1 << 31


# ---------------------------------------------------------------------------
# Arguments


def _integer(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _in_range(value: object, name: str, low: int, high: int) -> int:
    number = _integer(value, name)
    if not low <= number <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {number}")
    return number


def _choice(value: object, name: str, allowed: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {options}, got {value!r}")
    return value


def _signals(signals: ArrayLike, nonfinite: object, name: str = "signals") -> tuple[NDArray[np.float64], bool]:
    """The rows as a 2-D float64 array, and whether non-finite values raise."""
    reject = _choice(nonfinite, "nonfinite", ("raise", "bin")) == "raise"
    if np.iscomplexobj(signals):
        raise TypeError(f"{name} must be real; complex values have no bins")
    if np.ma.isMaskedArray(signals):
        mask = np.ma.getmaskarray(signals)
        array = np.array(np.ma.getdata(signals), dtype=np.float64)
        array[mask] = np.nan
    else:
        array = np.asarray(signals, dtype=np.float64)
    if array.ndim != 2:
        raise ValueError(f"{name} must be two-dimensional (one series per row), got {array.ndim} dimension(s)")
    return array, reject


def _workers(workers: object) -> int:
    if workers is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not every platform can tell
            return max(1, os.cpu_count() or 1)
    return _in_range(workers, "workers", 1, 1 << 16)


def transfer_entropy_bins(length: int, history: int = 1, conditions: int = 0) -> int:
    """The bin count that ``n_bins=None`` gives transfer entropy.

    The largest b in 2..16 whose joint states number at most a tenth of the
    ``length`` samples; 2 when none does. A state holds the target's next
    bin and ``history`` past bins of the target, the source and each of
    ``conditions`` conditioning series: ``b ** (history * (2 + conditions) + 1)``
    states.

    >>> transfer_entropy_bins(10_000), transfer_entropy_bins(10_000, history=2)
    (10, 3)
    """
    samples = _in_range(length, "length", 0, _U64 - 1)
    steps = _in_range(history, "history", 0, _U64 - 1)
    extra = _in_range(conditions, "conditions", 0, _U64 - 1)
    digits = steps * (2 + extra) + 1
    if digits > 64:  # 2 ** digits exceeds any length
        return 2
    fits = [b for b in range(2, 17) if 10 * b**digits <= samples]
    return fits[-1] if fits else 2


def mutual_information_bins(length: int) -> int:
    """The bin count that ``n_bins=None`` gives mutual information.

    The largest b in 2..64 with ``b ** 2`` at most a tenth of the ``length``
    samples; 2 when none fits.

    >>> mutual_information_bins(10_000)
    31
    """
    samples = _in_range(length, "length", 0, _U64 - 1)
    fits = [b for b in range(2, 65) if 10 * b * b <= samples]
    return fits[-1] if fits else 2


def _transfer_bins(n_bins: object, history: int, length: int) -> int:
    if n_bins is None:
        return transfer_entropy_bins(length, history)
    return _in_range(n_bins, "n_bins", 0, _U64 - 1)


def _mutual_bins(n_bins: object, length: int) -> int:
    if n_bins is None:
        return mutual_information_bins(length)
    return _in_range(n_bins, "n_bins", 1, _MAX_MI_BINS)


@contextmanager
def _progress(enabled: object, description: str, unit: str) -> Iterator[Callable[[int, int], None] | None]:
    """A callback that draws a tqdm bar from (done, total), or None. A total
    of 0 is unknown."""
    if not isinstance(enabled, (bool, np.bool_)):
        raise TypeError(f"progress must be True or False, not {type(enabled).__name__}")
    if not enabled:
        yield None
        return
    try:
        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        raise ImportError(
            "progress=True draws its bar with tqdm, which is not installed: "
            "pip install tqdm (or pip install 'zelmo-information[progress]')"
        ) from None
    bar: Any = None

    def update(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:
            bar = tqdm(total=total or None, desc=description, unit=unit)
        elif total and bar.total != total:  # known once the work is laid out
            bar.total = total
        bar.update(done - bar.n)

    try:
        yield update
    finally:
        if bar is not None:
            bar.close()


def _square(m: int) -> NDArray[np.float64]:
    return np.empty((m, m), dtype=np.float64)


@dataclass(frozen=True, eq=False)
class _Binned:
    """Every row binned once: the bin indices, (m, L) unsigned integers, and
    each row's flag of a range below the constant threshold."""

    codes: NDArray[np.unsignedinteger[Any]]
    constant: NDArray[np.uint8]
    n_bins: int

    def narrowest(self) -> _Binned:
        """The same bins in the narrowest unsigned type that holds them (to
        send to a cluster)."""
        top = int(self.codes.max()) if self.codes.size else 0
        for kind in (np.uint8, np.uint16, np.uint32):
            if top <= np.iinfo(kind).max:
                return _Binned(self.codes.astype(kind), self.constant, self.n_bins)
        return self


def _bin(array: NDArray[np.float64], n_bins: int, reject: bool, threads: int,
         report: Callable[[int, int], None] | None) -> _Binned:
    codes = np.empty(array.shape, dtype=np.uint32 if n_bins <= _MAX_MI_BINS else np.uint64)
    constant = np.empty(array.shape[0], dtype=np.uint8)
    _network.bin_rows(array, n_bins, reject, threads, report, codes, constant)
    return _Binned(codes, constant, n_bins)


def _everything(m: int) -> NDArray[np.uint64]:
    """The rows of a call over the whole array: keys, sources and targets."""
    return np.arange(m, dtype=np.uint64)


@dataclass(frozen=True)
class _Plan:
    """Where a call runs: on this process's threads, or with ``client`` on a
    Dask cluster in tasks of ``tile`` rows or targets and ``threads``
    threads (None: the worker's share)."""

    client: Any
    tile: int | None
    threads: int | None
    progress: object


def _plan(client: object, tile: object, workers: object, progress: object) -> _Plan:
    size = None if tile is None else _in_range(tile, "tile", 1, 1 << 32)
    threads = None if workers is None else _workers(workers)
    if client is not None:
        from . import _distributed

        client = _distributed.checked(client)
    return _Plan(client, size, threads, progress)


def _compute(plan: _Plan, array: NDArray[np.float64], n_bins: int, reject: bool, what: tuple[str, str],
             local: Callable[[_Binned, NDArray[np.uint64], int, Callable[[int, int], None] | None], Any],
             remote: Callable[[Any, _Binned], Any]) -> Any:
    """Bins the rows, then runs local(bins, every row, threads, progress
    callback) here, or remote(the cluster module, bins) with a client.
    `what` names the progress bar and its unit."""
    if plan.client is not None:
        from . import _distributed

        return remote(_distributed, _bin(array, n_bins, reject, _workers(None), None))
    threads = plan.threads or _workers(None)
    with _progress(plan.progress, *what) as report:
        binned = _bin(array, n_bins, reject, threads, report)
        return local(binned, _everything(array.shape[0]), threads, report)


# ---------------------------------------------------------------------------
# Matrices


def transfer_entropy_matrix(
    signals: ArrayLike,
    n_bins: int | None = None,
    history: int = 1,
    *,
    nonfinite: Nonfinite = "raise",
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
) -> NDArray[np.float64]:
    """Transfer entropy between every ordered pair of rows, in bits.

    Parameters
    ----------
    signals : array_like, shape (m, L)
        One series per row.
    n_bins : int or None, optional
        Bins per series. None (the default) picks the largest b in 2..16 with
        ``b ** (2 * history + 1) <= L / 10`` (2 when none fits). An integer
        is used as ``transfer_entropy`` uses it (0 and 1 give zeros).
    history : int, optional
        Past steps per state, 1 by default; any non-negative integer.
    nonfinite : {"raise", "bin"}, optional
        What NaN and infinities do: raise ``ValueError`` (the default), or
        go into bins as in the single-pair functions.
    workers : int or None, optional
        Threads to compute on; None uses every core this process may run on.
        With ``client``, the threads of each task; None gives each task its
        worker's cores divided by the worker's Dask threads. The result
        does not depend on it.
    progress : bool, optional
        Show a progress bar (needs tqdm): over the pairs, or with
        ``client`` over the tasks.
    client : dask.distributed.Client, optional
        Run on a Dask cluster (needs ``pip install
        'zelmo-information[distributed]'``): the rows are binned here, sent
        once to every worker, and the matrix is computed in tiles of
        sources x targets, one task each. The result is the same to the
        last bit. See :mod:`zelmo_information.network`, "Clusters".
    tile : int, optional
        With ``client``, rows per side of a tile; by default tiles are
        sized for about a second of work each. Ignored without ``client``.

    Returns
    -------
    numpy.ndarray, shape (m, m), float64, C-contiguous
        Entry ``[i, j]`` is T(row i -> row j), equal bit for bit to
        ``batch_transfer_entropy_py(signals, n_bins, history)[i][j]``; the
        diagonal is 0.0.

    Examples
    --------
    >>> import numpy as np
    >>> from zelmo_information import network as zn
    >>> rng = np.random.default_rng(1)
    >>> x = rng.normal(size=5000)
    >>> y = np.concatenate([[0.0], x[:-1]]) + 0.5 * rng.normal(size=5000)
    >>> te = zn.transfer_entropy_matrix(np.vstack([x, y]))
    >>> bool(te[0, 1] > 10 * te[1, 0])
    True
    """
    array, reject = _signals(signals, nonfinite)
    steps = _in_range(history, "history", 0, _U64 - 1)
    bins = _transfer_bins(n_bins, steps, array.shape[1])
    plan = _plan(client, tile, workers, progress)

    def local(binned: _Binned, rows: NDArray[np.uint64], threads: int, report: Any) -> NDArray[np.float64]:
        out = _square(rows.size)
        _network.transfer_entropy_matrix(binned.codes, binned.constant, bins, rows, rows, rows, steps, threads,
                                         report, out)
        return out

    def remote(cluster: Any, binned: _Binned) -> Any:
        return cluster.transfer_entropy_matrix(plan.client, binned, steps, plan.threads, plan.tile, progress)

    result: NDArray[np.float64] = _compute(plan, array, bins, reject, ("transfer entropy", "pair"), local, remote)
    return result


def mutual_information_matrix(
    signals: ArrayLike,
    n_bins: int | None = None,
    *,
    nonfinite: Nonfinite = "raise",
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
) -> NDArray[np.float64]:
    """Mutual information between every pair of rows, in bits.

    Parameters
    ----------
    signals : array_like, shape (m, L)
        One series per row.
    n_bins : int or None, optional
        Bins per series, 1 to 2**31. None (the default) picks the largest b
        in 2..64 with ``b ** 2 <= L / 10`` (2 when none fits).
    nonfinite, workers, progress, client, tile
        As for :func:`transfer_entropy_matrix`; a cluster computes the tiles
        on and above the diagonal.

    Returns
    -------
    numpy.ndarray, shape (m, m), float64, C-contiguous, symmetric
        Entry ``[i, j]`` for ``i <= j`` equals ``mutual_information(row i,
        row j, n_bins)`` bit for bit and is mirrored to ``[j, i]``; the
        diagonal holds each row's information with itself (its binned
        entropy).
    """
    array, reject = _signals(signals, nonfinite)
    bins = _mutual_bins(n_bins, array.shape[1])
    plan = _plan(client, tile, workers, progress)

    def local(binned: _Binned, rows: NDArray[np.uint64], threads: int, report: Any) -> NDArray[np.float64]:
        out = _square(rows.size)
        _network.mutual_information_matrix(binned.codes, binned.constant, bins, rows, rows, rows, threads, report,
                                           out)
        return out

    def remote(cluster: Any, binned: _Binned) -> Any:
        return cluster.mutual_information_matrix(plan.client, binned, plan.threads, plan.tile, progress)

    result: NDArray[np.float64] = _compute(plan, array, bins, reject, ("mutual information", "pair"), local, remote)
    return result


# ---------------------------------------------------------------------------
# Surrogate test


def _reject(p_values: NDArray[np.float64], alpha: float, correction: str | None) -> NDArray[np.bool_]:
    """Which of the (finite) p-values are significant under the correction."""
    count = p_values.size
    if count == 0:
        return np.zeros(0, dtype=bool)
    if correction is None:
        return p_values <= alpha
    if correction == "bonferroni":
        return p_values * count <= alpha
    # Benjamini-Hochberg: reject the k smallest, k the largest rank with
    # p_(k) <= alpha * k / count.
    order = np.argsort(p_values, kind="stable")
    ranked = p_values[order]
    below = np.nonzero(ranked <= alpha * np.arange(1, count + 1) / count)[0]
    reject = np.zeros(count, dtype=bool)
    if below.size:
        reject[order[: below[-1] + 1]] = True
    return reject


@dataclass(frozen=True, eq=False)
class TransferEntropyTest:
    """The outcome of :func:`transfer_entropy_test`.

    All arrays are (m, m), source row first, float64.

    Attributes
    ----------
    te : numpy.ndarray
        Observed transfer entropy in bits (as :func:`transfer_entropy_matrix`
        gives it); 0.0 on the diagonal.
    p_values : numpy.ndarray
        ``(1 + #{null >= observed}) / (1 + surrogates)``, between
        ``1 / (1 + surrogates)`` and 1; NaN on the diagonal.
    null_mean, null_std : numpy.ndarray
        Mean and standard deviation (ddof 0) of each pair's null values, in
        bits; NaN on the diagonal.
    n_bins, history, surrogates : int
        The settings used (``n_bins`` as chosen when None was given).
    method : str
        ``"shift"`` or ``"shuffle"``.
    seed : int
        The seed of the surrogates; passing it again repeats the result.
    """

    te: NDArray[np.float64]
    p_values: NDArray[np.float64]
    null_mean: NDArray[np.float64]
    null_std: NDArray[np.float64]
    n_bins: int
    history: int
    surrogates: int
    method: str
    seed: int

    @property
    def effective_te(self) -> NDArray[np.float64]:
        """``te - null_mean``: the observed value less the bias that the
        surrogates show for the same pair; comparable across pairs. NaN on
        the diagonal."""
        return self.te - self.null_mean

    def significant(self, alpha: float = 0.05, correction: Correction | None = "fdr_bh") -> NDArray[np.bool_]:
        """Which links are significant, as a boolean (m, m) array.

        Parameters
        ----------
        alpha : float, optional
            The level, 0 < alpha < 1; 0.05 by default.
        correction : {"fdr_bh", "bonferroni", None}, optional
            How the m (m - 1) off-diagonal p-values are corrected for being
            many: Benjamini-Hochberg (the default) keeps the expected
            fraction of false links among those reported at or below alpha;
            Bonferroni keeps the chance of any false link at or below alpha;
            None tests each pair at alpha on its own.

        Returns
        -------
        numpy.ndarray of bool, shape (m, m)
            ``[i, j]`` is True when the link i -> j is significant; the
            diagonal is False.
        """
        level = float(alpha)
        if not 0.0 < level < 1.0:
            raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
        if correction is not None:
            _choice(correction, "correction", ("fdr_bh", "bonferroni"))
        m = self.p_values.shape[0]
        off_diagonal = ~np.eye(m, dtype=bool)
        result = np.zeros((m, m), dtype=bool)
        result[off_diagonal] = _reject(self.p_values[off_diagonal], level, correction)
        return result


def transfer_entropy_test(
    signals: ArrayLike,
    n_bins: int | None = None,
    history: int = 1,
    *,
    surrogates: int = 1000,
    method: Method = "shift",
    seed: int | None = None,
    nonfinite: Nonfinite = "raise",
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
) -> TransferEntropyTest:
    """Transfer entropy between every ordered pair of rows, with p-values
    from surrogate sources.

    For each ordered pair (i, j) the source row i is replaced ``surrogates``
    times by a surrogate, and the transfer entropy of each surrogate into
    row j forms the null distribution of the observed value: what finite
    samples give with the same values and no coupling.

    Parameters
    ----------
    signals, n_bins, history, nonfinite, workers, progress, client, tile
        As for :func:`transfer_entropy_matrix`. On a cluster the result is
        the same to the last bit: a pair's surrogates are named by its rows,
        not by the tile that computes them.
    surrogates : int, optional
        Surrogates per pair, at least 1; 1000 by default. The smallest
        p-value possible is ``1 / (1 + surrogates)``.
    method : {"shift", "shuffle"}, optional
        ``"shift"`` (the default) rotates the source circularly by an offset
        d drawn uniformly from ``history + 1 .. L - history - 1``, so that
        ``source'[t] = source[(t + d) % L]``: the source keeps its own
        dynamics (its autocorrelation), which makes this the test to use
        for self-correlated series; it needs ``L >= 2 * history + 2``.
        ``"shuffle"`` permutes the source's samples, which also destroys its
        own dynamics: with ``history`` above 1 its null no longer matches a
        self-correlated source.
    seed : int or None, optional
        0 to 2**64 - 1. None draws a fresh seed, recorded in the result's
        ``seed`` so that the result can be repeated.

    Returns
    -------
    TransferEntropyTest
        ``te``, ``p_values``, ``null_mean``, ``null_std``, ``effective_te``
        and the settings; ``significant()`` applies a multiple-testing
        correction.

    Notes
    -----
    The surrogates of pair (i, j) come from Philox4x64-10 (Salmon et al.,
    2011) keyed by ``(seed, 1)`` for "shift" or ``(seed, 2)`` for "shuffle",
    with the counter ``(i, j, k, block)`` for surrogate k: a shift draws
    ``d`` from the first words of its stream (Lemire's unbiased method), a
    shuffle draws a Fisher-Yates permutation from the last position down.
    Observed and null values are compared exactly: both are computed from
    one table of fixed-point ``c log2 c`` terms, so equal counts give equal
    values. The returned ``te`` is the single-pair function's own value.
    """
    array, reject = _signals(signals, nonfinite)
    steps = _in_range(history, "history", 0, _U64 - 1)
    count = _in_range(surrogates, "surrogates", 1, _U64 - 1)
    kind = _choice(method, "method", ("shift", "shuffle"))
    key = secrets.randbits(64) if seed is None else _in_range(seed, "seed", 0, _U64 - 1)
    bins = _transfer_bins(n_bins, steps, array.shape[1])
    plan = _plan(client, tile, workers, progress)
    length = array.shape[1]
    if kind == "shift" and length >= 3 and length > steps and length < 2 * steps + 2:
        raise ValueError(f"method='shift' needs series of at least 2 * history + 2 = {2 * steps + 2} steps, "
                         f"got {length}")

    def local(binned: _Binned, rows: NDArray[np.uint64], threads: int, report: Any) -> list[NDArray[np.float64]]:
        out = [_square(rows.size) for _ in range(4)]
        _network.transfer_entropy_test(binned.codes, binned.constant, bins, rows, rows, rows, steps, count, kind,
                                       key, threads, report, *out)
        return out

    def remote(cluster: Any, binned: _Binned) -> Any:
        return cluster.transfer_entropy_test(plan.client, binned, steps, count, kind, key, plan.threads, plan.tile,
                                             progress)

    te, p_values, null_mean, null_std = _compute(plan, array, bins, reject, ("transfer entropy test", "estimate"),
                                                 local, remote)
    return TransferEntropyTest(te=te, p_values=p_values, null_mean=null_mean, null_std=null_std, n_bins=bins,
                               history=steps, surrogates=count, method=kind, seed=key)


# ---------------------------------------------------------------------------
# Multivariate transfer entropy


def _series(values: ArrayLike, name: str, reject: bool) -> NDArray[np.float64]:
    """A 1-D float64 contiguous copy or view, masked entries as NaN."""
    if np.iscomplexobj(values):
        raise TypeError(f"{name} must be real; complex values have no bins")
    if np.ma.isMaskedArray(values):
        array = np.array(np.ma.getdata(values), dtype=np.float64)
        array[np.ma.getmaskarray(values)] = np.nan
    else:
        array = np.ascontiguousarray(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimension(s)")
    if reject and not np.isfinite(array).all():
        raise ValueError(f"{name} holds NaN or an infinity; clean the data, or pass nonfinite='bin' "
                         "to bin such values as the single-pair functions do")
    return array


def _sparse_warning(states: int, steps: int, what: str) -> None:
    if steps and states * 10 > steps:
        warnings.warn(
            f"{what}: {states} joint states were observed in {steps} steps, more than a tenth of the "
            "steps; plug-in estimates over state spaces the samples cannot fill drift upwards. "
            "Use fewer bins, a shorter history or fewer conditions.",
            UserWarning,
            stacklevel=3,
        )


def conditional_transfer_entropy(
    source: ArrayLike,
    target: ArrayLike,
    conditions: ArrayLike,
    n_bins: int = 16,
    history: int = 1,
    *,
    lag: int = 1,
    condition_lags: Sequence[int] | None = None,
    nonfinite: Nonfinite = "raise",
) -> float:
    """Transfer entropy from ``source`` to ``target`` given the pasts of
    conditioning series, in bits.

    The sum over observed states of p(a, b, s, z) log2[p(a | b, s, z) /
    p(a | b, z)], where a is the target's next bin, b the target's past,
    s the source's past and z the pasts of the rows of ``conditions``; each
    term is formed from counts as ``transfer_entropy`` forms its terms,
    the terms are summed in ascending (a, b, s, z) order, and the result is
    clamped at 0. With no conditions (shape (0, L)) and ``lag=1`` it equals
    ``transfer_entropy(source, target, n_bins, history)`` bit for bit.

    Parameters
    ----------
    source, target : array_like, 1-D
        The series; each is binned over its own full length by the scaled
        rule of ``transfer_entropy``.
    conditions : array_like, shape (k, L)
        One conditioning series per row, each binned over its own length.
    n_bins : int, optional
        Bins per series, 16 by default; any non-negative integer.
    history : int, optional
        Bins per past, 1 by default.
    lag : int, optional
        The source's past ends ``lag`` steps before the predicted step (1,
        the default, is the step just before).
    condition_lags : sequence of int, optional
        The lag of each condition's past, all 1 by default.
    nonfinite : {"raise", "bin"}, optional
        As for :func:`transfer_entropy_matrix`.

    Returns
    -------
    float
        n is the shortest length of the series; steps are counted from the
        first one at which every past lies inside the series. 0.0 when
        n < 3, n <= history or no step is counted.

    Warns
    -----
    UserWarning
        With conditions, when more joint states are observed than a tenth of
        the counted steps: the estimate is then biased upwards.
    """
    reject = _choice(nonfinite, "nonfinite", ("raise", "bin")) == "raise"
    x = _series(source, "source", reject)
    y = _series(target, "target", reject)
    z, _ = _signals(conditions, nonfinite, "conditions")
    if reject:
        bad = np.nonzero(~np.isfinite(z).all(axis=1))[0]
        if bad.size:
            raise ValueError(f"row {bad[0]} of conditions holds NaN or an infinity; clean the data, or pass "
                             "nonfinite='bin' to bin such values as the single-pair functions do")
    bins = _in_range(n_bins, "n_bins", 0, _U64 - 1)
    steps = _in_range(history, "history", 0, _U64 - 1)
    delay = _in_range(lag, "lag", 1, _U64 - 1)
    if condition_lags is None:
        lags = [1] * z.shape[0]
    else:
        lags = [_in_range(v, "condition_lags", 1, _U64 - 1) for v in condition_lags]
        if len(lags) != z.shape[0]:
            raise ValueError(f"condition_lags has {len(lags)} lags for {z.shape[0]} conditions")
    te, states, counted = _network.conditional_transfer_entropy(x, y, z, bins, steps, delay, lags)
    if z.shape[0]:
        _sparse_warning(states, counted, "conditional_transfer_entropy")
    return float(te)


class Link(NamedTuple):
    """One selected source of a target."""

    source: int
    target: int
    lag: int
    te: float  # given the target's other links, in bits
    p_value: float  # of te against the link's own surrogates


@dataclass(frozen=True, eq=False)
class InferredNetwork:
    """The outcome of :func:`infer_network`.

    Attributes
    ----------
    adjacency : numpy.ndarray of bool, shape (m, m)
        ``[i, j]`` is True when series i drives series j at some selected lag.
    te : numpy.ndarray, shape (m, m)
        For each link, the transfer entropy from i to j in bits given the
        target's other selected sources, at i's strongest selected lag (as
        :func:`conditional_transfer_entropy` gives it); 0.0 elsewhere.
    p_values : numpy.ndarray, shape (m, m)
        For each link, the p-value of that value (same lag) against its own
        surrogates; NaN elsewhere.
    target_p_values : numpy.ndarray, shape (m,)
        The omnibus p-value of each target's selected sources together,
        before the correction across targets; NaN for targets without
        sources.
    links : tuple of Link
        Every selected (source, lag) of every target: by target, then in
        order of selection.
    n_bins, history, max_lag, surrogates, seed, alpha, method
        The settings used; the same seed repeats the network.
    """

    adjacency: NDArray[np.bool_]
    te: NDArray[np.float64]
    p_values: NDArray[np.float64]
    target_p_values: NDArray[np.float64]
    links: tuple[Link, ...]
    n_bins: int
    history: int
    max_lag: int
    alpha: float
    surrogates: int
    method: str
    seed: int

    def sources(self, target: int) -> list[tuple[int, int]]:
        """The selected (source, lag) pairs of ``target``, in order of selection."""
        j = _in_range(target, "target", 0, self.adjacency.shape[0] - 1)
        return [(link.source, link.lag) for link in self.links if link.target == j]

    def to_networkx(self) -> Any:
        """The network as a ``networkx.DiGraph``: a node per series and an
        edge per driving pair, with the attributes ``te``, ``p_value`` and
        ``lag`` of the source's strongest selected lag. Needs networkx."""
        try:
            networkx = importlib.import_module("networkx")
        except ImportError:
            raise ImportError(
                "to_networkx() needs networkx, which is not installed: pip install networkx "
                "(or pip install 'zelmo-information[graph]')"
            ) from None
        graph = networkx.DiGraph()
        graph.add_nodes_from(range(self.adjacency.shape[0]))
        for link in _strongest(self.links).values():
            graph.add_edge(link.source, link.target, te=link.te, p_value=link.p_value, lag=link.lag)
        return graph


def _strongest(links: tuple[Link, ...]) -> dict[tuple[int, int], Link]:
    """The link of each (source, target) with the largest te (the first
    selected among equals)."""
    best: dict[tuple[int, int], Link] = {}
    for link in links:
        pair = (link.source, link.target)
        if pair not in best or link.te > best[pair].te:
            best[pair] = link
    return best


def infer_network(
    signals: ArrayLike,
    n_bins: int | None = None,
    history: int = 1,
    *,
    max_lag: int = 1,
    alpha: float = 0.05,
    surrogates: int = 200,
    seed: int | None = None,
    max_sources: int | None = None,
    method: Method = "shift",
    nonfinite: Nonfinite = "raise",
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
) -> InferredNetwork:
    """Which series drive which, by greedy multivariate transfer entropy.

    Pairwise transfer entropy also reports links that other series explain:
    through a chain x -> y -> w, x seems to drive w, and a common driver
    seems to link its followers. Here each target j keeps only sources whose
    past tells about its next value beyond its own past and the other
    selected sources. Candidates are (source, lag) pairs, every other series
    at lags 1 .. ``max_lag``. Targets are searched in parallel, each in four
    steps:

    1. Selection: the candidate with the largest transfer entropy given the
       sources selected so far is kept when it exceeds the largest value of
       any remaining candidate on surrogates (the maximum statistic, p <
       alpha), so that the test allows for having picked the best of many.
       The search stops at the first candidate that fails, or at
       ``max_sources``.
    2. Pruning: while the weakest selected source, given the others, does
       not beat the weakest of all selected sources' surrogates (the
       minimum statistic, p >= alpha), it is dropped.
    3. An omnibus test of all selected sources together against surrogates.
    4. Benjamini-Hochberg over the targets' omnibus p-values at ``alpha``:
       a target that fails keeps no sources. Each remaining link is finally
       tested given the target's other links (``p_values``).

    What is controlled: within a target, each selection step tests at level
    ``alpha`` against the strongest of all remaining candidates, so the
    chance of adding a spurious source at a step is at most about alpha;
    across targets, the expected share of targets reported with sources
    that have none is at most alpha. Trust the result when the state space
    fits the data (see the UserWarning below), when the surrogates keep
    what the series do on their own (``method="shift"`` keeps each series'
    dynamics), and when every common driver is among the series: a hidden
    driver still links its followers.

    Parameters
    ----------
    signals : array_like, shape (m, L)
        One series per row (see the module's notes on inputs).
    n_bins : int or None, optional
        Bins per series. None picks the largest b in 2..16 for which a test
        of a source given the other sources of a target with
        ``max_sources`` sources (2 when None) fits a tenth of the samples:
        ``b ** (history * (max_sources + 1) + 1) <= L / 10``.
    history : int, optional
        Bins per past, 1 by default.
    max_lag : int, optional
        The largest lag tried for a source, 1 by default.
    alpha : float, optional
        The level of every test and the false discovery rate across targets.
    surrogates : int, optional
        Surrogates per test, 200 by default; the smallest p-value is
        ``1 / (1 + surrogates)``.
    seed : int or None, optional
        0 to 2**64 - 1; None draws one, recorded in the result. Surrogates
        come from Philox4x64-10 keyed by (seed, the kind of test) with the
        counter (target, step * 2**32 + source, k, block), so the network
        does not depend on ``workers``.
    max_sources : int or None, optional
        The most sources selected per target; None sets no limit.
    method : {"shift", "shuffle"}, optional
        As for :func:`transfer_entropy_test`; a shift here moves a source by
        ``history + max_lag`` to ``L - history - max_lag`` steps.
    nonfinite, workers, progress, client
        As for :func:`transfer_entropy_matrix`; on a cluster each task
        searches the sources of a group of targets.
    tile : int, optional
        With ``client``, targets per task; by default sized for about a
        second of work each. Ignored without ``client``.

    Returns
    -------
    InferredNetwork

    Warns
    -----
    UserWarning
        When a selected link's joint state space is more than a tenth
        occupied by distinct states: its estimates drift upwards.
    """
    array, reject = _signals(signals, nonfinite)
    steps = _in_range(history, "history", 0, _U64 - 1)
    lags = _in_range(max_lag, "max_lag", 1, 1 << 20)
    level = float(alpha)
    if not 0.0 < level < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
    count = _in_range(surrogates, "surrogates", 1, _U64 - 1)
    limit = 0 if max_sources is None else _in_range(max_sources, "max_sources", 1, _U64 - 1)
    kind = _choice(method, "method", ("shift", "shuffle"))
    key = secrets.randbits(64) if seed is None else _in_range(seed, "seed", 0, _U64 - 1)
    m, length = array.shape
    if n_bins is None:
        bins = transfer_entropy_bins(length, steps, (limit or 2) - 1)
    else:
        bins = _in_range(n_bins, "n_bins", 0, _U64 - 1)
    plan = _plan(client, tile, workers, progress)
    reach = steps + lags
    if kind == "shift" and m > 1 and length >= 3 and length > max(steps, reach - 1) and length < 2 * reach:
        raise ValueError(f"method='shift' needs series of at least 2 * (history + max_lag) = {2 * reach} steps, "
                         f"got {length}")
    settings = (steps, lags, level, count, str(kind), key, limit)

    def local(binned: _Binned, rows: NDArray[np.uint64], threads: int, report: Any) -> list[Any]:
        return _network.infer_network(binned.codes, binned.constant, bins, rows, *settings, threads, report)

    def remote(cluster: Any, binned: _Binned) -> Any:
        return cluster.infer_network(plan.client, binned, settings, plan.threads, plan.tile, progress)

    targets = _compute(plan, array, bins, reject, ("network inference", "estimate"), local, remote)
    # Benjamini-Hochberg over the omnibus p-values of the targets with
    # sources: a target that fails keeps none.
    tested = [j for j, (_, omnibus, _) in enumerate(targets) if omnibus is not None]
    omnibus_p = np.array([targets[j][1] for j in tested], dtype=np.float64)
    passed = {j for j, ok in zip(tested, _reject(omnibus_p, level, "fdr_bh")) if ok}
    adjacency = np.zeros((m, m), dtype=bool)
    te = np.zeros((m, m))
    p_values = np.full((m, m), np.nan)
    target_p = np.full(m, np.nan)
    links: list[Link] = []
    for j, (found, omnibus, counted) in enumerate(targets):
        if omnibus is not None:
            target_p[j] = omnibus
        if j not in passed:
            continue
        for source, lag, value, p, states in found:
            links.append(Link(int(source), j, int(lag), float(value), float(p)))
            _sparse_warning(states, counted, f"infer_network, link {source} -> {j} at lag {lag}")
    for (i, j), link in _strongest(tuple(links)).items():
        adjacency[i, j] = True
        te[i, j] = link.te
        p_values[i, j] = link.p_value
    return InferredNetwork(adjacency=adjacency, te=te, p_values=p_values, target_p_values=target_p,
                           links=tuple(links), n_bins=bins, history=steps, max_lag=lags, alpha=level,
                           surrogates=count, method=kind, seed=key)
