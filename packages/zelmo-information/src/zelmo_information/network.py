"""Network analysis: all-pairs matrices, significance tests and network
inference, for discrete and continuous series.

The functions here take a two-dimensional array whose rows are series (one
signal per row, time along the columns), or a labelled table of series
(a pandas DataFrame with a column per series, an xarray DataArray), and
compute a measure for every pair of series on every core, with the
interpreter lock released while the pairs are computed. A long call stops
with ``KeyboardInterrupt`` soon after Ctrl-C.

Estimators
----------
Every function takes ``estimator=``, an object or its name:

- :class:`Binned` / ``"binned"`` (the default): equal-width bins and plug-in
  counts. Every entry equals the single-pair function of
  :mod:`zelmo_information` on the same rows, to the last bit. Exact on
  discrete states; on continuous data a coarse bin keeps only part of what a
  series carries, and what a conditioning series keeps back can leave weak
  false links that grow with the data.
- :class:`Gaussian` / ``"gaussian"``: linear Gaussian estimates from
  covariances; the standard for continuous signals whose couplings are
  linear (EEG, fMRI, prices).
- :class:`GaussianCopula` / ``"copula"``: the Gaussian estimator on the
  normal scores of each series' ranks; sees monotonic couplings however
  nonlinear, and is robust to outliers.
- :class:`KSG` / ``"ksg"``: nearest-neighbour (Kraskov-Stögbauer-Grassberger)
  estimates on standardised series; sees couplings of any shape, at the
  cost of surrogate tests only. Its estimates may be negative and are
  reported as they are.

``n_bins=`` is shorthand for ``Binned(n_bins)``; giving it with another
estimator is a ``ValueError``.

Inputs
------
``signals`` is one of:

- anything that ``numpy.asarray(signals, dtype=numpy.float64)`` turns into a
  two-dimensional array, **one series per row**: a float64 array of any
  memory layout, another real dtype, or nested lists. The entries of a
  masked array that are masked count as missing; the values underneath are
  never read. An array with more rows than columns (and at least 10 rows)
  draws a ``UserWarning``: it reads as many short series, and is more
  likely a table whose series are its columns (pass its transpose).
- a ``pandas.DataFrame``, read as pandas lays out series: **one series per
  column, time down the index**. Its columns must hold real numbers
  (booleans, integers, floats, pandas' nullable types, whose missing values
  count as NaN). The rows are taken in the order given: sort the index
  first, and leave missing times as rows of NaN rather than dropping them
  (``df.asfreq("D")`` makes them for a daily index).
- an ``xarray.DataArray`` of two dimensions: time along ``time_dim=`` (by
  default the dimension named ``"time"``, when there is one), the series
  along the other, labelled by that dimension's coordinate.

pandas and xarray are never imported unless such an object is passed. With
labelled input, the labels name the series everywhere: error messages name
the column and the time of the first missing value; the matrices of
:func:`transfer_entropy_matrix` and :func:`mutual_information_matrix` come
back as a DataFrame (index ``"source"``, columns ``"target"``) for a
DataFrame and as a DataArray for a DataArray; the results of
:func:`transfer_entropy_test` and :func:`infer_network` carry ``labels``,
and their tables, plots and graphs use them.

``nonfinite="raise"`` (the default) raises ``ValueError`` naming the first
series (the row, or the column label) that holds NaN or an infinity. ``nonfinite="skip"`` leaves out every time step
at which a value it uses (the target's next value, or any past or condition)
is NaN or infinite: the rows keep their alignment in time, and results
report the steps counted. With the binned estimator, ``nonfinite="bin"`` bins
such values as the single-pair functions do (NaN in bin 0; an infinity makes
its row's range infinite, which puts the whole row in bin 0).

Bins
----
The binned estimator bins every row once into ``n_bins`` equal-width bins
over its own range, by the scaled rule of the single-pair functions.
``n_bins=None`` chooses the count from the length L of the series so that
the joint states can be filled: for transfer entropy with history h the
largest b in 2..16 with b ** (2 h + 1) <= L / 10; for mutual information the
largest b in 2..64 with b ** 2 <= L / 10; 2 when no b fits. Plug-in
estimates over state spaces the samples cannot fill are biased upwards: 16
bins at history 1 need well over 40,000 samples.

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
and any machine. The Gaussian estimators also offer ``null="analytic"``: for
Gaussian series without coupling, 2 N I (in nats, N the steps counted)
follows the chi-squared distribution with as many degrees of freedom as the
source has values, so no surrogates are needed.

Clusters
--------
``client=`` takes a ``dask.distributed.Client`` (``pip install
'zelmo-information[distributed]'``) and runs the work on its cluster: a
laptop's ``LocalCluster``, Slurm or PBS through dask-jobqueue, Kubernetes.
The rows are prepared here, once (binned: 8-bit integers for up to 256
bins), and broadcast to every worker. The matrices and the test are split
into tiles of sources x targets, inference into groups of targets; each is
one task, run on its worker's cores (``workers`` sets the threads per task),
sized for about a second of work unless ``tile`` says otherwise. Every value
depends only on its rows, the settings and the seed, so the result equals
the local call's to the last bit, also when the scheduler reruns the tasks
of a worker that was lost. ``progress=True`` counts the tasks.
"""

