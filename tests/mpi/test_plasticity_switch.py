"""The learning switch under MPI: runs switched off and on through every tick
call equal bit for bit to one process's, learning stopped while off on every
rank's synapses, the attribute's type rule, and ranks that set it
differently failing the next tick on every rank."""

import pytest

import synaptor
import synaptor_mpi
from conftest import SIZES, collective, network

def weights(inst):
    return memoryview(inst.synapses().weights).tobytes()


def spikes(batch):
    return (list(batch.neuron_spikes_ts), list(batch.neuron_spikes_ids))


def switched_run(inst):
    """Learning on, off through single ticks and every batch call, on again;
    the spikes, the switch as read, and the weights at each change."""
    inst.non_coherent_stimulation_rate = 0.1
    inst.reward_rate = 0.5
    seen = [inst.plasticity_enabled]
    seen.append(spikes(inst.tick_until(40)))
    learnt = weights(inst)
    inst.plasticity_enabled = False
    seen.append(inst.plasticity_enabled)
    seen.append(spikes(inst.tick_until(80)))
    for t in range(80, 90):
        seen.append(inst.tick([t % SIZES[0]], [], [], 1.0, False).spiking_nids)
    inst.tick_until_ignore_output(120)
    arrays = inst.tick_until_arrays(140)
    seen.append(memoryview(arrays.neuron_spikes_ids).tobytes())
    frozen = weights(inst)
    inst.plasticity_enabled = True
    seen.append(spikes(inst.tick_until(220)))
    seen += [learnt, frozen, weights(inst)]
    return seen


@pytest.mark.parametrize("kind", ["long_term_stdp", "dopamine"])
@pytest.mark.parametrize("num_threads", [1, 2])
def test_switched_runs_are_those_of_one_process(comm, kind, num_threads):
    def body():
        inst = synaptor_mpi.create_from_json(network(kind, num_threads), 9, comm)
        got = switched_run(inst)
        inst.close()
        want = switched_run(synaptor.create_from_json(network(kind, 1), 9))
        assert got == want
        learnt, frozen, relearnt = got[-3:]
        # Switched off, no rank's synapses learnt; switched on, they did again.
        assert frozen == learnt and relearnt != frozen
        assert comm.allgather(relearnt) == [relearnt] * comm.size

    collective(comm, body)


def test_the_switch_takes_only_bools_and_changes_nothing_when_refused(comm):
    def body():
        inst = synaptor_mpi.create_from_json(network("long_term_stdp", 1), 3, comm)
        ref = synaptor.create_from_json(network("long_term_stdp", 1), 3)
        for target in (inst, ref):
            for value in (0, 1, "False", None):
                with pytest.raises(TypeError) as info:
                    target.plasticity_enabled = value
                assert str(info.value) == (
                    f"plasticity_enabled must be True or False, not '{type(value).__name__}'")
            with pytest.raises(AttributeError):
                del target.plasticity_enabled
            assert target.plasticity_enabled is True
            target.plasticity_enabled = False
            assert target.plasticity_enabled is False
            target.non_coherent_stimulation_rate = 0.1
            target.tick_until(50)
        assert weights(inst) == weights(ref)
        inst.close()
        with pytest.raises(ValueError, match="the instance is closed"):
            inst.plasticity_enabled = True

    collective(comm, body)


def test_ranks_that_set_the_switch_differently_fail_the_next_tick_on_every_rank(comm):
    if comm.size == 1:
        pytest.skip("needs two ranks")
    last = comm.size - 1

    def fails_alike(call, text):
        with pytest.raises(synaptor_mpi.PanicException) as info:
            call()
        assert str(info.value) == text
        assert comm.allgather(str(info.value)) == [text] * comm.size

    def body():
        inst = synaptor_mpi.create_from_json(network("long_term_stdp", 1), 3, comm)
        inst.non_coherent_stimulation_rate = 0.1
        inst.tick_until(5)
        # Switched and switched back before a tick: nothing differs.
        if comm.rank == last:
            inst.plasticity_enabled = False
            inst.plasticity_enabled = True
        inst.tick_until(8)
        if comm.rank == last:
            inst.plasticity_enabled = False
        text = (f"ranks disagree on plasticity_enabled at tick 8 (rank 0: True, rank {last}: "
                "False): every rank must set it alike")
        fails_alike(lambda: inst.tick([], [], [], 0.0, False), text)
        # The instance has failed on every rank: later calls raise the same
        # without communicating.
        fails_alike(lambda: inst.tick_until(20), text)
        inst.close()

        # Rank 0 alone switched off, found inside a batch.
        other = synaptor_mpi.create_from_json(network("dopamine", 1), 3, comm)
        other.tick_until(3)
        if comm.rank == 0:
            other.plasticity_enabled = False
        fails_alike(lambda: other.tick_until(30),
                    "ranks disagree on plasticity_enabled at tick 3 (rank 0: False, rank 1: "
                    "True): every rank must set it alike")
        other.close()

    collective(comm, body)
