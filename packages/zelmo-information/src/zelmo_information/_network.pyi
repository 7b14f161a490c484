"""Native part of zelmo_information.network; use that module.

Each function reads the rows of ``signals`` (any strides), bins them with the
interpreter lock held, then computes every pair on ``workers`` threads with
the lock released, calling ``progress(done, total)`` (when given) and
checking for signals about every 25 ms. Results are written into the given
C-contiguous (m, m) float64 arrays. Non-finite values raise ValueError when
``reject_nonfinite`` is true.
"""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

def _panic_exception() -> type[BaseException]:
    """The PanicException type that both extension modules raise."""

def transfer_entropy_matrix(
    signals: NDArray[np.float64],
    n_bins: int,
    history: int,
    reject_nonfinite: bool,
    workers: int,
    progress: Callable[[int, int], None] | None,
    out: NDArray[np.float64],
) -> None:
    """Writes T(row i -> row j) to out[i, j], 0.0 on the diagonal."""

def mutual_information_matrix(
    signals: NDArray[np.float64],
    n_bins: int,
    reject_nonfinite: bool,
    workers: int,
    progress: Callable[[int, int], None] | None,
    out: NDArray[np.float64],
) -> None:
    """Writes I(row i; row j) to out[i, j] and out[j, i] for i <= j."""

def transfer_entropy_test(
    signals: NDArray[np.float64],
    n_bins: int,
    history: int,
    surrogates: int,
    method: str,
    seed: int,
    reject_nonfinite: bool,
    workers: int,
    progress: Callable[[int, int], None] | None,
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
    signals: NDArray[np.float64],
    n_bins: int,
    history: int,
    max_lag: int,
    alpha: float,
    surrogates: int,
    method: str,
    seed: int,
    max_sources: int,
    reject_nonfinite: bool,
    workers: int,
    progress: Callable[[int, int], None] | None,
) -> list[tuple[list[tuple[int, int, float, float, int]], float | None, bool, int]]:
    """Per target: (links as (source, lag, te, p-value, states), omnibus p-value
    or None, whether it passed the false discovery rate, steps counted)."""
