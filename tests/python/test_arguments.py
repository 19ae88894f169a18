"""Argument binding and conversion: exact TypeError texts, causes, re-entrancy."""

import pytest

import synaptor
from conftest import CHAIN_JSON, CHAIN_YAML


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda i: i.tick([], [], []),
         "Instance.tick() missing 2 required positional arguments: 'reward' and 'extract_state_snapshot'"),
        (lambda i: i.tick([], [], [], 0.0),
         "Instance.tick() missing 1 required positional argument: 'extract_state_snapshot'"),
        (lambda i: i.tick([]),
         "Instance.tick() missing 4 required positional arguments: 'force_spiking_out_channel_ids', "
         "'force_spiking_nids', 'reward', and 'extract_state_snapshot'"),
        (lambda i: i.tick([], [], [], 0.0, False, 1),
         "Instance.tick() takes 5 positional arguments but 6 were given"),
        (lambda i: i.tick_until(1, 2),
         "Instance.tick_until() takes 1 positional arguments but 2 were given"),
        (lambda i: i.tick_until(),
         "Instance.tick_until() missing 1 required positional argument: 't'"),
        (lambda i: i.tick_until_ignore_output(t_end=3),
         "Instance.tick_until_ignore_output() got an unexpected keyword argument 't_end'"),
        (lambda i: i.apply_stimulus(synaptor.Stimulus(), stimulus=synaptor.Stimulus()),
         "Instance.apply_stimulus() got multiple values for argument 'stimulus'"),
        (lambda i: i.tick([], [], [], 0.0, spiking_in_channel_ids=[], extract_state_snapshot=False),
         "Instance.tick() got multiple values for argument 'spiking_in_channel_ids'"),
        (lambda i: synaptor.create_from_yaml(seed=0),
         "create_from_yaml() missing 1 required positional argument: 'yaml_str'"),
        (lambda i: synaptor.create_from_json("{}", 0, 0),
         "create_from_json() takes 2 positional arguments but 3 were given"),
        (lambda i: synaptor.create_from_json("{}", seed=0, yaml_str="x"),
         "create_from_json() got an unexpected keyword argument 'yaml_str'"),
    ],
)
def test_binding_errors(chain, call, message):
    with pytest.raises(TypeError) as info:
        call(chain)
    assert str(info.value) == message
    assert chain.get_t() == 0


def test_keyword_arguments_are_accepted(chain):
    result = chain.tick(
        spiking_in_channel_ids=[],
        force_spiking_out_channel_ids=[],
        force_spiking_nids=[],
        reward=1.0,
        extract_state_snapshot=True,
    )
    assert result.t == 0 and result.state_snapshot is not None
    assert chain.tick([0], [], [], 0, extract_state_snapshot=False).spiking_nids == [0]
    assert chain.tick_until(t=4).neuron_spikes_ts is not None
    assert chain.get_t() == 4
    inst = synaptor.create_from_yaml(seed=2**64 - 1, yaml_str=CHAIN_YAML)
    assert inst.get_t() == 0


def test_get_t_takes_no_arguments(chain):
    with pytest.raises(TypeError):
        chain.get_t(1)


@pytest.mark.parametrize(
    "args, message",
    [
        (([], [], [], 0.0, 0),
         "argument 'extract_state_snapshot': 'int' object cannot be converted to 'PyBool'"),
        (([], [], [], 0.0, None),
         "argument 'extract_state_snapshot': 'NoneType' object cannot be converted to 'PyBool'"),
        ((5, [], [], 0.0, False),
         "argument 'spiking_in_channel_ids': 'int' object cannot be converted to 'Sequence'"),
        (([], {1: 2}, [], 0.0, False),
         "argument 'force_spiking_out_channel_ids': 'dict' object cannot be converted to 'Sequence'"),
        (([], [], [0.5], 0.0, False),
         "argument 'force_spiking_nids': 'float' object cannot be interpreted as an integer"),
        (([], [], [], "1", False), "argument 'reward': must be real number, not str"),
    ],
)
def test_tick_conversion_type_errors_are_prefixed(chain, args, message):
    with pytest.raises(TypeError) as info:
        chain.tick(*args)
    assert str(info.value) == message


