"""Simulated networks with known links, for checking network inference.

- :func:`discrete_network`: series of a few discrete states in which each
  node copies its driver's value from ``lag`` steps back, or its own
  previous value, or draws a fresh state: chains and common drivers whose
  indirect dependences a pairwise analysis mistakes for links.
- :func:`linear_network`: a stable vector autoregression with random links
  at lags 1 .. ``max_lag`` and each node's own autoregression of order up to
  two.
- :func:`logistic_network`: coupled logistic maps, a chaotic nonlinear
  system whose links act through a quadratic map.
- :func:`nonlinear_network`: a structural model whose links act through
  nonlinear functions, with delays.

Each returns ``(signals, links, lags)``: the series one per row, the true
links as a boolean (m, m) array (``links[i, j]``: i drives j) and each
link's lag.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["discrete_network", "linear_network", "logistic_network", "nonlinear_network"]


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


def _random_links(rng: np.random.Generator, n_nodes: int, links: int, max_lag: int) -> tuple[NDArray[np.bool_],
                                                                                             NDArray[np.int64]]:
    """`links` distinct ordered pairs of different nodes, each with a lag in 1 .. max_lag."""
    pairs = [(i, j) for i in range(n_nodes) for j in range(n_nodes) if i != j]
    chosen = rng.choice(len(pairs), size=min(links, len(pairs)), replace=False)
    adjacency = np.zeros((n_nodes, n_nodes), dtype=bool)
    lags = np.zeros((n_nodes, n_nodes), dtype=np.int64)
    for c in chosen:
        i, j = pairs[c]
        adjacency[i, j] = True
        lags[i, j] = rng.integers(1, max_lag + 1)
    return adjacency, lags


def linear_network(
    n_nodes: int = 10,
    length: int = 1000,
    *,
    in_degree: float = 3.0,
    max_lag: int = 5,
    coupling: tuple[float, float] = (0.2, 0.5),
    seed: int | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], NDArray[np.int64]]:
    """A stable vector autoregression with Gaussian noise.

    ``round(in_degree * n_nodes)`` links join distinct ordered pairs drawn
    uniformly, each at a lag drawn from 1 .. ``max_lag`` with a weight of
    random sign and magnitude uniform in ``coupling``. Every node also
    follows its own past: x(t - 1) with a weight uniform in 0.2 .. 0.5, and
    with probability one half x(t - 2) with a weight uniform in -0.3 .. 0.3.
    Where the system would not be stable, the weights of the links are
    scaled down until it is. A burn-in of 500 steps is discarded.

    Parameters
    ----------
    n_nodes, length : int
        The number of series and their length.
    in_degree : float
        The mean number of drivers per node.
    max_lag : int
        The largest lag of a link.
    coupling : (float, float)
        The range of the links' weights' magnitudes.
    seed : int or None
        For numpy.random.default_rng.
    """
    rng = np.random.default_rng(seed)
    links, lags = _random_links(rng, n_nodes, int(round(in_degree * n_nodes)), max_lag)
    order = max(2, max_lag)
    weights = np.zeros((order, n_nodes, n_nodes))  # weights[l - 1, i, j]: x_i(t - l) -> x_j(t)
    sources, targets = np.nonzero(links)
    weights[lags[sources, targets] - 1, sources, targets] = (rng.uniform(*coupling, size=sources.size)
                                                               * rng.choice([-1.0, 1.0], size=sources.size))
    own = np.zeros((2, n_nodes))
    own[0] = rng.uniform(0.2, 0.5, size=n_nodes)
    own[1] = np.where(rng.random(n_nodes) < 0.5, rng.uniform(-0.3, 0.3, size=n_nodes), 0.0)
    while True:
        full = weights.copy()
        full[0][np.diag_indices(n_nodes)] += own[0]
        full[1][np.diag_indices(n_nodes)] += own[1]
        # The companion matrix of x(t) = sum_l A_l^T x(t - l).
        companion = np.zeros((order * n_nodes, order * n_nodes))
        for lag in range(order):
            companion[:n_nodes, lag * n_nodes:(lag + 1) * n_nodes] = full[lag].T
        companion[n_nodes:, :-n_nodes] = np.eye((order - 1) * n_nodes)
        if np.max(np.abs(np.linalg.eigvals(companion))) < 0.95:
            break
        weights *= 0.9
    burn = 500
    noise = rng.normal(size=(length + burn, n_nodes))
    x = np.zeros((length + burn, n_nodes))
    for t in range(order, length + burn):
        x[t] = noise[t] + sum(x[t - lag - 1] @ full[lag] for lag in range(order))
    return np.ascontiguousarray(x[burn:].T), links, lags


def logistic_network(
    n_nodes: int = 10,
    length: int = 1000,
    *,
    in_degree: float = 2.0,
    max_lag: int = 5,
    coupling: float = 0.5,
    noise: float = 0.1,
    seed: int | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], NDArray[np.int64]]:
    """Coupled logistic maps with noise.

    Each node follows f(x) = 4 x (1 - x) of a mix of its own previous value
    and its drivers' values at their lags: with drivers P(j),
    ``u = (1 - c) x_j(t - 1) + c * mean(x_i(t - lag_ij) for i in P(j))`` (c =
    ``coupling``; u = x_j(t - 1) without drivers), then
    ``x_j(t) = f(u) + noise * eta`` with eta standard normal, folded back into
    [0, 1] by taking the result modulo 1. Links are drawn as in
    :func:`linear_network`. A burn-in of 500 steps is discarded.
    """
    rng = np.random.default_rng(seed)
    links, lags = _random_links(rng, n_nodes, int(round(in_degree * n_nodes)), max_lag)
    burn = 500
    total = length + burn
    x = np.zeros((total, n_nodes))
    x[:max_lag + 1] = rng.random((max_lag + 1, n_nodes))
    eta = rng.normal(size=(total, n_nodes))
    drivers = [np.nonzero(links[:, j])[0] for j in range(n_nodes)]
    for t in range(max_lag + 1, total):
        for j in range(n_nodes):
            u = x[t - 1, j]
            if drivers[j].size:
                u = (1.0 - coupling) * u + coupling * float(np.mean(x[t - lags[drivers[j], j], drivers[j]]))
            x[t, j] = (4.0 * u * (1.0 - u) + noise * eta[t, j]) % 1.0
    return np.ascontiguousarray(x[burn:].T), links, lags


def nonlinear_network(
    n_nodes: int = 10,
    length: int = 1000,
    *,
    in_degree: float = 2.0,
    max_lag: int = 3,
    coupling: tuple[float, float] = (0.4, 0.6),
    seed: int | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], NDArray[np.int64]]:
    """A structural model with nonlinear links and delays.

    ``x_j(t) = a_j x_j(t - 1) + sum_i c_ij g_ij(x_i(t - lag_ij)) + eta_j(t)``
    with a_j uniform in 0.3 .. 0.6, |c_ij| uniform in ``coupling`` (random
    sign), eta standard normal, and each g_ij one of ``1.5 tanh(1.5 x)``
    (monotonic, saturating), ``min(|x|, 3) - 0.8`` and ``1.5 sin(x)`` (not
    monotonic: largely invisible to linear and rank measures). Links are
    drawn as in :func:`linear_network`; a burn-in of 500 steps is
    discarded.
    """
    rng = np.random.default_rng(seed)
    links, lags = _random_links(rng, n_nodes, int(round(in_degree * n_nodes)), max_lag)
    functions = (lambda v: 1.5 * np.tanh(1.5 * v), lambda v: np.minimum(np.abs(v), 3.0) - 0.8,
                 lambda v: 1.5 * np.sin(v))
    sources, targets = np.nonzero(links)
    weight = rng.uniform(*coupling, size=sources.size) * rng.choice([-1.0, 1.0], size=sources.size)
    kind = rng.integers(0, len(functions), size=sources.size)
    own = rng.uniform(0.3, 0.6, size=n_nodes)
    burn = 500
    total = length + burn
    x = np.zeros((total, n_nodes))
    eta = rng.normal(size=(total, n_nodes))
    for t in range(max_lag, total):
        x[t] = own * x[t - 1] + eta[t]
        for s, (i, j) in enumerate(zip(sources, targets)):
            x[t, j] += weight[s] * functions[kind[s]](x[t - lags[i, j], i])
    return np.ascontiguousarray(x[burn:].T), links, lags
