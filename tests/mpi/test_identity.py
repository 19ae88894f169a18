"""A network spread over every rank gives, tick by tick, what one process gives
with any thread count: spikes, output channels, transmission counts and
snapshots (voltages bit for bit, synapses as a set with their weight bits)."""

import hashlib
import random
from array import array

import pytest

import synaptor
import synaptor_mpi
from conftest import KINDS, SIZES, collective, network

NUM_NEURONS = sum(SIZES)


def snapshot_key(snapshot):
    if snapshot is None:
        return None
    voltages = array("I", array("f", snapshot.membrane_voltages).tobytes()).tolist()
    weights = array("I", array("f", snapshot.weights).tobytes()).tolist()
    synapses = sorted(
        zip(snapshot.pre_syn_nids, snapshot.post_syn_nids, snapshot.conduction_delays, weights)
    )
    return voltages, synapses


def drive(module, inst):
    """The same calls on every instance: ticks with inputs, reward and
    snapshots, a stimulus schedule, non-coherent stimulation and batches."""
    rng = random.Random(5)
    records = []

    def tick(snapshot=False):
        in_ids = [rng.randrange(SIZES[0]) for _ in range(rng.randrange(4))]
        out_ids = [rng.randrange(SIZES[2])] if rng.random() < 0.1 else []
        nids = [rng.randrange(NUM_NEURONS) for _ in range(rng.randrange(3))]
        reward = rng.choice([0.0, 1.0, -0.5, 0.3])
        result = inst.tick(in_ids, out_ids, nids, reward, snapshot)
        records.append(
            ("tick", result.t, result.spiking_nids, result.spiking_out_channel_ids,
             result.synaptic_transmission_count, snapshot_key(result.state_snapshot))
        )

    def batch(result):
        def listed(values):
            return values if isinstance(values, list) else memoryview(values).tolist()

        records.append(
            ("batch", listed(result.neuron_spikes_ts), listed(result.neuron_spikes_ids),
             listed(result.out_channel_spikes_ts), listed(result.out_channel_spikes_ids),
             result.synaptic_transmission_count)
        )

    inst.non_coherent_stimulation_rate = 0.03
    inst.reward_rate = 0.25
    for t in range(60):
        if t == 10:
            stimulus = module.Stimulus()
            stimulus.in_channel_spikes_ts = [1, 2, 2, 30, 70]
            stimulus.in_channel_spikes_ids = [0, 5, 5, 12, 3]
            stimulus.force_neuron_spikes_ts = [3, 40]
            stimulus.force_neuron_spikes_ids = [NUM_NEURONS - 1, 20]
            stimulus.force_out_channel_spikes_ts = [4]
            stimulus.force_out_channel_spikes_ids = [6]
            inst.apply_stimulus(stimulus)
        tick(snapshot=t % 25 == 0)
    batch(inst.tick_until(inst.get_t() + 90))
    inst.non_coherent_stimulation_rate = 0.05
    inst.tick_until_ignore_output(inst.get_t() + 40)
    inst.reward_rate = -0.5
    batch(inst.tick_until(inst.get_t() + 30))
    batch(inst.tick_until_arrays(inst.get_t() + 30))
    for t in range(20):
        tick(snapshot=t == 19)
    records.append(("t", inst.get_t()))
    return records


def without_snapshots(records):
    return [r[:5] + (None,) if r[0] == "tick" else r for r in records]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("num_threads", [1, 2])
def test_every_rank_gets_the_results_of_one_process(comm, kind, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network(kind, num_threads), 3, comm)
        assert (inst.rank, inst.num_ranks) == (comm.rank, comm.size)
        assert inst.num_partitions == comm.size * num_threads
        distributed = drive(synaptor_mpi, inst)
        inst.close()
        # Snapshots come to rank 0 only.
        snapshots = [r[5] for r in distributed if r[0] == "tick" and r[5] is not None]
        assert len(snapshots) == (4 if comm.rank == 0 else 0)
        for reference_threads in (1, 2):
            ref = synaptor.create_from_json(network(kind, reference_threads), 3)
            expected = drive(synaptor, ref)
            if comm.rank != 0:
                expected = without_snapshots(expected)
            for got, want in zip(distributed, expected):
                assert got == want, f"{reference_threads} reference threads: {got} != {want}"
            assert len(distributed) == len(expected)
        # The network is alive: spikes, transmissions, plasticity at work.
        assert sum(len(r[2]) for r in distributed if r[0] == "tick") > 50
        assert all(r[5] > 0 for r in distributed if r[0] == "batch")
        # And every rank holds the same results.
        digest = hashlib.sha256(repr(without_snapshots(distributed)).encode()).hexdigest()
        assert len(set(comm.allgather(digest))) == 1

    collective(comm, body)


def test_plasticity_changes_weights_alike(comm):
    """The snapshot of a run with long-term STDP differs from the initial one
    (so the comparisons above cover changed weights) and equals one process's."""

    def body():
        inst = synaptor_mpi.create_from_json(network("dopamine", 1), 9, comm)
        first = inst.tick([], [], [], 0.0, True).state_snapshot
        inst.non_coherent_stimulation_rate = 0.05
        inst.reward_rate = 1.0
        inst.tick_until_ignore_output(400)
        last = inst.tick([], [], [], 0.0, True).state_snapshot
        ref = synaptor.create_from_json(network("dopamine", 2), 9)
        ref_first = ref.tick([], [], [], 0.0, True).state_snapshot
        ref.non_coherent_stimulation_rate = 0.05
        ref.reward_rate = 1.0
        ref.tick_until_ignore_output(400)
        ref_last = ref.tick([], [], [], 0.0, True).state_snapshot
        if comm.rank == 0:
            assert snapshot_key(first) == snapshot_key(ref_first)
            assert snapshot_key(last) == snapshot_key(ref_last)
            assert snapshot_key(last)[1] != snapshot_key(first)[1]
        else:
            assert first is None and last is None

    collective(comm, body)
