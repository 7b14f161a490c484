"""The estimators of the network functions, and the rows as each reads them.

An estimator object says how a series becomes what the native code counts
or correlates: equal-width bins (:class:`Binned`), the values themselves
(:class:`Gaussian`), the normal scores of their ranks
(:class:`GaussianCopula`), or standardised values whose nearest neighbours
are counted (:class:`KSG`). Its ``prepare`` turns the rows into a
:class:`Prepared` (the native estimator's name and settings, the rows in
the form it reads, and each row's constant flag), which is what a local
call or a cluster's tasks compute on.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from . import _checks, _network

__all__ = ["Binned", "Estimator", "Gaussian", "GaussianCopula", "KSG"]

_MAX_MI_BINS = 1 << 31


@dataclass(frozen=True, eq=False)
class Prepared:
    """Rows as a native estimator reads them: bins (unsigned integers, with
    each row's flag of a constant range) for the binned estimator, float64
    values (NaN where a sample is missing) for the others."""

    spec: Any  # _network.Estimator
    rows: NDArray[Any]
    constant: NDArray[np.uint8]

    @property
    def shape(self) -> tuple[int, int]:
        m, length = self.rows.shape
        return int(m), int(length)

    @property
    def cost(self) -> float:
        """Work per sample relative to the binned and Gaussian estimators,
        which sizes a cluster's tasks: a nearest-neighbour value costs a few
        hundred times as much."""
        return 250.0 if self.spec.name == "ksg" else 1.0

    def aligned(self) -> Prepared:
        """The same rows in aligned, C-contiguous arrays (a buffer received
        from a cluster may lie at any address); copies only where needed."""
        rows = np.require(self.rows, requirements=["C_CONTIGUOUS", "ALIGNED"])
        constant = np.require(self.constant, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return self if rows is self.rows and constant is self.constant else Prepared(self.spec, rows, constant)

    def take(self, rows: NDArray[np.uint64]) -> Prepared:
        """The given rows only, in that order."""
        return Prepared(self.spec, np.ascontiguousarray(self.rows[rows]), np.ascontiguousarray(self.constant[rows]))

    def narrowest(self) -> Prepared:
        """The same rows in the narrowest unsigned type that holds the bins
        (to send to a cluster); real values as they are."""
        if self.rows.dtype.kind != "u":
            return self
        top = int(self.rows.max()) if self.rows.size else 0
        for kind in (np.uint8, np.uint16, np.uint32):
            if top <= np.iinfo(kind).max:
                return Prepared(self.spec, self.rows.astype(kind), self.constant)
        return self


class Estimator:
    """The base of the estimators that the network functions take as
    ``estimator=``. Use :class:`Binned`, :class:`Gaussian`,
    :class:`GaussianCopula` or :class:`KSG`, or their names ``"binned"``,
    ``"gaussian"``, ``"copula"``, ``"ksg"``."""

    name: ClassVar[str]
    #: Whether p-values can come from a formula (``null="analytic"``).
    analytic: ClassVar[bool] = False
    #: The values of ``nonfinite`` it accepts.
    nonfinite: ClassVar[tuple[str, ...]] = ("raise", "skip")
    #: Whether network inference stops drawing a test's surrogates once its
    #: decision is settled (for estimators whose values are costly).
    sequential: ClassVar[bool] = False

    def prepare(self, array: NDArray[np.float64], nonfinite: str, n_bins: int | None, threads: int,
                report: Any) -> Prepared:
        raise NotImplementedError

    def settings(self) -> dict[str, Any]:
        """The estimator's settings, as results record them."""
        return {}


@dataclass(frozen=True)
class Binned(Estimator):
    """Equal-width bins: every row binned once into ``n_bins`` bins over its
    own range (the scaled rule of the single-pair functions), and the plug-in
    estimate counted from the bins. Exact on discrete states; on continuous
    data a coarse bin keeps only part of what a series carries.

    Parameters
    ----------
    n_bins : int or None
        Bins per series; None sizes them to the length of the series, as each
        function documents.
    """

    n_bins: int | None = None
    name: ClassVar[str] = "binned"
    nonfinite: ClassVar[tuple[str, ...]] = ("raise", "bin", "skip")

    def prepare(self, array: NDArray[np.float64], nonfinite: str, n_bins: int | None, threads: int,
                report: Any) -> Prepared:
        if n_bins is None:
            raise ValueError("the bins must be chosen before binning")
        if nonfinite == "skip" and n_bins == (1 << 64) - 1:
            raise ValueError("nonfinite='skip' marks a missing sample with the code n_bins: n_bins must be below 2**64 - 1")
        codes = np.empty(array.shape, dtype=np.uint32 if n_bins <= _MAX_MI_BINS else np.uint64)
        constant = np.empty(array.shape[0], dtype=np.uint8)
        _network.bin_rows(array, n_bins, nonfinite, threads, report, codes, constant)
        return Prepared(_network.Estimator("binned", n_bins), codes, constant)

    def settings(self) -> dict[str, Any]:
        return {"n_bins": self.n_bins}


def _values(array: NDArray[np.float64], nonfinite: str) -> NDArray[np.float64]:
    if nonfinite == "raise":
        _checks.finite_rows(array)
    return np.ascontiguousarray(array, dtype=np.float64)


@dataclass(frozen=True)
class Gaussian(Estimator):
    """Linear Gaussian estimates from the covariance of the variables
    involved, in bits: I(X; Y | Z) = 1/2 log2(|S_XZ| |S_YZ| / (|S_Z| |S_XYZ|)),
    and for a pair -1/2 log2(1 - rho^2). Exact for jointly Gaussian series,
    and a measure of linear dependence for any. Residual variances below
    1e-12 of a variable's variance count as zero (a constant or exactly
    collinear series adds nothing), so values never exceed 1/2 log2(1e12),
    about 19.93 bits. ``null="analytic"`` takes p-values from the chi-squared
    distribution of 2 N I (in nats). With surrogates, network inference
    stops drawing a test's surrogates once its decision at ``alpha`` is
    settled, and reports the surrogates drawn."""

    name: ClassVar[str] = "gaussian"
    analytic: ClassVar[bool] = True
    sequential: ClassVar[bool] = True

    def prepare(self, array: NDArray[np.float64], nonfinite: str, n_bins: int | None, threads: int,
                report: Any) -> Prepared:
        values = _values(array, nonfinite)
        return Prepared(_network.Estimator("gaussian"), values, np.zeros(values.shape[0], dtype=np.uint8))


@dataclass(frozen=True)
class GaussianCopula(Estimator):
    """The Gaussian estimator on the Gaussian copula of the data: each value
    replaced by the standard normal quantile of its rank, Phi^-1(r / (n + 1)),
    ties sharing the mean of their ranks (n the present values of the
    series). It sees every monotonic coupling, however nonlinear, and is
    unmoved by outliers or by any increasing transformation of a series.
    Network inference stops a test's surrogates as the Gaussian estimator
    does."""

    name: ClassVar[str] = "copula"
    analytic: ClassVar[bool] = True
    sequential: ClassVar[bool] = True

    def prepare(self, array: NDArray[np.float64], nonfinite: str, n_bins: int | None, threads: int,
                report: Any) -> Prepared:
        values = _values(array, nonfinite)
        scores = np.empty(values.shape, dtype=np.float64)
        _network.copula_rows(values, threads, report, scores)
        return Prepared(_network.Estimator("gaussian"), scores, np.zeros(values.shape[0], dtype=np.uint8))


@dataclass(frozen=True)
class KSG(Estimator):
    """Nearest-neighbour estimates (Kraskov, Stögbauer and Grassberger), in
    bits, for continuous signals with couplings of any shape. Distances are
    in the maximum norm; eps is each point's distance to its ``k``-th
    nearest neighbour in the joint space, and n_S the other points strictly
    closer than eps in the subspace S. Mutual information is algorithm 1,
    psi(k) + psi(N) - <psi(n_x + 1) + psi(n_y + 1)>; conditional mutual
    information and transfer entropy the conditional form (Frenzel and
    Pompe), psi(k) + <psi(n_z + 1) - psi(n_xz + 1) - psi(n_yz + 1)>, with X
    the source's past, Y the target's next value and Z the target's own past
    and the conditions' pasts. Neighbour counts are exact (equal to a
    comparison of every pair of points) and the terms are summed in a fixed
    order, so a value repeats to the last bit on any number of workers.

    Each series is first centred and scaled to unit variance over its
    present values (with ``rank=True``, its ranks are, ties sharing their
    mean rank), then gains uniform noise on ``[-noise, noise)`` in units of
    its standard deviation, which breaks the ties of quantised recordings
    (ties make the counts, and with them the estimates, unstable). The noise
    of row i comes from Philox4x64-10 keyed by ``(seed, 8)`` with counter
    ``(i, 0, 0, block)``: it depends only on the seed and the row, never on
    ``workers`` or a cluster. ``noise=0`` adds none.

    Estimates may be negative (the estimator is nearly unbiased, so an
    independent source gives values scattered around 0); matrices and
    ``conditional_transfer_entropy`` report them as they are, and tests
    compare observed and surrogate values alike. Surrogate tests only
    (``null="surrogates"``); network inference stops drawing a test's
    surrogates once its decision at ``alpha`` is settled, and reports the
    surrogates drawn.

    Parameters
    ----------
    k : int
        The neighbour rank, at least 1; 4 by default. Larger k lowers the
        variance and raises the bias.
    noise : float
        The noise amplitude relative to each series' standard deviation,
        finite and at least 0; 1e-8 by default.
    rank : bool
        Use each series' ranks in place of its values; False by default.
    seed : int
        The key of the noise, 0 to 2**64 - 1; 0 by default.
    """

    k: int = 4
    noise: float = 1e-8
    rank: bool = False
    seed: int = 0
    name: ClassVar[str] = "ksg"
    sequential: ClassVar[bool] = True

    def __post_init__(self) -> None:
        k = _checks.in_range(self.k, "k", 1, (1 << 32) - 2)
        if isinstance(self.noise, (bool, np.bool_)) or not isinstance(self.noise, numbers.Real):
            raise TypeError(f"noise must be a real number, not {type(self.noise).__name__}")
        noise = float(self.noise)
        if not (math.isfinite(noise) and noise >= 0.0):
            raise ValueError(f"noise must be finite and at least 0, got {self.noise!r}")
        if not isinstance(self.rank, (bool, np.bool_)):
            raise TypeError(f"rank must be a bool, not {type(self.rank).__name__}")
        seed = _checks.in_range(self.seed, "seed", 0, (1 << 64) - 1)
        object.__setattr__(self, "k", k)
        object.__setattr__(self, "noise", noise)
        object.__setattr__(self, "rank", bool(self.rank))
        object.__setattr__(self, "seed", seed)

    def prepare(self, array: NDArray[np.float64], nonfinite: str, n_bins: int | None, threads: int,
                report: Any) -> Prepared:
        values = _values(array, nonfinite)
        prepared = np.empty(values.shape, dtype=np.float64)
        _network.ksg_rows(values, self.rank, self.noise, self.seed, threads, report, prepared)
        return Prepared(_network.Estimator("ksg", 0, self.k), prepared, np.zeros(values.shape[0], dtype=np.uint8))

    def settings(self) -> dict[str, Any]:
        return {"k": self.k, "noise": self.noise, "rank": self.rank, "seed": self.seed}


_NAMES: dict[str, type[Estimator]] = {"binned": Binned, "gaussian": Gaussian, "copula": GaussianCopula, "ksg": KSG}


def resolve(estimator: object, n_bins: object) -> Estimator:
    """The estimator an ``estimator=`` and ``n_bins=`` pair asks for."""
    if isinstance(estimator, str):
        if estimator not in _NAMES:
            options = ", ".join(repr(a) for a in _NAMES)
            raise ValueError(f"estimator must be one of {options} or an estimator object, got {estimator!r}")
        estimator = _NAMES[estimator]() if estimator != "binned" else Binned(None)
    if not isinstance(estimator, Estimator):
        raise TypeError(f"estimator must be a name or an estimator object such as zn.Gaussian(), "
                        f"not {type(estimator).__name__}")
    if n_bins is not None:
        if not isinstance(estimator, Binned):
            raise ValueError(f"n_bins applies to the binned estimator only, not to {type(estimator).__name__}")
        if estimator.n_bins is not None:
            raise ValueError("give the bins once: n_bins, or Binned(n_bins)")
        estimator = Binned(n_bins)  # type: ignore[arg-type]
    return estimator
