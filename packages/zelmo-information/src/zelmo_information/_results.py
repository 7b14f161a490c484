"""The results of the network module's tests: a pairwise surrogate test and
an inferred network."""

from __future__ import annotations

import importlib
import math
from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _checks, _labels

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


@dataclass(frozen=True, eq=False, repr=False)
class TransferEntropyTest:
    """The outcome of :func:`~zelmo_information.network.transfer_entropy_test`.

    All arrays are (m, m), source row first, float64.
    :meth:`~zelmo_information.network.TransferEntropyTest.to_frame` gives any of them
    as a DataFrame labelled by the series,
    :meth:`~zelmo_information.network.TransferEntropyTest.to_pandas` the pairs in long
    form, :meth:`~zelmo_information.network.TransferEntropyTest.summary` a text report
    and :meth:`~zelmo_information.network.TransferEntropyTest.plot` a heat map.

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
    labels : tuple
        The series' labels in row order: a DataFrame's columns, a
        DataArray's coordinate, or 0 .. m - 1 for an array.
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
    labels: tuple[Hashable, ...] | None = None

    def __post_init__(self) -> None:
        _fill_labels(self, self.te.shape[0])

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

    _MATRICES = ("te", "p_values", "null_mean", "null_std", "effective_te", "steps")

    def to_frame(self, name: str = "te") -> Any:
        """One of the (m, m) arrays as a pandas DataFrame, sources down the
        index and targets across, both labelled by the series. Needs pandas.

        Parameters
        ----------
        name : {"te", "p_values", "null_mean", "null_std", "effective_te", "steps"}
            Which matrix; ``"te"`` by default.

        Returns
        -------
        pandas.DataFrame
        """
        _checks.choice(name, "name", self._MATRICES)
        values = getattr(self, name)
        if values is None:
            raise ValueError(f"this result has no {name}")
        return _labels.frame(values, self.labels or ())

    def to_pandas(self, alpha: float = 0.05, correction: Correction | None = "fdr_bh") -> Any:
        """Every ordered pair of distinct series as a row of a pandas
        DataFrame (long form), in row-major order of the matrices. Needs
        pandas.

        Parameters
        ----------
        alpha : float, optional
            The level of the ``significant`` column, 0.05 by default.
        correction : {"fdr_bh", "bonferroni", None}, optional
            Its correction for many pairs (see ``significant``).

        Returns
        -------
        pandas.DataFrame
            Columns ``source``, ``target`` (labels), ``te``, ``p_value``,
            ``null_mean``, ``null_std``, ``effective_te``, ``steps`` and
            ``significant`` (as
            :meth:`~zelmo_information.network.TransferEntropyTest.significant`
            decides with ``alpha`` and ``correction``).
        """
        pandas = _labels.need_pandas()
        chosen = self.significant(alpha, correction)
        m = self.te.shape[0]
        i, j = np.nonzero(~np.eye(m, dtype=bool))
        labels = _label_array(self.labels or ())
        columns: dict[str, Any] = {"source": labels[i], "target": labels[j], "te": self.te[i, j],
                                   "p_value": self.p_values[i, j], "null_mean": self.null_mean[i, j],
                                   "null_std": self.null_std[i, j], "effective_te": self.effective_te[i, j]}
        if self.steps is not None:
            columns["steps"] = np.asarray(self.steps)[i, j].astype(np.int64)
        columns["significant"] = chosen[i, j]
        return pandas.DataFrame(columns)

    def __repr__(self) -> str:
        m = self.te.shape[0]
        found = int(self.significant().sum()) if m > 1 else 0
        return (f"<TransferEntropyTest: {m} series, {m * (m - 1)} pairs, {_estimator_text(self)}, history "
                f"{self.history}, {_null_text(self)}, seed {self.seed}; {found} significant at alpha 0.05 "
                "(Benjamini-Hochberg)>")

    def summary(self, alpha: float = 0.05, correction: Correction | None = "fdr_bh", top: int = 20) -> str:
        """A text report: the settings, then the significant pairs (at most
        ``top``), strongest ``effective_te`` first.

        Parameters
        ----------
        alpha, correction
            As for ``significant``.
        top : int, optional
            The most pairs listed, 20 by default.
        """
        m = self.te.shape[0]
        chosen = self.significant(alpha, correction)
        name = {"fdr_bh": "Benjamini-Hochberg", "bonferroni": "Bonferroni", None: "no correction"}[correction]
        lines = [f"Transfer entropy test of {m} series ({m * (m - 1)} ordered pairs)",
                 f"  estimator   {_estimator_text(self)}, history {self.history}",
                 f"  null        {_null_text(self)}, seed {self.seed}",
                 f"  significant {int(chosen.sum())} pairs at alpha {alpha:g} ({name})"]
        i, j = np.nonzero(chosen)
        order = np.argsort(-self.effective_te[i, j], kind="stable")[:top]
        if order.size:
            labels = [str(label) for label in self.labels or ()]
            width = max([6] + [len(labels[k]) for k in np.concatenate([i, j])])
            lines.append("")
            lines.append(f"  {'source':>{width}} -> {'target':<{width}}  {'te':>8}  {'effective':>9}  {'p':>8}")
            for k in order:
                a, b = i[k], j[k]
                lines.append(f"  {labels[a]:>{width}} -> {labels[b]:<{width}}  {self.te[a, b]:8.4f}  "
                             f"{self.effective_te[a, b]:9.4f}  {self.p_values[a, b]:8.2g}")
            if i.size > order.size:
                lines.append(f"  ... and {i.size - order.size} more")
        return "\n".join(lines)

    def plot(self, name: str = "effective_te", *, alpha: float = 0.05, correction: Correction | None = "fdr_bh",
             ax: Any = None, cmap: str = "viridis") -> Any:
        """A heat map of one matrix, sources down and targets across, each
        cell labelled by its series; significant pairs (as
        :meth:`~zelmo_information.network.TransferEntropyTest.significant` decides) are outlined and starred. Needs
        matplotlib (``pip install 'zelmo-information[plot]'``).

        Parameters
        ----------
        name : {"effective_te", "te", "p_values", "null_mean", "null_std", "steps"}
            The matrix drawn; ``effective_te`` by default.
        alpha, correction
            As for :meth:`~zelmo_information.network.TransferEntropyTest.significant`.
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new figure's axes by default.
        cmap : str, optional
            The colour map.

        Returns
        -------
        matplotlib.axes.Axes
        """
        pyplot = _labels.need_pyplot()
        _checks.choice(name, "name", self._MATRICES)
        chosen = self.significant(alpha, correction)
        values = np.array(getattr(self, name), dtype=np.float64)
        m = values.shape[0]
        np.fill_diagonal(values, np.nan)
        if ax is None:
            size = min(12.0, 2.5 + 0.45 * m)
            _, ax = pyplot.subplots(figsize=(size + 1.2, size))
        image = ax.imshow(values, cmap=cmap)
        ax.figure.colorbar(image, ax=ax, label=name.replace("_", " ") + (" (bits)" if "te" in name or
                                                                          "null" in name else ""))
        labels = [str(label) for label in self.labels or ()]
        ax.set_xticks(range(m), labels, rotation=90 if m > 6 else 0)
        ax.set_yticks(range(m), labels)
        ax.set_xlabel("target")
        ax.set_ylabel("source")
        for a, b in zip(*np.nonzero(chosen)):
            ax.add_patch(pyplot.Rectangle((b - 0.5, a - 0.5), 1, 1, fill=False, edgecolor="red", linewidth=1.5))
            ax.text(b, a, "*", ha="center", va="center", color="red", fontsize=12)
        ax.set_title(f"{name.replace('_', ' ')}; outlined: significant at {alpha:g}")
        return ax


class Link(NamedTuple):
    """One selected source of a target: the past of series ``source`` that
    ends ``lag`` steps before the predicted step of series ``target``.

    ``source`` and ``target`` are row indices; the result's ``labels`` name
    them (``net.labels[link.source]``), and :meth:`~zelmo_information.network.InferredNetwork.to_pandas`
    lists the links by label.
    """

    source: int
    """The driving series, as its row index (its column for a DataFrame)."""
    target: int
    """The driven series, as its row index."""
    lag: int
    """How many steps before the target's predicted value the source's past
    ends (1: the step just before)."""
    te: float
    """The transfer entropy of this link in bits, given the target's own
    past and its other links (as
    :func:`~zelmo_information.network.conditional_transfer_entropy` gives
    it)."""
    p_value: float
    """The p-value of ``te`` against the link's own null (its surrogates, or
    the analytic null)."""
    sign: int | None = None
    """Gaussian and copula estimators: +1 or -1, the sign of the partial
    correlation of the source's past with the target's next value given the
    link's context (the target's past and its other links); for a source
    past of several values, the sign of the sum of their coefficients in
    the linear regression of the target's next value on that past and the
    context (the net effect of a lasting change in the source). 0 when the
    coefficients cancel exactly. None for the binned estimator, whose
    states have no order."""


_LINK_FIELDS = {"source": "The driving series' row index.", "target": "The driven series' row index.",
                "lag": "Steps before the predicted value at which the source's past ends.",
                "te": "Transfer entropy of the link in bits, given the target's past and its other links.",
                "p_value": "p-value of te against the link's own null.",
                "sign": "+1 or -1: the sign of the link's partial correlation (Gaussian and copula); None when binned."}
for _field, _text in _LINK_FIELDS.items():
    getattr(Link, _field).__doc__ = _text
del _field, _text


@dataclass(frozen=True, eq=False, repr=False)
class InferredNetwork:
    """The outcome of :func:`~zelmo_information.network.infer_network`.

    :meth:`~zelmo_information.network.InferredNetwork.to_pandas` lists the links as a
    table, :meth:`~zelmo_information.network.InferredNetwork.to_frame` gives a matrix as
    a labelled DataFrame, :meth:`~zelmo_information.network.InferredNetwork.summary` a
    text report, :meth:`~zelmo_information.network.InferredNetwork.plot` draws the
    network and :meth:`~zelmo_information.network.InferredNetwork.to_networkx` makes a
    graph.

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
    labels : tuple
        The series' labels in row order: a DataFrame's columns, a
        DataArray's coordinate, or 0 .. m - 1 for an array.
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
    labels: tuple[Hashable, ...] | None = None

    def __post_init__(self) -> None:
        _fill_labels(self, self.adjacency.shape[0])

    def _row(self, target: object) -> int:
        labels = self.labels or ()
        if not isinstance(target, (bool, np.bool_)):
            try:
                if target in labels:
                    return labels.index(target)
            except TypeError:  # an unhashable or incomparable value: no label
                pass
        return _checks.in_range(target, "target", 0, self.adjacency.shape[0] - 1)

    def sources(self, target: Hashable) -> list[tuple[int, int]]:
        """The selected (source, lag) pairs of ``target``, in order of
        selection, sources as row indices (``labels`` names them).

        ``target`` is a label, or a row index."""
        j = self._row(target)
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
        labels = self.labels or ()
        graph = networkx.DiGraph()
        graph.add_nodes_from(labels)
        for link in strongest(self.links).values():
            attributes = {"te": link.te, "p_value": link.p_value, "lag": link.lag}
            if link.sign is not None:
                attributes["sign"] = link.sign
            graph.add_edge(labels[link.source], labels[link.target], **attributes)
        return graph

    def to_frame(self, name: str = "te") -> Any:
        """One of the (m, m) arrays as a pandas DataFrame, sources down the
        index and targets across, both labelled by the series. Needs pandas.

        Parameters
        ----------
        name : {"te", "p_values", "adjacency"}
            Which matrix; ``"te"`` by default.

        Returns
        -------
        pandas.DataFrame
        """
        _checks.choice(name, "name", ("te", "p_values", "adjacency"))
        return _labels.frame(getattr(self, name), self.labels or ())

    def to_pandas(self) -> Any:
        """The links as a pandas DataFrame, one row per link (every selected
        lag), by target and then in order of selection. Needs pandas.

        Columns: ``source`` and ``target`` (labels), ``lag``, ``te`` (bits),
        ``p_value``, and for the Gaussian and copula estimators ``sign``
        (see :attr:`~zelmo_information.network.Link.sign`); the binned estimator's states have no
        order, so it has no sign.
        """
        pandas = _labels.need_pandas()
        labels = _label_array(self.labels or ())
        links = self.links
        source = np.array([link.source for link in links], dtype=np.intp)
        target = np.array([link.target for link in links], dtype=np.intp)
        columns: dict[str, Any] = {
            "source": labels[source], "target": labels[target],
            "lag": np.array([link.lag for link in links], dtype=np.int64),
            "te": np.array([link.te for link in links], dtype=np.float64),
            "p_value": np.array([link.p_value for link in links], dtype=np.float64),
        }
        if self.estimator != "binned":
            columns["sign"] = np.array([0 if link.sign is None else link.sign for link in links], dtype=np.int64)
        return pandas.DataFrame(columns)

    def __repr__(self) -> str:
        m = self.adjacency.shape[0]
        pairs = int(self.adjacency.sum())
        return (f"<InferredNetwork: {m} series, {pairs} driving pairs ({len(self.links)} links), "
                f"{_estimator_text(self)}, max_lag {self.max_lag}, alpha {self.alpha:g}, {_null_text(self)}, "
                f"seed {self.seed}>")

    def summary(self) -> str:
        """A text report: the settings, each target's own past and its
        links with lag, te, p-value (and sign)."""
        m = self.adjacency.shape[0]
        labels = [str(label) for label in self.labels or ()]
        past = (f"lags selected among 1..{self.max_history}" if self.max_history
                else f"last {self.history} value(s)")
        lines = [f"Inferred network of {m} series: {int(self.adjacency.sum())} driving pairs, "
                 f"{len(self.links)} links",
                 f"  estimator   {_estimator_text(self)}, history {self.history}, max_lag {self.max_lag}",
                 f"  tests       {_null_text(self)} at alpha {self.alpha:g}, seed {self.seed}",
                 f"  own past    {past}"]
        if self.links:
            width = max([6] + [len(labels[k]) for link in self.links for k in (link.source, link.target)])
            signed = self.estimator != "binned"
            lines.append("")
            lines.append(f"  {'source':>{width}} -> {'target':<{width}}  {'lag':>3}  {'te':>8}  {'p':>8}"
                         + ("  sign" if signed else ""))
            for link in self.links:
                sign = {1: "+", -1: "-", 0: "0", None: ""}[link.sign]
                lines.append(f"  {labels[link.source]:>{width}} -> {labels[link.target]:<{width}}  "
                             f"{link.lag:>3}  {link.te:8.4f}  {link.p_value:8.2g}" + (f"  {sign:>4}" if signed else ""))
        else:
            lines.append("  no links")
        return "\n".join(lines)

    def plot(self, *, ax: Any = None, layout: str = "circle", cmap: str = "viridis") -> Any:
        """Draws the network: a node per series with its label, an arrow per
        driving pair whose width and colour grow with its ``te``, marked
        with its lag (all selected lags, strongest first) and, for the
        Gaussian and copula estimators, dashed where the link is negative.
        Needs matplotlib (``pip install 'zelmo-information[plot]'``).

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new figure's axes by default.
        layout : {"circle"}, optional
            The series on a circle, in row order, the first at the top.
        cmap : str, optional
            The colour map of the arrows' strength.

        Returns
        -------
        matplotlib.axes.Axes
        """
        pyplot = _labels.need_pyplot()
        _checks.choice(layout, "layout", ("circle",))
        m = self.adjacency.shape[0]
        labels = [str(label) for label in self.labels or ()]
        if ax is None:
            _, ax = pyplot.subplots(figsize=(6.5, 6))
        angle = np.pi / 2 - 2 * np.pi * np.arange(m) / max(m, 1)
        xy = np.column_stack([np.cos(angle), np.sin(angle)])
        best = strongest(self.links)
        lags: dict[tuple[int, int], list[int]] = {}
        for link in sorted(self.links, key=lambda k: -k.te):
            lags.setdefault((link.source, link.target), []).append(link.lag)
        top = max((link.te for link in best.values()), default=1.0) or 1.0
        node = max(250.0, min(900.0, 12000.0 / max(m, 1)))  # marker area, points squared
        gap = 0.5 * math.sqrt(node) + 2.0
        colours = pyplot.get_cmap(cmap)
        for (i, j), link in best.items():
            strength = link.te / top
            ax.annotate("", xy=xy[j], xytext=xy[i],
                        arrowprops={"arrowstyle": "-|>", "color": colours(0.25 + 0.75 * strength),
                                    "lw": 1.0 + 4.0 * strength, "shrinkA": gap, "shrinkB": gap, "mutation_scale": 16,
                                    "linestyle": "--" if link.sign == -1 else "-",
                                    "connectionstyle": "arc3,rad=0.15"})
            middle = 0.5 * (xy[i] + xy[j]) + 0.08 * np.array([xy[j][1] - xy[i][1], xy[i][0] - xy[j][0]])
            ax.text(middle[0], middle[1], ",".join(str(lag) for lag in lags[(i, j)]), fontsize=8, ha="center",
                    va="center", bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none", "alpha": 0.8})
        ax.scatter(xy[:, 0], xy[:, 1], s=node, c="white", edgecolors="black", zorder=3)
        for k in range(m):
            ax.text(xy[k, 0], xy[k, 1], labels[k], ha="center", va="center", fontsize=9 if m <= 16 else 7, zorder=4)
        ax.set_xlim(-1.3, 1.3)
        ax.set_ylim(-1.3, 1.3)
        ax.set_aspect("equal")
        ax.axis("off")
        scale = pyplot.cm.ScalarMappable(cmap=colours, norm=pyplot.Normalize(0.0, top))
        ax.figure.colorbar(scale, ax=ax, shrink=0.6, label="te of the strongest lag (bits)")
        ax.set_title("Inferred network (lags on the arrows" + (", dashed: negative)" if self.estimator != "binned"
                                                              else ")"))
        return ax


def strongest(links: tuple[Link, ...]) -> dict[tuple[int, int], Link]:
    """The link of each (source, target) with the largest te (the first
    selected among equals)."""
    best: dict[tuple[int, int], Link] = {}
    for link in links:
        pair = (link.source, link.target)
        if pair not in best or link.te > best[pair].te:
            best[pair] = link
    return best


def _fill_labels(result: Any, m: int) -> None:
    """Labels 0 .. m - 1 for a result of unlabelled rows; checks given ones."""
    if result.labels is None:
        object.__setattr__(result, "labels", tuple(range(m)))
    else:
        labels = tuple(result.labels)
        if len(labels) != m:
            raise ValueError(f"{len(labels)} labels for {m} series")
        object.__setattr__(result, "labels", labels)


def _label_array(labels: tuple[Hashable, ...]) -> NDArray[Any]:
    """The labels as a one-dimensional array: of integers when all are
    integers, else of objects (tuples stay whole)."""
    if all(isinstance(label, (int, np.integer)) and not isinstance(label, bool) for label in labels):
        return np.array(labels, dtype=np.int64)
    out = np.empty(len(labels), dtype=object)
    for k, label in enumerate(labels):
        out[k] = label
    return out


def _estimator_text(result: Any) -> str:
    if result.estimator == "binned":
        return f"binned estimator ({result.n_bins} bins)"
    return f"{result.estimator} estimator"


def _null_text(result: Any) -> str:
    if result.null == "analytic":
        return "analytic null"
    return f"{result.surrogates} {result.method} surrogates"
