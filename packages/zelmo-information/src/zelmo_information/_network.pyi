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
