"""Failures on one rank or on all: every rank raises alike, none is left
waiting in a collective call, and the instance's state stays consistent."""

import json
import signal

import pytest

import synaptor
import synaptor_mpi
from conftest import collective, network

NET = network("long_term_stdp", 1)

needs_two = pytest.mark.skipif(
    __import__("mpi4py.MPI", fromlist=["MPI"]).COMM_WORLD.size < 2, reason="needs two ranks"
)


def raises_on_every_rank(call, exception, text):
    with pytest.raises(exception) as info:
        call()
    assert text in str(info.value), str(info.value)


def test_the_same_bad_id_on_every_rank_is_a_value_error(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        inst.tick([0], [], [], 0.0, False)
        raises_on_every_rank(lambda: inst.tick([], [], [10**6], 0.0, False), ValueError,
                             "Invalid neuron id for forced spike: 1000000")
        raises_on_every_rank(lambda: inst.tick([13], [], [], 0.0, False), ValueError,
                             "Invalid input channel id: 13")
        # Nothing ran: the next tick is the same tick and still works.
        assert inst.get_t() == 1
        assert inst.tick([1], [], [], 0.0, False).t == 1

    collective(comm, body)


@needs_two
def test_different_inputs_fail_every_rank_at_that_tick(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        inst.tick([0], [], [], 0.0, False)
        nids = [5] if comm.rank == comm.size - 1 else [6]
        expected = f"ranks disagree on the input of tick 1 (rank 0 and rank {comm.size - 1})"
        raises_on_every_rank(lambda: inst.tick([], [], nids, 0.0, False),
                             synaptor_mpi.PanicException, expected)
        # The instance is failed on every rank, without any further exchange.
        raises_on_every_rank(lambda: inst.tick([], [], [], 0.0, False),
                             synaptor_mpi.PanicException, expected)
        raises_on_every_rank(lambda: inst.tick_until(10), synaptor_mpi.PanicException, expected)

    collective(comm, body)


@needs_two
def test_a_divergent_reward_or_rate_is_a_divergence(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        reward = 1.0 if comm.rank == 1 else 0.5
        raises_on_every_rank(lambda: inst.tick([], [], [], reward, False),
                             synaptor_mpi.PanicException, "rank 0 and rank 1")
        other = synaptor_mpi.create_from_json(NET, 1, comm)
        other.non_coherent_stimulation_rate = 0.1 if comm.rank == 1 else 0.0
        raises_on_every_rank(lambda: other.tick_until(5), synaptor_mpi.PanicException,
                             "ranks disagree on the input of tick 0")

    collective(comm, body)


@needs_two
def test_a_divergent_stimulus_fails_at_the_tick_that_delivers_it(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        inst.tick_until(3)
        if comm.rank == 1:
            stimulus = synaptor_mpi.Stimulus()
            stimulus.force_neuron_spikes_ts = [4]
            stimulus.force_neuron_spikes_ids = [20]
            inst.apply_stimulus(stimulus)
        inst.tick_until(7)  # ticks 3..6 do not differ yet
        raises_on_every_rank(lambda: inst.tick_until(20), synaptor_mpi.PanicException,
                             "ranks disagree on the input of tick 7 (rank 0 and rank 1)")
        assert inst.get_t() == 7

    collective(comm, body)


@needs_two
def test_a_rank_that_alone_rejects_its_input_fails_every_rank(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        nids = [10**6] if comm.rank == 1 else [1]
        raises_on_every_rank(lambda: inst.tick([], [], nids, 0.0, False),
                             synaptor_mpi.PanicException, "ranks disagree on the input of tick 0")

    collective(comm, body)


def test_creation_fails_alike_on_every_rank(comm):
    def body():
        doc = json.loads(NET)
        if comm.rank == comm.size - 1:
            doc["layers"][1]["num_neurons"] += 1
        if comm.size > 1:
            raises_on_every_rank(
                lambda: synaptor_mpi.create_from_json(json.dumps(doc), 1, comm), ValueError,
                f"rank {comm.size - 1} was given another parameter document than rank 0")
            raises_on_every_rank(
                lambda: synaptor_mpi.create_from_json(NET, comm.rank, comm), ValueError,
                "rank 1 was given the seed 1, rank 0 the seed 0")
        # A document that no rank can use fails with the message of synaptor.
        bad = json.loads(NET)
        bad["layers"][0]["neuron_params"]["tau_membrane"] = -1.0
        with pytest.raises(ValueError) as single:
            synaptor.create_from_json(json.dumps(bad), 1)
        raises_on_every_rank(lambda: synaptor_mpi.create_from_json(json.dumps(bad), 1, comm),
                             ValueError, str(single.value))
        raises_on_every_rank(lambda: synaptor_mpi.create_from_yaml("layers: [", 1, comm),
                             ValueError, "")
        # And the ranks are still in step: a good instance follows.
        assert synaptor_mpi.create_from_json(NET, 1, comm).tick_until(5).synaptic_transmission_count >= 0

    collective(comm, body)


def test_creation_arguments(comm):
    def body():
        with pytest.raises(TypeError, match="mpi4py communicator"):
            synaptor_mpi.create_from_json(NET, 1, "not a communicator")
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'seed'"):
            synaptor_mpi.create_from_json(NET)
        # comm=None is the world.
        inst = synaptor_mpi.create_from_yaml(
            synaptor_mpi_yaml(), seed=2, comm=None)
        assert inst.num_ranks == comm.size

    collective(comm, body)


def synaptor_mpi_yaml():
    neuron = ", ".join(f"{key}: {value}" for key, value in json.loads(NET)["layers"][0]["neuron_params"].items())
    return f"""
layers:
  - {{num_neurons: 4, neuron_params: {{{neuron}}}}}
layer_connections: []
technical_params: {{num_threads: 1, pin_threads: false}}
"""


def test_sub_communicators_hold_separate_networks(comm):
    def body():
        sub = comm.Split(comm.rank % 2, comm.rank)
        inst = synaptor_mpi.create_from_json(network("depression", 1), 4, sub)
        assert (inst.rank, inst.num_ranks) == (sub.rank, sub.size)
        ref = synaptor.create_from_json(network("depression", 1), 4)
        for inp in ([0, 1], [2], [], [7, 7]):
            got = inst.tick(inp, [], [], 0.0, False)
            want = ref.tick(inp, [], [], 0.0, False)
            assert (got.spiking_nids, got.synaptic_transmission_count) == (
                want.spiking_nids, want.synaptic_transmission_count)
        inst.close()
        sub.Free()

    collective(comm, body)


def test_a_closed_instance_refuses_every_call(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        inst.tick_until(3)
        inst.close()
        for call in (lambda: inst.tick_until(5), lambda: inst.get_t(), lambda: inst.rank,
                     lambda: inst.close() or inst.tick([], [], [], 0.0, False)):
            with pytest.raises(ValueError, match="the instance is closed"):
                call()

    collective(comm, body)


@needs_two
def test_an_interrupt_on_one_rank_stops_every_rank_at_the_same_tick(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        inst.non_coherent_stimulation_rate = 0.05

        def interrupt(signum, frame):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, interrupt)
        try:
            if comm.rank == 1:
                signal.setitimer(signal.ITIMER_REAL, 0.3)
            with pytest.raises(KeyboardInterrupt):
                inst.tick_until(10**9)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        t = inst.get_t()
        assert 0 < t < 10**9
        assert len(set(comm.allgather(t))) == 1
        # The instance ticks on, in step.
        assert inst.tick([], [], [], 0.0, False).t == t

    collective(comm, body)
