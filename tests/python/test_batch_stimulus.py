"""Batches of ticks, scheduled stimulus and random non-coherent stimulation."""

import pytest

import synaptor
from conftest import document, isolated_json, layer, tick_empty


def stimulus(**lists):
    s = synaptor.Stimulus()
    for name, values in lists.items():
        setattr(s, name, values)
    return s


def spikes_per_tick(batch):
    per_tick = {}
    for t, nid in zip(batch.neuron_spikes_ts, batch.neuron_spikes_ids):
        per_tick.setdefault(t, []).append(nid)
    return per_tick


def test_scheduled_in_channel_spikes(chain):
    chain.apply_stimulus(stimulus(in_channel_spikes_ts=[0, 2], in_channel_spikes_ids=[1, 1]))
    assert chain.tick([], [], [], 0.0, False).spiking_nids == [1]
    assert 1 not in tick_empty(chain).spiking_nids
    assert 1 in tick_empty(chain).spiking_nids


def test_schedule_is_relative_to_current_tick(isolated):
    isolated.tick_until_ignore_output(5)
    isolated.apply_stimulus(stimulus(force_neuron_spikes_ts=[0, 3], force_neuron_spikes_ids=[42, 43]))
    batch = isolated.tick_until(10)
    assert spikes_per_tick(batch) == {5: [42], 8: [43]}


def test_past_entry_holds_back_its_queue_only(isolated):
    isolated.apply_stimulus(stimulus(force_neuron_spikes_ts=[3, 1, 4], force_neuron_spikes_ids=[10, 11, 12]))
    isolated.apply_stimulus(stimulus(force_neuron_spikes_ts=[2], force_neuron_spikes_ids=[20]))
    assert spikes_per_tick(isolated.tick_until(8)) == {2: [20], 3: [10]}


def test_duplicate_schedules_deliver_twice(chain):
    for _ in range(2):
        chain.apply_stimulus(stimulus(in_channel_spikes_ts=[1], in_channel_spikes_ids=[0]))
    tick_empty(chain)
    assert chain.tick([0], [], [], 0.0, False).spiking_nids == [0, 0, 0]


def test_mismatched_lengths_and_empty_ts(chain):
    chain.apply_stimulus(
        stimulus(
            in_channel_spikes_ts=[0, 0, 0],
            in_channel_spikes_ids=[2],  # surplus ticks are ignored
            force_out_channel_spikes_ts=[],
            force_out_channel_spikes_ids=[7],  # no ticks: ids ignored, nothing checked
            force_neuron_spikes_ts=[0],
            force_neuron_spikes_ids=[4, 5],
        )
    )
    assert tick_empty(chain).spiking_nids == [2, 4]


def test_stimulus_is_copied_at_apply(isolated):
    s = stimulus(force_neuron_spikes_ts=[1], force_neuron_spikes_ids=[7])
    isolated.apply_stimulus(s)
    s.force_neuron_spikes_ids = [8]
    s.force_neuron_spikes_ts = [0]
    assert spikes_per_tick(isolated.tick_until(3)) == {1: [7]}


def test_scheduled_output_channels_in_batch(chain):
    chain.apply_stimulus(stimulus(force_out_channel_spikes_ts=[1, 1, 3], force_out_channel_spikes_ids=[1, 0, 1]))
    batch = chain.tick_until(5)
    assert batch.out_channel_spikes_ts == [1, 1, 3]
    assert batch.out_channel_spikes_ids == [0, 1, 1]
    assert batch.neuron_spikes_ts == [1, 1, 3] and batch.neuron_spikes_ids == [8, 9, 9]


def test_tick_until_collects_in_tick_order(chain):
    chain.apply_stimulus(stimulus(in_channel_spikes_ts=[0, 0, 4], in_channel_spikes_ids=[0, 2, 1]))
    batch = chain.tick_until(10)
    assert chain.get_t() == 10
    ts, ids = batch.neuron_spikes_ts, batch.neuron_spikes_ids
    assert len(ts) == len(ids) and ts == sorted(ts)
    assert spikes_per_tick(batch) == {
        0: [0, 2], 1: [3, 4, 5, 6, 7], 2: [8, 9], 4: [1], 5: [3, 4, 5, 6, 7], 6: [8, 9],
    }
    assert batch.out_channel_spikes_ts == [2, 2, 6, 6]
    assert batch.out_channel_spikes_ids == [0, 1, 0, 1]
    assert batch.synaptic_transmission_count == 2 * 5 + 10 + 5 + 10


def test_tick_until_not_ahead_runs_nothing(chain):
    chain.tick_until_ignore_output(3)
    for t_end in (3, 0):
        batch = chain.tick_until(t_end)
        assert chain.get_t() == 3
        assert batch.neuron_spikes_ts == [] and batch.out_channel_spikes_ids == []
        assert batch.synaptic_transmission_count == 0
    chain.tick_until_ignore_output(1)
    assert chain.get_t() == 3


