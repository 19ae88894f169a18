"""Reading synapses under MPI: every rank gets all synapses, in the order and
with the values one process gives, for every filter; layer ids out of range
raise alike on every rank; `layers` needs no communication."""

import pytest

import synaptor
import synaptor_mpi
from conftest import collective, network

FILTERS = [(None, None), (1, None), (None, 1), (1, 1), (0, 1), (2, 1), (1, 2), (0, 2)]


def synapse_key(syn):
    """The four arrays as bytes (weights as their f32 bits)."""
    return tuple(memoryview(getattr(syn, name)).tobytes()
                 for name in ("pre_syn_nids", "post_syn_nids", "conduction_delays", "weights"))


def run(inst):
    inst.non_coherent_stimulation_rate = 0.05
    inst.reward_rate = 1.0
    inst.tick_until_ignore_output(150)


@pytest.mark.parametrize("kind", ["long_term_stdp", "depression"])
@pytest.mark.parametrize("num_threads", [1, 2])
def test_every_rank_reads_the_synapses_of_one_process(comm, kind, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network(kind, num_threads), 6, comm)
        ref = synaptor.create_from_json(network(kind, 1), 6)
        assert inst.layers == ref.layers
        before = synapse_key(inst.synapses())
        run(inst)
        run(ref)
        for from_layer, to_layer in FILTERS:
            got = synapse_key(inst.synapses(from_layer, to_layer))
            assert got == synapse_key(ref.synapses(from_layer=from_layer, to_layer=to_layer)), (
                from_layer, to_layer)
        everything = synapse_key(inst.synapses())
        assert len(everything[3]) > 400 * 4
        if kind == "long_term_stdp":
            assert everything[3] != before[3], "the run should have changed weights"
        assert comm.allgather(everything) == [everything] * comm.size
        # Reading changes nothing: the run goes on as one process's.
        batch = inst.tick_until(200)
        want = ref.tick_until(200)
        assert (batch.neuron_spikes_ts, batch.neuron_spikes_ids) == (
            want.neuron_spikes_ts, want.neuron_spikes_ids)
        inst.close()

    collective(comm, body)


def test_layer_out_of_range_raises_alike(comm):
    def body():
        inst = synaptor_mpi.create_from_json(network("none", 1), 6, comm)
        ref = synaptor.create_from_json(network("none", 1), 6)
        for kwargs in ({"from_layer": 3}, {"to_layer": 7}, {"from_layer": -1}):
            texts = []
            for target in (inst, ref):
                with pytest.raises(ValueError) as info:
                    target.synapses(**kwargs)
                texts.append(str(info.value))
            assert texts[0] == texts[1]
        assert texts[0] == "from_layer -1 is out of range: the network has 3 layers"
        # Still usable, and still in step with the other ranks.
        assert synapse_key(inst.synapses(0, 1)) == synapse_key(ref.synapses(0, 1))
        inst.close()

    collective(comm, body)


def weights_of(inst, *layers):
    return list(memoryview(inst.synapses(*layers).weights))


@pytest.mark.parametrize("num_threads", [1, 2])
def test_set_weights_writes_what_one_process_writes(comm, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network("long_term_stdp", num_threads), 6, comm)
        ref = synaptor.create_from_json(network("long_term_stdp", 1), 6)
        run(inst)
        run(ref)
        for target in (inst, ref):
            # Every synapse, one connection, and single synapses by index
            # (a repeated index keeps its last weight).
            target.set_weights([min(1.0, w * 1.25 + 0.01) for w in weights_of(target)])
            target.set_weights([0.5 * w for w in weights_of(target, 1, 1)], 1, 1)
            target.set_weights([0.0] * len(weights_of(target, None, 2)), to_layer=2)
            total = len(weights_of(target))
            picks = [total - 1, 0, 17, total // 2, 17, total // 3]
            target.set_weights([0.9, 0.1, 0.2, 0.3, 0.4, 0.6], indices=picks)
        assert synapse_key(inst.synapses()) == synapse_key(ref.synapses())
        assert weights_of(inst)[17] == pytest.approx(0.4)
        batch, want = inst.tick_until(250), ref.tick_until(250)
        assert (batch.neuron_spikes_ts, batch.neuron_spikes_ids) == (
            want.neuron_spikes_ts, want.neuron_spikes_ids)
        assert synapse_key(inst.synapses()) == synapse_key(ref.synapses())
        inst.close()

    collective(comm, body)


def test_bad_weights_raise_alike_on_every_rank_and_write_nothing(comm):
    def body():
        inst = synaptor_mpi.create_from_json(network("none", 1), 6, comm)
        ref = synaptor.create_from_json(network("none", 1), 6)
        total = len(weights_of(ref))
        fine = weights_of(ref)
        last_hidden = len(weights_of(ref, None, 1)) - 1
        # Faults in synapses held by every rank: the first and the last
        # positions, and the end of the hidden layer's block.
        calls = [
            ((fine[:-1],), {}),
            ((fine[:last_hidden] + [float("nan")] + fine[last_hidden + 1:],), {}),
            ((fine[:-1] + [-0.5],), {}),
            (([2.0] + fine[1:-1] + [-1.0],), {}),
            ((fine[:-1] + [1.5],), {}),
            (([0.5, 0.5, 0.5],), {"indices": [total - 1, total, 3]}),
            (([0.5, 0.5, 7.0],), {"indices": [total - 1, 0, 1]}),
            (([0.5, 7.0, 0.5],), {"indices": [1, total - 1, -4]}),
            (([0.5, 0.5, 0.5],), {"indices": [2, -4, total]}),
            (([0.5, 0.5],), {"indices": [1]}),
            (([0.5] * 3,), {"from_layer": 0, "to_layer": 1}),
        ]
        before = synapse_key(inst.synapses())
        for args, kwargs in calls:
            texts = []
            for target in (inst, ref):
                with pytest.raises(ValueError) as info:
                    target.set_weights(*args, **kwargs)
                texts.append(str(info.value))
            assert texts[0] == texts[1], (kwargs, texts)
        assert synapse_key(inst.synapses()) == before == synapse_key(ref.synapses())
        assert comm.allgather(before) == [before] * comm.size
        inst.close()

    collective(comm, body)
