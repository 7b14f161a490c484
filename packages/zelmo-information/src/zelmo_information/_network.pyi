"""Native part of zelmo_information.network; use that module.

``bin_rows`` reads the rows of ``signals`` (any strides) and bins each once.
Every measure then takes those bins (``codes``, unsigned integers of 8 to 64
bits, one row per series, and ``constant``, each row's flag of a constant
range) with a tile of pairs: ``sources`` x ``targets``, as positions among
the rows given, and ``keys``, each row's index in the whole array, which
names its surrogates. The pairs are computed on ``workers`` threads with the
interpreter lock released, calling ``progress(done, total)`` (when given)
and checking for signals about every 25 ms. Results are written into the
given C-contiguous (sources, targets) float64 arrays.
"""

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

Progress = Callable[[int, int], None] | None
Indices = NDArray[np.uint64]

def _panic_exception() -> type[BaseException]:
    """The PanicException type that both extension modules raise."""

def bin_rows(
    signals: NDArray[np.float64],
    n_bins: int,
    reject_nonfinite: bool,
    workers: int,
    progress: Progress,
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
) -> None:
    """Bins every row into ``codes`` (uint32 while n_bins <= 2**31, else
    uint64); ValueError naming the first row with NaN or an infinity when
    ``reject_nonfinite``."""

def transfer_entropy_matrix(
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
    n_bins: int,
    keys: Indices,
    sources: Indices,
    targets: Indices,
    history: int,
    workers: int,
    progress: Progress,
    out: NDArray[np.float64],
) -> None:
    """Writes T(source a -> target b) to out[a, b], 0.0 where both are one row."""

def mutual_information_matrix(
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
    n_bins: int,
    keys: Indices,
    sources: Indices,
    targets: Indices,
    workers: int,
    progress: Progress,
    out: NDArray[np.float64],
) -> None:
    """Writes I(source a; target b) to out[a, b]; a tile whose sources are its
    targets computes each pair once and mirrors it."""

def transfer_entropy_test(
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
    n_bins: int,
    keys: Indices,
    sources: Indices,
    targets: Indices,
    history: int,
    surrogates: int,
    method: str,
    seed: int,
    workers: int,
    progress: Progress,
    te: NDArray[np.float64],
    p_values: NDArray[np.float64],
    null_mean: NDArray[np.float64],
    null_std: NDArray[np.float64],
) -> None:
    """Writes the transfer entropy, surrogate p-values and null statistics."""

def conditional_transfer_entropy(
    source: NDArray[np.float64],
    target: NDArray[np.float64],
    conditions: NDArray[np.float64],
    n_bins: int,
    history: int,
    lag: int,
    condition_lags: list[int],
) -> tuple[float, int, int]:
    """(te, distinct joint states, steps counted); conditions (k, L), one lag each."""

def infer_network(
    codes: NDArray[Any],
    constant: NDArray[np.uint8],
    n_bins: int,
    targets: Indices,
    history: int,
    max_lag: int,
    alpha: float,
    surrogates: int,
    method: str,
    seed: int,
    max_sources: int,
    workers: int,
    progress: Progress,
) -> list[tuple[list[tuple[int, int, float, float, int]], float | None, int]]:
    """Per target of ``targets`` (every other row a candidate source): (links
    as (source, lag, te, p-value, states), omnibus p-value or None, steps
    counted). The false discovery rate across targets is the caller's."""

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
