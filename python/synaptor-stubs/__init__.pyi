"""Type stubs of the native module synaptor.

Instance, TickResult, BatchTickResult and StateSnapshot are obtained only as
results; they are not attributes of the module. Internal failures raise
PanicException, a BaseException subclass that is not a module attribute either."""

import os
from typing import Sequence, final

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

    in_channel_spikes_ts: list[int]
    in_channel_spikes_ids: list[int]
    force_out_channel_spikes_ts: list[int]
    force_out_channel_spikes_ids: list[int]
    force_neuron_spikes_ts: list[int]
    force_neuron_spikes_ids: list[int]
    def __init__(self, *args: object, **kwargs: object) -> None: ...

@final
class Instance:
    """A running network. Obtained only from create_from_yaml or create_from_json."""

    reward_rate: float
    """Reward of every tick of tick_until and tick_until_ignore_output (stored as f32)."""
    non_coherent_stimulation_rate: float
    """Expected fraction of all neurons forced to spike at random per tick."""

    def tick(
        self,
        spiking_in_channel_ids: Sequence[int],
        force_spiking_out_channel_ids: Sequence[int],
        force_spiking_nids: Sequence[int],
        reward: float,
        extract_state_snapshot: bool,
    ) -> TickResult: ...
    def tick_until(self, t: int) -> BatchTickResult:
        """Runs ticks while get_t() < t and returns their spikes. Ctrl-C (any
        signal whose handler raises) stops it between two ticks with that
        exception; the spikes of the interrupted call are dropped, every tick
        run is complete and get_t() is the next tick to run."""
    def tick_until_ignore_output(self, t: int) -> None:
        """Runs ticks while get_t() < t, keeping no output; Ctrl-C as in tick_until."""
    def apply_stimulus(self, stimulus: Stimulus) -> None: ...
    def get_t(self) -> int: ...
    def save_state(self, path: str | os.PathLike[str]) -> None:
        """Writes the complete state to path (through a temporary file renamed
        into place); OSError when it cannot be written."""
    def restore_state(self, path: str | os.PathLike[str]) -> None:
        """Continues from a state saved by an instance of the same network, with
        any number of threads. OSError when the file cannot be read, ValueError
        when it is not a state file of this network; the instance is then unchanged."""

@final
class TickResult:
    @property
    def t(self) -> int: ...
    @property
    def spiking_out_channel_ids(self) -> list[int]: ...
    @property
    def spiking_nids(self) -> list[int]: ...
    @property
    def synaptic_transmission_count(self) -> int: ...
    @property
    def state_snapshot(self) -> StateSnapshot | None: ...

@final
class BatchTickResult:
    @property
    def out_channel_spikes_ts(self) -> list[int]: ...
    @property
    def out_channel_spikes_ids(self) -> list[int]: ...
    @property
    def neuron_spikes_ts(self) -> list[int]: ...
    @property
    def neuron_spikes_ids(self) -> list[int]: ...
    @property
    def synaptic_transmission_count(self) -> int: ...

@final
class StateSnapshot:
    @property
    def membrane_voltages(self) -> list[float]: ...
    @property
    def pre_syn_nids(self) -> list[int]: ...
    @property
    def post_syn_nids(self) -> list[int]: ...
    @property
    def conduction_delays(self) -> list[int]: ...
    @property
    def weights(self) -> list[float]: ...
