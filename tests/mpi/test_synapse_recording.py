"""Recording synapse weights under MPI: every rank holds the whole recording,
equal bit for bit to what one process records with the same calls while STDP
and dopamine move the weights; bad and differing requests raise alike on
every rank and keep the running recording; a lack of room stops every rank
before the tick."""

import json
import random
from array import array

import pytest

import synaptor
import synaptor_mpi
from conftest import SIZES, collective, connection, feed_until_no_room, layer, network

NUM_NEURONS = sum(SIZES)


def weights_key(rec):
    """Everything a SynapseRecording holds, the weights as their f32 bits."""
    if rec is None:
        return None
    weights = memoryview(rec.weights)
    return (list(memoryview(rec.indices)), rec.every, list(memoryview(rec.t)), weights.shape,
            weights.tobytes())


def drive(inst):
    """Synapse recordings started, replaced, taken and stopped around every
    kind of tick call, beside a neuron recording and with learning switched
    off for a while; returns what each call gave and the final weights."""
    rng = random.Random(23)
    seen = []
    inst.non_coherent_stimulation_rate = 0.1
    inst.reward_rate = 0.5
    n = len(inst.synapses().weights)
    # Synapses of every connection in no order, the first and last included.
    picks = rng.sample(range(1, n - 1), 30) + [n - 1, 0]
    seen.append(weights_key(inst.record_synapses(picks)))
    for _ in range(12):
        inst.tick([rng.randrange(SIZES[0])], [], [], rng.choice([0.0, 1.0]), False)
    seen.append(inst.recorded_synapse_sample_count)
    seen.append(weights_key(inst.take_synapse_recording()))
    inst.tick_until(inst.get_t() + 40)
    seen.append(inst.recorded_synapse_sample_count)
    # Replacing hands back the samples not taken; a buffer of indices, every
    # third tick, while neurons are sampled every other tick.
    inst.record(range(0, NUM_NEURONS, 3), every=2)
    seen.append(weights_key(inst.record_synapses(array("q", range(n - 1, 0, -7)), every=3)))
    inst.tick_until_ignore_output(inst.get_t() + 50)
    inst.plasticity_enabled = False
    inst.tick_until_arrays(inst.get_t() + 20)
    inst.plasticity_enabled = True
    for _ in range(5):
        inst.tick([], [], [rng.randrange(NUM_NEURONS)], 1.0, True)
    seen.append(weights_key(inst.take_synapse_recording()))
    seen.append(len(inst.stop_recording()))
    # No synapse at all: the samples carry their ticks only.
    seen.append(weights_key(inst.record_synapses([], every=2)))
    inst.tick_until(inst.get_t() + 7)
    seen.append(weights_key(inst.stop_synapse_recording()))
    seen.append(weights_key(inst.stop_synapse_recording()))
    seen.append(inst.recorded_synapse_sample_count)
    seen.append(memoryview(inst.synapses().weights).tobytes())
    return seen


@pytest.mark.parametrize("kind", ["long_term_stdp", "dopamine"])
@pytest.mark.parametrize("num_threads", [1, 2])
def test_every_rank_records_what_one_process_records(comm, kind, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network(kind, num_threads), 4, comm)
        got = drive(inst)
        inst.close()
        ref = synaptor.create_from_json(network(kind, 1), 4)
        want = drive(ref)
        assert got == want
        # Not trivial: the weights moved while they were recorded.
        indices, _, ts, shape, weights = got[4]
        assert shape == (len(ts), len(indices)) and len(ts) > 20
        rows = array("f", weights)
        first, last = rows[:shape[1]], rows[-shape[1]:]
        assert sum(a != b for a, b in zip(first, last)) >= 5
        assert comm.allgather(repr(got)) == [repr(got)] * comm.size

    collective(comm, body)


