"""Instance.plasticity_enabled: learning paused and resumed, exactly, for any
thread count, and kept by state files."""

import os

import numpy as np
import pytest

import synaptor
from conftest import rich_document


def create(num_threads=1, seed=5):
    return synaptor.create_from_json(rich_document(num_threads), seed)


def thread_counts():
    """1, and 2 and 3 where the machine allows them (creation refuses more
    threads than CPUs)."""
    return [n for n in (1, 2, 3) if n <= len(os.sched_getaffinity(0))]


def drive(inst, t_end, switch=None):
    """Ticks until t_end with input and rewards of either sign that depend on
    t alone; switch(t), when given, may flip the switch before tick t. The
    spikes of each tick."""
    inst.non_coherent_stimulation_rate = 0.02
    spikes = []
    while inst.get_t() < t_end:
        t = inst.get_t()
        if switch is not None:
            switch(inst, t)
        channels = [c for c in range(40) if (t * 7 + c * 3) % 11 < 2]
        spikes.append(inst.tick(channels, [], [], 1.0 if t % 5 == 0 else -0.2, False).spiking_nids)
    return spikes


def weights(inst):
    return np.asarray(inst.synapses().weights).copy()


def test_the_switch_is_a_bool_that_starts_on():
    inst = create()
    assert inst.plasticity_enabled is True
    inst.plasticity_enabled = False
    assert inst.plasticity_enabled is False
    for value in (0, 1, "yes", None, 1.0):
        with pytest.raises(TypeError, match="plasticity_enabled must be True or False, not"):
            inst.plasticity_enabled = value
    assert inst.plasticity_enabled is False
    with pytest.raises(AttributeError):
        del inst.plasticity_enabled
    inst.plasticity_enabled = True
    assert inst.plasticity_enabled is True


def test_off_no_weight_changes_in_stdp_or_dopamine_layers_and_on_they_learn_again():
    inst = create()
    drive(inst, 100)
    inst.plasticity_enabled = False
    before = weights(inst)
    spikes = drive(inst, 400)
    assert sum(len(s) for s in spikes) > 100  # busy while paused
    after = weights(inst)
    assert after.tobytes() == before.tobytes()
    # Batches too, with a reward every tick for the dopamine layer.
    inst.reward_rate = 1.0
    inst.tick_until(500)
    assert weights(inst).tobytes() == before.tobytes()
    inst.plasticity_enabled = True
    drive(inst, 800)
    changed = weights(inst) != before
    synapses = inst.synapses()
    post = np.asarray(synapses.post_syn_nids)
    first_of_last = inst.layers[2][0]
    # Both the STDP connections and the dopamine-gated layer learn again.
    assert changed[post < first_of_last].any() and changed[post >= first_of_last].any()


def test_switched_on_the_results_are_those_of_a_network_never_switched():
    untouched = create()
    expected = drive(untouched, 300)

    def toggle(inst, t):
        if t in (0, 120):
            inst.plasticity_enabled = False
            inst.plasticity_enabled = True

    toggled = create()
    assert drive(toggled, 300, toggle) == expected
    assert weights(toggled).tobytes() == weights(untouched).tobytes()


@pytest.mark.parametrize("num_threads", thread_counts())
def test_switched_runs_are_the_same_for_any_thread_count(num_threads):
    def schedule(inst, t):
        if t in (50, 250):
            inst.plasticity_enabled = False
        elif t == 150:
            inst.plasticity_enabled = True

    one = create(1)
    expected = drive(one, 350, schedule)
    other = create(num_threads)
    assert drive(other, 350, schedule) == expected
    assert weights(other).tobytes() == weights(one).tobytes()


def test_state_files_keep_the_switch_and_restore_into_the_same_document(tmp_path):
    path = str(tmp_path / "paused.state")
    trained = create()
    drive(trained, 150)
    trained.plasticity_enabled = False
    trained.save_state(path)
    expected = drive(trained, 300)

    # Saved with learning off, restored into a fresh instance of the same
    # document (whose switch is on): the network is the same one.
    fresh = create(seed=99)
    assert fresh.plasticity_enabled is True
    fresh.restore_state(path)
    assert fresh.plasticity_enabled is False
    assert drive(fresh, 300) == expected
    assert weights(fresh).tobytes() == weights(trained).tobytes()

    # And on again from a file saved on.
    fresh.plasticity_enabled = True
    fresh.save_state(path)
    fresh.plasticity_enabled = False
    fresh.restore_state(path)
    assert fresh.plasticity_enabled is True