from __future__ import annotations

import dataclasses
import math
import warnings
from collections.abc import Hashable, Sequence
from typing import Any, Literal, Protocol, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _backend, _checks, _jobs, _labels, _network
from ._checks import U64
from ._estimators import KSG, Binned, Estimator, Gaussian, GaussianCopula, resolve
from ._results import InferredNetwork, Link, TransferEntropyTest, reject, strongest

__all__ = [
    "Binned",
    "Estimator",
    "Gaussian",
    "GaussianCopula",
    "InferredNetwork",
    "KSG",
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

Nonfinite = Literal["raise", "bin", "skip"]
Method = Literal["shift", "shuffle"]
Null = Literal["surrogates", "analytic"]
EstimatorLike = Estimator | Literal["binned", "gaussian", "copula", "ksg"]

_MAX_MI_BINS = 1 << 31


# ---------------------------------------------------------------------------
# Bins


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
    samples = _checks.in_range(length, "length", 0, U64 - 1)
    steps = _checks.in_range(history, "history", 0, U64 - 1)
    extra = _checks.in_range(conditions, "conditions", 0, U64 - 1)
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
    samples = _checks.in_range(length, "length", 0, U64 - 1)
    fits = [b for b in range(2, 65) if 10 * b * b <= samples]
    return fits[-1] if fits else 2


def _bins(estimator: Estimator, automatic: int, low: int = 0, high: int = U64 - 1) -> int | None:
    """The binned estimator's bin count (its own, or `automatic`); None for
    the others."""
    if not isinstance(estimator, Binned):
        return None
    if estimator.n_bins is None:
        return automatic
    return _checks.in_range(estimator.n_bins, "n_bins", low, high)


def _nonfinite(estimator: Estimator, value: object) -> str:
    mode = _checks.nonfinite(value)
    if mode not in estimator.nonfinite:
        allowed = " or ".join(repr(a) for a in estimator.nonfinite)
        raise ValueError(f"nonfinite={mode!r} does not apply to the {estimator.name} estimator; use {allowed}")
    return mode


def _null(estimator: Estimator, null: object) -> bool:
    """Whether p-values come from the analytic null."""
    analytic = _checks.choice(null, "null", ("surrogates", "analytic")) == "analytic"
    if analytic and not estimator.analytic:
        raise ValueError(f"the {estimator.name} estimator has no analytic null; use null='surrogates'")
    return analytic


def _prepare(estimator: Estimator, array: NDArray[np.float64], mode: str, bins: int | None) -> _backend.Prepare:
    return lambda threads, report: estimator.prepare(array, mode, bins, threads, report)


def _checked(rows: _labels.Rows, mode: str) -> NDArray[np.float64]:
    """The rows' array; with ``nonfinite="raise"`` a labelled input is
    checked here, so that the message names the series."""
    if mode == "raise" and rows.labels is not None:
        rows.finite()
    return rows.array


def _shaped(rows: _labels.Rows, matrix: NDArray[Any]) -> Any:
    """A matrix as the input was given: an array for an array, a labelled
    DataFrame for a DataFrame, a DataArray for a DataArray."""
    if rows.labels is None:
        return matrix
    return _labels.matrix(matrix, rows.labels, rows.kind)


class _Table(Protocol):
    """What a type checker sees of a DataFrame: it has columns."""

    @property
    def columns(self) -> Any: ...


class _Grid(Protocol):
    """What a type checker sees of a DataArray: it has dimensions."""

    @property
    def dims(self) -> Any: ...


# ---------------------------------------------------------------------------
# Matrices


# A DataFrame or DataArray gives matrices of its own kind.
@overload
def transfer_entropy_matrix(signals: _Table | _Grid, n_bins: int | None = None, history: int = 1, *,
                            estimator: EstimatorLike = "binned", nonfinite: Nonfinite = "raise",
                            time_dim: Hashable | None = None, workers: int | None = None, progress: bool = False,
                            client: Any = None, tile: int | None = None, return_steps: bool = False) -> Any: ...
@overload
def transfer_entropy_matrix(signals: ArrayLike, n_bins: int | None = None, history: int = 1, *,
                            estimator: EstimatorLike = "binned", nonfinite: Nonfinite = "raise",
                            time_dim: Hashable | None = None, workers: int | None = None, progress: bool = False,
                            client: Any = None,
                            tile: int | None = None, return_steps: Literal[False] = False) -> NDArray[np.float64]: ...
@overload
def transfer_entropy_matrix(signals: ArrayLike, n_bins: int | None = None, history: int = 1, *,
                            estimator: EstimatorLike = "binned", nonfinite: Nonfinite = "raise",
                            time_dim: Hashable | None = None, workers: int | None = None, progress: bool = False,
                            client: Any = None,
                            tile: int | None = None,
                            return_steps: Literal[True]) -> tuple[NDArray[np.float64], NDArray[np.int64]]: ...


def transfer_entropy_matrix(
    signals: ArrayLike | _Table | _Grid,
    n_bins: int | None = None,
    history: int = 1,
    *,
    estimator: EstimatorLike = "binned",
    nonfinite: Nonfinite = "raise",
    time_dim: Hashable | None = None,
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
    return_steps: bool = False,
) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.int64]]:
    """Transfer entropy between every ordered pair of rows, in bits.

    Parameters
    ----------
    signals : array_like of shape (m, L), pandas.DataFrame or xarray.DataArray
        An array: one series per row. A DataFrame: one series per column,
        time down the index (L rows, m columns). A DataArray: time along
        ``time_dim``, the series along its other dimension. Labels are kept
        (see the module's notes on inputs).
    n_bins : int or None, optional
        Bins per series of the binned estimator. None (the default) picks the
        largest b in 2..16 with ``b ** (2 * history + 1) <= L / 10`` (2 when
        none fits). An integer is used as ``transfer_entropy`` uses it (0 and
        1 give zeros).
    history : int, optional
        Past values of the target and of the source, 1 by default; any
        non-negative integer.
    estimator : Estimator or {"binned", "gaussian", "copula", "ksg"}, optional
        How the entries are estimated (see the module's notes).
    nonfinite : {"raise", "skip", "bin"}, optional
        What NaN and infinities do: raise ``ValueError`` (the default), leave
        out the steps that use them, or (binned) go into bins as in the
        single-pair functions.
    time_dim : hashable, optional
        For a DataArray, the name of its time dimension; ``"time"`` when it
        has a dimension of that name. Only for DataArrays.
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
        'zelmo-information[distributed]'``): the rows are prepared here,
        sent once to every worker, and the matrix is computed in tiles of
        sources x targets, one task each. The result is the same to the
        last bit. See :mod:`zelmo_information.network`, "Clusters".
    tile : int, optional
        With ``client``, rows per side of a tile; by default tiles are
        sized for about a second of work each. Ignored without ``client``.
    return_steps : bool, optional
        Also return the steps each entry counted.

    Returns
    -------
    numpy.ndarray, shape (m, m), float64, C-contiguous
        Entry ``[i, j]`` is T(row i -> row j); the diagonal is 0.0. With the
        binned estimator it equals ``batch_transfer_entropy_py(signals,
        n_bins, history)[i][j]`` bit for bit. For a DataFrame, the same
        values as a DataFrame whose index (``"source"``) and columns
        (``"target"``) are its column labels; for a DataArray, a DataArray
        of dimensions ``("source", "target")`` with its labels.
    numpy.ndarray, shape (m, m), int64
        With ``return_steps``, the steps each entry counted (labelled like
        the values).

    Warns
    -----
    UserWarning
        For an array with more rows than columns (at least 10): rows are
        series, so it is read as many short series, which is more likely a
        table of series in columns (pass its transpose, or a DataFrame).

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
    chosen = resolve(estimator, n_bins)
    rows = _labels.rows(signals, time_dim)
    mode = _nonfinite(chosen, nonfinite)
    array = _checked(rows, mode)
    steps = _checks.in_range(history, "history", 0, U64 - 1)
    bins = _bins(chosen, transfer_entropy_bins(array.shape[1], steps) if isinstance(chosen, Binned) else 0)
    plan = _backend.Plan.of(client, tile, workers, progress)
    out = _backend.pairs(plan, _prepare(chosen, array, mode, bins), _jobs.TransferMatrix(steps))
    te = _shaped(rows, np.ascontiguousarray(out[0]))
    return (te, _shaped(rows, out[1].astype(np.int64))) if return_steps else te


@overload
def mutual_information_matrix(signals: _Table | _Grid, n_bins: int | None = None, *,
                              estimator: EstimatorLike = "binned", nonfinite: Nonfinite = "raise",
                              time_dim: Hashable | None = None, workers: int | None = None, progress: bool = False,
                              client: Any = None, tile: int | None = None, return_steps: bool = False) -> Any: ...
@overload
def mutual_information_matrix(signals: ArrayLike, n_bins: int | None = None, *, estimator: EstimatorLike = "binned",
                              nonfinite: Nonfinite = "raise", time_dim: Hashable | None = None,
                              workers: int | None = None, progress: bool = False,
                              client: Any = None, tile: int | None = None,
                              return_steps: Literal[False] = False) -> NDArray[np.float64]: ...
@overload
def mutual_information_matrix(signals: ArrayLike, n_bins: int | None = None, *, estimator: EstimatorLike = "binned",
                              nonfinite: Nonfinite = "raise", time_dim: Hashable | None = None,
                              workers: int | None = None, progress: bool = False,
                              client: Any = None, tile: int | None = None,
                              return_steps: Literal[True]) -> tuple[NDArray[np.float64], NDArray[np.int64]]: ...


def mutual_information_matrix(
    signals: ArrayLike | _Table | _Grid,
    n_bins: int | None = None,
    *,
    estimator: EstimatorLike = "binned",
    nonfinite: Nonfinite = "raise",
    time_dim: Hashable | None = None,
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
    return_steps: bool = False,
) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.int64]]:
    """Mutual information between every pair of rows, in bits.

    Parameters
    ----------
    signals : array_like of shape (m, L), pandas.DataFrame or xarray.DataArray
        As for :func:`transfer_entropy_matrix`.
    n_bins : int or None, optional
        Bins per series of the binned estimator, 1 to 2**31. None (the
        default) picks the largest b in 2..64 with ``b ** 2 <= L / 10`` (2
        when none fits).
    estimator, nonfinite, time_dim, workers, progress, client, tile, return_steps
        As for :func:`transfer_entropy_matrix`; a cluster computes the tiles
        on and above the diagonal.

    Returns
    -------
    numpy.ndarray, shape (m, m), float64, C-contiguous, symmetric
        Binned: entry ``[i, j]`` for ``i <= j`` equals ``mutual_information(row
        i, row j, n_bins)`` bit for bit and is mirrored to ``[j, i]``; the
        diagonal holds each row's information with itself (its binned
        entropy). Gaussian and copula: ``-1/2 log2(1 - rho^2)`` with rho the
        pair's correlation over the steps both rows have; a row with itself
        gives the largest value, 1/2 log2(1e12), and a row without spread 0.
        KSG: algorithm 1 over the steps both rows have (0.0 with at most k of
        them); it may be negative. A row with itself gives psi(N) - psi(k)
        (in bits) when its values are distinct. For a DataFrame or
        DataArray, labelled as by :func:`transfer_entropy_matrix`.
    numpy.ndarray, shape (m, m), int64
        With ``return_steps``, the steps each entry counted.
    """
    chosen = resolve(estimator, n_bins)
    rows = _labels.rows(signals, time_dim)
    mode = _nonfinite(chosen, nonfinite)
    array = _checked(rows, mode)
    bins = _bins(chosen, mutual_information_bins(array.shape[1]) if isinstance(chosen, Binned) else 0, 1,
                 _MAX_MI_BINS)
    plan = _backend.Plan.of(client, tile, workers, progress)
    if isinstance(chosen, Binned) and _pair_by_pair(plan, array.shape, mode, bins):
        mi = np.empty((array.shape[0], array.shape[0]))
        # A private copy where the rows are not contiguous already.
        _network.mutual_pairs(np.ascontiguousarray(array), bins, mode, plan.local_threads(), None, mi)
        counted = np.full(mi.shape, array.shape[1], dtype=np.int64)
        return (_shaped(rows, mi), _shaped(rows, counted)) if return_steps else _shaped(rows, mi)
    out = _backend.pairs(plan, _prepare(chosen, array, mode, bins), _jobs.MutualMatrix())
    mi = _shaped(rows, np.ascontiguousarray(out[0]))
    return (mi, _shaped(rows, out[1].astype(np.int64))) if return_steps else mi


def _pair_by_pair(plan: _backend.Plan, shape: tuple[int, int], mode: str, bins: int) -> bool:
    """Whether a binned matrix of few rows is cheaper pair by pair. A pair
    binned and counted at once costs about two passes over a row, and gives
    both rows' information with themselves; the matrix bins and stores each
    row (about five passes) and then counts each pair (one). Below nine rows,
    with bins that fit a small table, pairs cost less. A pair is one unit
    of work, checked for Ctrl-C only between units: rows of more than 2**25
    values take the matrix, whose units are shorter."""
    m, length = shape
    return (plan.client is None and not plan.progress and mode != "skip" and 0 < m <= 8 and bins <= 256
            and length <= 1 << 25)


# ---------------------------------------------------------------------------
# Surrogate test


def transfer_entropy_test(
    signals: ArrayLike | _Table | _Grid,
    n_bins: int | None = None,
    history: int = 1,
    *,
    estimator: EstimatorLike = "binned",
    null: Null = "surrogates",
    surrogates: int = 1000,
    method: Method = "shift",
    seed: int | None = None,
    nonfinite: Nonfinite = "raise",
    time_dim: Hashable | None = None,
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    tile: int | None = None,
) -> TransferEntropyTest:
    """Transfer entropy between every ordered pair of rows, with p-values
    from surrogate sources or from an analytic null.

    For each ordered pair (i, j) the source row i is replaced ``surrogates``
    times by a surrogate, and the transfer entropy of each surrogate into
    row j forms the null distribution of the observed value: what finite
    samples give with the same values and no coupling.

    Parameters
    ----------
    signals, n_bins, history, estimator, nonfinite, time_dim, workers, progress, client, tile
        As for :func:`transfer_entropy_matrix`; the result's ``labels`` name
        the series. On a cluster the result is
        the same to the last bit: a pair's surrogates are named by its rows,
        not by the tile that computes them.
    null : {"surrogates", "analytic"}, optional
        ``"surrogates"`` (the default) tests against surrogate sources;
        ``"analytic"`` (Gaussian and copula estimators) takes the p-value
        from the chi-squared distribution of ``2 N te`` (te in nats, N the
        steps counted) with ``history`` degrees of freedom, which holds for
        Gaussian series whose target residual is white given its past.
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
        ``te``, ``p_values``, ``null_mean``, ``null_std``, ``effective_te``,
        ``steps`` and the settings; ``significant()`` applies a
        multiple-testing correction.

    Notes
    -----
    The surrogates of pair (i, j) come from Philox4x64-10 (Salmon et al.,
    2011) keyed by ``(seed, 1)`` for "shift" or ``(seed, 2)`` for "shuffle",
    with the counter ``(i, j, k, block)`` for surrogate k: a shift draws
    ``d`` from the first words of its stream (Lemire's unbiased method), a
    shuffle draws a Fisher-Yates permutation from the last position down.
    Binned observed and null values are compared exactly: both are computed
    from one table of fixed-point ``c log2 c`` terms, so equal counts give
    equal values. The returned ``te`` is the single-pair estimate.
    """
    chosen = resolve(estimator, n_bins)
    rows = _labels.rows(signals, time_dim)
    mode = _nonfinite(chosen, nonfinite)
    array = _checked(rows, mode)
    steps = _checks.in_range(history, "history", 0, U64 - 1)
    analytic = _null(chosen, null)
    count = _checks.surrogates(surrogates)
    kind = _checks.choice(method, "method", ("shift", "shuffle"))
    key = _checks.seed(seed)
    length = array.shape[1]
    bins = _bins(chosen, transfer_entropy_bins(length, steps) if isinstance(chosen, Binned) else 0)
    plan = _backend.Plan.of(client, tile, workers, progress)
    if not analytic and kind == "shift" and length >= 3 and length > steps:
        _checks.shift_length(length, steps + 1, "2 * history + 2")
    settings = _network.TestSettings(history=steps, surrogates=count, method=kind, seed=key, analytic=analytic)
    out = _backend.pairs(plan, _prepare(chosen, array, mode, bins), _jobs.SurrogateTest(settings))
    te, p_values, null_mean, null_std, counted = (np.ascontiguousarray(layer) for layer in out)
    return TransferEntropyTest(te=te, p_values=p_values, null_mean=null_mean, null_std=null_std, n_bins=bins,
                               history=steps, surrogates=count, method=kind, seed=key,
                               steps=counted.astype(np.int64), estimator=chosen.name,
                               estimator_settings=chosen.settings(),
                               null="analytic" if analytic else "surrogates", labels=rows.labels)


# ---------------------------------------------------------------------------
# Multivariate transfer entropy


def _sparse_warning(states: int, steps: int, what: str) -> None:
    if steps and states * 10 > steps:
        warnings.warn(
            f"{what}: {states} joint states were observed in {steps} steps, more than a tenth of the "
            "steps; plug-in estimates over state spaces the samples cannot fill drift upwards. "
            "Use fewer bins, a shorter history or fewer conditions.",
            UserWarning,
            stacklevel=3,
        )


def _lag(value: object, name: str) -> int:
    return _checks.in_range(value, name, 1, _checks.MAX_LAG)


@overload
def conditional_transfer_entropy(source: ArrayLike, target: ArrayLike, conditions: ArrayLike,
                                 n_bins: int | None = None, history: int = 1, *,
                                 estimator: EstimatorLike = "binned", lag: int = 1,
                                 condition_lags: Sequence[int] | None = None,
                                 target_lags: Sequence[int] | None = None, nonfinite: Nonfinite = "raise",
                                 time_dim: Hashable | None = None, return_steps: Literal[False] = False) -> float: ...
@overload
def conditional_transfer_entropy(source: ArrayLike, target: ArrayLike, conditions: ArrayLike,
                                 n_bins: int | None = None, history: int = 1, *,
                                 estimator: EstimatorLike = "binned", lag: int = 1,
                                 condition_lags: Sequence[int] | None = None,
                                 target_lags: Sequence[int] | None = None, nonfinite: Nonfinite = "raise",
                                 time_dim: Hashable | None = None,
                                 return_steps: Literal[True]) -> tuple[float, int]: ...


def conditional_transfer_entropy(
    source: ArrayLike,
    target: ArrayLike,
    conditions: ArrayLike,
    n_bins: int | None = None,
    history: int = 1,
    *,
    estimator: EstimatorLike = "binned",
    lag: int = 1,
    condition_lags: Sequence[int] | None = None,
    target_lags: Sequence[int] | None = None,
    nonfinite: Nonfinite = "raise",
    time_dim: Hashable | None = None,
    return_steps: bool = False,
) -> float | tuple[float, int]:
    """Transfer entropy from ``source`` to ``target`` given the pasts of
    conditioning series, in bits.

    Binned: the sum over observed states of p(a, b, s, z) log2[p(a | b, s, z)
    / p(a | b, z)], where a is the target's next bin, b the target's past,
    s the source's past and z the pasts of the rows of ``conditions``; each
    term is formed from counts as ``transfer_entropy`` forms its terms,
    the terms are summed in ascending (a, b, s, z) order, and the result is
    clamped at 0. With no conditions (shape (0, L)) and ``lag=1`` it equals
    ``transfer_entropy(source, target, n_bins, history)`` bit for bit.
    Gaussian and copula: I(A; S | B, Z) from the covariance of those
    variables (see :class:`Gaussian`). KSG: I(A; S | B, Z) by the
    conditional nearest-neighbour form (see :class:`KSG`), which may be
    negative and is returned as it is (0.0 when at most k steps count).

    Parameters
    ----------
    source, target : array_like, 1-D, pandas.Series or xarray.DataArray
        The series. The binned estimator bins each over its own full length
        by the scaled rule of ``transfer_entropy``. A Series' name labels
        it in messages. Series are taken by position, as arrays are: their
        indexes are not aligned.
    conditions : array_like of shape (k, L), pandas.DataFrame or xarray.DataArray
        One conditioning series per row of an array, per column of a
        DataFrame (as for :func:`transfer_entropy_matrix`).
    n_bins : int or None, optional
        Bins per series of the binned estimator, 16 when None (the default);
        any non-negative integer.
    history : int, optional
        Values per past, 1 by default.
    estimator : Estimator or {"binned", "gaussian", "copula", "ksg"}, optional
        How the value is estimated (see :mod:`zelmo_information.network`).
    lag : int, optional
        The source's past ends ``lag`` steps before the predicted step (1,
        the default, is the step just before); at most 2**20.
    condition_lags : sequence of int, optional
        The lag of each condition's past, all 1 by default; each at most
        2**20.
    target_lags : sequence of int, optional
        The single lags of the target's own past to condition on, in place
        of its last ``history`` values (needs ``history=1``): the past that
        :func:`infer_network` selects, as its ``target_history`` reports it.
        An empty sequence conditions on none of the target's past.
    nonfinite : {"raise", "skip", "bin"}, optional
        As for :func:`transfer_entropy_matrix`.
    time_dim : hashable, optional
        The time dimension of ``conditions`` when it is a DataArray.
    return_steps : bool, optional
        Also return the steps counted.

    Returns
    -------
    float
        n is the shortest length of the series; steps are counted from the
        first one at which every past lies inside the series (and, with
        ``nonfinite="skip"``, every value it uses is present). 0.0 when
        n < 3, n <= history or no step is counted.
    int
        With ``return_steps``, the steps counted.

    Warns
    -----
    UserWarning
        Binned, with conditions: when more joint states are observed than a
        tenth of the counted steps; the estimate is then biased upwards.
    """
    chosen = resolve(estimator, n_bins)
    if isinstance(chosen, Binned) and chosen.n_bins is None:
        chosen = Binned(16)
    mode = _nonfinite(chosen, nonfinite)
    x, x_label, x_times = _labels.series(source, "source")
    y, y_label, y_times = _labels.series(target, "target")
    given = _labels.rows(conditions, time_dim, "conditions")
    z = given.array
    if mode == "raise":
        for name, label, times, values in (("source", x_label, x_times, x), ("target", y_label, y_times, y)):
            if not np.isfinite(values).all():
                t = int(np.argmin(np.isfinite(values)))
                where = _labels.at(times, t)
                raise ValueError(f"{_labels.described(name, label)} holds NaN or an infinity (first at {where}); "
                                 "clean the data, or pass nonfinite='skip' to leave out the steps that use such "
                                 "values")
        if given.labels is None:
            _checks.finite_rows(z, "conditions")
        else:
            given.finite()
    steps = _checks.in_range(history, "history", 0, U64 - 1)
    delay = _lag(lag, "lag")
    if condition_lags is None:
        lags = [1] * z.shape[0]
    else:
        lags = [_lag(v, "condition_lags") for v in condition_lags]
        if len(lags) != z.shape[0]:
            raise ValueError(f"condition_lags has {len(lags)} lags for {z.shape[0]} conditions")
    own: list[int] | None = None
    if target_lags is not None:
        if steps != 1:
            raise ValueError("target_lags selects single lags of the target's past: it needs history=1")
        own = [_lag(v, "target_lags") for v in target_lags]
    if isinstance(chosen, Binned):
        bins = _checks.in_range(chosen.n_bins, "n_bins", 0, U64 - 1)
        spec = _network.Estimator("binned", bins)
        # Private copies: the series are read with the interpreter lock
        # released, where no Python code may change them.
        x, y, z = np.array(x), np.array(y), np.array(z)
    else:
        n = min([x.size, y.size] + ([z.shape[1]] if z.shape[0] else []))
        rows = np.vstack([x[:n], y[:n], z[:, :n]]) if z.shape[0] else np.vstack([x[:n], y[:n]])
        prepared = chosen.prepare(rows, mode, None, 1, None)
        spec = prepared.spec
        x, y, z = prepared.rows[0], prepared.rows[1], prepared.rows[2:]
    te, states, counted = _network.conditional_transfer_entropy(spec, x, y, z, steps, delay, lags, own)
    if isinstance(chosen, Binned) and z.shape[0]:
        _sparse_warning(states, counted, "conditional_transfer_entropy")
    return (float(te), int(counted)) if return_steps else float(te)


def infer_network(
    signals: ArrayLike | _Table | _Grid,
    n_bins: int | None = None,
    history: int = 1,
    *,
    estimator: EstimatorLike = "binned",
    max_lag: int = 5,
    max_history: int | Literal["auto"] | None = "auto",
    null: Null = "surrogates",
    alpha: float = 0.05,
    surrogates: int = 200,
    seed: int | None = None,
    max_sources: int | None = None,
    method: Method = "shift",
    nonfinite: Nonfinite = "raise",
    time_dim: Hashable | None = None,
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
    at lags 1 .. ``max_lag``. Targets are searched in parallel, each in
    these steps:

    0. The target's own past: its lags 1 .. ``max_history`` are candidates,
       selected as in step 1 (each against the strongest of the remaining
       lags on surrogates), and every later test conditions on those
       selected. With ``max_history=None`` the target's past is instead its
       last ``history`` values.
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
    4. Benjamini-Hochberg over every target's p-value at ``alpha``: a target
       that fails keeps no sources. Each remaining link is finally tested
       given the target's other links (``p_values``).

    What is controlled: within a target, each selection step tests at level
    ``alpha`` against the strongest of all remaining candidates, so the
    chance of adding a spurious source at a step is at most about alpha;
    across targets, each target's p-value (that of its first selection step,
    or the omnibus test's if larger) enters Benjamini-Hochberg, which keeps
    the chance of reporting any link in a network of independent series at
    about alpha. Trust the result when the estimator fits the data (binned:
    see the UserWarning below), when the surrogates keep what the series do
    on their own (``method="shift"`` keeps each series' dynamics), when the
    target's own past is conditioned on enough (``max_history``), and when
    every common driver is among the series: a hidden driver still links its
    followers.

    Parameters
    ----------
    signals : array_like of shape (m, L), pandas.DataFrame or xarray.DataArray
        As for :func:`transfer_entropy_matrix`; the result's ``labels`` name
        the series.
    n_bins : int or None, optional
        Bins per series of the binned estimator. None picks the largest b in
        2..16 for which a test of a source given the other sources of a
        target with ``max_sources`` sources (2 when None) fits a tenth of the
        samples: ``b ** (history * (max_sources + 1) + 1) <= L / 10``.
    history : int, optional
        Values per past of a source (and of the target, without
        ``max_history``), 1 by default.
    estimator : Estimator or {"binned", "gaussian", "copula", "ksg"}, optional
        How each conditional transfer entropy is estimated.
    max_lag : int, optional
        The largest lag tried for a source, 5 by default (a link of delay d
        needs max_lag >= d to be found).
    max_history : int, "auto" or None, optional
        Select the target's own past among its lags 1 .. max_history (needs
        ``history=1``). None conditions every test on the target's last
        ``history`` values instead. ``"auto"`` (the default) selects among
        lags 1 .. ``max_lag`` when ``history`` is 1, and keeps the given
        ``history`` otherwise. A past left unconditioned makes sources that
        carry it look like drivers, the more significantly the longer the
        series.
    null : {"surrogates", "analytic"}, optional
        ``"analytic"`` (Gaussian and copula estimators): p-values from the
        chi-squared null of ``2 N te``; a selection step's p-value is then
        ``1 - (1 - p) ** K`` for the strongest of K candidates (which bounds
        the maximum's p-value for Gaussian statistics however correlated),
        pruning uses the weakest source's own p-value.
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
    nonfinite, time_dim, workers, progress, client
        As for :func:`transfer_entropy_matrix`; on a cluster each task
        searches the sources of a group of targets. The progress bar counts
        estimates towards an estimate of their total (a search's length
        depends on what it finds), raised as the search goes on.
    tile : int, optional
        With ``client``, targets per task; by default sized for about a
        second of work each. Ignored without ``client``.

    Returns
    -------
    InferredNetwork

    Warns
    -----
    UserWarning
        Binned: when a selected link's joint state space is more than a
        tenth occupied by distinct states (its estimates drift upwards).
    """
    chosen = resolve(estimator, n_bins)
    rows = _labels.rows(signals, time_dim)
    mode = _nonfinite(chosen, nonfinite)
    array = _checked(rows, mode)
    steps = _checks.in_range(history, "history", 0, U64 - 1)
    lags = _checks.in_range(max_lag, "max_lag", 1, _checks.MAX_LAG)
    if isinstance(max_history, str) and max_history == "auto":
        own = lags if steps == 1 else 0
    else:
        own = 0 if max_history is None else _checks.in_range(max_history, "max_history", 1, _checks.MAX_LAG)
    if own and steps != 1:
        raise ValueError("max_history selects single lags of the target's past: it needs history=1")
    analytic = _null(chosen, null)
    level = _checks.level(alpha)
    count = _checks.surrogates(surrogates)
    limit = 0 if max_sources is None else _checks.in_range(max_sources, "max_sources", 1, U64 - 1)
    kind = _checks.choice(method, "method", ("shift", "shuffle"))
    key = _checks.seed(seed)
    m, length = array.shape
    automatic = transfer_entropy_bins(length, steps, (limit or 2) - 1) if isinstance(chosen, Binned) else 0
    bins = _bins(chosen, automatic)
    plan = _backend.Plan.of(client, tile, workers, progress)
    reach = steps + max(lags, own)
    if not analytic and kind == "shift" and m > 1 and length >= 3 and length > max(steps, reach - 1):
        _checks.shift_length(length, reach, "2 * (history + max_lag)")
    # The smallest p-value, 1 / (1 + surrogates), must reach alpha / m for a
    # lone target with sources to pass the correction across the targets.
    needed = math.ceil(m / level) - 1
    if not analytic and m > 1 and count < needed:
        warnings.warn(f"with {count} surrogates the smallest p-value, {1 / (1 + count):.3g}, exceeds alpha / m = "
                      f"{level / m:.3g}: a target passes the correction across {m} targets only beside others "
                      f"that pass; use at least {needed} surrogates for one to pass alone", UserWarning, stacklevel=2)
    settings = _network.InferenceSettings(history=steps, target_history=0 if own else steps, max_lag=lags,
                                          max_history=own, alpha=level, surrogates=count, method=kind, seed=key,
                                          max_sources=limit, analytic=analytic, sequential=chosen.sequential)
    targets = _backend.targets(plan, _prepare(chosen, array, mode, bins), _jobs.Inference(settings), m)
    net = _network_of(targets, m, chosen, bins, settings, rows.labels)
    if isinstance(chosen, Binned) or not net.links:
        return net
    values = chosen.prepare(array, mode, None, plan.local_threads(), None).rows
    return dataclasses.replace(net, links=_signed(values, net.links, steps, net.target_history))


