#!/usr/bin/env python3
"""A closed loop with the example network: the caller drives it tick by tick.

Each trial shows one of two input patterns (the first or the second half of the
input channels) for a few ticks, counts the spikes of the two halves of the
output channels, and rewards the network when the half that matches the
pattern spiked more, punishes it otherwise. The reward reaches the output
layer's dopamine modulation. The projection windows keep the input's
topography, so the matching half tends to win from the start; the reward then
reinforces the synapses that carried the answer. At the end a state snapshot is read to report the
weights onto the output layer.
"""

import argparse
import re
import sys
from pathlib import Path

import synaptor

HERE = Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--document", type=Path, default=HERE / "network.yaml")
    parser.add_argument("--trials", type=int, default=120)
    parser.add_argument("--seed", type=int, default=3)
    args = parser.parse_args()

    text = args.document.read_text()
    sizes = [int(n) for n in re.findall(r"^\s*- num_neurons:\s*(\d+)", text, re.MULTILINE)]
    num_in, num_out = sizes[0], sizes[-1]
    out_offset = sum(sizes[:-1])

    instance = synaptor.create_from_yaml(text, args.seed)
    instance.non_coherent_stimulation_rate = 0.001
    show_ticks, settle_ticks = 15, 25
    reward = 0.0
    block_correct, block_size = 0, 20
    total_correct = 0

    for trial in range(args.trials):
        pattern = trial % 2
        channels = list(range(pattern * num_in // 2, (pattern + 1) * num_in // 2))
        votes = [0, 0]
        for step in range(show_ticks + settle_ticks):
            # Every third channel of the pattern per tick while it is shown.
            shown = channels[step % 3::3] if step < show_ticks else []
            result = instance.tick(shown, [], [], reward, False)
            reward = 0.0  # a reward is delivered in one tick only
            for channel in result.spiking_out_channel_ids:
                votes[channel * 2 // num_out] += 1
        correct = votes[pattern] > votes[1 - pattern]
        reward = 1.0 if correct else -1.0 if any(votes) else 0.0
        block_correct += correct
        total_correct += correct
        if (trial + 1) % block_size == 0:
            print(f"trials {trial + 2 - block_size:4d}-{trial + 1:4d}: "
                  f"{block_correct}/{block_size} answered as the pattern")
            block_correct = 0

    snapshot = instance.tick([], [], [], reward, True).state_snapshot
    onto_output = [w for post, w in zip(snapshot.post_syn_nids, snapshot.weights)
                   if post >= out_offset]
    voltages = snapshot.membrane_voltages[out_offset:]
    print(f"t = {instance.get_t()}: {total_correct}/{args.trials} trials answered as the pattern")
    print(f"{len(onto_output)} synapses onto the output layer, mean weight "
          f"{sum(onto_output) / max(1, len(onto_output)):.4f}; mean output voltage "
          f"{sum(voltages) / max(1, len(voltages)):.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
