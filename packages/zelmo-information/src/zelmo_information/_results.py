"""The results of the network module's tests: a pairwise surrogate test and
an inferred network."""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _checks

Correction = Literal["fdr_bh", "bonferroni"]


def reject(p_values: NDArray[np.float64], alpha: float, correction: str | None) -> NDArray[np.bool_]:
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
    rejected = np.zeros(count, dtype=bool)
    if below.size:
        rejected[order[: below[-1] + 1]] = True
    return rejected


@dataclass(frozen=True, eq=False)
class TransferEntropyTest:
    """The outcome of :func:`~zelmo_information.network.transfer_entropy_test`.

    All arrays are (m, m), source row first, float64.

    Attributes
    ----------
    te : numpy.ndarray
        Observed transfer entropy in bits (as
        :func:`~zelmo_information.network.transfer_entropy_matrix` gives it);
        0.0 on the diagonal.
    p_values : numpy.ndarray
        With surrogates, ``(1 + #{null >= observed}) / (1 + surrogates)``,
        between ``1 / (1 + surrogates)`` and 1; with ``null="analytic"``, the
        chi-squared tail of ``2 N te`` (in nats); NaN on the diagonal.
    null_mean, null_std : numpy.ndarray
        Mean and standard deviation (ddof 0) of each pair's null values, in
        bits (of the chi-squared null with ``null="analytic"``); NaN on the
        diagonal.
    steps : numpy.ndarray
        The steps each pair's estimate counted (fewer than the series' length
        less the history where ``nonfinite="skip"`` left steps out).
    estimator : str
        ``"binned"``, ``"gaussian"``, ``"copula"`` or ``"ksg"``.
    estimator_settings : dict
        The estimator object's settings (``KSG``: ``k``, ``noise``, ``rank``,
        ``seed``; ``Binned``: ``n_bins`` as given); empty for the others.
    n_bins : int or None
        The bins of the binned estimator (as chosen when None was given).
    history, surrogates : int
        The settings used.
    method : str
        ``"shift"`` or ``"shuffle"``.
    null : str
        ``"surrogates"`` or ``"analytic"``.
    seed : int
        The seed of the surrogates; passing it again repeats the result.
    """

    te: NDArray[np.float64]
    p_values: NDArray[np.float64]
    null_mean: NDArray[np.float64]
    null_std: NDArray[np.float64]
    n_bins: int | None
    history: int
    surrogates: int
    method: str
    seed: int
    steps: NDArray[np.float64] | None = None
    estimator: str = "binned"
    null: str = "surrogates"
    estimator_settings: dict[str, Any] = field(default_factory=dict)

    @property
    def effective_te(self) -> NDArray[np.float64]:
        """``te - null_mean``: the observed value less the bias that the
        null shows for the same pair; comparable across pairs. NaN on the
        diagonal."""
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
        level = _checks.level(alpha)
        if correction is not None:
            _checks.choice(correction, "correction", ("fdr_bh", "bonferroni"))
        m = self.p_values.shape[0]
        off_diagonal = ~np.eye(m, dtype=bool)
        result = np.zeros((m, m), dtype=bool)
        result[off_diagonal] = reject(self.p_values[off_diagonal], level, correction)
        return result


class Link(NamedTuple):
    """One selected source of a target."""

    source: int
    target: int
    lag: int
    te: float  # given the target's past and its other links, in bits
    p_value: float  # of te against the link's own null


@dataclass(frozen=True, eq=False)
class InferredNetwork:
    """The outcome of :func:`~zelmo_information.network.infer_network`.

    Attributes
    ----------
    adjacency : numpy.ndarray of bool, shape (m, m)
        ``[i, j]`` is True when series i drives series j at some selected lag.
    te : numpy.ndarray, shape (m, m)
        For each link, the transfer entropy from i to j in bits given the
        target's past and its other selected sources, at i's strongest
        selected lag (as :func:`~zelmo_information.network.conditional_transfer_entropy`
        gives it); 0.0 elsewhere.
    p_values : numpy.ndarray, shape (m, m)
        For each link, the p-value of that value (same lag) against its own
        null; NaN elsewhere.
    target_p_values : numpy.ndarray, shape (m,)
        Each target's p-value, on which the correction across targets acts:
        that of its first selection step (the strongest candidate source
        against the strongest on surrogates), or for a target with sources,
        the larger of that and the omnibus test of its sources together; NaN
        for a target that could not be tested.
    links : tuple of Link
        Every selected (source, lag) of every target: by target, then in
        order of selection.
    target_history : tuple of tuple of int
        The lags of each target's own past that its tests condition on: 1 ..
        ``history`` when ``max_history`` was not given, else those selected,
        in order of selection.
    steps : numpy.ndarray of int, shape (m,)
        The steps each target's tests counted.
    surrogates_drawn : numpy.ndarray of int, shape (m,)
        The surrogate values each target's tests computed (fewer than their
        tests' surrogates times candidates where an estimator stops a test
        once its decision is settled).
    estimator : str
        ``"binned"``, ``"gaussian"``, ``"copula"`` or ``"ksg"``.
    estimator_settings : dict
        The estimator object's settings (``KSG``: ``k``, ``noise``, ``rank``,
        ``seed``; ``Binned``: ``n_bins`` as given); empty for the others.
    n_bins : int or None
        The bins of the binned estimator.
    history, max_lag, max_history, surrogates, seed, alpha, method, null
        The settings used (``max_history`` None when the target's past was
        not selected); the same seed repeats the network.
    """

    adjacency: NDArray[np.bool_]
    te: NDArray[np.float64]
    p_values: NDArray[np.float64]
    target_p_values: NDArray[np.float64]
    links: tuple[Link, ...]
    n_bins: int | None
    history: int
    max_lag: int
    alpha: float
    surrogates: int
    method: str
    seed: int
    target_history: tuple[tuple[int, ...], ...] = ()
    steps: NDArray[np.int64] | None = None
    estimator: str = "binned"
    null: str = "surrogates"
    max_history: int | None = None
    surrogates_drawn: NDArray[np.int64] | None = None
    estimator_settings: dict[str, Any] = field(default_factory=dict)

    def sources(self, target: int) -> list[tuple[int, int]]:
        """The selected (source, lag) pairs of ``target``, in order of selection."""
        j = _checks.in_range(target, "target", 0, self.adjacency.shape[0] - 1)
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
        for link in strongest(self.links).values():
            graph.add_edge(link.source, link.target, te=link.te, p_value=link.p_value, lag=link.lag)
        return graph


def strongest(links: tuple[Link, ...]) -> dict[tuple[int, int], Link]:
    """The link of each (source, target) with the largest te (the first
    selected among equals)."""
    best: dict[tuple[int, int], Link] = {}
    for link in links:
        pair = (link.source, link.target)
        if pair not in best or link.te > best[pair].te:
            best[pair] = link
    return best
