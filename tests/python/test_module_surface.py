"""What the module exposes, and the classes' construction and attribute rules."""

import pytest

import synaptor
from conftest import CHAIN_JSON, document, tick_empty


def test_module_attributes_and_all():
    assert synaptor.__name__ == "synaptor"
    assert synaptor.__doc__ == ""
    assert synaptor.__all__ == ["create_from_yaml", "create_from_json", "Stimulus"]
    assert callable(synaptor.create_from_yaml) and callable(synaptor.create_from_json)
    for hidden in ("Instance", "TickResult", "BatchTickResult", "StateSnapshot", "PanicException"):
        assert not hasattr(synaptor, hidden)


def test_result_classes_refuse_construction(chain):
    result = tick_empty(chain, snapshot=True)
    batch = chain.tick_until(2)
    for cls in (type(chain), type(result), type(batch), type(result.state_snapshot)):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
    assert type(chain).__name__ == "Instance"
    assert type(chain).__module__ == "synaptor"


def test_instance_offers_state_files_and_recording_but_no_process_facts(chain):
    cls = type(chain)
    methods = sorted(n for n, v in vars(cls).items() if callable(v) and not n.startswith("_"))
    assert methods == ["apply_stimulus", "close", "get_t", "record", "record_synapses",
                       "restore_state", "save_state", "set_weights", "stop_recording",
                       "stop_synapse_recording", "synapses", "take_recording",
                       "take_synapse_recording", "tick", "tick_until", "tick_until_arrays",
                       "tick_until_ignore_output"]
    attributes = sorted(n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"
                        and not n.startswith("_"))
    assert attributes == ["layers", "non_coherent_stimulation_rate", "plasticity_enabled",
                          "recorded_sample_count", "recorded_synapse_sample_count", "release_gil",
                          "reward_rate"]
    assert cls.__doc__ == "A running network; obtained from create_from_yaml or create_from_json."
    assert cls.tick_until.__text_signature__ == "(t)"
    assert cls.tick_until_arrays.__text_signature__ == "(t)"
    assert cls.get_t.__text_signature__ == "()"
    assert cls.synapses.__text_signature__ == "(from_layer=None, to_layer=None)"
    assert (cls.set_weights.__text_signature__
            == "(weights, from_layer=None, to_layer=None, indices=None)")


def test_stimulus_ignores_arguments_and_starts_empty():
    s = synaptor.Stimulus(1, x=2)
    for name in (
        "in_channel_spikes_ts",
        "in_channel_spikes_ids",
        "force_out_channel_spikes_ts",
        "force_out_channel_spikes_ids",
        "force_neuron_spikes_ts",
        "force_neuron_spikes_ids",
    ):
        assert getattr(s, name) == []


def test_stimulus_attributes_are_copies():
    s = synaptor.Stimulus()
    s.in_channel_spikes_ts = (3, 1)
    read = s.in_channel_spikes_ts
    assert read == [3, 1] and type(read) is list
    read.append(7)
    assert s.in_channel_spikes_ts == [3, 1]
    assert s.in_channel_spikes_ts is not s.in_channel_spikes_ts
    s.force_neuron_spikes_ids = range(3)
    assert s.force_neuron_spikes_ids == [0, 1, 2]
    s.force_neuron_spikes_ids = [2**64 - 1]
    assert s.force_neuron_spikes_ids == [2**64 - 1]


def test_stimulus_attribute_conversion_errors_keep_old_value():
    s = synaptor.Stimulus()
    s.in_channel_spikes_ts = [5]
    with pytest.raises(ValueError, match="^Can't extract `str` to `Vec`$"):
        s.in_channel_spikes_ts = "31"
    with pytest.raises(OverflowError):
        s.in_channel_spikes_ts = [-1]
    with pytest.raises(OverflowError):
        s.in_channel_spikes_ts = [2**64]
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'Sequence'$"):
        s.in_channel_spikes_ts = 3
    with pytest.raises(TypeError):
        s.in_channel_spikes_ts = [1.5]
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del s.in_channel_spikes_ts
    assert s.in_channel_spikes_ts == [5]


def test_instance_rates(chain):
    assert chain.reward_rate == 0.0 and chain.non_coherent_stimulation_rate == 0.0
    chain.reward_rate = 0.1
    assert chain.reward_rate == 0.10000000149011612
    chain.non_coherent_stimulation_rate = 0.1
    assert chain.non_coherent_stimulation_rate == 0.1
    chain.reward_rate = 3
    assert chain.reward_rate == 3.0 and type(chain.reward_rate) is float
    chain.reward_rate = 1e300  # beyond f32: rounds to infinity like any f32 cast
    assert chain.reward_rate == float("inf")
    with pytest.raises(TypeError):
        chain.reward_rate = "1.0"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del chain.reward_rate
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del chain.non_coherent_stimulation_rate
    assert chain.non_coherent_stimulation_rate == 0.1


def test_result_attributes_are_read_only(chain):
    result = tick_empty(chain, snapshot=True)
    with pytest.raises(AttributeError):
        result.t = 5
    with pytest.raises(AttributeError):
        del result.spiking_nids
    with pytest.raises(AttributeError):
        result.state_snapshot.weights = []
    with pytest.raises(AttributeError):
        chain.tick_until(3).neuron_spikes_ids = []


def test_panic_exception_is_base_exception_and_not_fatal():
    # A positive stimulation rate with no neurons at all is an internal failure.
    inst = synaptor.create_from_json(document([]), 0)
    inst.non_coherent_stimulation_rate = 0.5
    with pytest.raises(BaseException) as info:
        try:
            inst.tick([], [], [], 0.0, False)
        except Exception:  # an ordinary handler must not catch it
            pytest.fail("PanicException was caught as an Exception")
    panic = info.value
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert panic.args == ("called `Result::unwrap()` on an `Err` value: BadParams",)
    # The process and the instance carry on; the class is created only once.
    with pytest.raises(BaseException) as again:
        inst.tick_until(5)
    assert type(again.value) is type(panic)
    inst.non_coherent_stimulation_rate = 0.0
    assert tick_empty(inst).spiking_nids == []


def test_creation_errors_are_value_errors():
    with pytest.raises(ValueError, match="^invalid instance parameters, tau_membrane"):
        synaptor.create_from_json(CHAIN_JSON.replace('"tau_membrane": 10.0', '"tau_membrane": 0'), 0)
    with pytest.raises(ValueError, match="missing field `layers`"):
        synaptor.create_from_yaml("layer_connections: []\ntechnical_params: {pin_threads: false}", 0)
    with pytest.raises(ValueError):
        synaptor.create_from_json("{", 0)


def overcommit_mode():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip()
    except OSError:
        return None


@pytest.mark.skipif(overcommit_mode() not in ("0", "2"),
                    reason="needs a kernel that refuses an impossible allocation up front")
def test_exhausted_memory_is_memory_error():
    # 2^40 neurons cannot be held; creation fails cleanly instead of aborting.
    from conftest import layer

    with pytest.raises(MemoryError):
        synaptor.create_from_json(document([layer(2**40), layer(1)]), 0)
    assert tick_empty(synaptor.create_from_json(CHAIN_JSON, 0)).t == 0
