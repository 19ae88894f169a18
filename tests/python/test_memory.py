"""Reference counting: repeated ticks and result reads must not leak."""

import gc
import sys
import tracemalloc

import synaptor
from conftest import rich_document


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def exercise(inst, rounds):
    for _ in range(rounds):
        r = inst.tick([0], [1], [5], 0.0, True)
        r.t, r.spiking_nids, r.spiking_out_channel_ids, r.synaptic_transmission_count
        s = r.state_snapshot
        s.membrane_voltages, s.pre_syn_nids, s.post_syn_nids, s.conduction_delays, s.weights
        b = inst.tick_until(inst.get_t() + 2)
        b.neuron_spikes_ts, b.neuron_spikes_ids, b.out_channel_spikes_ts, b.out_channel_spikes_ids
        inst.tick_until_ignore_output(inst.get_t() + 1)
        stim = synaptor.Stimulus()
        stim.force_neuron_spikes_ts = [0, 1]
        stim.force_neuron_spikes_ids = [2, 3]
        inst.apply_stimulus(stim)
        stim.force_neuron_spikes_ids
        try:
            inst.tick([], [], [10**6], 0.0, False)
        except ValueError:
            pass
        try:
            inst.tick([], [], [], 0.0, 1)
        except TypeError:
            pass


def test_memory_stays_flat_over_many_ticks():
    inst = synaptor.create_from_json(rich_document(1), 3)
    inst.non_coherent_stimulation_rate = 0.01
    exercise(inst, 50)  # warm up caches and capacities
    gc.collect()
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before_rss = rss_kib()
    exercise(inst, 600)
    gc.collect()
    after_py = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    after_rss = rss_kib()
    # A leaked snapshot alone is tens of KiB per round, so a leak of any
    # result would add megabytes over 600 rounds.
    assert after_py - before_py < 64 * 1024
    assert after_rss - before_rss < 4 * 1024


def test_reference_counts_of_arguments_and_results():
    inst = synaptor.create_from_json(rich_document(1), 3)
    ids = [0, 1]
    reward = 0.25
    stim = synaptor.Stimulus()
    counts = [sys.getrefcount(x) for x in (ids, reward, stim, inst)]
    for _ in range(100):
        r = inst.tick(ids, [], [], reward, False)
        inst.apply_stimulus(stim)
        r.spiking_nids
    assert [sys.getrefcount(x) for x in (ids, reward, stim, inst)] == counts
    result = inst.tick([], [], [], 0.0, True)
    assert sys.getrefcount(result) == 2
    snap = result.state_snapshot
    assert sys.getrefcount(snap) == 2
    del inst
    assert len(snap.membrane_voltages) == 120