def _signed(values: NDArray[np.float64], links: tuple[Link, ...], history: int,
            target_history: tuple[tuple[int, ...], ...]) -> tuple[Link, ...]:
    """The links with their signs: for each, the linear regression of the
    target's next value on its own past, the pasts of its other links and
    the link's source past (``history`` values ending ``lag`` steps back),
    over the steps where all are present; the sign of the sum of the
    source's coefficients. For one value of the past that is the sign of the
    partial correlation given the rest, which is what the Gaussian estimate
    of the link measures."""
    length = values.shape[1]
    out = []
    for link in links:
        j = link.target
        others = [(k.source, k.lag) for k in links if k.target == j and k is not link]
        columns = [(j, lag) for lag in target_history[j]]
        for source, lag in others:
            columns += [(source, lag + q) for q in range(history)]
        own = [(link.source, link.lag + q) for q in range(history)]
        reach = max(lag for _, lag in columns + own)
        if not own or reach >= length:
            out.append(link)
            continue
        design = np.column_stack([np.ones(length - reach)]
                                 + [values[row, reach - lag:length - lag] for row, lag in columns + own])
        response = values[j, reach:]
        present = np.isfinite(design).all(axis=1) & np.isfinite(response)
        if present.sum() <= design.shape[1]:
            out.append(link)
            continue
        coefficients = np.linalg.lstsq(design[present], response[present], rcond=None)[0]
        total = float(coefficients[-len(own):].sum())
        out.append(link._replace(sign=int(np.sign(total))))
    return tuple(out)


