"""Checks of the network functions' arguments: one place for each rule and
each message."""

from __future__ import annotations

import importlib
import numbers
import operator
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

U64 = 1 << 64
# The longest lag of a past: lags index steps, so they are bounded well
# below any sum with a history that could wrap.
MAX_LAG = 1 << 20
# Surrogates per test: p-values down to 1.5e-8.
MAX_SURROGATES = 1 << 26
NONFINITE = ("raise", "bin", "skip")


def integer(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def in_range(value: object, name: str, low: int, high: int) -> int:
    number = integer(value, name)
    if not low <= number <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {number}")
    return number


def choice(value: object, name: str, allowed: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {options}, got {value!r}")
    return value


def level(alpha: object) -> float:
    """A test level: a Python or NumPy real number strictly between 0 and 1."""
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real):
        raise TypeError(f"alpha must be a real number, not {type(alpha).__name__}")
    value = float(alpha)
    if not 0.0 < value < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
    return value


def seed(value: object) -> int:
    import secrets

    return secrets.randbits(64) if value is None else in_range(value, "seed", 0, U64 - 1)


def nonfinite(value: object, allowed: tuple[str, ...] = NONFINITE) -> str:
    return choice(value, "nonfinite", allowed)


def surrogates(value: object) -> int:
    return in_range(value, "surrogates", 1, MAX_SURROGATES)


def _as_float(values: Any, name: str) -> NDArray[np.float64]:
    """A float64 array (the array itself when it is one), masked entries as
    NaN (a copy then). Only arrays of real numbers (bool, integers, floats)
    are accepted: not scalars or None, and not strings, bytes, dates,
    durations, objects or complex numbers."""
    if np.ndim(values) == 0:
        raise TypeError(f"{name} must be an array of real numbers, not {type(values).__name__}")
    masked = np.ma.isMaskedArray(values)
    raw = np.asarray(np.ma.getdata(values) if masked else values)
    if raw.dtype.kind == "c":
        raise TypeError(f"{name} must be real; complex values have no bins")
    if raw.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {raw.dtype} values")
    if not masked:
        return raw.astype(np.float64, copy=False)
    array = np.array(raw, dtype=np.float64)
    array[np.ma.getmaskarray(values)] = np.nan
    return array


def signals(values: ArrayLike, name: str = "signals") -> NDArray[np.float64]:
    """The rows as a 2-D float64 array (a view where possible)."""
    array = _as_float(values, name)
    if array.ndim != 2:
        raise ValueError(f"{name} must be two-dimensional (one series per row), got {array.ndim} dimension(s)")
    return array


def series(values: ArrayLike, name: str) -> NDArray[np.float64]:
    """A 1-D float64 contiguous copy or view, masked entries as NaN."""
    array = np.ascontiguousarray(_as_float(values, name))
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimension(s)")
    return array


def finite_rows(array: NDArray[np.float64], name: str = "signals") -> None:
    """Raises ValueError naming the first row that holds NaN or an infinity."""
    rows = max(1, (1 << 20) // max(1, array.shape[1]))  # about a million values at a time
    for start in range(0, array.shape[0], rows):
        bad = np.nonzero(~np.isfinite(array[start:start + rows]).all(axis=1))[0]
        if bad.size:
            raise ValueError(f"row {start + bad[0]} of {name} holds NaN or an infinity; clean the data, or pass "
                             "nonfinite='skip' to leave out the steps that use such values")


def cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not every platform can tell
        return max(1, os.cpu_count() or 1)


def workers(value: object) -> int:
    """Threads to compute on: every core this process may run on for None,
    else ``value`` capped at that many (more threads than cores only cost
    memory and switching)."""
    if value is None:
        return cores()
    return min(in_range(value, "workers", 1, U64 - 1), cores())


def shift_length(length: int, reach: int, formula: str) -> None:
    """A shift surrogate moves a source by reach .. length - reach steps:
    `formula` spells 2 * reach in the settings' names."""
    if length < 2 * reach:
        raise ValueError(f"method='shift' needs series of at least {formula} = {2 * reach} steps, got {length}")


@contextmanager
def progress(enabled: object, description: str, unit: str,
             expected: int = 0) -> Iterator[Callable[[int, int], None] | None]:
    """A callback that draws a tqdm bar from (done, total), or None. A total
    of 0 is unknown: the bar then counts towards ``expected`` (an estimate
    of the total, 0 for none), raised as the work passes nine tenths of it,
    so that it shows a time left."""
    if not isinstance(enabled, (bool, np.bool_)):
        raise TypeError(f"progress must be True or False, not {type(enabled).__name__}")
    if not enabled:
        yield None
        return
    try:
        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        raise ImportError(
            "progress=True draws its bar with tqdm, which is not installed: "
            "pip install tqdm (or pip install 'zelmo-information[progress]')"
        ) from None
    bar: Any = None

    def update(done: int, total: int) -> None:
        nonlocal bar
        if not total and expected:
            total = max(expected, bar.total or 0) if bar is not None else expected
            if done * 10 > total * 9:
                total = done * 10 // 9 + 1
        if bar is None:
            bar = tqdm(total=total or None, desc=description, unit=unit)
        elif total and bar.total != total:  # known once the work is laid out
            bar.total = total
        bar.update(done - bar.n)

    try:
        yield update
    except BaseException:
        if bar is not None:
            bar.close()
        raise
    # A call that returns leaves its bar complete, also with nothing to do.
    if bar is None:
        bar = tqdm(total=1, desc=description, unit=unit)
    total = bar.total or bar.n or 1
    if bar.total != total:
        bar.total = total
    bar.update(total - bar.n)
    bar.close()
