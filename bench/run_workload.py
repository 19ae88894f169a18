#!/usr/bin/env python3
"""Runs a benchmark workload: a network document and the `.run.json` beside it.

The run file says how the network is driven: `warmup_ticks` (the first tick,
which waits for construction, is timed alone), `ticks` measured with
`tick_until` in chunks of `chunk_ticks`, the non-coherent stimulation rate,
the reward rate and the stimulation seed.

Prints synaptic transmissions per second of wall time, wall and process CPU
time per transmission and per tick, spikes per tick, construction time, resident
memory after construction and at its peak, and a digest of the final state:
every spike of the run (warm-up included) and the bits of one state snapshot
taken after the measured ticks. An optimisation must leave the digest as it was.

    python3 bench/run_workload.py bench/workloads/w2_medium.yaml
    python3 bench/run_workload.py W.yaml --threads 1 --runs 5   # best and median of 5
    python3 bench/run_workload.py W.yaml --record 100   # also record 100 neurons every tick

With `--record N` the measured ticks record voltage and threshold of N neurons
spread evenly over the network at every tick; the samples are taken after
each chunk, inside the timed part, so the figures include what recording costs.

With --mpi, run under mpiexec, the network is spread over the ranks with
synaptor_mpi (--threads workers per rank); rank 0 prints its figures, the
largest peak memory of any rank, and the digest, which must equal the digest
of one process with ranks x threads partitions:

    mpiexec -n 2 python3 bench/run_workload.py W.yaml --mpi --threads 1
"""

import argparse
import hashlib
import json
import re
import statistics
import subprocess
import sys
import time
from array import array
from pathlib import Path

FIELDS = ("transmissions_per_s", "wall_ns_per_transmission", "cpu_ns_per_transmission",
          "wall_us_per_tick", "spikes_per_tick", "construction_s", "rss_after_construction_mb",
          "peak_rss_mb", "tick_call_us")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, help="workload document (.yaml or .json)")
    parser.add_argument("--run-file", type=Path, help="driving parameters (default: the .run.json beside it)")
    parser.add_argument("--threads", type=int, help="override technical_params.num_threads")
    parser.add_argument("--ticks", type=int, help="override the number of measured ticks")
    parser.add_argument("--runs", type=int, default=1,
                        help="repeat in fresh processes and print best and median (default: 1)")
    parser.add_argument("--tick-calls", type=int, default=0,
                        help="after the batch, time this many single tick() calls (per-call overhead)")
    parser.add_argument("--no-digest", action="store_true",
                        help="skip the final snapshot (it needs memory for every synapse as Python objects)")
    parser.add_argument("--record", type=int, default=0, metavar="N",
                        help="record voltage and threshold of N neurons every measured tick")
    parser.add_argument("--json", action="store_true", help="print one JSON line instead of a table")
    parser.add_argument("--mpi", action="store_true",
                        help="spread the network over the ranks of mpiexec with synaptor_mpi")
    return parser.parse_args()


def run_file_for(document):
    return document.with_name(re.sub(r"\.(ya?ml|json)$", "", document.name) + ".run.json")


def with_threads(text, threads, is_json):
    if is_json:
        doc = json.loads(text)
        doc.setdefault("technical_params", {})["num_threads"] = threads
        return json.dumps(doc)
    text, count = re.subn(r"^(\s+)num_threads:.*$", rf"\g<1>num_threads: {threads}", text, flags=re.MULTILINE)
    if count == 0:
        text = re.sub(r"^technical_params:\n", f"technical_params:\n  num_threads: {threads}\n",
                      text, count=1, flags=re.MULTILINE)
    return text


