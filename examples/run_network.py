#!/usr/bin/env python3
"""Simulates the example network of examples/network.yaml.

The input layer is driven by a sweeping stimulus pattern and by random
non-coherent spikes; the whole run is one `tick_until` call. Prints a short
summary and, when matplotlib is available, writes a spike raster plot.
"""

import argparse
import re
import sys
import time
from pathlib import Path

import synaptor

HERE = Path(__file__).resolve().parent


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--document", type=Path, default=HERE / "network.yaml",
                        help="YAML parameter document (default: %(default)s)")
    parser.add_argument("--ticks", type=int, default=5000, help="ticks to simulate (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random stimulation")
    parser.add_argument("--rate", type=float, default=0.002,
                        help="non-coherent stimulation rate: expected fraction of all neurons "
                             "forced to spike per tick (default: %(default)s)")
    parser.add_argument("--reward-rate", type=float, default=0.05,
                        help="constant reward of every tick (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=None,
                        help="worker threads (default: the document's, else one per CPU)")
    parser.add_argument("--raster", default="raster.png",
                        help="raster plot to write when matplotlib is available; "
                             "an empty name writes none (default: %(default)s)")
    return parser.parse_args()


def layer_sizes(text):
    """The layers' neuron counts, for labelling (the document lists them in order)."""
    return [int(n) for n in re.findall(r"^\s*- num_neurons:\s*(\d+)", text, re.MULTILINE)]


def with_threads(text, threads):
    text = re.sub(r"^\s*num_threads:.*\n", "", text, flags=re.MULTILINE)
    return re.sub(r"^technical_params:\n", f"technical_params:\n  num_threads: {threads}\n",
                  text, count=1, flags=re.MULTILINE)


def sweep_stimulus(num_channels, first_t, num_ticks, period=50, sweep_ticks=20):
    """Every `period` ticks a wave runs across all input channels in `sweep_ticks` ticks."""
    stimulus = synaptor.Stimulus()
    ts, ids = [], []
    per_tick = max(1, num_channels // sweep_ticks)
    for start in range(first_t, first_t + num_ticks, period):
        for step in range(sweep_ticks):
            for channel in range(step * per_tick, min(num_channels, (step + 1) * per_tick)):
                ts.append(start + step)
                ids.append(channel)
    stimulus.in_channel_spikes_ts = ts
    stimulus.in_channel_spikes_ids = ids
    return stimulus


def mean_weights(snapshot, bounds):
    """Mean synaptic weight per (source layer, target layer) pair."""
    def layer_of(nid):
        for index, (lo, hi) in enumerate(bounds):
            if lo <= nid < hi:
                return index
        return -1

    sums = {}
    for pre, post, w in zip(snapshot.pre_syn_nids, snapshot.post_syn_nids, snapshot.weights):
        key = (layer_of(pre), layer_of(post))
        total, count = sums.get(key, (0.0, 0))
        sums[key] = (total + w, count + 1)
    return {key: (total / count, count) for key, (total, count) in sums.items()}


def write_raster(path, batch, sizes, ticks):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("raster plot: skipped (matplotlib is not installed)")
        return
    fig, ax = plt.subplots(figsize=(12, 6), dpi=110)
    ax.scatter(batch.neuron_spikes_ts, batch.neuron_spikes_ids, s=0.3, c="black", marker=".",
               linewidths=0)
    offset = 0
    for index, size in enumerate(sizes):
        if index > 0:
            ax.axhline(offset - 0.5, color="tab:red", linewidth=0.6)
        ax.text(ticks * 1.005, offset + size / 2, ["input", "hidden", "output"][index]
                if len(sizes) == 3 else f"layer {index}", va="center", fontsize=8)
        offset += size
    ax.set_xlim(0, ticks)
    ax.set_ylim(-0.5, offset - 0.5)
    ax.set_xlabel("tick")
    ax.set_ylabel("neuron id")
    ax.set_title("spike raster")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    print(f"raster plot: {path}")


def main():
    args = parse_args()
    text = args.document.read_text()
    if args.threads is not None:
        text = with_threads(text, args.threads)
    sizes = layer_sizes(text)
    bounds, lo = [], 0
    for size in sizes:
        bounds.append((lo, lo + size))
        lo += size

    instance = synaptor.create_from_yaml(text, args.seed)
    # Tick 0 without input, only to read the network as built.
    initial = instance.tick([], [], [], 0.0, True).state_snapshot
    num_neurons = len(initial.membrane_voltages)
    num_synapses = len(initial.weights)
    weights_before = mean_weights(initial, bounds)
    del initial

    if sizes:
        instance.apply_stimulus(sweep_stimulus(sizes[0], 0, args.ticks))
    instance.non_coherent_stimulation_rate = args.rate
    instance.reward_rate = args.reward_rate

    start = time.perf_counter()
    batch = instance.tick_until(args.ticks)
    elapsed = time.perf_counter() - start
    ticks_run = args.ticks - 1

    final = instance.tick([], [], [], 0.0, True).state_snapshot
    weights_after = mean_weights(final, bounds)

    spike_ids = batch.neuron_spikes_ids
    per_layer = [0] * len(bounds)
    for nid in spike_ids:
        for index, (lo, hi) in enumerate(bounds):
            if lo <= nid < hi:
                per_layer[index] += 1
                break
    transmissions = batch.synaptic_transmission_count

    print(f"network: {num_neurons} neurons in layers of {', '.join(map(str, sizes))}; "
          f"{num_synapses} synapses")
    print(f"ran {ticks_run} ticks in {elapsed:.2f} s of wall time "
          f"({ticks_run / elapsed:.0f} ticks/s)")
    print(f"spikes: {len(spike_ids)} ({len(spike_ids) / ticks_run:.1f} per tick; per layer: "
          + ", ".join(f"{n / ticks_run:.2f}" for n in per_layer) + " per tick)")
    print(f"output channel spikes: {len(batch.out_channel_spikes_ids)}")
    print(f"synaptic transmissions: {transmissions} "
          f"({transmissions / elapsed:.3g} per second of wall time)")
    for key in sorted(weights_before):
        before, count = weights_before[key]
        after = weights_after.get(key, (float("nan"), 0))[0]
        print(f"mean weight layer {key[0]} -> {key[1]} ({count} synapses): "
              f"{before:.4f} -> {after:.4f}")
    if args.raster:
        write_raster(Path(args.raster), batch, sizes, args.ticks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
