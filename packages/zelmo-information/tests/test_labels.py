"""Labelled series in, labelled results out: DataFrames are read with time
down the index and a column per series, DataArrays along the named time
dimension; results, messages, tables and plots name the series by label."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

from zelmo_information import network as zn

pd = pytest.importorskip("pandas")

NAMES = ["temp", "rain", "wind", "flow", "load", "price", "sun", "snow"]


def recording(length=3000, seed=0):
    """Eight channels, time down the rows: temp drives rain positively at lag
    1, rain drives wind negatively at lag 2, the rest are noise."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(length, 8))
    for t in range(2, length):
        x[t, 1] += 0.8 * x[t - 1, 0]
        x[t, 2] -= 0.7 * x[t - 2, 1]
    return pd.DataFrame(x, columns=NAMES, index=pd.date_range("2020-01-01", periods=length, freq="D"))


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def labelled(frame, labels):
    return list(frame.index) == labels and list(frame.columns) == labels


def test_a_dataframe_is_read_by_columns_in_every_function():
    df = recording()
    rows = df.to_numpy().T
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a DataFrame is never taken for a transposed array
        te, steps = zn.transfer_entropy_matrix(df, return_steps=True)
        mi = zn.mutual_information_matrix(df, estimator="gaussian")
        test = zn.transfer_entropy_test(df, estimator="gaussian", null="analytic")
        net = zn.infer_network(df, estimator="gaussian", null="analytic", max_lag=3)
    for matrix in (te, steps, mi):
        assert isinstance(matrix, pd.DataFrame) and matrix.shape == (8, 8) and labelled(matrix, NAMES)
    assert same(te, zn.transfer_entropy_matrix(rows)) and same(steps, zn.transfer_entropy_matrix(rows, return_steps=True)[1])
    assert same(mi, zn.mutual_information_matrix(rows, estimator="gaussian"))
    assert test.labels == tuple(NAMES) and net.labels == tuple(NAMES)
    assert same(test.te, zn.transfer_entropy_test(rows, estimator="gaussian", null="analytic", seed=test.seed).te)
    assert set(zip(*np.nonzero(test.significant()))) == {(0, 1)}  # history 1 cannot see lag 2
    assert [(k.source, k.target, k.lag) for k in net.links] == [(0, 1, 1), (1, 2, 2)]
    assert net.sources("wind") == net.sources(2) == [(1, 2)]
    # The single-pair conditional function takes Series and a DataFrame of conditions.
    assert zn.conditional_transfer_entropy(df["rain"], df["wind"], df[["temp"]], estimator="gaussian", lag=2) == \
        zn.conditional_transfer_entropy(rows[1], rows[2], rows[[0]], estimator="gaussian", lag=2)


def test_link_signs_are_those_of_the_couplings():
    df = recording()
    for estimator in ("gaussian", "copula"):
        table = zn.infer_network(df, estimator=estimator, null="analytic", max_lag=3).to_pandas()
        assert list(table.columns) == ["source", "target", "lag", "te", "p_value", "sign"]
        assert table[["source", "target", "lag", "sign"]].values.tolist() == [["temp", "rain", 1, 1],
                                                                                ["rain", "wind", 2, -1]]
    # A sign flipped in the data flips in the result.
    flipped = df.assign(temp=-df["temp"])
    links = zn.infer_network(flipped, estimator="gaussian", null="analytic", max_lag=3).links
    assert [k.sign for k in links] == [-1, -1]


def test_binned_results_have_no_sign_and_label_their_tables():
    df = recording(length=2000)
    net = zn.infer_network(df, 4, max_lag=2, surrogates=300, seed=1)
    table = net.to_pandas()
    assert list(table.columns) == ["source", "target", "lag", "te", "p_value"]
    assert ("temp", "rain", 1) in set(map(tuple, table[["source", "target", "lag"]].values.tolist()))
    assert all(k.sign is None for k in net.links)
    assert labelled(net.to_frame("adjacency"), NAMES) and net.to_frame("adjacency").values.sum() == net.adjacency.sum()
    nx = pytest.importorskip("networkx")
    graph = net.to_networkx()
    assert isinstance(graph, nx.DiGraph) and list(graph.nodes) == NAMES and graph.has_edge("temp", "rain")


def test_test_result_in_long_form_and_as_text():
    df = recording(length=1500)
    test = zn.transfer_entropy_test(df, 4, surrogates=1200, seed=3)
    long = test.to_pandas()
    assert list(long.columns) == ["source", "target", "te", "p_value", "null_mean", "null_std", "effective_te",
                                  "steps", "significant"]
    assert len(long) == 8 * 7 and not (long["source"] == long["target"]).any()
    row = long[(long.source == "temp") & (long.target == "rain")].iloc[0]
    assert row.te == test.te[0, 1] and row.p_value == test.p_values[0, 1] and row.significant
    assert long["significant"].sum() == test.significant().sum()
    for name in ("te", "p_values", "effective_te", "steps"):
        frame = test.to_frame(name)
        assert labelled(frame, NAMES) and same(frame.to_numpy(), getattr(test, name))
    for text in (repr(test), repr(zn.infer_network(df, estimator="gaussian", null="analytic"))):
        assert len(text) < 300 and "array" not in text and "\n" not in text
    assert "temp -> rain" in " ".join(test.summary().split())


