"""Thousands of calls of every function on success and on every failure path
(each error of the frame, panics, capacity overflow, MemoryError, a borrowed
array) leave reference counts, allocated blocks and resident memory where they
were, and release every borrow."""

import gc
import os
import sys
from pathlib import Path

import numpy as np
import pytest

from borrows import exclusive, try_exclusive
from conftest import AVAILABLE, REQUIRED, SIGNATURES, Index, function, reference_counts
from models_reliability import CAPACITY, MEMORY, VALUE, ZERO_BINS, measure_outcomes, outcome_of

LENGTH = 20_000  # a leaked copy of one sample is 160 KB per call
REPEATS = 150  # per path and round
SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))  # ASan's quarantine keeps freed memory resident
HASHED = {"cond_mutual_information", "transfer_entropy", "batch_transfer_entropy_py"}
PAIR_TABLES = {"joint_entropy", "conditional_entropy", "mutual_information"}


def resident_bytes():
    """The resident set in bytes; None where /proc does not tell it (macOS)."""
    statm = Path("/proc/self/statm")
    return int(statm.read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE") if statm.exists() else None


def paths(name):
    """(objects passed, [(label, thunk, expected outcome)]) for every way a call of `name` can end."""
    rng = np.random.default_rng(7)
    sig = SIGNATURES[name]
    length = LENGTH // 4 if name in HASHED else LENGTH  # hash-counted ones are slower
    shapes = {"a1": (length,), "a2": (3, length // 2)}
    args = [rng.normal(size=shapes[k]) if k in shapes else -1 if d is REQUIRED else d for _, k, d in sig]
    passed, f = list(args), function(name)
    bins = [p for p, _, _ in sig].index("n_bins")

    def with_value(i, value):
        passed.append(value)
        return lambda: f(*args[:i], value, *args[i + 1:])

    def outcome(n_bins):
        plain = {p: a.tolist() if isinstance(a, np.ndarray) else a for (p, _, _), a in zip(sig, args)}
        (expected,) = measure_outcomes(name, {**plain, "n_bins": n_bins})
        return expected

    def borrowed():
        with exclusive(args[0]):
            f(*args)

    out = [("success", lambda: f(*args), VALUE), ("unexpected keyword", lambda: f(*args, bogus=1), TypeError),
           ("missing arguments", lambda: f(), TypeError), ("not an array", with_value(0, args[0].tolist()), TypeError),
           ("wrapped TypeError", with_value(bins, Index((TypeError, "from __index__", KeyError))), TypeError),
           ("ValueError passed through", with_value(bins, Index((ValueError, "from __index__"))), ValueError),
           ("out of range", with_value(bins, -1 if sig[bins][1] == "u" else 2**70), OverflowError),
           ("n_bins = 0", with_value(bins, 0), outcome(0)), ("AlreadyBorrowed", borrowed, "AlreadyBorrowed")]
    out += [("float out of range", with_value(i, 10**400), OverflowError) for i, (_, k, _) in enumerate(sig) if k == "f"]
    if sig[0][1] == "a1":
        out.append(("AsSliceError", with_value(0, np.repeat(args[0], 2)[::2]), "AsSliceError"))
    if name in HASHED:  # any bin count gives a number
        out.append(("huge n_bins", with_value(bins, 2**64 - 1), VALUE))
    else:  # the failure paths do fail
        huge, enormous = (2**31, 2**25) if name in PAIR_TABLES else (2**62, 2**50)
        out += [(label, with_value(bins, v), outcome(v)) for label, v in (("capacity", huge), ("enormous", enormous))]
        assert [e for _, _, e in out if not isinstance(e, (str, type)) and e != VALUE] == [ZERO_BINS, CAPACITY, MEMORY]
    return passed, out


def run(path_list, repeats):
    for _ in range(repeats):
        for label, thunk, expected in path_list:
            try:
                thunk()
                got = VALUE
            except BaseException as exc:  # noqa: BLE001
                got = outcome_of(exc)
                if isinstance(expected, str):
                    got = got[1].rsplit(" ", 1)[1]
                elif isinstance(expected, type):
                    got = type(exc)
            assert got == expected, (label, got, expected)


@pytest.mark.parametrize("name", AVAILABLE)
def test_every_path_releases_what_it_takes(name, capfd):
    objects, path_list = paths(name)
    counts = reference_counts(objects)
    run(path_list, REPEATS)  # warm-up: caches, free lists, the allocator's arenas
    gc.collect()
    rss, blocks = resident_bytes(), sys.getallocatedblocks()
    run(path_list, REPEATS)
    gc.collect()
    grown_rss = None if rss is None else resident_bytes() - rss
    grown_blocks = sys.getallocatedblocks() - blocks
    capfd.readouterr()  # the panics' reports
    assert reference_counts(objects) == counts
    assert grown_blocks < 20, f"{grown_blocks} more Python blocks after {REPEATS} more calls of each path"
    assert SANITIZED or grown_rss is None or grown_rss < 2 * 2**20, f"resident memory grew by {grown_rss} bytes"
    assert all(try_exclusive(a) for a in objects if isinstance(a, np.ndarray))
