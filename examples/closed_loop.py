#!/usr/bin/env python3
"""A closed loop in which reward teaches the network a task it cannot do at first.

Two input patterns (the first or the second half of the input channels) are
shown in random order. The network answers with the half of its output
channels that spikes more; the caller rewards a right answer (+1) and punishes
a wrong one (-1) in the tick after the trial. Every input neuron reaches every
output neuron with a random initial weight, so at first the answers are at
chance. The output layer's STDP waits in eligibility traces for dopamine:
reward keeps the changes that led to a right answer and reverses those that
led to a wrong one, and the fraction of right answers rises over the run.

The same trials are run a second time with the reward held at 0 as a control:
the weights then never change and the answers stay at chance. The run is
deterministic (fixed seeds) and prints the learning curve of both runs; with
matplotlib it also plots them.
"""

import argparse
import json
import random
import sys

import synaptor
from synaptor_tools import layout

NUM_IN, NUM_OUT = 40, 20
SHOW_TICKS, TRIAL_TICKS = 5, 30


def document(seed_override):
    """Input layer -> output layer, all to all, with dopamine-gated STDP and
    lateral inhibition among the outputs."""
    neuron = {"tau_membrane": 10.0, "refractory_period": 3, "reset_voltage": 0.0,
              "t_cutoff_coincidence": 10, "adaptation_threshold": 2.0, "tau_threshold": 10.0,
              "voltage_floor": -1.0}
    # One dopamine sample and one flush per trial; traces older than a trial are dropped.
    modulation = {"tau_eligibility_trace": 20.0, "eligibility_trace_delay": 0,
                  "dopamine_modulation_factor": 1.0, "t_cutoff_eligibility_trace": TRIAL_TICKS,
                  "dopamine_flush_period": TRIAL_TICKS, "dopamine_conflation_period": TRIAL_TICKS}
    common = {"connect_density": 1.0, "connect_width": 2.0,
              "conduction_delay_max_random_part": 0,
              "conduction_delay_position_distance_scale_factor": 0.0,
              "conduction_delay_add_on": 0, "allow_self_innervation": False}
    feed_forward = {
        "from_layer_id": 0, "to_layer_id": 1,
        "projection_params": {
            "synapse_params": {"max_weight": 0.6, "weight_scale_factor": 1.0},
            "stp_params": "NoStp",
            "long_term_stdp_params": {"factor_pre_before_post": 0.015, "tau_pre_before_post": 10.0,
                                      "factor_pre_after_post": 0.0, "tau_pre_after_post": 10.0}},
        "initial_syn_weight": {"Randomized": 0.15}, **common}
    inhibition = {
        "from_layer_id": 1, "to_layer_id": 1,
        "projection_params": {"synapse_params": {"max_weight": 1.0, "weight_scale_factor": -0.5},
                              "stp_params": "NoStp"},
        "initial_syn_weight": {"Constant": 1.0}, **common}
    return json.dumps({
        "layers": [{"num_neurons": NUM_IN, "neuron_params": neuron},
                   {"num_neurons": NUM_OUT, "neuron_params": neuron,
                    "plasticity_modulation_params": modulation}],
        "layer_connections": [feed_forward, inhibition],
        "technical_params": {"num_threads": 1, "pin_threads": False,
                             "seed_override": seed_override},
    })


def run_trials(text, trials, rewarded, order_seed):
    """Fraction of right answers per trial (1 or 0) for one run."""
    net = layout(text)
    instance = synaptor.create_from_json(text, 1)
    order = random.Random(order_seed)
    reward, answers = 0.0, []
    for _ in range(trials):
        pattern = order.randrange(2)
        half = net.num_in_channels // 2
        channels = list(range(pattern * half, (pattern + 1) * half))
        votes = [0, 0]
        for step in range(TRIAL_TICKS):
            # A fifth of the pattern's channels per tick while it is shown.
            shown = channels[step::SHOW_TICKS] if step < SHOW_TICKS else []
            result = instance.tick(shown, [], [], reward, False)
            reward = 0.0  # the reward of a trial is given in one tick only
            for channel in result.spiking_out_channel_ids:
                votes[channel * 2 // net.num_out_channels] += 1
        right = votes[pattern] > votes[1 - pattern]
        answers.append(int(right))
        if rewarded:
            reward = 1.0 if right else -1.0
    return answers


def blocks(answers, size):
    return [sum(answers[i:i + size]) / len(answers[i:i + size])
            for i in range(0, len(answers), size)]


def plot(path, curves, block):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("learning curve plot: skipped (matplotlib is not installed)")
        return
    fig, ax = plt.subplots(figsize=(7, 4), dpi=110)
    for label, curve in curves.items():
        ax.plot([(i + 1) * block for i in range(len(curve))], curve, marker="o", label=label)
    ax.axhline(0.5, color="grey", linewidth=0.6, linestyle=":")
    ax.set_ylim(0, 1.05)
    ax.set_xlabel("trial")
    ax.set_ylabel(f"fraction right (blocks of {block})")
    ax.set_title("closed loop: reward-modulated learning")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    print(f"learning curve plot: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=160)
    parser.add_argument("--block", type=int, default=20, help="trials per point of the curve")
    parser.add_argument("--seed", type=int, default=0, help="network seed (seed_override)")
    parser.add_argument("--plot", default="learning_curve.png",
                        help="plot to write when matplotlib is available; empty: none")
    args = parser.parse_args()

    text = document(args.seed)
    curves = {}
    for label, rewarded in (("rewarded", True), ("control, reward 0", False)):
        answers = run_trials(text, args.trials, rewarded, order_seed=args.seed)
        curves[label] = blocks(answers, args.block)
        print(f"{label}: " + " ".join(f"{x:.2f}" for x in curves[label])
              + f"  (total {sum(answers)}/{args.trials})")
    first, last = curves["rewarded"][0], curves["rewarded"][-1]
    print(f"with reward the fraction of right answers went from {first:.2f} to {last:.2f}")
    if args.plot:
        plot(args.plot, curves, args.block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