def status_kb(field):
    """A field of /proc/self/status in kB (VmRSS now, VmHWM the peak so far)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def digest_spikes(hasher, ts, ids):
    hasher.update(array("Q", ts).tobytes())
    hasher.update(array("Q", ids).tobytes())


def digest_snapshot(hasher, snapshot):
    hasher.update(array("f", snapshot.membrane_voltages).tobytes())
    hasher.update(array("Q", snapshot.pre_syn_nids).tobytes())
    hasher.update(array("Q", snapshot.post_syn_nids).tobytes())
    hasher.update(array("Q", snapshot.conduction_delays).tobytes())
    hasher.update(array("f", snapshot.weights).tobytes())


def run_once(args):
    comm = None
    if args.mpi:
        from mpi4py import MPI

        import synaptor_mpi as synaptor

        comm = MPI.COMM_WORLD
    else:
        import synaptor

    document = args.document
    run = json.loads((args.run_file or run_file_for(document)).read_text())
    text = document.read_text()
    is_json = document.suffix == ".json"
    if args.threads is not None:
        text = with_threads(text, args.threads, is_json)
    create = synaptor.create_from_json if is_json else synaptor.create_from_yaml
    warmup = max(1, int(run.get("warmup_ticks", 1)))
    ticks = int(args.ticks if args.ticks is not None else run["ticks"])
    chunk = max(1, int(run.get("chunk_ticks", ticks)))

    spikes = hashlib.sha256()
    start = time.perf_counter()
    inst = create(text, int(run.get("seed", 0))) if comm is None else \
        create(text, int(run.get("seed", 0)), comm)
    inst.non_coherent_stimulation_rate = float(run.get("non_coherent_stimulation_rate", 0.0))
    inst.reward_rate = float(run.get("reward_rate", 0.0))
    first = inst.tick_until(1)
    construction_s = time.perf_counter() - start
    rss_after_construction = status_kb("VmRSS")
    digest_spikes(spikes, first.neuron_spikes_ts, first.neuron_spikes_ids)
    if warmup > 1:
        batch = inst.tick_until(warmup)
        digest_spikes(spikes, batch.neuron_spikes_ts, batch.neuron_spikes_ids)

    recorded_samples = 0
    recorded_neurons = 0
    if args.record > 0:
        from synaptor_tools import layout

        num_neurons = layout(text).num_neurons
        recorded_neurons = min(args.record, num_neurons)
        inst.record([i * num_neurons // recorded_neurons for i in range(recorded_neurons)],
                    ("voltage", "threshold"))

    transmissions = 0
    spike_count = 0
    wall0, cpu0 = time.perf_counter(), time.process_time()
    t = warmup
    end = warmup + ticks
    while t < end:
        t = min(end, t + chunk)
        batch = inst.tick_until(t)
        transmissions += batch.synaptic_transmission_count
        spike_count += len(batch.neuron_spikes_ids)
        digest_spikes(spikes, batch.neuron_spikes_ts, batch.neuron_spikes_ids)
        if args.record > 0:
            recorded_samples += len(inst.take_recording())
    wall = time.perf_counter() - wall0
    if args.record > 0:
        inst.stop_recording()
    cpu = time.process_time() - cpu0
    peak_rss = status_kb("VmHWM")

    tick_call_us = None
    if args.tick_calls > 0:
        call0 = time.perf_counter()
        for _ in range(args.tick_calls):
            inst.tick([], [], [], 0.0, False)
        tick_call_us = (time.perf_counter() - call0) / args.tick_calls * 1e6

    final = spikes.hexdigest()[:16]
    if not args.no_digest:
        state = hashlib.sha256()
        state.update(spikes.digest())
        snapshot = inst.tick([], [], [], 0.0, True).state_snapshot
        if snapshot is not None:  # with --mpi on rank 0 only
            digest_snapshot(state, snapshot)
        final = state.hexdigest()[:16]
    ranks = {}
    if comm is not None:
        # Every rank must hold the same spikes; memory is per rank.
        spike_digests = comm.allgather(spikes.hexdigest()[:16])
        ranks = {"ranks": comm.size, "threads_per_rank": inst.num_partitions // comm.size,
                 "spike_digest_same_on_all_ranks": len(set(spike_digests)) == 1,
                 "peak_rss_mb_per_rank": [kb / 1024 for kb in comm.allgather(peak_rss)]}
        inst.close()

    per = max(transmissions, 1)
    return {
        "workload": document.name,
        "ticks": ticks,
        "transmissions": transmissions,
        "transmissions_per_s": transmissions / wall if wall > 0 else 0.0,
        "wall_ns_per_transmission": wall / per * 1e9,
        "cpu_ns_per_transmission": cpu / per * 1e9,
        "wall_us_per_tick": wall / ticks * 1e6,
        "spikes_per_tick": spike_count / ticks,
        "construction_s": construction_s,
        "rss_after_construction_mb": rss_after_construction / 1024,
        "peak_rss_mb": peak_rss / 1024,
        "tick_call_us": tick_call_us,
        "recorded_neurons": recorded_neurons,
        "recorded_samples": recorded_samples,
        "spike_digest": spikes.hexdigest()[:16],
        "digest": final if not args.no_digest else None,
        **ranks,
    }


def print_table(rows):
    row = rows[0]
    print(f"workload {row['workload']}: {row['ticks']} measured ticks, "
          f"{row['transmissions']} transmissions")
    if row.get("recorded_neurons"):
        print(f"  recording {row['recorded_neurons']} neurons every tick: "
              f"{row['recorded_samples']} samples taken")
    for name in FIELDS:
        values = [r[name] for r in rows if r[name] is not None]
        if not values:
            continue
        best = max(values) if name == "transmissions_per_s" else min(values)
        line = f"  {name:28s} {best:14.4g}"
        if len(values) > 1:
            line += f"   (median {statistics.median(values):.4g} of {len(values)})"
        print(line)
    for key in ("ranks", "threads_per_rank", "spike_digest_same_on_all_ranks", "peak_rss_mb_per_rank"):
        if key in row:
            print(f"  {key:28s} {row[key]}")
    for key in ("spike_digest", "digest"):
        distinct = sorted({r[key] for r in rows if r[key] is not None})
        if distinct:
            print(f"  {key:28s} {' '.join(distinct)}" + ("   DIFFERS BETWEEN RUNS" if len(distinct) > 1 else ""))


def main():
    args = parse_args()
    if args.mpi and args.runs > 1:
        sys.exit("--mpi runs once per mpiexec; repeat the mpiexec command instead of --runs")
    if args.runs <= 1:
        rows = [run_once(args)]
    else:
        passed, skip = [], False
        for arg in sys.argv[1:]:
            if skip or arg.startswith("--runs="):
                skip = False
            elif arg == "--runs":
                skip = True
            else:
                passed.append(arg)
        child = [sys.executable, __file__, *passed, "--json"]
        rows = []
        for _ in range(args.runs):
            out = subprocess.run(child, check=True, capture_output=True, text=True).stdout
            rows.append(json.loads(out.strip().splitlines()[-1]))
    if args.mpi:
        from mpi4py import MPI

        if MPI.COMM_WORLD.rank != 0:
            return
    if args.json and len(rows) == 1:
        print(json.dumps(rows[0]))
    else:
        print_table(rows)


if __name__ == "__main__":
    main()
