"""Simulated networks with known links, for checking network inference.

:func:`discrete_network` makes series of a few discrete states in which
each node copies its driver's value from ``lag`` steps back, or its own
previous value, or draws a fresh state: chains and common drivers whose
indirect dependences a pairwise analysis mistakes for links.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["discrete_network"]


def discrete_network(
    n_nodes: int = 10,
    length: int = 10_000,
    *,
    states: int = 3,
    copy_driver: float = 0.25,
    copy_self: float = 0.3,
    max_lag: int = 1,
    seed: int | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], NDArray[np.int64]]:
    """Series of a random forest of driving links.

    The nodes are visited in a random order; each but the first two takes a
    driver among the nodes visited before it with probability 0.85, so that
    chains and nodes driving several others are common. At every step a
    node with a driver copies the driver's value from ``lag`` steps before
    with probability ``copy_driver``; otherwise it keeps its own previous
    value with probability ``copy_self``; otherwise it draws a state
    uniformly from ``0 .. states - 1``.

    Parameters
    ----------
    n_nodes, length : int
        The number of series and their length.
    states : int
        States per node (2 or more).
    copy_driver, copy_self : float
        The probabilities above; their sum is at most 1.
    max_lag : int
        Each link's lag is drawn uniformly from 1 .. max_lag.
    seed : int or None
        For numpy.random.default_rng.

    Returns
    -------
    signals : numpy.ndarray, shape (n_nodes, length), float64
        The series, one per row, as the state numbers.
    links : numpy.ndarray of bool, shape (n_nodes, n_nodes)
        ``links[i, j]`` is True when node i drives node j.
    lags : numpy.ndarray of int, shape (n_nodes, n_nodes)
        The lag of each link, 0 where there is none.
    """
    if states < 2 or not 0.0 <= copy_driver <= 1.0 or not 0.0 <= copy_self <= 1.0 - copy_driver:
        raise ValueError("states must be at least 2 and copy_driver + copy_self at most 1")
    rng = np.random.default_rng(seed)
    order = rng.permutation(n_nodes)
    driver = np.full(n_nodes, -1)
    lag = np.zeros(n_nodes, dtype=np.int64)
    for k, node in enumerate(order):
        if k >= 2 and rng.random() < 0.85:
            driver[node] = order[rng.integers(0, k)]
            lag[node] = rng.integers(1, max_lag + 1)
    draws = rng.random((length, n_nodes))
    fresh = rng.integers(0, states, size=(length, n_nodes))
    has = driver >= 0
    source = np.where(has, driver, 0)
    x = np.zeros((length, n_nodes), dtype=np.int64)
    x[0] = fresh[0]
    for t in range(1, length):
        copied = x[np.maximum(t - lag, 0), source]
        own = np.where(draws[t] < copy_driver + copy_self, x[t - 1], fresh[t])
        x[t] = np.where(has & (draws[t] < copy_driver) & (t >= lag), copied, own)
    links = np.zeros((n_nodes, n_nodes), dtype=bool)
    lags = np.zeros((n_nodes, n_nodes), dtype=np.int64)
    links[driver[has], np.nonzero(has)[0]] = True
    lags[driver[has], np.nonzero(has)[0]] = lag[has]
    return np.ascontiguousarray(x.T, dtype=np.float64), links, lags