def test_a_dataarray_is_read_along_its_time_dimension():
    xr = pytest.importorskip("xarray")
    df = recording(length=1000)
    rows = df.to_numpy().T
    channels = xr.DataArray(rows, dims=("channel", "time"), coords={"channel": NAMES})
    te = zn.transfer_entropy_matrix(channels)  # a dimension named "time" is the time
    assert isinstance(te, xr.DataArray) and te.dims == ("source", "target")
    assert list(te.coords["source"].values) == NAMES and same(te.values, zn.transfer_entropy_matrix(rows))
    other = channels.rename(time="day").transpose("day", "channel")
    with pytest.raises(ValueError, match="time_dim"):
        zn.transfer_entropy_matrix(other)
    test = zn.transfer_entropy_test(other, time_dim="day", estimator="gaussian", null="analytic")
    assert test.labels == tuple(NAMES) and same(test.te, zn.transfer_entropy_test(rows, estimator="gaussian",
                                                                                     null="analytic", seed=0).te)
    with pytest.raises(ValueError, match="time_dim"):
        zn.transfer_entropy_matrix(rows, time_dim="day")


def test_a_taller_than_wide_array_warns_of_transposition():
    df = recording(length=500)
    with pytest.warns(UserWarning, match=r"500 rows and 8 columns.*signals\.T"):
        assert zn.mutual_information_matrix(df.to_numpy()).shape == (500, 500)
    with pytest.warns(UserWarning, match=r"signals\.T"):
        zn.infer_network(df.to_numpy()[:40], estimator="gaussian", null="analytic", max_lag=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zn.mutual_information_matrix(df.to_numpy().T)
        zn.mutual_information_matrix(np.ones((1, 1)))
        zn.transfer_entropy_matrix(np.ones((3, 2)))  # degenerate either way: no estimate to save


def test_messages_name_the_series():
    df = recording(length=300)
    df.iloc[40, 0] = np.nan
    for call in (lambda: zn.transfer_entropy_matrix(df), lambda: zn.mutual_information_matrix(df, estimator="copula"),
                 lambda: zn.transfer_entropy_test(df, surrogates=10), lambda: zn.infer_network(df, surrogates=10),
                 lambda: zn.conditional_transfer_entropy(df["temp"], df["rain"], df[["wind"]]),
                 lambda: zn.conditional_transfer_entropy(df["rain"], df["wind"], df[["temp"]])):
        with pytest.raises(ValueError, match=r"'temp' .*holds NaN.*2020-02-10.*nonfinite='skip'"):
            call()
    # Skipping the gap gives what the array gives.
    skipped = zn.transfer_entropy_matrix(df, estimator="gaussian", nonfinite="skip")
    assert same(skipped, zn.transfer_entropy_matrix(df.to_numpy().T, estimator="gaussian", nonfinite="skip"))
    # pandas' own missing values count as missing.
    nullable = recording(length=300).astype("Float64")
    nullable.iloc[7, 3] = pd.NA
    with pytest.raises(ValueError, match="'flow'"):
        zn.mutual_information_matrix(nullable)
    with pytest.raises(TypeError, match="column 'sun' of signals must hold real numbers"):
        zn.transfer_entropy_matrix(recording(length=50).assign(sun="bright"))


def test_one_plot_of_each_kind(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    df = recording(length=1000)
    net = zn.infer_network(df, estimator="gaussian", null="analytic", max_lag=2)
    test = zn.transfer_entropy_test(df, estimator="gaussian", null="analytic")
    for result, name in ((net, "network.png"), (test, "test.png")):
        ax = result.plot()
        ax.figure.savefig(tmp_path / name)
        assert (tmp_path / name).stat().st_size > 10_000
        labels = {t.get_text() for t in ax.texts} | {t.get_text() for t in ax.get_xticklabels()}
        assert {"temp", "rain", "wind"} <= labels
        matplotlib.pyplot.close(ax.figure)


def test_arrays_need_neither_pandas_nor_xarray():
    code = """
import sys, numpy as np
from zelmo_information import network as zn
x = np.random.default_rng(0).normal(size=(3, 400))
zn.transfer_entropy_matrix(x); zn.mutual_information_matrix(x)
net = zn.infer_network(x, estimator="gaussian", null="analytic"); net.summary(); repr(net)
repr(zn.transfer_entropy_test(x, surrogates=10))
assert not {"pandas", "xarray", "matplotlib"} & set(sys.modules), sorted(sys.modules)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


def test_the_inference_bar_has_a_total_from_the_start(capsys):
    pytest.importorskip("tqdm")
    zn.infer_network(recording(length=1000), estimator="gaussian", surrogates=200, seed=1, progress=True)
    frames = [f for f in capsys.readouterr().err.split("\r") if f.strip()]
    # tqdm draws a percentage (and a time left) only when it knows a total.
    assert frames and all("total estimated" in f and "%|" in f for f in frames), frames
    assert "100%" in frames[-1]
