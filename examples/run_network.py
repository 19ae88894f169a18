#!/usr/bin/env python3
"""Simulates the example network of examples/network.yaml.

The input layer is driven by a sweeping stimulus pattern and by random
non-coherent spikes; the whole run is one `tick_until` call. Prints a short
summary and, when matplotlib is available, writes a spike raster plot.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import synaptor
import synaptor_tools

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
    parser.add_argument("--progress", action="store_true",
                        help="show the progress of the run on standard error")
    parser.add_argument("--raster", default="raster.png",
                        help="raster plot to write when matplotlib is available; "
                             "an empty name writes none (default: %(default)s)")
    return parser.parse_args()


def with_threads(text, threads):
    """The document as JSON with `num_threads` set (the YAML tags become the
    JSON form of the variants)."""
    doc = synaptor_tools.load_document(text)
    doc["technical_params"]["num_threads"] = threads
    return json.dumps(doc)


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


def write_raster(path, batch, net):
    try:
        synaptor_tools.raster(batch, net, path=path,
                              layer_names=["input", "hidden", "output"] if len(net.layers) == 3
                              else None)
    except ImportError as e:
        print(f"raster plot: skipped ({e})")
        return
    print(f"raster plot: {path}")


def main():
    args = parse_args()
    text = args.document.read_text()
    net = synaptor_tools.layout(text)
    sizes = net.sizes
    bounds = [(layer.first_nid, layer.first_nid + layer.num_neurons) for layer in net.layers]
    if args.threads is None:
        instance = synaptor.create_from_yaml(text, args.seed)
    else:
        instance = synaptor.create_from_json(with_threads(text, args.threads), args.seed)
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
    # In chunks, with a progress line on standard error; Ctrl-C stops it.
    batch = synaptor_tools.run(instance, args.ticks, chunk=1000, progress=args.progress or sys.stderr.isatty())
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
        write_raster(Path(args.raster), batch, net)
    return 0


if __name__ == "__main__":
    sys.exit(main())
