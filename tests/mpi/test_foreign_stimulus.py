"""synaptor_mpi takes a synaptor.Stimulus as its own: the same schedule gives
the same ticks. synaptor itself keeps taking only its own class."""

import pytest

import synaptor
import synaptor_mpi
from conftest import SIZES, collective, network


def schedule(module):
    stimulus = module.Stimulus()
    stimulus.in_channel_spikes_ts = [0, 2, 2, 5]
    stimulus.in_channel_spikes_ids = [1, 0, 7, 12]
    stimulus.force_neuron_spikes_ts = [1, 3]
    stimulus.force_neuron_spikes_ids = [SIZES[0] + 4, SIZES[0] + 20]
    stimulus.force_out_channel_spikes_ts = [4]
    stimulus.force_out_channel_spikes_ids = [2]
    return stimulus


def run(comm, stimulus):
    inst = synaptor_mpi.create_from_json(network("long_term_stdp", 1), 3, comm)
    try:
        inst.apply_stimulus(stimulus)
        batch = inst.tick_until(12)
        return list(batch.neuron_spikes_ts), list(batch.neuron_spikes_ids)
    finally:
        inst.close()


def test_a_synaptor_stimulus_schedules_the_same_spikes(comm):
    def body():
        own = run(comm, schedule(synaptor_mpi))
        foreign = run(comm, schedule(synaptor))
        assert own == foreign
        assert len(own[1]) > 2  # the forced spikes at least

    collective(comm, body)


def test_synaptor_refuses_the_mpi_stimulus():
    inst = synaptor.create_from_json(network("none", 1), 3)
    with pytest.raises(TypeError, match="'Stimulus' object cannot be converted to 'Stimulus'"):
        inst.apply_stimulus(synaptor_mpi.Stimulus())
