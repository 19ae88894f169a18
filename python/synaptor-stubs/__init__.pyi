"""Type stubs of the native module synaptor.

Instance, TickResult, BatchTickResult, StateSnapshot, Recording,
RecordedArray and Synapses are obtained only as results; they are not
attributes of the module. Internal failures raise
PanicException, a BaseException subclass that is not a module attribute either.
All of them are declared, and importable, in synaptor_tools (synaptor_tools.classes)."""

from typing import final

from synaptor_tools.classes import IdSequence, Instance

__all__ = ["create_from_yaml", "create_from_json", "Stimulus"]

def create_from_yaml(yaml_str: str, seed: int) -> Instance:
    """Creates a running network from a YAML parameter document; ``seed`` feeds only
    the random non-coherent stimulation. Raises ValueError for an unreadable or
    invalid document."""

def create_from_json(json_str: str, seed: int) -> Instance:
    """Like create_from_yaml, for a JSON parameter document."""

@final
class Stimulus:
    """A schedule of spikes for Instance.apply_stimulus. Ticks are counted from
    the instance's tick at the moment the stimulus is applied (0 = next tick)."""

    # Each reads as a new list and takes any sequence of ids (a NumPy array too).
    @property
    def in_channel_spikes_ts(self) -> list[int]: ...
    @in_channel_spikes_ts.setter
    def in_channel_spikes_ts(self, value: IdSequence) -> None: ...
    @property
    def in_channel_spikes_ids(self) -> list[int]: ...
    @in_channel_spikes_ids.setter
    def in_channel_spikes_ids(self, value: IdSequence) -> None: ...
    @property
    def force_out_channel_spikes_ts(self) -> list[int]: ...
    @force_out_channel_spikes_ts.setter
    def force_out_channel_spikes_ts(self, value: IdSequence) -> None: ...
    @property
    def force_out_channel_spikes_ids(self) -> list[int]: ...
    @force_out_channel_spikes_ids.setter
    def force_out_channel_spikes_ids(self, value: IdSequence) -> None: ...
    @property
    def force_neuron_spikes_ts(self) -> list[int]: ...
    @force_neuron_spikes_ts.setter
    def force_neuron_spikes_ts(self, value: IdSequence) -> None: ...
    @property
    def force_neuron_spikes_ids(self) -> list[int]: ...
    @force_neuron_spikes_ids.setter
    def force_neuron_spikes_ids(self, value: IdSequence) -> None: ...
    # Arguments are accepted and not examined; none has a meaning.
    def __init__(self) -> None: ...
