"""The network functions on a real Dask cluster that the tests start: the
results equal the local calls bit for bit however the work is tiled, also
when a worker process is killed mid-run; a bad client is refused."""

import logging
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

from conftest import sigint_raises
from zelmo_information import network as zn

distributed = pytest.importorskip("distributed")

FIELDS = ("te", "p_values", "null_mean", "null_std")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


def signals(seed=0, m=9, length=1500):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(m, length))
    x[1, 1:] += 0.8 * x[0, :-1]  # 0 -> 1 -> 2
    x[2, 1:] += 0.8 * x[1, :-1]
    return x


def identical(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def same_test(a, b):
    return all(identical(getattr(a, f), getattr(b, f)) for f in FIELDS) and a.seed == b.seed


def same_network(a, b):
    return (a.links == b.links and identical(a.adjacency, b.adjacency) and identical(a.te, b.te)
            and identical(a.p_values, b.p_values) and identical(a.target_p_values, b.target_p_values))


# ---------------------------------------------------------------------------
# The same numbers as the local calls


@pytest.mark.parametrize("tile", [None, 1, 2, 4, 9, 50])
def test_every_function_equals_the_local_call(client, tile):
    x = signals()
    remote = dict(client=client, tile=tile)
    assert identical(zn.transfer_entropy_matrix(x, **remote), zn.transfer_entropy_matrix(x))
    assert identical(zn.mutual_information_matrix(x, **remote), zn.mutual_information_matrix(x))
    assert same_test(zn.transfer_entropy_test(x, surrogates=40, seed=5, **remote),
                     zn.transfer_entropy_test(x, surrogates=40, seed=5))
    network = zn.infer_network(x, surrogates=200, seed=5, **remote)
    assert same_network(network, zn.infer_network(x, surrogates=200, seed=5))
    assert network.sources(2) == [(1, 1)]


@pytest.mark.parametrize("options", [
    dict(n_bins=2**40, history=2),        # 64-bit bins: the wide paths, codes sent as 8-bit
    dict(n_bins=300, history=1),          # 16-bit codes
    dict(n_bins=0), dict(n_bins=1),
    dict(n_bins=4, history=0),
])
def test_settings_and_bin_widths(client, options):
    x = signals(1, m=5, length=600)
    remote = dict(client=client, tile=2)
    assert identical(zn.transfer_entropy_matrix(x, **options, **remote), zn.transfer_entropy_matrix(x, **options))
    assert same_test(zn.transfer_entropy_test(x, surrogates=10, seed=1, method="shuffle", **options, **remote),
                     zn.transfer_entropy_test(x, surrogates=10, seed=1, method="shuffle", **options))
    if options.get("n_bins") not in (0, 2**40):
        assert identical(zn.mutual_information_matrix(x, options["n_bins"], **remote),
                         zn.mutual_information_matrix(x, options["n_bins"]))


@pytest.mark.parametrize("estimator", ["gaussian", "copula", "binned", "ksg"])
def test_estimators_and_missing_samples(client, estimator):
    x = signals(8, m=7, length=800)
    x[2, 100] = np.nan
    x[5, 300:310] = np.inf
    if estimator == "ksg":  # a few hundred times the work per sample: fewer rows and steps
        x = x[[0, 1, 2, 5], :500]
    local = dict(estimator=estimator, nonfinite="skip")
    for tile in (None, 2, 3):
        remote = dict(client=client, tile=tile, **local)
        assert identical(zn.transfer_entropy_matrix(x, history=2, **remote),
                         zn.transfer_entropy_matrix(x, history=2, **local))
        assert identical(zn.mutual_information_matrix(x, **remote), zn.mutual_information_matrix(x, **local))
        nulls = ("surrogates",) if estimator in ("binned", "ksg") else ("surrogates", "analytic")
        for null in nulls:
            assert same_test(zn.transfer_entropy_test(x, surrogates=30, seed=2, null=null, **remote),
                             zn.transfer_entropy_test(x, surrogates=30, seed=2, null=null, **local))
        assert same_network(zn.infer_network(x, max_lag=2, null=nulls[-1], surrogates=100, seed=3, **remote),
                            zn.infer_network(x, max_lag=2, null=nulls[-1], surrogates=100, seed=3, **local))


def test_nonfinite_values_and_degenerate_shapes(client):
    x = signals(2, m=6, length=400)
    x[3, 10] = np.nan
    x[4, 20] = np.inf
    with pytest.raises(ValueError, match="^row 3 of signals holds NaN"):
        zn.transfer_entropy_matrix(x, client=client)
    remote = dict(client=client, tile=4, nonfinite="bin")
    assert identical(zn.mutual_information_matrix(x, **remote), zn.mutual_information_matrix(x, nonfinite="bin"))
    assert same_network(zn.infer_network(x, max_lag=2, surrogates=30, seed=0, **remote),
                        zn.infer_network(x, max_lag=2, surrogates=30, seed=0, nonfinite="bin"))
    for shape in [(0, 50), (1, 50), (3, 2)]:
        empty = np.zeros(shape)
        assert identical(zn.transfer_entropy_matrix(empty, client=client), zn.transfer_entropy_matrix(empty))
        assert same_test(zn.transfer_entropy_test(empty, surrogates=5, seed=0, method="shuffle", client=client),
                         zn.transfer_entropy_test(empty, surrogates=5, seed=0, method="shuffle"))


def test_series_without_steps_give_the_local_results(client):
    for shape in [(3, 0), (0, 0), (4, 2)]:
        empty = np.zeros(shape)
        assert identical(zn.transfer_entropy_matrix(empty, client=client), zn.transfer_entropy_matrix(empty))
        assert identical(zn.mutual_information_matrix(empty, client=client), zn.mutual_information_matrix(empty))
        assert same_test(zn.transfer_entropy_test(empty, surrogates=5, seed=0, method="shuffle", client=client),
                         zn.transfer_entropy_test(empty, surrogates=5, seed=0, method="shuffle"))
        assert same_network(zn.infer_network(empty, surrogates=5, seed=0, method="shuffle", client=client),
                            zn.infer_network(empty, surrogates=5, seed=0, method="shuffle"))


def calls():
    return [zn.transfer_entropy_matrix, zn.mutual_information_matrix,
            lambda s, **k: zn.transfer_entropy_test(s, surrogates=5, **k),
            lambda s, **k: zn.infer_network(s, surrogates=5, **k)]


def small_cluster(workers):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=False, dashboard_address=None,
                                    silence_logs=logging.ERROR)


