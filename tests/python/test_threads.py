"""Results must not depend on the number of worker threads."""

import os

import pytest

import synaptor
from conftest import rich_document


def run(num_threads):
    try:
        inst = synaptor.create_from_json(rich_document(num_threads), 99)
    except ValueError as e:
        pytest.skip(f"{num_threads} threads not available here: {e}")
    inst.non_coherent_stimulation_rate = 0.02
    inst.reward_rate = 0.5
    stim = synaptor.Stimulus()
    stim.in_channel_spikes_ts = list(range(0, 150, 3))
    stim.in_channel_spikes_ids = [t % 40 for t in range(0, 150, 3)]
    inst.apply_stimulus(stim)
    batch = inst.tick_until(150)
    ticks = [inst.tick([1, 2], [3], [50], -0.5, True) for _ in range(3)]
    snap = ticks[-1].state_snapshot
    return (
        batch.neuron_spikes_ts,
        batch.neuron_spikes_ids,
        batch.out_channel_spikes_ids,
        batch.synaptic_transmission_count,
        [(r.spiking_nids, r.synaptic_transmission_count) for r in ticks],
        snap.membrane_voltages,
        # Synapses are listed per partition run, so only their set is the same.
        sorted(zip(snap.pre_syn_nids, snap.post_syn_nids, snap.conduction_delays, snap.weights)),
    )


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_one_and_two_threads_agree_bit_for_bit():
    one, two = run(1), run(2)
    assert len(one[0]) > 100, "the network should be active"
    assert len(one[6]) > 1000, "the network should have synapses"
    assert len({w for *_, w in one[6]}) > 100, "weights should be random and changed"
    names = ["spike ts", "spike ids", "out ids", "transmissions", "ticks", "voltages",
             "synapses"]
    for name, a, b in zip(names, one, two):
        assert a == b, name
