#!/usr/bin/env python3
"""Two instances of one worker each, run one after the other and in two
Python threads, with the interpreter lock held by their batches (the
default) and released (release_gil). Prints best and median wall seconds
of --rounds interleaved rounds.

    python3 bench/release_gil_bench.py [--document examples/network.yaml] [--ticks N]
"""

import argparse
import json
import statistics
import threading
import time
from pathlib import Path

import synaptor
import synaptor_tools

ROOT = Path(__file__).resolve().parents[1]


def one_worker(path):
    doc = synaptor_tools.load_document(path.read_text())
    doc.setdefault("technical_params", {})["num_threads"] = 1
    doc["technical_params"]["pin_threads"] = False
    return json.dumps(doc)


def make(text, seed, release):
    inst = synaptor.create_from_json(text, seed)
    inst.non_coherent_stimulation_rate = 0.01
    inst.release_gil = release
    return inst


def timed(text, ticks, mode, release):
    instances = [make(text, seed, release) for seed in (1, 2)]
    start = time.perf_counter()
    if mode == "sequential":
        for inst in instances:
            inst.tick_until_ignore_output(ticks)
    else:
        threads = [threading.Thread(target=inst.tick_until_ignore_output, args=(ticks,))
                   for inst in instances]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    elapsed = time.perf_counter() - start
    for inst in instances:
        assert inst.get_t() == ticks
        inst.close()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--document", type=Path, default=ROOT / "examples" / "network.yaml")
    parser.add_argument("--ticks", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    text = one_worker(args.document)
    cases = [("sequential", False), ("two threads", False), ("two threads", True)]
    times = {case: [] for case in cases}
    for _ in range(args.rounds):
        for case in cases:
            times[case].append(timed(text, args.ticks, *case))
    for (mode, release), values in times.items():
        print(f"{mode:12s} release_gil={release!s:5s}: best {min(values):.3f} s, "
              f"median {statistics.median(values):.3f} s")


if __name__ == "__main__":
    main()
