"""Single ticks: ids, output channels, snapshots, errors and result lifetime."""

import gc

import pytest

import synaptor
from conftest import CHAIN_JSON, CHAIN_YAML, tick_empty


def test_yaml_and_json_make_the_same_network():
    a = synaptor.create_from_yaml(CHAIN_YAML, 0)
    b = synaptor.create_from_json(CHAIN_JSON, 0)
    sa, sb = tick_empty(a, True).state_snapshot, tick_empty(b, True).state_snapshot
    assert sa.pre_syn_nids == sb.pre_syn_nids and sa.weights == sb.weights
    assert len(sa.membrane_voltages) == 10
    # 3*5 + 5*2 synapses, each delay 1 and weight 1.
    assert len(sa.pre_syn_nids) == 25
    assert set(sa.conduction_delays) == {1} and set(sa.weights) == {1.0}
    assert set(zip(sa.pre_syn_nids, sa.post_syn_nids)) == {
        (p, q) for p in range(3) for q in range(3, 8)
    } | {(p, q) for p in range(3, 8) for q in (8, 9)}


def test_spikes_travel_through_the_chain(chain):
    first = chain.tick([2], [], [], 0.0, False)
    assert (first.t, first.spiking_nids, first.spiking_out_channel_ids) == (0, [2], [])
    second = tick_empty(chain)
    assert second.t == 1 and second.spiking_nids == [3, 4, 5, 6, 7]
    assert second.synaptic_transmission_count == 5
    third = tick_empty(chain)
    assert third.spiking_nids == [8, 9] and third.spiking_out_channel_ids == [0, 1]
    assert third.synaptic_transmission_count == 10
    assert chain.get_t() == 3


def test_forced_output_channel_and_neurons(chain):
    result = chain.tick([], [1], [5, 5], 0.0, False)
    assert result.spiking_nids == [5, 5, 9]
    assert result.spiking_out_channel_ids == [1]


@pytest.mark.parametrize(
    "args, message",
    [
        (([3], [], []), "Invalid input channel id: 3"),
        (([], [], [10]), "Invalid neuron id for forced spike: 10"),
        (([], [2], []), "Invalid output channel id for forced spike: 2"),
        (([3], [2], [10]), "Invalid input channel id: 3"),
        (([], [2], [2**64 - 1]), "Invalid neuron id for forced spike: 18446744073709551615"),
    ],
)
def test_bad_ids_raise_value_error_and_change_nothing(chain, args, message):
    with pytest.raises(ValueError) as info:
        chain.tick(*args, 0.0, False)
    assert str(info.value) == message
    assert chain.get_t() == 0
    assert chain.tick([0], [], [], 0.0, False).t == 0


def test_snapshot_only_on_request(chain):
    assert tick_empty(chain).state_snapshot is None
    result = tick_empty(chain, True)
    a, b = result.state_snapshot, result.state_snapshot
    assert a is not b
    voltages = a.membrane_voltages
    assert voltages == [0.0] * 10
    voltages[0] = 5.0
    assert b.membrane_voltages == [0.0] * 10
    weights = a.weights
    weights.clear()
    assert len(result.state_snapshot.weights) == 25


def test_voltages_are_f32_widened(chain):
    # Three inputs of weight 0.1 reach a layer-1 neuron; nothing fires.
    doc = CHAIN_JSON.replace('{"Constant": 1.0}', '{"Constant": 0.1}', 1)
    inst = synaptor.create_from_json(doc, 0)
    inst.tick([0, 1, 2], [], [], 0.0, False)
    snap = tick_empty(inst, True).state_snapshot
    import struct

    f = lambda x: struct.unpack("f", struct.pack("f", x))[0]
    expected = f(f(f(0.1) + f(0.1)) + f(0.1))
    assert snap.membrane_voltages[3:8] == [expected] * 5
    assert snap.weights[:15] == [f(0.1)] * 15


def test_results_outlive_their_instance():
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    inst.tick([0], [], [], 0.0, False)
    result = tick_empty(inst, True)
    batch = inst.tick_until(4)
    snapshot = result.state_snapshot
    del inst
    gc.collect()
    assert result.t == 1 and result.spiking_nids == [3, 4, 5, 6, 7]
    assert result.state_snapshot.pre_syn_nids == snapshot.pre_syn_nids
    assert batch.neuron_spikes_ids == [8, 9]
    assert batch.neuron_spikes_ts == [2, 2]


def test_instances_are_independent():
    a = synaptor.create_from_json(CHAIN_JSON, 0)
    b = synaptor.create_from_json(CHAIN_JSON, 0)
    a.tick([0], [], [], 0.0, False)
    assert a.get_t() == 1 and b.get_t() == 0
    assert tick_empty(b).spiking_nids == []
    assert tick_empty(a).spiking_nids == [3, 4, 5, 6, 7]
