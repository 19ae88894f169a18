#!/usr/bin/env python3
"""What recording neuron state costs a workload's ticks.

Builds the workload as bench/run_workload.py does, runs its warm-up, then
alternates chunks of ticks without and with a recording of N neurons (spread
evenly over the network, voltage and threshold, every tick) in one process,
so that both sides see the same machine load. Prints the process CPU time
per tick of each side and, per pair of chunks, the overhead of recording, as
median and range. Recording changes no result, so both sides run the same
network.

    python3 bench/record_overhead.py bench/workloads/w2_medium.yaml --record 100
"""

import argparse
import json
import statistics
import time
from pathlib import Path

from run_workload import run_file_for, with_threads


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, help="workload document (.yaml or .json)")
    parser.add_argument("--record", type=int, default=100, metavar="N", help="neurons to record")
    parser.add_argument("--chunk", type=int, default=100, help="ticks per chunk (default: 100)")
    parser.add_argument("--pairs", type=int, default=10, help="chunk pairs (default: 10)")
    parser.add_argument("--threads", type=int, help="override technical_params.num_threads")
    return parser.parse_args()


def main():
    args = parse_args()
    import synaptor
    from synaptor_tools import layout

    run = json.loads(run_file_for(args.document).read_text())
    text = args.document.read_text()
    is_json = args.document.suffix == ".json"
    if args.threads is not None:
        text = with_threads(text, args.threads, is_json)
    create = synaptor.create_from_json if is_json else synaptor.create_from_yaml
    inst = create(text, int(run.get("seed", 0)))
    inst.non_coherent_stimulation_rate = float(run.get("non_coherent_stimulation_rate", 0.0))
    inst.reward_rate = float(run.get("reward_rate", 0.0))
    inst.tick_until_ignore_output(max(1, int(run.get("warmup_ticks", 1))))

    num_neurons = layout(text).num_neurons
    count = min(args.record, num_neurons)
    nids = [i * num_neurons // count for i in range(count)]

    def chunk(record):
        if record:
            inst.record(nids, ("voltage", "threshold"))
        cpu0 = time.process_time()
        inst.tick_until_ignore_output(inst.get_t() + args.chunk)
        cpu = time.process_time() - cpu0
        if record:
            assert len(inst.stop_recording()) == args.chunk
        return cpu / args.chunk * 1e6

    plain, recorded, overhead = [], [], []
    for i in range(args.pairs):
        # Alternate which side goes first, so that a trend favours neither.
        first = i % 2 == 1
        a = chunk(first)
        b = chunk(not first)
        without, with_recording = (b, a) if first else (a, b)
        plain.append(without)
        recorded.append(with_recording)
        overhead.append((with_recording / without - 1) * 100)

    def describe(values, unit):
        return (f"median {statistics.median(values):.4g} {unit}, "
                f"range {min(values):.4g} to {max(values):.4g}")

    print(f"workload {args.document.name}: {args.pairs} pairs of {args.chunk}-tick chunks, "
          f"recording {count} neurons (voltage, threshold) every tick")
    print(f"  cpu per tick without recording  {describe(plain, 'us')}")
    print(f"  cpu per tick with recording     {describe(recorded, 'us')}")
    print(f"  overhead per pair               {describe(overhead, '%')}")


if __name__ == "__main__":
    main()