def test_bad_scheduled_id_in_batch_is_internal_failure(chain):
    chain.apply_stimulus(stimulus(in_channel_spikes_ts=[2], in_channel_spikes_ids=[3]))
    chain.apply_stimulus(stimulus(force_neuron_spikes_ts=[2], force_neuron_spikes_ids=[4]))
    with pytest.raises(BaseException) as info:
        chain.tick_until(10)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == 'called `Result::unwrap()` on an `Err` value: "Invalid input channel id: 3"'
    # Ticks 0 and 1 stay done; tick 2 failed but consumed its stimulus.
    assert chain.get_t() == 2
    assert chain.tick_until(4).neuron_spikes_ids == []


def test_bad_scheduled_id_in_tick_is_value_error(chain):
    chain.apply_stimulus(stimulus(force_out_channel_spikes_ts=[0], force_out_channel_spikes_ids=[5]))
    with pytest.raises(ValueError, match="^Invalid output channel id for forced spike: 5$"):
        tick_empty(chain)
    assert chain.get_t() == 0
    assert tick_empty(chain).spiking_nids == []  # the bad entry was consumed


def test_bad_id_in_ignore_output_batch(isolated):
    isolated.apply_stimulus(stimulus(force_neuron_spikes_ts=[1], force_neuron_spikes_ids=[1000]))
    with pytest.raises(BaseException) as info:
        isolated.tick_until_ignore_output(5)
    assert str(info.value) == (
        'called `Result::unwrap()` on an `Err` value: "Invalid neuron id for forced spike: 1000"'
    )
    assert isolated.get_t() == 1


def test_non_coherent_stimulation_rate(isolated):
    isolated.non_coherent_stimulation_rate = 0.1
    batch = isolated.tick_until(50)
    per_tick = spikes_per_tick(batch)
    counts = [len(per_tick.get(t, [])) for t in range(50)]
    mean = sum(counts) / 50
    assert 90 < mean < 110  # Poisson(100): the mean of 50 draws is within 10 by ~7 sigma
    assert all(len(set(nids)) == len(nids) for nids in per_tick.values())
    assert len(set(counts)) > 5  # the count itself is random
    # tick is stimulated as well
    assert 50 < len(tick_empty(isolated).spiking_nids) < 160


def test_large_poisson_mean_uses_rejection(isolated):
    isolated.non_coherent_stimulation_rate = 0.5  # lambda 500
    counts = [len(v) for v in spikes_per_tick(isolated.tick_until(40)).values()]
    assert len(counts) == 40
    assert 480 < sum(counts) / 40 < 520
    assert max(counts) < 1000


@pytest.mark.parametrize("rate", [5.0, float("inf"), 1e300])
def test_large_rates_force_every_neuron_once(rate):
    inst = synaptor.create_from_json(isolated_json(50), 1)
    inst.non_coherent_stimulation_rate = rate
    for result in (tick_empty(inst), tick_empty(inst)):
        assert result.spiking_nids == list(range(50))


@pytest.mark.parametrize("rate", [0.0, -1.0, float("nan"), float("-inf")])
def test_non_positive_or_nan_rate_does_nothing(isolated, rate):
    isolated.non_coherent_stimulation_rate = rate
    assert isolated.tick_until(10).neuron_spikes_ids == []


def test_stimulation_depends_only_on_seed():
    def run(seed):
        inst = synaptor.create_from_json(isolated_json(300), seed)
        inst.non_coherent_stimulation_rate = 0.05
        batch = inst.tick_until(30)
        return batch.neuron_spikes_ts, batch.neuron_spikes_ids

    assert run(3) == run(3)
    assert run(3) != run(4)


def test_random_and_caller_spikes_combine():
    inst = synaptor.create_from_json(isolated_json(20), 5)
    inst.non_coherent_stimulation_rate = 1e9
    result = inst.tick([3], [], [4], 0.0, False)
    expected = sorted(list(range(20)) + [3, 4])
    assert result.spiking_nids == expected


def test_zero_neurons_with_rate_fails_at_first_tick():
    inst = synaptor.create_from_json(document([layer(0)]), 0)
    assert inst.tick_until(3).neuron_spikes_ids == []
    inst.non_coherent_stimulation_rate = 1.0
    with pytest.raises(BaseException) as info:
        inst.tick_until_ignore_output(5)
    assert str(info.value) == "called `Result::unwrap()` on an `Err` value: BadParams"
    assert inst.get_t() == 3


def test_reward_rate_feeds_batches_only():
    from conftest import rich_document

    def weights(reward_rate, batch):
        inst = synaptor.create_from_json(rich_document(1), 5)
        inst.reward_rate = reward_rate
        inst.non_coherent_stimulation_rate = 0.05
        if batch:
            inst.tick_until(300)
        else:
            for _ in range(300):
                inst.tick([], [], [], 0.0, False)
        return inst.tick([], [], [], 0.0, True).state_snapshot.weights

    # Same random stimulus either way: only the dopamine from the reward differs.
    assert weights(0.0, False) == weights(2.0, False)
    assert weights(0.0, True) != weights(2.0, True)