def _network_of(targets: list[Any], m: int, chosen: Estimator, bins: int | None, settings: Any,
                labels: tuple[Hashable, ...] | None = None) -> InferredNetwork:
    """The network from every target's search: Benjamini-Hochberg over the
    targets' p-values (a target that fails keeps no sources), then the
    arrays of the links."""
    level = settings.alpha
    target_p = np.full(m, np.nan)
    for j, found in enumerate(targets):
        if found.first_p is not None:
            target_p[j] = found.first_p if found.omnibus_p is None else max(found.first_p, found.omnibus_p)
    tested = np.nonzero(~np.isnan(target_p))[0]
    passed = set(tested[reject(target_p[tested], level, "fdr_bh")].tolist())
    adjacency = np.zeros((m, m), dtype=bool)
    te = np.zeros((m, m))
    p_values = np.full((m, m), np.nan)
    links: list[Link] = []
    for j, found in enumerate(targets):
        if j not in passed:
            continue
        for link in found.links:
            links.append(Link(int(link.source), j, int(link.lag), float(link.te), float(link.p_value)))
            if isinstance(chosen, Binned):
                _sparse_warning(link.states, found.steps, f"infer_network, link {link.source} -> {j} at lag {link.lag}")
    for (i, j), link in strongest(tuple(links)).items():
        adjacency[i, j] = True
        te[i, j] = link.te
        p_values[i, j] = link.p_value
    own = settings.max_history
    history = tuple(tuple(int(h) for h in found.history) if own else tuple(range(1, settings.history + 1))
                    for found in targets)
    return InferredNetwork(adjacency=adjacency, te=te, p_values=p_values, target_p_values=target_p,
                           links=tuple(links), n_bins=bins, history=settings.history, max_lag=settings.max_lag,
                           alpha=level, surrogates=settings.surrogates, method=settings.method, seed=settings.seed,
                           target_history=history, steps=np.array([found.steps for found in targets], dtype=np.int64),
                           estimator=chosen.name, null="analytic" if settings.analytic else "surrogates",
                           estimator_settings=chosen.settings(),
                           max_history=own or None, labels=labels,
                           surrogates_drawn=np.array([found.surrogates for found in targets], dtype=np.int64))