def test_bad_requests_raise_alike_and_keep_the_recording(comm):
    def body():
        inst = synaptor_mpi.create_from_json(network("long_term_stdp", 1), 2, comm)
        ref = synaptor.create_from_json(network("long_term_stdp", 1), 2)
        n = len(ref.synapses().weights)
        bad = [
            (([1, 2], 0), ValueError, "Recording period must be at least 1 tick, got 0"),
            (([1, -2],), ValueError, "indices[1] = -2 is negative"),
            (([5, n],), ValueError, f"indices[1] = {n} is out of range: the network has {n} "
                                    "synapses"),
            (([3, 8, 3, -1],), ValueError, "indices[2] = 3 is listed twice (also indices[0])"),
            (([2**63],), ValueError, "indices[0] is beyond the range of a 64-bit integer"),
            (([1.5],), TypeError, None),
            (([1], "2"), TypeError, None),
        ]
        for target in (inst, ref):
            with pytest.raises(ValueError, match=r"^No synapse is being recorded; start a "):
                target.take_synapse_recording()
            target.non_coherent_stimulation_rate = 0.05
            target.record_synapses([7, n - 1, 1], every=2)
            target.tick_until(5)
            for args, error, text in bad:
                with pytest.raises(error) as info:
                    target.record_synapses(*args)
                if text is not None:
                    assert str(info.value) == text
            target.tick_until(9)
        assert inst.recorded_synapse_sample_count == ref.recorded_synapse_sample_count == 5
        assert weights_key(inst.stop_synapse_recording()) == weights_key(
            ref.stop_synapse_recording())
        inst.close()
        for call in (inst.take_synapse_recording, inst.stop_synapse_recording,
                     lambda: inst.recorded_synapse_sample_count, lambda: inst.record_synapses([1])):
            with pytest.raises(ValueError, match="the instance is closed"):
                call()

    collective(comm, body)


def test_requests_that_differ_between_ranks_raise_on_every_rank(comm):
    if comm.size == 1:
        pytest.skip("needs two ranks")

    def body():
        inst = synaptor_mpi.create_from_json(network("long_term_stdp", 1), 2, comm)
        ref = synaptor.create_from_json(network("long_term_stdp", 1), 2)
        for target in (inst, ref):
            target.non_coherent_stimulation_rate = 0.05
            target.record_synapses([5, 6], every=2)
            target.tick_until(4)
        last = comm.size - 1
        mine = comm.rank == last
        differing = [
            ([6, 5] if mine else [5, 6], {}),
            ([5, 6], {"every": 3 if mine else 2}),
            ([5, 6, 7] if mine else [5, 6], {}),
            # Invalid on one rank only: nobody waits for the others.
            ([5, 5] if mine else [5, 6], {}),
            ([5, 6], {"every": 0 if mine else 2}),
        ]
        for indices, kwargs in differing:
            with pytest.raises(ValueError) as info:
                inst.record_synapses(indices, **kwargs)
            assert str(info.value) == (
                f"ranks disagree on the synapse recording request (rank 0 and rank {last}): "
                "every rank must make the same calls with the same arguments")
        # The recording went on unchanged and the instance still ticks alike.
        for target in (inst, ref):
            target.tick_until(10)
        assert weights_key(inst.take_synapse_recording()) == weights_key(
            ref.take_synapse_recording())
        inst.close()

    collective(comm, body)


def test_no_room_for_a_sample_stops_every_rank_before_the_tick(comm):
    """One rank's address space is capped so that the recording's storage
    cannot grow; every rank raises MemoryError at the same tick, nothing of
    that tick ran, and once room is back the run goes on as one process's."""
    doc = json.loads(network("long_term_stdp", 1))
    # Two layers of dense connections: many synapses to record, few spikes.
    doc["layers"] += [layer(800), layer(800)]
    dense = connection(3, 4, weight=0.01)
    dense["connect_density"] = 1.0
    dense["connect_width"] = 1.0
    doc["layer_connections"].append(dense)
    big = json.dumps(doc)

    def feed(inst):
        t = inst.get_t()
        inst.tick([t % SIZES[0], (5 * t) % SIZES[0]], [], [], 0.0, False)

    def body():
        inst = synaptor_mpi.create_from_json(big, 8, comm)
        n = len(inst.synapses().weights)
        assert n > 400000
        inst.record_synapses(range(n))
        feed(inst)
        feed(inst)
        # Room for a few more samples of 4 n bytes, not for doubling a
        # reservation of tens of them.
        raised = feed_until_no_room(comm, inst, feed, 40 * 2**20)
        assert inst.recorded_synapse_sample_count == raised
        for _ in range(3):
            feed(inst)
        got = weights_key(inst.stop_synapse_recording())
        final = memoryview(inst.synapses().weights).tobytes()
        inst.close()
        assert len(got[2]) == raised + 3
        ref = synaptor.create_from_json(big, 8)
        ref.record_synapses(range(n))
        for _ in range(raised + 3):
            feed(ref)
        assert got == weights_key(ref.stop_synapse_recording())
        assert final == memoryview(ref.synapses().weights).tobytes()

    collective(comm, body)
