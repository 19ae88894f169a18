#!/usr/bin/env python3
"""What recording synapse weights costs a workload's run.

Builds the workload as bench/run_workload.py does and runs its warm-up. Then,
in one process so that both sides see the same machine load, it alternates
chunks of ticks without and with a recording of N synapses chosen at random
(seeded) every `--every` ticks, the side that goes first changing from pair
to pair. The samples are taken after each recorded chunk, inside the timed
part. Prints the wall time of the ticks and the process CPU time of the whole
chunk per tick of each side, best and median, the time of the record and stop
calls (once per recording, however long it runs), and the overhead of
recording on the ticks' wall time, best against best and per pair. Recording
changes no result, so both sides run the same network.

    python3 bench/synapse_recording_bench.py bench/workloads/w2_medium.yaml --synapses 100

With --once, one chunk without and one with the recording are timed instead,
with the time that record_synapses and stop_synapse_recording take and the
resident memory before, while the samples are held, and at the peak (for
recording very many synapses):

    python3 bench/synapse_recording_bench.py bench/workloads/w3_large.yaml \\
        --synapses 1000000 --every 10 --chunk 200 --once
"""

import argparse
import json
import random
import statistics
import time
from pathlib import Path

from run_workload import run_file_for, with_threads


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, help="workload document (.yaml or .json)")
    parser.add_argument("--synapses", type=int, default=100, help="synapses to record")
    parser.add_argument("--every", type=int, default=1, help="ticks between samples")
    parser.add_argument("--chunk", type=int, default=200, help="ticks per chunk (default: 200)")
    parser.add_argument("--pairs", type=int, default=8, help="chunk pairs (default: 8)")
    parser.add_argument("--threads", type=int, help="override technical_params.num_threads")
    parser.add_argument("--seed", type=int, default=1, help="seed of the choice of synapses")
    parser.add_argument("--once", action="store_true",
                        help="one chunk each way, with memory and call times")
    return parser.parse_args()


def rss_mb(field="VmRSS"):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def main():
    args = parse_args()
    import synaptor

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

    num_synapses = len(inst.synapses().weights)
    count = min(args.synapses, num_synapses)
    indices = sorted(random.Random(args.seed).sample(range(num_synapses), count))
    samples = len(range(0, args.chunk, args.every))

    def chunk(record, memory=False):
        """Wall and CPU seconds of one chunk, of its record and take calls,
        and with `memory` the resident memory while the samples were held."""
        wall0, cpu0 = time.perf_counter(), time.process_time()
        if record:
            inst.record_synapses(indices, every=args.every)
        wall1 = time.perf_counter()
        inst.tick_until_ignore_output(inst.get_t() + args.chunk)
        wall2 = time.perf_counter()
        held = rss_mb() if memory else 0.0
        if record:
            taken = inst.stop_synapse_recording()
            assert len(memoryview(taken.t)) == samples
            del taken
        wall3, cpu3 = time.perf_counter(), time.process_time()
        return {"wall": wall3 - wall0, "cpu": cpu3 - cpu0, "start": wall1 - wall0,
                "ticks": wall2 - wall1, "take": wall3 - wall2, "held_mb": held}

    print(f"workload {args.document.name}: {num_synapses} synapses, recording {count} "
          f"every {args.every} ticks ({samples} samples per {args.chunk}-tick chunk)")
    if args.once:
        before = rss_mb()
        # The peak from here on, not that of the listing of every synapse above.
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        plain = chunk(False, memory=True)
        recorded = chunk(True, memory=True)
        peak = rss_mb("VmHWM")
        sample_mb = samples * (8 + 4 * count) / 2**20
        for name, result in (("without recording", plain), ("with recording", recorded)):
            print(f"  chunk {name:<18} {result['wall']:.3f} s wall, {result['cpu']:.3f} s cpu")
        print(f"  of which record_synapses  {recorded['start']:.3f} s, "
              f"stop_synapse_recording {recorded['take']:.4f} s")
        print(f"  samples {sample_mb:.1f} MB; resident {before:.0f} MB before, "
              f"{recorded['held_mb']:.0f} MB holding them, peak {peak:.0f} MB")
        return

    plain, recorded, overhead = [], [], []
    for i in range(args.pairs):
        first = i % 2 == 1
        a = chunk(first)
        b = chunk(not first)
        without, with_recording = (b, a) if first else (a, b)
        plain.append(without)
        recorded.append(with_recording)
        overhead.append((with_recording["ticks"] / without["ticks"] - 1) * 100)

    def describe(values, key, scale=1e6 / args.chunk, unit="us/tick"):
        picked = [v[key] * scale for v in values]
        return f"best {min(picked):.4g}, median {statistics.median(picked):.4g} {unit}"

    print(f"  ticks without recording   {describe(plain, 'ticks')}")
    print(f"  ticks with recording      {describe(recorded, 'ticks')}")
    print(f"  cpu without recording     {describe(plain, 'cpu')}")
    print(f"  cpu with recording        {describe(recorded, 'cpu')}")
    print(f"  record_synapses()         {describe(recorded, 'start', 1e3, 'ms')}")
    print(f"  stop_synapse_recording()  {describe(recorded, 'take', 1e3, 'ms')}")
    best = (min(r["ticks"] for r in recorded) / min(p["ticks"] for p in plain) - 1) * 100
    print(f"  ticks' overhead, best vs best  {best:+.2f} %")
    print(f"  ticks' overhead per pair       median {statistics.median(overhead):+.2f} %, "
          f"range {min(overhead):+.2f} to {max(overhead):+.2f} %")


if __name__ == "__main__":
    main()
