"""Labelled input: pandas DataFrames and Series, xarray DataArrays.

A labelled object is recognised by the module its type comes from, so that
neither pandas nor xarray is imported unless the caller passed one of its
objects. Each becomes the rows the functions compute on (one series per row,
time along the columns) with the series' labels and the labels of the time
steps, which error messages and results then use.
"""

from __future__ import annotations

import importlib
import warnings
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _checks

Labels = tuple[Hashable, ...]


def _library(value: object) -> str | None:
    """ "pandas" or "xarray" for a labelled object of those libraries, else
    None (duck typing on the type's module: nothing is imported)."""
    # The classes the type derives from, so that subclasses defined
    # elsewhere (a GeoDataFrame) count as what they extend.
    tops = {(getattr(c, "__module__", None) or "").split(".", 1)[0] for c in type(value).__mro__}
    top = "pandas" if "pandas" in tops else "xarray" if "xarray" in tops else None
    if top == "pandas" and hasattr(value, "columns") and hasattr(value, "index"):
        return "pandas"
    if top == "pandas" and hasattr(value, "index") and hasattr(value, "name") and getattr(value, "ndim", 0) == 1:
        return "pandas-series"
    if top == "xarray" and hasattr(value, "dims") and hasattr(value, "coords"):
        return "xarray"
    return None


