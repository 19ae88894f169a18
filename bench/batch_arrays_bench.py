#!/usr/bin/env python3
"""What keeping a batch's spikes costs: time and memory of the batch calls.

Builds the workload as bench/run_workload.py does and runs its warm-up. Then,
in each round, runs one chunk of ticks through each of

  ignore   tick_until_ignore_output (keeps nothing: the floor),
  arrays   tick_until_arrays (spikes as arrays of u64),
  lists    tick_until with its four spike lists read once, as a caller must,
  run      synaptor_tools.run over the chunk (arrays, kept in a RunResult),

in an order that rotates from round to round, on one instance, so that every
side sees the same network and machine load. Prints wall time per tick (best
and median) and the median of each side's time over ignore's in the same
round. Then holds the spikes of `--hold` ticks taken each way and prints the
bytes each spike keeps, from the process's resident set and from tracemalloc.

    python3 bench/batch_arrays_bench.py bench/workloads/w2_medium.yaml
"""

import argparse
import gc
import json
import statistics
import time
import tracemalloc
from pathlib import Path

from run_workload import run_file_for, status_kb, with_threads

SIDES = ("ignore", "arrays", "lists", "run")
SPIKE_LISTS = ("neuron_spikes_ts", "neuron_spikes_ids", "out_channel_spikes_ts",
               "out_channel_spikes_ids")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", type=Path, nargs="?",
                        default=Path(__file__).parent / "workloads" / "w2_medium.yaml")
    parser.add_argument("--chunk", type=int, default=1000, help="ticks per side and round")
    parser.add_argument("--rounds", type=int, default=8, help="rounds (default: 8)")
    parser.add_argument("--hold", type=int, default=6000,
                        help="ticks whose spikes are held for the memory figures")
    parser.add_argument("--threads", type=int, help="override technical_params.num_threads")
    return parser.parse_args()


def create(args):
    import synaptor

    run = json.loads(run_file_for(args.document).read_text())
    text = args.document.read_text()
    is_json = args.document.suffix == ".json"
    if args.threads is not None:
        text = with_threads(text, args.threads, is_json)
    make = synaptor.create_from_json if is_json else synaptor.create_from_yaml
    inst = make(text, int(run.get("seed", 0)))
    inst.non_coherent_stimulation_rate = float(run.get("non_coherent_stimulation_rate", 0.0))
    inst.reward_rate = float(run.get("reward_rate", 0.0))
    inst.tick_until_ignore_output(max(1, int(run.get("warmup_ticks", 1))))
    return inst


def take(inst, side, t_end):
    """Runs the ticks up to t_end one way; returns what that way keeps."""
    from synaptor_tools import run

    if side == "ignore":
        return inst.tick_until_ignore_output(t_end)
    if side == "arrays":
        return inst.tick_until_arrays(t_end)
    if side == "lists":
        batch = inst.tick_until(t_end)
        return [getattr(batch, name) for name in SPIKE_LISTS]
    return run(inst, t_end, chunk=t_end - inst.get_t(), progress=False)


def count_spikes(kept):
    if isinstance(kept, list):
        return len(kept[0]) + len(kept[2])
    return len(kept.neuron_spikes_ts) + len(kept.out_channel_spikes_ts)


def time_sides(inst, args, clock):
    per_tick = {side: [] for side in SIDES}
    ratios = {side: [] for side in SIDES}
    for round_index in range(args.rounds):
        shift = round_index % len(SIDES)
        order = SIDES[shift:] + SIDES[:shift]
        seconds = {}
        for side in order:
            gc.collect()
            start = clock()
            kept = take(inst, side, inst.get_t() + args.chunk)
            seconds[side] = clock() - start
            del kept
        for side in SIDES:
            per_tick[side].append(seconds[side] / args.chunk * 1e6)
            ratios[side].append((seconds[side] / seconds["ignore"] - 1) * 100)
    return per_tick, ratios


def held_bytes(inst, side, ticks):
    """Bytes per spike that the result of `ticks` ticks keeps: resident set
    growth, then (over the next `ticks` ticks, since tracing inflates the
    resident set) what tracemalloc counts, Python's allocator only."""
    gc.collect()
    rss0 = status_kb("VmRSS")
    kept = take(inst, side, inst.get_t() + ticks)
    gc.collect()
    rss = (status_kb("VmRSS") - rss0) * 1024 / count_spikes(kept)
    del kept
    gc.collect()
    tracemalloc.start()
    kept = take(inst, side, inst.get_t() + ticks)
    traced, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    n = count_spikes(kept)
    del kept
    gc.collect()
    return n, rss, traced / n


def main():
    args = parse_args()
    inst = create(args)
    clocks = (("wall time", time.perf_counter), ("process cpu time", time.process_time))
    for name, clock in clocks if args.rounds > 0 else ():
        per_tick, ratios = time_sides(inst, args, clock)
        print(f"workload {args.document.name}: {args.rounds} rounds of {args.chunk} ticks per "
              f"side, {name} per tick")
        for side in SIDES:
            print(f"  {side:7s} best {min(per_tick[side]):8.1f} us  median "
                  f"{statistics.median(per_tick[side]):8.1f} us  over ignore: best "
                  f"{min(per_tick[side]) / min(per_tick['ignore']) * 100 - 100:+6.1f} %, median "
                  f"of rounds {statistics.median(ratios[side]):+6.1f} %  (range "
                  f"{min(ratios[side]):+.1f} to {max(ratios[side]):+.1f} %)")
    print(f"spikes held after {args.hold} ticks (neuron and output-channel spikes)")
    for side in ("arrays", "run", "lists"):
        n, rss, traced = held_bytes(inst, side, args.hold)
        print(f"  {side:7s} {n} spikes: {rss:6.1f} bytes a spike resident, "
              f"{traced:6.1f} traced by tracemalloc")


if __name__ == "__main__":
    main()
