"""What synaptor_mpi exposes: its own names for the classes it shares with
synaptor, the Instance methods of a network spread over processes, and the
same texts as synaptor wherever the two offer the same thing."""

import synaptor
import synaptor_mpi
from conftest import collective, network

NET = network("none", 1)


def public_members(cls):
    methods = sorted(n for n, v in vars(cls).items() if callable(v) and not n.startswith("_"))
    attributes = sorted(n for n, v in vars(cls).items()
                        if type(v).__name__ == "getset_descriptor" and not n.startswith("_"))
    return methods, attributes


def test_module_names_its_classes_and_lists_them(comm):
    def body():
        assert synaptor_mpi.__name__ == "synaptor_mpi"
        assert synaptor_mpi.__doc__.startswith(
            "Networks of synaptor spread over the processes of an MPI communicator: ")
        assert synaptor_mpi.__all__ == ["create_from_yaml", "create_from_json", "Stimulus",
                                        "Instance", "TickResult", "BatchTickResult",
                                        "StateSnapshot", "PanicException"]
        for name in synaptor_mpi.__all__[2:]:
            cls = getattr(synaptor_mpi, name)
            assert (cls.__name__, cls.__module__) == (name, "synaptor_mpi")
        assert synaptor_mpi.PanicException.__bases__ == (BaseException,)
        assert synaptor_mpi.Stimulus is not synaptor.Stimulus
        for hidden in ("Recording", "RecordedArray", "SynapseRecording"):
            assert not hasattr(synaptor_mpi, hidden)
        assert synaptor_mpi.create_from_json.__text_signature__ == "(json_str, seed, comm=None)"
        assert synaptor_mpi.create_from_yaml.__module__ == "synaptor_mpi"

    collective(comm, body)


def test_instance_closes_tells_its_rank_records_reaches_synapses_and_keeps_state_files(comm):
    def body():
        inst = synaptor_mpi.create_from_json(NET, 1, comm)
        assert type(inst) is synaptor_mpi.Instance
        methods, attributes = public_members(synaptor_mpi.Instance)
        assert methods == ["apply_stimulus", "close", "get_t", "record", "record_synapses",
                           "restore_state", "save_state", "set_weights", "stop_recording", "stop_synapse_recording", "synapses",
                           "take_recording", "take_synapse_recording", "tick", "tick_until",
                           "tick_until_arrays", "tick_until_ignore_output"]
        assert attributes == ["layers", "non_coherent_stimulation_rate", "num_partitions",
                              "num_ranks", "plasticity_enabled", "rank", "recorded_sample_count",
                              "recorded_synapse_sample_count", "release_gil", "reward_rate"]
        assert (inst.rank, inst.num_ranks, inst.num_partitions) == (comm.rank, comm.size, comm.size)
        result = inst.tick([], [], [], 0.0, True)
        # The snapshot is assembled on rank 0 only.
        inst.record([0, 1])
        inst.record_synapses([0])
        inst.tick_until(2)
        # Recordings are whole on every rank.
        values = [result, inst.tick_until(3), inst.stop_recording(), inst.synapses(),
                  inst.stop_synapse_recording()]
        values += [result.state_snapshot] * (comm.rank == 0)
        for value in values:
            assert type(value).__module__ == "synaptor_mpi"
        inst.close()

    collective(comm, body)


def test_what_both_modules_offer_reads_alike(comm):
    def body():
        ours, theirs = synaptor_mpi.Instance, type(synaptor.create_from_json(NET, 1))
        methods, attributes = public_members(ours)
        shared = set(methods + attributes) & set(sum(public_members(theirs), []))
        assert shared == {"apply_stimulus", "close", "get_t", "tick", "tick_until",
                          "tick_until_arrays",
                          "tick_until_ignore_output", "non_coherent_stimulation_rate",
                          "release_gil", "reward_rate", "record", "take_recording",
                          "stop_recording", "recorded_sample_count", "synapses", "set_weights",
                          "layers", "record_synapses", "take_synapse_recording",
                          "stop_synapse_recording", "recorded_synapse_sample_count",
                          "plasticity_enabled", "save_state", "restore_state"}
        # Only close(), the state files and the learning switch say more
        # here: every rank must call them alike.
        for name in shared - {"close", "plasticity_enabled", "save_state", "restore_state"}:
            assert getattr(ours, name).__doc__ == getattr(theirs, name).__doc__, name
        assert ours.close.__doc__.startswith("Collective: ")
        for name in ("save_state", "restore_state"):
            ours_call, theirs_call = getattr(ours, name), getattr(theirs, name)
            assert ours_call.__text_signature__ == theirs_call.__text_signature__ == "(path)"
            assert ours_call.__doc__.startswith("Collective, with the same path on every rank")
        ours_switch = ours.plasticity_enabled.__doc__.split("\n")
        theirs_switch = theirs.plasticity_enabled.__doc__.split("\n")
        assert ours_switch[0].startswith("Whether learning changes weights (bool, True at ")
        assert "Every rank\nmust set it alike" in ours.plasticity_enabled.__doc__
        assert ours_switch[3:] == theirs_switch[1:]
        assert ours.__doc__ == theirs.__doc__
        assert synaptor_mpi.Stimulus.__doc__ == synaptor.Stimulus.__doc__

    collective(comm, body)
