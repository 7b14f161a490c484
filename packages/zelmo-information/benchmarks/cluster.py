"""Network analysis on a Dask cluster: the transfer-entropy matrix on a
LocalCluster of two worker processes against the same call on two local
threads, and what the measured per-task figures predict for a large
cluster."""

import common  # noqa: F401  (first: the thread defaults precede NumPy)

import atexit  # noqa: E402
import logging  # noqa: E402
import pickle  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import Group, Workload, optional_peer  # noqa: E402
from network import Note, ar1  # noqa: E402
from zelmo_information import _distributed  # noqa: E402
from zelmo_information import network as zn  # noqa: E402
from zelmo_information._estimators import Binned  # noqa: E402
from zelmo_information._jobs import TransferMatrix  # noqa: E402

distributed, DISTRIBUTED_ERROR = optional_peer("distributed", "dask.distributed")

FIGURES = {}


def start_client():
    """A LocalCluster of two processes of one thread each, closed at exit."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster)
    atexit.register(cluster.close)
    atexit.register(client.close)
    return client


def identical(ours, peer):
    """0.0 when the two matrices are the same to the last bit."""
    return 0.0 if np.asarray(ours).tobytes() == np.asarray(peer).tobytes() else float("nan")


def build_cluster(sizes):
    if distributed is None:
        return []
    client = start_client()
    rows, length = sizes["rows"], sizes["length"]
    signals = ar1(np.random.default_rng(4), rows, length)
    size = f"{rows} x {length:.0e}"
    bins = zn.transfer_entropy_bins(length)
    cluster_seconds = []

    def on_cluster():
        start = time.perf_counter()
        out = zn.transfer_entropy_matrix(signals, bins, client=client)
        cluster_seconds.append(time.perf_counter() - start)
        return out

    # What a task moves: its arguments in, its block of the result out; the
    # bins go to each worker once.
    binned = Binned(bins).prepare(signals, "raise", bins, 2, None).narrowest()
    pair_seconds = TransferMatrix(1).seconds_per_pair(length)
    side = _distributed._side(rows, pair_seconds, client, None, None)
    blocks = _distributed._blocks(rows, side)
    rows_of = _distributed._rows
    arguments = statistics.mean(len(pickle.dumps((rows_of(a), rows_of(b), 1, None))) for a in blocks for b in blocks)
    def small_tiles():
        start = time.perf_counter()
        zn.transfer_entropy_matrix(signals, bins, client=client, tile=20)
        return time.perf_counter() - start

    FIGURES.update(small_tiles=small_tiles, tasks=len(blocks) ** 2, side=side, arguments=arguments, result=side * side * 8,
                   broadcast=binned.rows.nbytes + binned.constant.nbytes, seconds=cluster_seconds, size=size,
                   rows=rows, length=length, local=lambda: zn.transfer_entropy_matrix(signals, bins, workers=1))
    return [
        Workload(name="te_matrix_local_cluster",
                 measure="transfer_entropy_matrix(S, client=LocalCluster(2 processes x 1 thread))",
                 peer_label="the same call, local, workers=2", size=size, ours=on_cluster,
                 peer=lambda: zn.transfer_entropy_matrix(signals, bins, workers=2), target=0.77,
                 agreement=identical,
                 note="target 0.77 = 1 / 1.3: the cluster within 1.3x of the local call; difference 0: identical bits"),
    ]


def cluster_note():
    if not FIGURES.get("seconds"):
        return f"Cluster: not measured in this run{f' ({DISTRIBUTED_ERROR})' if DISTRIBUTED_ERROR else ''}."
    f = FIGURES
    seconds = statistics.median(f["seconds"])
    small = statistics.median(f["small_tiles"]() for _ in range(5))
    small_tasks = (-(-f["rows"] // 20)) ** 2
    # What a task costs beyond its pairs, on each of the two workers.
    per_task = 2 * (small - seconds) / (small_tasks - f["tasks"])
    one = statistics.median(common.timed(f["local"]) for _ in range(3))
    pair = one / (f["rows"] * (f["rows"] - 1))
    # 10^4 channels of the same length on 100 workers of 32 cores: the pairs
    # at the measured single-thread cost, spread evenly; the bins sent once
    # to each worker; with 1000 surrogates, each about 0.4 of a pair's cost.
    m, workers, cores = 10**4, 100, 32
    work = m * (m - 1) * pair
    bins = m * f["length"]  # 8-bit bins
    test = work * (1 + 1000 * 0.4)
    return (f"Cluster (`te_matrix_local_cluster`, {f['size']}): {f['tasks']} tasks of up to {f['side']} x "
            f"{f['side']} pairs, {f['tasks'] / seconds:.0f} tasks/s; with `tile=20`, {small_tasks} tasks in "
            f"{small * 1e3:.0f} ms, {small_tasks / small:.0f} tasks/s, so a task costs about {per_task * 1e3:.1f} ms "
            f"of a worker beyond its pairs; per task {f['arguments']:.0f} B of arguments "
            f"in and up to {f['result'] / 1024:.0f} KiB of results out, while the bins "
            f"({f['broadcast'] / 2**20:.1f} MiB as 8-bit integers) reach each worker once. One pair costs "
            f"{pair * 1e6:.0f} µs of one thread. For 10^4 channels of the same length on {workers} workers of "
            f"{cores} cores this predicts: the matrix, {work / 3600:.1f} CPU-hours, in "
            f"{work / (workers * cores):.1f} s of computing, behind sending {bins / 1e6:.0f} MB of bins to each "
            f"worker ({workers * bins / 1e9:.0f} GB from the client, {workers * bins * 8 / 1e10:.0f} s at 10 Gbit/s); "
            f"the surrogate test with 1000 surrogates, about {test / 3600:.0f} CPU-hours, in "
            f"{test / (workers * cores) / 60:.0f} min, as about {test / cores:.0f} one-second tasks on 32 threads "
            "each: well within what one scheduler dispatches.")


GROUPS = [
    Group("network_cluster", "Network analysis on a Dask cluster", ["te_matrix_local_cluster"], build_cluster,
          full=dict(rows=200, length=10**4), quick=dict(rows=60, length=2000), notes=[Note(cluster_note)]),
]
