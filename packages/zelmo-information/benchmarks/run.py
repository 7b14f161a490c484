#!/usr/bin/env python3
"""Side-by-side benchmarks of zelmo_information against the libraries a NumPy
user would otherwise pick (NumPy, SciPy, scikit-learn, pyitlib, pyinform).

Every workload times our function and its peer on the same seeded data in one
run, the repetitions of the two sides interleaved, and reports both medians,
the ratio peer / ours (above 1: we are faster), the peak extra resident memory
of one call of each side, and the largest relative difference between the two
results wherever both compute the same number.

    python benchmarks/run.py            # full sizes, 7 repetitions
    python benchmarks/run.py --quick    # small sizes, 3 repetitions
    python benchmarks/run.py --only te_history1 --only batch

The table is printed and written to benchmarks/RESULTS.md together with a
description of the machine; benchmarks/ratios.png charts the ratios.

The workloads live in one file per family (entropy.py, divergence.py, ...),
each exposing GROUPS; common.py holds the timing, memory and reporting.
"""

import common  # first: sets the thread defaults before NumPy is loaded

import argparse  # noqa: E402
import datetime  # noqa: E402
import importlib  # noqa: E402
import sys  # noqa: E402

# The family modules, in the order of the table. A new family is a module
# next to this one with a GROUPS list, named here.
FAMILIES = ("entropy", "divergence", "dependence", "transfer", "overhead", "network", "continuous", "cluster", "ksg")

GROUPS = [group for family in FAMILIES
          for group in importlib.import_module(family).GROUPS]

# Notes of every RESULTS.md, before those of the groups that ran.
STANDING_NOTES = [
    "`shannon_copy` is the floor: one copy of the sample, which our finite-value "
    "filtering needs anyway; the target is ours within 2x of it.",
    "The peers bin with NumPy on the same grid (equal-width, `numpy.histogram` for the "
    "comparisons and the one-sample entropy, our scaled index in integer arithmetic for "
    "the dependence measures); their binning is inside their timed call, except for "
    "pyinform, which is handed series binned beforehand.",
]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, 3 repetitions")
    parser.add_argument("--only", action="append", default=[], metavar="NAME",
                        help="run only this workload or group (repeatable); names: "
                             + ", ".join(g.name for g in GROUPS) + " and the workload names")
    parser.add_argument("--reps", type=int, help="repetitions per side (default 7, quick 3)")
    parser.add_argument("--no-write", action="store_true",
                        help="print only; do not write RESULTS.md and ratios.png")
    args = parser.parse_args(argv)

    known = common.known_names(GROUPS)
    unknown = [name for name in args.only if name not in known]
    if unknown:
        parser.error(f"unknown workload(s) {', '.join(unknown)}; known: {', '.join(sorted(known))}")

    reps = args.reps or common.REPS["quick" if args.quick else "full"]
    started = datetime.datetime.now()
    print(f"zelmo_information benchmarks ({'quick' if args.quick else 'full'} sizes, "
          f"{reps} interleaved repetitions per side, medians)", flush=True)

    results, group_notes = common.run_groups(GROUPS, args.only, args.quick, reps)

    print()
    print("\n".join(common.table_lines(results)))
    print()
    print(common.summary_line(results))

    if args.no_write:
        return 0
    command = " ".join(["benchmarks/run.py"] + (argv if argv is not None else sys.argv[1:]))
    common.write_results(results, STANDING_NOTES + group_notes, command, started, reps)
    return 0


if __name__ == "__main__":
    sys.exit(main())