@dataclass(frozen=True)
class Rows:
    """The rows of a call and where they came from.

    ``kind`` is ``"array"``, ``"pandas"`` or ``"xarray"``; ``labels`` names
    the series (None for an array), ``times`` the time steps (None where the
    input has none); ``name`` is the argument's name, for messages."""

    array: NDArray[np.float64]
    labels: Labels | None
    times: Any
    kind: str
    name: str

    def label(self, row: int) -> str:
        """How a message names a row: its label, or its index."""
        if self.labels is None:
            return f"row {row} of {self.name}"
        noun = "column" if self.kind == "pandas" else "series"
        return f"{noun} {self.labels[row]!r} of {self.name}"

    def finite(self) -> None:
        """Raises ValueError naming the first series that holds NaN or an
        infinity, and where it does."""
        array = self.array
        step = max(1, (1 << 20) // max(1, array.shape[1]))  # about a million values at a time
        for start in range(0, array.shape[0], step):
            bad = np.nonzero(~np.isfinite(array[start:start + step]).all(axis=1))[0]
            if bad.size:
                row = start + int(bad[0])
                t = int(np.argmin(np.isfinite(array[row])))
                where = at(self.times, t)
                raise ValueError(f"{self.label(row)} holds NaN or an infinity (first at {where}); clean the data, "
                                 "or pass nonfinite='skip' to leave out the steps that use such values")


def _float_columns(frame: Any, name: str) -> NDArray[np.float64]:
    """The values of a DataFrame as float64 (time down, series across),
    missing values (None, NaN, pandas.NA) as NaN; every column must hold
    real numbers."""
    pandas: Any = importlib.import_module("pandas")
    for label, dtype in frame.dtypes.items():
        if isinstance(dtype, pandas.CategoricalDtype) or pandas.api.types.is_complex_dtype(dtype) or \
                not (pandas.api.types.is_numeric_dtype(dtype) or pandas.api.types.is_bool_dtype(dtype)):
            raise TypeError(f"column {label!r} of {name} must hold real numbers, not {dtype} values")
    return np.asarray(frame.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64)


def _time_dim(array: Any, time_dim: object, name: str) -> Hashable:
    dims = tuple(array.dims)
    if time_dim is None:
        if "time" in dims:
            return "time"
        raise ValueError(f"{name} is a DataArray with dimensions {dims}: name the one that time runs along "
                         "with time_dim=")
    if time_dim not in dims:
        raise ValueError(f"time_dim={time_dim!r} is not a dimension of {name}; its dimensions are {dims}")
    return time_dim


def _coordinate(array: Any, dim: Hashable) -> Any:
    return array.coords[dim].values if dim in array.coords else None


def rows(signals: Any, time_dim: object = None, name: str = "signals", *, stacklevel: int = 3) -> Rows:
    """The series of ``signals`` as rows, with their labels.

    An array keeps rows as series, and one with more rows than columns
    draws a UserWarning: it is more likely a table with time down the rows.
    Fewer than 10 rows are left alone: read either way such an array holds
    too few steps for an estimate, and degenerate shapes are valid input.
    """
    library = _library(signals)
    if time_dim is not None and library != "xarray":
        raise ValueError("time_dim names the time dimension of an xarray DataArray; "
                         f"{name} is a {type(signals).__name__}")
    if library == "pandas":
        values = _float_columns(signals, name)
        return Rows(values.T, tuple(signals.columns), signals.index, "pandas", name)
    if library == "xarray":
        if signals.ndim != 2:
            raise ValueError(f"{name} must be two-dimensional (series and time), got {signals.ndim} dimension(s)")
        time = _time_dim(signals, time_dim, name)
        other = next(d for d in signals.dims if d != time)
        data = signals.transpose(other, time).values
        array = _checks.signals(data, name)
        coordinate = _coordinate(signals, other)
        labels = tuple(coordinate.tolist()) if coordinate is not None else tuple(range(array.shape[0]))
        times = _coordinate(signals, time)
        return Rows(array, labels, times, "xarray", name)
    if library == "pandas-series":
        raise ValueError(f"{name} must be two-dimensional: a DataFrame with a column per series, "
                         f"not a Series")
    array = _checks.signals(signals, name)
    m, length = array.shape
    if m > length and m >= 10:
        warnings.warn(f"{name} has {m} rows and {length} columns, read as {m} series of {length} steps (rows are "
                      f"series). If time runs down the rows, as in a table, pass {name}.T, or a pandas DataFrame, "
                      "whose columns are read as the series.", UserWarning, stacklevel=stacklevel)
    return Rows(array, None, None, "array", name)


def series(values: Any, name: str, time_dim: object = None) -> tuple[NDArray[np.float64], Hashable | None, Any]:
    """A one-dimensional series, its label (a Series' or DataArray's name)
    and its time labels."""
    library = _library(values)
    if library == "pandas-series":
        frame = values.to_frame()
        data = _float_columns(frame, name)[:, 0]
        return np.ascontiguousarray(data), values.name, values.index
    if library == "pandas":
        raise ValueError(f"{name} must be one-dimensional: a Series, not a DataFrame")
    if library == "xarray":
        if values.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got {values.ndim} dimension(s)")
        return _checks.series(values.values, name), values.name, _coordinate(values, values.dims[0])
    return _checks.series(values, name), None, None


def at(times: Any, t: int) -> str:
    """Where step t lies: its time label, when it has one besides t."""
    if times is None:
        return f"step {t}"
    label = times[t]
    if isinstance(label, (int, np.integer)) and label == t:
        return f"step {t}"
    return f"{label} (step {t})"


def described(name: str, label: Hashable | None) -> str:
    """How a message names a series argument: with its label when it has one."""
    return name if label is None else f"{name} {label!r}"


# ---------------------------------------------------------------------------
# Results shaped like the input


def matrix(values: NDArray[Any], labels: Labels, kind: str) -> Any:
    """A square (source, target) matrix as a labelled DataFrame or
    DataArray."""
    if kind == "xarray":
        xarray: Any = importlib.import_module("xarray")
        return xarray.DataArray(values, dims=("source", "target"),
                                coords={"source": list(labels), "target": list(labels)})
    return frame(values, labels)


def frame(values: NDArray[Any], labels: Labels) -> Any:
    """A square matrix as a DataFrame, sources down the index, targets
    across."""
    pandas = need_pandas()
    index = _index(pandas, labels, "source")
    columns = _index(pandas, labels, "target")
    return pandas.DataFrame(values, index=index, columns=columns)


def _index(pandas: Any, labels: Labels, name: str) -> Any:
    if labels and all(isinstance(label, tuple) for label in labels):
        return pandas.MultiIndex.from_tuples(labels)
    index = pandas.Index(list(labels), tupleize_cols=False)
    index.name = name
    return index


def need_pandas() -> Any:
    try:
        pandas: Any = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("tables of results need pandas, which is not installed: pip install pandas "
                          "(or pip install 'zelmo-information[pandas]')") from None
    return pandas


def need_pyplot() -> Any:
    try:
        pyplot: Any = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise ImportError("plot() draws with matplotlib, which is not installed: pip install matplotlib "
                          "(or pip install 'zelmo-information[plot]')") from None
    return pyplot
