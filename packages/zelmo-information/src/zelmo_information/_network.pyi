"""Native part of zelmo_information.network; use that module.

Every measure takes an ``Estimator`` (its name and settings) with the rows
as it reads them (``rows``: bins as unsigned integers of 8 to 64 bits for
the binned estimator, with ``constant``, each row's flag of a constant
range; float64 values, NaN where missing, for the others), and a tile of
pairs: ``sources`` x ``targets``, as positions among the rows given, and
``keys``, each row's index in the whole array, which names its surrogates.
The pairs are computed on ``workers`` threads with the interpreter lock
released, calling ``progress(done, total)`` (when given) and checking for
signals about every 25 ms. Results are written into the given C-contiguous
(sources, targets) float64 arrays.
"""

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

Progress = Callable[[int, int], None] | None
Indices = NDArray[np.uint64]
Block = NDArray[np.float64]

class Estimator:
    name: str
    n_bins: int
    k: int
    def __init__(self, name: str, n_bins: int = 0, k: int = 0) -> None: ...

class TestSettings:
    history: int
    surrogates: int
    method: str
    seed: int
    analytic: bool
    def __init__(self, history: int, surrogates: int, method: str, seed: int, analytic: bool) -> None: ...

class InferenceSettings:
    history: int
    target_history: int
    max_lag: int
    max_history: int
    alpha: float
    surrogates: int
    method: str
    seed: int
    max_sources: int
    analytic: bool
    sequential: bool
    def __init__(self, history: int, target_history: int, max_lag: int, max_history: int, alpha: float,
                 surrogates: int, method: str, seed: int, max_sources: int, analytic: bool,
                 sequential: bool = False) -> None: ...

class Link:
    """A selected source of a target: its value given the target's past and
    other links, p-value, distinct joint states (binned) and steps."""
    source: int
    lag: int
    te: float
    p_value: float
    states: int
    steps: int

class TargetResult:
    """One target's search: links in order of selection, the selected lags
    of its own past, the p-values of its first selection step and of its
    omnibus test (None when not tested), the steps counted and the surrogate
    values drawn."""
    target: int
    links: list[Link]
    history: list[int]
    first_p: float | None
    omnibus_p: float | None
    steps: int
    surrogates: int

def _panic_exception() -> type[BaseException]:
    """The PanicException type that both extension modules raise."""

def mutual_pairs(
    values: NDArray[np.float64],
    n_bins: int,
    nonfinite: str,
    workers: int,
    progress: Progress,
    out: NDArray[np.float64],
) -> None:
    """The binned mutual information of every pair of a few rows into
    ``out`` (m x m, mirrored), each pair binned and counted in one pass:
    equal to the matrix bit for bit. ``nonfinite``: "raise" or "bin"."""

def bin_rows(
    signals: NDArray[np.float64],
    n_bins: int,
    nonfinite: str,
    workers: int,
    progress: Progress,
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
) -> None:
    """Bins every row into ``codes`` (uint32 while n_bins <= 2**31, else
    uint64). ``nonfinite``: "raise" (ValueError naming the first row with NaN
    or an infinity), "bin" (as the single-pair functions), or "skip" (each
    row over its finite values; a missing sample coded max(n_bins, 1))."""

def copula_rows(values: NDArray[np.float64], workers: int, progress: Progress, out: NDArray[np.float64]) -> None:
    """Writes the normal scores of each row's ranks (ties share their mean
    rank); NaN and infinities are missing and give NaN."""

def ksg_rows(values: NDArray[np.float64], rank: bool, noise: float, seed: int, workers: int, progress: Progress,
             out: NDArray[np.float64]) -> None:
    """Writes each row as the nearest-neighbour estimator reads it: ranked
    (with ``rank``), standardised over its finite values, plus its noise
    keyed by (seed, row index); NaN and infinities give NaN."""

