#!/usr/bin/env python3
"""Compares builds of the module on one workload, with their runs interleaved.

Each BUILD is a directory holding a built `synaptor` module, e.g. a copy of
`build/src` after `cmake --build build --target synaptor`, or an empty
directory for the installed one. The workload runs with `run_workload.py
--json` in fresh processes, PYTHONPATH set to the build, one run of every
build per round: a machine whose speed drifts then slows every build alike,
which one build's runs after another's would not.

For every build it prints the best and median transmissions per second and
CPU time per transmission, the largest peak memory, the best and median
construction time and the largest memory after construction, and the digests. Builds
meant to be exact must give the same digests: when they do not, it says so
and exits with status 1.

    python3 bench/compare_builds.py bench/workloads/w2_medium.yaml before/ after/ \\
        --threads 1 --rounds 5
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

RUN_WORKLOAD = Path(__file__).resolve().with_name("run_workload.py")
DIGESTS = ("spike_digest", "digest")


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, help="workload document (.yaml or .json)")
    parser.add_argument("builds", type=Path, nargs="+", metavar="BUILD",
                        help="directories holding a built synaptor module")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each build (default: 3)")
    parser.add_argument("--threads", type=int, help="override technical_params.num_threads")
    parser.add_argument("--ticks", type=int, help="override the number of measured ticks")
    parser.add_argument("--run-file", type=Path, help="driving parameters (default: the .run.json beside it)")
    parser.add_argument("--no-digest", action="store_true",
                        help="skip the final snapshot: only the spike digests are compared")
    args = parser.parse_args(argv)
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    for build in args.builds:
        if not build.is_dir():
            parser.error(f"{build} is not a directory")
    return args


def run_once(args, build):
    command = [sys.executable, str(RUN_WORKLOAD), str(args.document), "--json"]
    for flag, value in (("--threads", args.threads), ("--ticks", args.ticks), ("--run-file", args.run_file)):
        if value is not None:
            command += [flag, str(value)]
    if args.no_digest:
        command.append("--no-digest")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(build.resolve()), env.get("PYTHONPATH")) if p)
    result = subprocess.run(command, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"the run of {build} failed:\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def differing_digests(rows_by_build):
    """The digests that are not the same in every run of every build."""
    return [key for key in DIGESTS
            if len({row[key] for rows in rows_by_build.values() for row in rows
                    if row.get(key) is not None}) > 1]


def summary(build, rows):
    rates = [row["transmissions_per_s"] / 1e6 for row in rows]
    cpu = [row["cpu_ns_per_transmission"] for row in rows]
    built = [row["construction_s"] for row in rows]
    digests = "  ".join(f"{key} {' '.join(sorted({row[key] for row in rows if row.get(key)}))}"
                        for key in DIGESTS if any(row.get(key) for row in rows))
    return (f"{str(build):24s} {max(rates):7.2f} ({statistics.median(rates):6.2f}) M/s"
            f"   {min(cpu):7.1f} ({statistics.median(cpu):6.1f}) CPU ns"
            f"   peak {max(row['peak_rss_mb'] for row in rows):7.1f} MB"
            f"   built in {min(built):6.2f} ({statistics.median(built):6.2f}) s,"
            f" then {max(row['rss_after_construction_mb'] for row in rows):7.1f} MB   {digests}")


def main(argv=None):
    args = parse_args(argv)
    rows_by_build = {build: [] for build in args.builds}
    for _ in range(args.rounds):
        for build in args.builds:
            rows_by_build[build].append(run_once(args, build))
    print(f"{args.document.name}: {args.rounds} runs a build, best (median);"
          f" transmissions per second, CPU time per transmission")
    for build, rows in rows_by_build.items():
        print(summary(build, rows))
    differing = differing_digests(rows_by_build)
    if differing:
        print(f"DIGESTS DIFFER: {', '.join(differing)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
