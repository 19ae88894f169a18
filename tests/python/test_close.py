"""close() and the with block: the workers are joined at once, every later
call is a clear error, and what was taken out of the instance stays valid."""

import os

import pytest

import synaptor
from conftest import rich_document


def worker_threads():
    return len(os.listdir("/proc/self/task"))


def test_close_joins_the_workers_and_every_later_call_says_closed():
    before = worker_threads()
    inst = synaptor.create_from_json(rich_document(2), 4)
    assert worker_threads() > before
    inst.tick_until(20)
    synapses = inst.synapses()
    weights = bytes(memoryview(synapses.weights))
    inst.close()
    assert worker_threads() == before
    # Arrays taken before stay readable.
    assert bytes(memoryview(synapses.weights)) == weights and len(weights) > 0
    calls = [
        lambda: inst.tick([], [], [], 0.0, False),
        lambda: inst.tick_until(30),
        lambda: inst.tick_until_ignore_output(30),
        lambda: inst.apply_stimulus(synaptor.Stimulus()),
        inst.get_t,
        lambda: inst.save_state("never-written.state"),
        lambda: inst.synapses(),
        lambda: inst.record([0]),
        lambda: inst.reward_rate,
        lambda: setattr(inst, "reward_rate", 1.0),
        lambda: inst.layers,
        lambda: inst.recorded_sample_count,
        inst.take_recording,
        inst.stop_recording,
        lambda: inst.set_weights([]),
        lambda: inst.tick_until_arrays(30),
        lambda: inst.record_synapses([0]),
        inst.take_synapse_recording,
        inst.stop_synapse_recording,
        lambda: inst.recorded_synapse_sample_count,
        lambda: inst.plasticity_enabled,
        lambda: setattr(inst, "plasticity_enabled", False),
        lambda: inst.release_gil,
        lambda: setattr(inst, "release_gil", True),
        lambda: inst.__enter__(),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="^the instance is closed$"):
            call()
    assert not os.path.exists("never-written.state")
    inst.close()  # a second close is harmless, as for files


def test_a_with_block_closes_on_the_way_out_and_lets_the_exception_through():
    before = worker_threads()
    with pytest.raises(KeyError, match="inside"):
        with synaptor.create_from_json(rich_document(2), 4) as inst:
            assert inst.tick_until(5).neuron_spikes_ts is not None
            raise KeyError("inside")
    assert worker_threads() == before
    with pytest.raises(ValueError, match="^the instance is closed$"):
        inst.get_t()
    with synaptor.create_from_json(rich_document(1), 4) as other:
        t = other.tick_until(3)
    assert len(t.neuron_spikes_ts) == len(t.neuron_spikes_ids)
    with pytest.raises(ValueError, match="^the instance is closed$"):
        other.tick_until(4)