def test_a_closed_client_is_refused():
    x = signals(8, m=3, length=100)
    with small_cluster(1) as cluster:
        closed = distributed.Client(cluster)
        closed.close()
        for call in calls():
            with pytest.raises(ValueError, match="^client is closed"):
                call(x, client=closed)


def test_a_cluster_without_workers_fails_after_the_documented_wait(monkeypatch):
    from zelmo_information import _distributed

    monkeypatch.setattr(_distributed, "WORKER_TIMEOUT", 0.5)
    x = signals(9, m=3, length=100)
    with small_cluster(0) as cluster, distributed.Client(cluster) as empty:
        for call in calls():
            outcome = {}

            def run():
                try:
                    outcome["result"] = call(x, client=empty)
                except BaseException as exc:  # noqa: BLE001
                    outcome["error"] = exc

            thread = threading.Thread(target=run, daemon=True)
            thread.start()
            thread.join(timeout=60)
            assert not thread.is_alive(), "the call waits for workers forever"
            error = outcome.get("error")
            assert isinstance(error, TimeoutError) and "has no workers: none joined within 0.5 s" in str(error)


def test_progress_counts_tasks(client, capsys):
    x = signals(3, m=6, length=300)
    zn.transfer_entropy_matrix(x, client=client, tile=2, progress=True)
    assert "9/9" in capsys.readouterr().err  # 3 x 3 tiles
    zn.mutual_information_matrix(x, client=client, tile=2, progress=True)
    assert "6/6" in capsys.readouterr().err  # the tiles on and above the diagonal


# ---------------------------------------------------------------------------
# Faults


def tiles_done(dask_scheduler):
    """(tiles finished, tiles in all) of the surrogate test running now."""
    states = [ts.state for key, ts in dask_scheduler.tasks.items() if str(key).startswith("pair_task")]
    return sum(state in ("memory", "released") for state in states), len(states)


def test_a_worker_killed_mid_run_changes_nothing(client):
    x = signals(4, m=16, length=6000)
    expected = zn.transfer_entropy_test(x, surrogates=1000, seed=9)
    victim = sorted(client.run(os.getpid).values())[0]
    outcome = {}

    def run():
        outcome["result"] = zn.transfer_entropy_test(x, surrogates=1000, seed=9, client=client, tile=2)

    thread = threading.Thread(target=run)
    thread.start()
    deadline = time.monotonic() + 300
    done, total = 0, 0
    while (done < 4 or total < 64) and thread.is_alive() and time.monotonic() < deadline:
        time.sleep(0.02)
        done, total = client.run_on_scheduler(tiles_done)
    os.kill(victim, signal.SIGKILL)
    thread.join(timeout=600)
    assert not thread.is_alive()
    assert 4 <= done < total == 64, "the worker was not killed mid-run"
    assert same_test(outcome["result"], expected)
    client.wait_for_workers(2, timeout=60)
    assert victim not in client.run(os.getpid).values()


def test_ctrl_c_cancels_the_tasks(client):
    x = signals(6, m=16, length=6000)
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with sigint_raises(), pytest.raises(KeyboardInterrupt):
        zn.transfer_entropy_test(x, surrogates=20_000, seed=1, client=client, tile=2)
    assert time.monotonic() - started < 30
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(tiles_done)[1] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert client.run_on_scheduler(tiles_done)[1] == 0  # nothing left to run
    x = signals(7, m=4, length=300)
    assert identical(zn.transfer_entropy_matrix(x, client=client), zn.transfer_entropy_matrix(x))


def test_bad_clients_are_refused(monkeypatch):
    x = signals(5, m=3, length=100)
    calls = [zn.transfer_entropy_matrix, zn.mutual_information_matrix,
             lambda s, **k: zn.transfer_entropy_test(s, surrogates=5, **k),
             lambda s, **k: zn.infer_network(s, surrogates=5, **k)]
    for call in calls:
        for bad in [object(), "tcp://127.0.0.1:8786", distributed]:
            with pytest.raises(TypeError, match="client must be a dask.distributed.Client"):
                call(x, client=bad)
        with pytest.raises(ValueError, match="tile must be between 1"):
            call(x, client=None, tile=0)
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if not installed
    for call in calls:
        with pytest.raises(ImportError, match=r"pip install 'zelmo-information\[distributed\]'"):
            call(x, client=object())
        call(x)  # the local call needs nothing more
