"""Thousands of calls of every function, on success and on every failure path
(binding and conversion errors, OverflowError, ValueError passed through,
PanicException for an unviewable array, n_bins = 0, capacity overflow and an
exclusively borrowed array, MemoryError for an enormous table), leave the
reference counts of the arguments, the interpreter's allocated blocks and the
resident memory where they were, and release every borrow."""

import contextlib
import gc
import os
import sys

import numpy as np
import pytest

from borrows import exclusive, try_exclusive
from conftest import AVAILABLE, REQUIRED, SIGNATURES, function
from models_reliability import CAPACITY, INDEX_0, MEMORY, VALUE, measure_outcomes

LENGTH = 20_000  # a leaked copy of one sample is 160 KB per call
REPEATS = 150  # per path and round
SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))  # ASan's quarantine keeps freed memory resident

ONE_D_TABLES = {"shannon_entropy", "renyi_entropy", "tsallis_entropy", "kl_divergence", "js_divergence",
                "hellinger_distance", "total_variation_distance", "cross_entropy", "information_gain"}
PAIR_TABLES = {"joint_entropy", "conditional_entropy", "mutual_information"}


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc("from __index__")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def stderr_silenced():
    """Panics write a report to standard error; thousands of them are noise."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def paths(name):
    """(label, thunk, expected outcome) for every way a call of `name` can end."""
    rng = np.random.default_rng(7)
    sig = SIGNATURES[name]
    length = LENGTH if name in ONE_D_TABLES | PAIR_TABLES else LENGTH // 4  # hash-counted ones are slower
    names = [p for p, _, _ in sig]
    args = []
    for _, kind, default in sig:
        if kind == "a1":
            args.append(rng.normal(size=length))
        elif kind == "a2":
            args.append(rng.normal(size=(3, length // 2)))
        else:
            args.append(-1 if default is REQUIRED else default)
    passed = list(args)  # every object handed to the function
    f = function(name)
    bins = names.index("n_bins")
    bins_kind = sig[bins][1]

    def with_value(i, value):
        passed.append(value)
        return lambda: f(*args[:i], value, *args[i + 1:])

    def outcome(n_bins):
        plain = {p: a.tolist() if isinstance(a, np.ndarray) else a for p, a in zip(names, args)}
        plain["n_bins"] = n_bins
        (expected,) = measure_outcomes(name, plain)
        return expected

    out = [
        ("success", lambda: f(*args), VALUE),
        ("unexpected keyword", lambda: f(*args, bogus=1), TypeError),
        ("missing arguments", lambda: f(), TypeError),
        ("array of the wrong type", with_value(0, args[0].tolist()), TypeError),
        ("wrapped TypeError", with_value(bins, Index(TypeError)), TypeError),
        ("ValueError passed through", with_value(bins, Index(ValueError)), ValueError),
        ("out of range", with_value(bins, -1 if bins_kind == "u" else 2**70), OverflowError),
        ("n_bins = 0", with_value(bins, 0), outcome(0)),
    ]
    for i, (_, kind, _) in enumerate(sig):
        if kind == "f":
            out.append(("float out of range", with_value(i, 10**400), OverflowError))
    if sig[0][1] == "a1":
        strided = np.repeat(args[0], 2)[::2]
        out.append(("AsSliceError", with_value(0, strided), "AsSliceError"))
    if name in ONE_D_TABLES | PAIR_TABLES:
        huge, enormous = (2**62, 2**50) if name in ONE_D_TABLES else (2**31, 2**25)
        out.append(("capacity", with_value(bins, huge), outcome(huge)))
        out.append(("enormous table", with_value(bins, enormous), outcome(enormous)))
    else:  # hash-counted: any bin count gives a number
        out.append(("huge n_bins", with_value(bins, 2**64 - 1), VALUE))

    def borrowed():
        with exclusive(args[0]):
            f(*args)

    out.append(("AlreadyBorrowed", borrowed, "AlreadyBorrowed"))
    if name in ONE_D_TABLES | PAIR_TABLES:  # the failure paths do fail
        assert [e for label, _, e in out if label in FAILING] == [INDEX_0, CAPACITY, MEMORY]
    return passed, out


FAILING = ("n_bins = 0", "capacity", "enormous table")


def run(path_list, repeats):
    for _ in range(repeats):
        for label, thunk, expected in path_list:
            try:
                thunk()
                got = VALUE
            except BaseException as exc:  # noqa: BLE001
                if type(exc).__name__ == "PanicException":
                    got = ("PanicException", exc.args[0])
                    if exc.args[0].endswith(("AsSliceError", "AlreadyBorrowed")):
                        got = exc.args[0].rsplit(" ", 1)[1]
                elif type(exc) is MemoryError:
                    got = MEMORY
                else:
                    got = type(exc)
            assert got == expected, (label, got, expected)


@pytest.mark.parametrize("name", AVAILABLE)
def test_every_path_releases_what_it_takes(name):
    objects, path_list = paths(name)
    counts = [sys.getrefcount(a) for a in objects]
    with stderr_silenced():
        run(path_list, REPEATS)  # warm-up: caches, free lists, the allocator's arenas
        gc.collect()
        rss, blocks = resident_bytes(), sys.getallocatedblocks()
        run(path_list, REPEATS)
        gc.collect()
        grown_rss, grown_blocks = resident_bytes() - rss, sys.getallocatedblocks() - blocks
    assert [sys.getrefcount(a) for a in objects] == counts
    assert grown_blocks < 20, f"{grown_blocks} more Python blocks after {REPEATS} more calls of each path"
    if not SANITIZED:
        assert grown_rss < 2 * 2**20, f"resident memory grew by {grown_rss} bytes"
    for a in objects:
        if isinstance(a, np.ndarray):
            assert try_exclusive(a)
