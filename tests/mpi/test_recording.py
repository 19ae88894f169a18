"""Recording under MPI: every rank holds the whole recording, equal bit for
bit to what one process records with the same calls; bad and differing
requests raise alike on every rank; a lack of room stops every rank before
the tick."""

import json
import random
from array import array

import pytest

import synaptor
import synaptor_mpi
from conftest import SIZES, collective, feed_until_no_room, layer, network

NUM_NEURONS = sum(SIZES)
ALL_VARIABLES = ("voltage", "threshold", "spike", "refractory")


def recording_key(rec):
    """Everything a Recording holds, floats as their bits."""
    if rec is None:
        return None
    values = tuple(memoryview(getattr(rec, name)).tobytes() for name in rec.variables)
    return (list(memoryview(rec.t)), list(rec.nids), tuple(rec.variables), rec.every, len(rec),
            values)


def drive(inst):
    """Recordings started, replaced, taken and stopped around every kind of
    tick call; returns what each recording call gave and the sample counts."""
    rng = random.Random(11)
    seen = []
    inst.non_coherent_stimulation_rate = 0.1
    inst.reward_rate = 0.5
    # Neurons of every layer in no order, the last one included.
    nids = rng.sample(range(NUM_NEURONS - 1), 17) + [NUM_NEURONS - 1]
    seen.append(recording_key(inst.record(nids)))
    for _ in range(15):
        inst.tick([rng.randrange(SIZES[0])], [], [], 0.0, False)
    seen.append(inst.recorded_sample_count)
    seen.append(recording_key(inst.take_recording()))
    inst.tick_until(inst.get_t() + 40)
    seen.append(inst.recorded_sample_count)
    # Replacing hands back the old samples; every rank samples every third tick.
    seen.append(recording_key(inst.record(range(NUM_NEURONS), ALL_VARIABLES[::-1], every=3)))
    inst.tick_until_ignore_output(inst.get_t() + 50)
    seen.append(recording_key(inst.take_recording()))
    inst.tick_until(inst.get_t() + 7)
    seen.append(recording_key(inst.record([NUM_NEURONS - 1, 0], "spike", every=2)))
    for _ in range(9):
        inst.tick([], [], [rng.randrange(NUM_NEURONS)], 0.0, True)
    seen.append(recording_key(inst.stop_recording()))
    seen.append(recording_key(inst.stop_recording()))
    seen.append(inst.recorded_sample_count)
    return seen


@pytest.mark.parametrize("kind", ["none", "short_term_stdp", "dopamine"])
@pytest.mark.parametrize("num_threads", [1, 2])
def test_every_rank_records_what_one_process_records(comm, kind, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network(kind, num_threads), 4, comm)
        got = drive(inst)
        inst.close()
        ref = synaptor.create_from_json(network(kind, 1), 4)
        want = drive(ref)
        assert got == want
        # The recordings are not trivial: every variable moved, spikes were seen.
        busy = got[5][5]
        voltages = array("f", busy[ALL_VARIABLES[::-1].index("voltage")])
        spikes = array("f", busy[ALL_VARIABLES[::-1].index("spike")])
        assert len(set(voltages)) > 2 and 1.0 in spikes
        assert comm.allgather(repr(got)) == [repr(got)] * comm.size

    collective(comm, body)


BAD_REQUESTS = [
    (([0, NUM_NEURONS],), {}, f"Invalid neuron id for recording: {NUM_NEURONS}"),
    (([4, 2, 4],), {}, "Neuron id listed twice for recording: 4"),
    (([1],), {"variables": ["voltage", "charge"]},
     "Unknown variable to record: 'charge' (known: voltage, threshold, spike, refractory)"),
    (([1],), {"variables": []}, "No variable to record"),
    (([1],), {"every": 0}, "Recording period must be at least 1 tick, got 0"),
]


def test_bad_requests_raise_alike_and_keep_the_recording(comm):
    def body():
        inst = synaptor_mpi.create_from_json(network("none", 1), 2, comm)
        ref = synaptor.create_from_json(network("none", 1), 2)
        for target in (inst, ref):
            with pytest.raises(ValueError, match=r"^Nothing is being recorded; start a "):
                target.take_recording()
            target.non_coherent_stimulation_rate = 0.05
            target.record([3, 30, 44])
            target.tick_until(5)
            for args, kwargs, text in BAD_REQUESTS:
                with pytest.raises(ValueError) as info:
                    target.record(*args, **kwargs)
                assert str(info.value) == text
            with pytest.raises(TypeError):
                target.record([1], every="often")
            target.tick_until(9)
        assert inst.recorded_sample_count == ref.recorded_sample_count == 9
        assert recording_key(inst.stop_recording()) == recording_key(ref.stop_recording())
        inst.close()

    collective(comm, body)


def test_requests_that_differ_between_ranks_raise_on_every_rank(comm):
    if comm.size == 1:
        pytest.skip("needs two ranks")

    def body():
        inst = synaptor_mpi.create_from_json(network("none", 1), 2, comm)
        ref = synaptor.create_from_json(network("none", 1), 2)
        for target in (inst, ref):
            target.non_coherent_stimulation_rate = 0.05
            target.record([5, 6], every=2)
            target.tick_until(4)
        last = comm.size - 1
        differing = [
            ([5, 6] if comm.rank != last else [6, 5], {}),
            ([5, 6], {"every": 2 if comm.rank != last else 3}),
            ([5, 6], {"variables": "voltage" if comm.rank != last else "spike"}),
            # Invalid on one rank only: nobody waits for the others.
            ([5, 6] if comm.rank != last else [5, 5], {}),
        ]
        for nids, kwargs in differing:
            with pytest.raises(ValueError) as info:
                inst.record(nids, **kwargs)
            assert str(info.value) == (
                f"ranks disagree on the recording request (rank 0 and rank {last}): every rank "
                "must make the same calls with the same arguments")
        # The recording went on unchanged and the instance still ticks alike.
        for target in (inst, ref):
            target.tick_until(10)
        assert recording_key(inst.take_recording()) == recording_key(ref.take_recording())
        inst.close()

    collective(comm, body)


def test_no_room_for_a_sample_stops_every_rank_before_the_tick(comm):
    """One rank's address space is capped so that the recording's storage
    cannot grow; every rank raises MemoryError at the same tick, nothing of
    that tick ran, and once room is back the run goes on as one process's."""
    doc = json.loads(network("none", 1))
    # A large layer without synapses: cheap to tick, costly to record.
    doc["layers"].append(layer(200000))
    big = json.dumps(doc)
    num_neurons = NUM_NEURONS + 200000

    def feed(inst):
        t = inst.get_t()
        inst.tick([t % SIZES[0], (5 * t) % SIZES[0]], [], [], 0.0, False)

    def body():
        inst = synaptor_mpi.create_from_json(big, 8, comm)
        inst.record(range(num_neurons), ALL_VARIABLES)
        feed(inst)
        feed(inst)
        # Room for a few more samples of 3.2 MB, not for doubling a
        # reservation of tens of them.
        raised = feed_until_no_room(comm, inst, feed, 60 * 2**20)
        assert inst.recorded_sample_count == raised
        for _ in range(3):
            feed(inst)
        got = inst.stop_recording()
        inst.close()
        assert len(got) == raised + 3
        ref = synaptor.create_from_json(big, 8)
        ref.record(range(num_neurons), ALL_VARIABLES)
        for _ in range(raised + 3):
            feed(ref)
        assert recording_key(got) == recording_key(ref.stop_recording())

    collective(comm, body)
