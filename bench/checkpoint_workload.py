#!/usr/bin/env python3
"""Times save_state and restore_state on a benchmark workload.

Builds the network of a workload document, drives it through its warm-up ticks
as bench/run_workload.py does (the `.run.json` beside it), saves the state,
restores it into a second instance of the same document (by default with
another thread count) and prints the save and restore times (wall and CPU),
the file size and
its bytes per synapse (the synapse count is read from the file), then runs both
instances on for a few ticks and checks that their spikes agree.

    python3 bench/checkpoint_workload.py bench/workloads/w3_large.yaml --dir /tmp
"""

import argparse
import json
import os
import struct
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run_workload import run_file_for, with_threads  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, help="workload document (.yaml or .json)")
    parser.add_argument("--threads", type=int, help="threads of the saving instance")
    parser.add_argument("--restore-threads", type=int, default=1,
                        help="threads of the restoring instance (default: 1)")
    parser.add_argument("--ticks-after", type=int, default=20,
                        help="ticks run after the restore by both instances and compared")
    parser.add_argument("--dir", type=Path, help="directory of the state file (default: a temporary one)")
    return parser.parse_args()


def count_synapses(path):
    """Neurons and synapses of a state file, from the summary that follows
    the instance section (docs/checkpoint.md)."""
    data = Path(path).read_bytes()
    # header, t, rates, learning switch, stimulus generator
    pos = 40 + 8 + 8 + 4 + 1 + 32 + 8 + 256 + 8

    def u64():
        nonlocal pos
        pos += 8
        return struct.unpack_from("<Q", data, pos - 8)[0]

    def records(size):
        nonlocal pos
        n = u64()
        pos += size * n

    records(8)  # the last tick's spikes
    for _ in range(3):  # pending stimulus
        for _ in range(u64()):
            records(16)
    neurons = synapses = 0
    for _ in range(u64()):
        neurons += u64()
        synapses += u64()
    return neurons, synapses


def create(args, threads, run):
    import synaptor

    text = args.document.read_text()
    is_json = args.document.suffix == ".json"
    if threads is not None:
        text = with_threads(text, threads, is_json)
    inst = (synaptor.create_from_json if is_json else synaptor.create_from_yaml)(text, int(run.get("seed", 0)))
    inst.non_coherent_stimulation_rate = float(run.get("non_coherent_stimulation_rate", 0.0))
    inst.reward_rate = float(run.get("reward_rate", 0.0))
    return inst


def main():
    args = parse_args()
    run = json.loads(run_file_for(args.document).read_text())
    warmup = max(1, int(run.get("warmup_ticks", 1)))
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        path = os.path.join(tmp, "workload.state")
        source = create(args, args.threads, run)
        source.tick_until(warmup)

        start, cpu = time.perf_counter(), time.process_time()
        source.save_state(path)
        save_s = time.perf_counter() - start
        save_cpu_s = time.process_time() - cpu
        size = os.path.getsize(path)
        neurons, synapses = count_synapses(path)

        target = create(args, args.restore_threads, run)
        target.tick_until(1)  # construction done before the clock starts
        start, cpu = time.perf_counter(), time.process_time()
        target.restore_state(path)
        restore_s = time.perf_counter() - start
        restore_cpu_s = time.process_time() - cpu

        end = warmup + args.ticks_after
        a = source.tick_until(end)
        b = target.tick_until(end)
        same = (a.neuron_spikes_ts, a.neuron_spikes_ids) == (b.neuron_spikes_ts, b.neuron_spikes_ids)

    print(f"workload {args.document.name}: state at tick {warmup}, {neurons} neurons, "
          f"{synapses} synapses; saved with {args.threads or 'the document' + chr(39) + 's'} threads, "
          f"restored with {args.restore_threads}")
    # CPU time of the process as well: wall time on a shared machine
    # includes waiting for a CPU.
    print(f"  save_s                       {save_s:10.3f}   (cpu {save_cpu_s:.3f})")
    print(f"  restore_s                    {restore_s:10.3f}   (cpu {restore_cpu_s:.3f})")
    print(f"  file_mb                      {size / 2**20:10.1f}")
    print(f"  bytes_per_synapse            {size / max(synapses, 1):10.2f}   (synapse records in memory: 24)")
    print(f"  continued_identically        {same!s:>10}   ({len(a.neuron_spikes_ids)} spikes in "
          f"{args.ticks_after} ticks after the restore)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