def test_tick_conversion_other_errors_are_unchanged(chain):
    with pytest.raises(ValueError, match="^Can't extract `str` to `Vec`$"):
        chain.tick("01", [], [], 0.0, False)
    with pytest.raises(OverflowError):
        chain.tick([-1], [], [], 0.0, False)
    with pytest.raises(OverflowError):
        chain.tick_until(2**64)
    with pytest.raises(OverflowError):
        chain.tick_until(-1)
    assert chain.get_t() == 0


def test_conversion_keeps_the_cause():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad index") from e

    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    with pytest.raises(TypeError) as info:
        inst.tick_until(BadIndex())
    assert str(info.value) == "argument 't': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_text_and_seed_conversions():
    with pytest.raises(TypeError) as info:
        synaptor.create_from_yaml(b"layers: []", 0)
    assert str(info.value) == "argument 'yaml_str': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        synaptor.create_from_json(None, 0)
    assert str(info.value) == "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"
    with pytest.raises(OverflowError):
        synaptor.create_from_yaml(CHAIN_YAML, -1)
    with pytest.raises(OverflowError):
        synaptor.create_from_yaml(CHAIN_YAML, 2**64)
    with pytest.raises(TypeError) as info:
        synaptor.create_from_yaml(CHAIN_YAML, 1.0)
    assert str(info.value).startswith("argument 'seed': ")

    with pytest.raises(UnicodeEncodeError):  # not a TypeError: raised unprefixed
        synaptor.create_from_yaml("\ud800", 0)

    class Text(str):
        pass

    assert synaptor.create_from_yaml(Text(CHAIN_YAML), True).get_t() == 0


def test_sequences_and_indexes_are_accepted(chain):
    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    class Seq:
        def __len__(self):
            raise RuntimeError("length is only a hint")

        def __getitem__(self, i):
            if i < 2:
                return Index(i)
            raise IndexError

    result = chain.tick((0,), range(1, 2), Seq(), True, False)  # True as reward is 1.0
    assert result.spiking_nids == [0, 0, 1, 9]
    assert chain.tick_until(Index(3)).neuron_spikes_ts[-1] == 2


def test_sequence_length_is_only_a_hint(chain):
    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i == 0:
                return 4
            raise IndexError

    assert chain.tick([], [], Liar(), 0.0, False).spiking_nids == [4]


def test_apply_stimulus_requires_a_stimulus(chain):
    with pytest.raises(TypeError) as info:
        chain.apply_stimulus([1])
    assert str(info.value) == "argument 'stimulus': 'list' object cannot be converted to 'Stimulus'"


def test_reentrant_calls_are_refused(chain):
    seen = {}

    class Spy:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            try:
                chain.get_t()
            except RuntimeError as e:
                seen["get_t"] = str(e)
            try:
                chain.reward_rate
            except RuntimeError as e:
                seen["read"] = str(e)
            raise IndexError

    class Reward:
        def __float__(self):
            try:
                chain.tick([], [], [], 0.0, False)
            except RuntimeError as e:
                seen["tick"] = str(e)
            try:
                chain.reward_rate = 1.0
            except RuntimeError as e:
                seen["write"] = str(e)
            return 0.5

    chain.tick(Spy(), [], [], Reward(), False)
    assert seen == {
        "get_t": "Already mutably borrowed",
        "read": "Already mutably borrowed",
        "tick": "Already borrowed",
        "write": "Already borrowed",
    }
    # The access is released afterwards, also after a failed call.
    with pytest.raises(TypeError):
        chain.tick([], [], [], 0.0, 1)
    assert chain.get_t() == 1