def transfer_entropy_matrix(
    estimator: Estimator,
    rows: NDArray[Any],
    constant: NDArray[np.uint8],
    keys: Indices,
    sources: Indices,
    targets: Indices,
    history: int,
    workers: int,
    progress: Progress,
    out: Block,
    steps: Block | None,
) -> None:
    """Writes T(source a -> target b) to out[a, b], 0.0 where both are one row."""

def mutual_information_matrix(
    estimator: Estimator,
    rows: NDArray[Any],
    constant: NDArray[np.uint8],
    keys: Indices,
    sources: Indices,
    targets: Indices,
    workers: int,
    progress: Progress,
    out: Block,
    steps: Block | None,
) -> None:
    """Writes I(source a; target b) to out[a, b]; a tile whose sources are its
    targets computes each pair once and mirrors it."""

def transfer_entropy_test(
    estimator: Estimator,
    rows: NDArray[Any],
    constant: NDArray[np.uint8],
    keys: Indices,
    sources: Indices,
    targets: Indices,
    settings: TestSettings,
    workers: int,
    progress: Progress,
    te: Block,
    p_values: Block,
    null_mean: Block,
    null_std: Block,
    steps: Block | None,
) -> None:
    """Writes the transfer entropy, p-values, null statistics and steps."""

def conditional_transfer_entropy(
    estimator: Estimator,
    source: NDArray[np.float64],
    target: NDArray[np.float64],
    conditions: NDArray[np.float64],
    history: int,
    lag: int,
    condition_lags: list[int],
    target_lags: list[int] | None,
) -> tuple[float, int, int]:
    """(te, distinct joint states, steps counted); conditions (k, L), one lag
    each; with ``target_lags`` the target's past is its values at those lags."""

def infer_network(
    estimator: Estimator,
    rows: NDArray[Any],
    constant: NDArray[np.uint8],
    targets: Indices,
    settings: InferenceSettings,
    workers: int,
    progress: Progress,
) -> list[TargetResult]:
    """Per target of ``targets`` (every other row a candidate source), its
    search. The correction across targets is the caller's."""

# The nearest-neighbour (KSG) estimator's kernel, private: points are float64
# arrays of shape (d, N), one row per coordinate (series), finite values;
# estimates are in bits and may be negative.

def _ksg_counts(
    points: NDArray[np.float64], k: int, subspaces: list[list[int]], structure: str = "auto"
) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """(eps, counts): eps[t] the k-th smallest maximum-norm distance from point
    t to the others over all rows, counts[s, t] the other points strictly
    within eps[t] over the rows of subspaces[s]; ``structure`` "auto" (the
    fastest), "tree" or "rank" (the k-d tree, or the rank structures wherever
    they apply)."""

def _ksg_mutual_information(x: NDArray[np.float64], y: NDArray[np.float64], k: int) -> float:
    """I(x; y), KSG algorithm 1 in the maximum norm."""

def _ksg_conditional_mutual_information(
    x: NDArray[np.float64], y: NDArray[np.float64], z: NDArray[np.float64], k: int
) -> float:
    """I(x; y | z) by Frenzel and Pompe's estimator; I(x; y) when z has no rows."""

def _ksg_prepare(series: NDArray[np.float64], rank: bool, noise: float, seed: int, row: int) -> NDArray[np.float64]:
    """The series (mean ranks when ``rank``) centred and scaled to unit
    variance, plus uniform noise on [-noise, noise) keyed by (seed, row)."""

def _ksg_digamma(n: int) -> NDArray[np.float64]:
    """psi(1), ..., psi(n) as the estimates read them."""

class _KsgContext:
    """A target y and conditions z (possibly no rows) held for many sources."""

    def __init__(self, y: NDArray[np.float64], z: NDArray[np.float64], k: int) -> None: ...
    @property
    def n(self) -> int: ...
    @property
    def k(self) -> int: ...
    def value(self, x: NDArray[np.float64]) -> float:
        """I(x; y | z) for a source x of the same points (thread-safe)."""
    def values(self, xs: list[NDArray[np.float64]]) -> list[float]:
        """value(x) for each x in turn, reusing one workspace."""
