"""Type stubs of synaptor_tools.classes: the classes of the native module
synaptor that it hands out only as results, and its PanicException.

These are the real classes (their __module__ is "synaptor"), declared here
because the module has no attributes of these names; import them from
synaptor_tools."""

import os
from typing import Protocol, Sequence, SupportsIndex, final

from typing_extensions import Buffer

from synaptor import Stimulus

__all__ = [
    "BatchTickArrays",
    "BatchTickResult",
    "IdSequence",
    "Instance",
    "PanicException",
    "RecordedArray",
    "Recording",
    "StateSnapshot",
    "SynapseRecording",
    "Synapses",
    "TickResult",
]

class IdSequence(Protocol):
    """What an id argument takes: a sequence of integers from 0 to 2**64 - 1,
    such as a list, a tuple, a range or a NumPy array of integers (not a str)."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

class PanicException(BaseException):
    """An internal failure of the simulator; its single argument is the failure text."""

@final
class Instance:
    """A running network. Obtained only from create_from_yaml or create_from_json."""

    reward_rate: float
    """Reward of every tick of tick_until and tick_until_ignore_output (stored as f32)."""
    non_coherent_stimulation_rate: float
    """Expected fraction of all neurons forced to spike at random per tick."""
    release_gil: bool
    """Whether tick_until and tick_until_ignore_output let other Python threads
    run while they tick (default False); meanwhile every other call on this
    instance raises RuntimeError."""
    plasticity_enabled: bool
    """Whether learning changes weights; True at creation, kept by save_state.
    False from the next tick: no long-term STDP change and no eligibility trace,
    and dopamine flushes spend their samples without changing a weight.
    Short-term plasticity goes on. Only True or False (TypeError otherwise)."""

    def close(self) -> None:
        """Joins the workers and frees the network's memory at once; every later
        call raises ValueError."""
    def __enter__(self) -> Instance: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def tick(
        self,
        spiking_in_channel_ids: IdSequence,
        force_spiking_out_channel_ids: IdSequence,
        force_spiking_nids: IdSequence,
        reward: float,
        extract_state_snapshot: bool,
    ) -> TickResult: ...
    def tick_until(self, t: int) -> BatchTickResult:
        """Runs ticks while get_t() < t and returns their spikes. Ctrl-C (any
        signal whose handler raises) stops it between two ticks with that
        exception; every tick run is complete and get_t() is the next tick to
        run. An exception raised once ticking began (Ctrl-C, PanicException,
        MemoryError) carries the ticks completed as its attribute `completed`,
        a BatchTickResult."""
    def tick_until_arrays(self, t: int) -> BatchTickArrays:
        """As tick_until, the spikes as arrays of u64 (16 bytes a spike, no
        Python object per spike); an exception's `completed` is a BatchTickArrays."""
    def tick_until_ignore_output(self, t: int) -> None:
        """Runs ticks while get_t() < t, keeping no output; Ctrl-C as in tick_until."""
    def apply_stimulus(self, stimulus: Stimulus) -> None: ...
    def get_t(self) -> int: ...
    def record(
        self,
        nids: IdSequence,
        variables: str | Sequence[str] = ("voltage", "threshold"),
        every: int = 1,
    ) -> Recording | None:
        """Records the variables ('voltage', 'threshold', 'spike', 'refractory') of
        the neurons nids at the end of the ticks get_t(), get_t() + every, ... run
        from now on by any of the tick calls. Replaces the running recording and
        returns its samples not yet taken, or None when nothing was recorded.
        ValueError for a nid out of range or listed twice, an unknown or repeated
        variable, or every below 1."""
    def take_recording(self) -> Recording:
        """The samples recorded so far, which the instance then drops; recording
        goes on. ValueError when nothing is being recorded."""
    def stop_recording(self) -> Recording | None:
        """Ends the recording and returns its samples not yet taken, or None when
        nothing was recorded."""
    @property
    def recorded_sample_count(self) -> int:
        """Samples waiting to be taken; each holds 8 + 4 * len(nids) * len(variables)
        bytes."""
    def save_state(self, path: str | os.PathLike[str]) -> None:
        """Writes the complete state to path (through a temporary file renamed
        into place); OSError when it cannot be written."""
    def restore_state(self, path: str | os.PathLike[str]) -> None:
        """Continues from a state saved by an instance of the same network, with
        any number of threads. OSError when the file cannot be read, ValueError
        when it is not a state file of this network; the instance is then unchanged."""
    @property
    def layers(self) -> tuple[tuple[int, int], ...]:
        """The layers in document order, each a (first_nid, num_neurons) tuple."""
    def synapses(self, from_layer: int | None = None, to_layer: int | None = None) -> Synapses:
        """The synapses between two ticks: all, or those of the connections from
        layer from_layer and/or onto layer to_layer. Order: by the layer the
        synapse projects onto (document order), then ascending pre-synaptic nid,
        then ascending post-synaptic nid; the same for any number of threads, and
        with one thread the order of a state snapshot. A synapse's position in the
        unfiltered order is its synapse index, fixed for the life of the network.
        ValueError for a layer id out of range."""
    def set_weights(
        self,
        weights: Sequence[float] | Buffer,
        from_layer: int | None = None,
        to_layer: int | None = None,
        indices: IdSequence | Buffer | None = None,
    ) -> None:
        """Writes weights in the order and number of synapses(from_layer, to_layer),
        or weights[i] to synapse index indices[i] (in order; a repeated index keeps
        its last weight). Values are rounded to the nearest f32 and stored exactly.
        All is checked before anything is written: a wrong length, an index out of
        range, NaN, a negative weight or one above its connection's max_weight raise
        ValueError naming the first offending position, and nothing changes."""
    def record_synapses(
        self, indices: IdSequence | Buffer, every: int = 1
    ) -> SynapseRecording | None:
        """Records the weights of the synapses of these synapse indices (see
        synapses()) at the end of the ticks get_t(), get_t() + every, ... run from
        now on by any of the tick calls. Replaces the running synapse recording and
        returns its samples not yet taken, or None. ValueError, with nothing
        changed, for every below 1 or an index negative, out of range or listed
        twice (named by its position)."""
    def take_synapse_recording(self) -> SynapseRecording:
        """The synapse samples recorded so far, which the instance then drops;
        recording goes on. ValueError when no synapse is being recorded."""
    def stop_synapse_recording(self) -> SynapseRecording | None:
        """Ends the synapse recording and returns its samples not yet taken, or
        None when no synapse was recorded."""
    @property
    def recorded_synapse_sample_count(self) -> int:
        """Synapse samples waiting to be taken; each holds 8 + 4 * len(indices) bytes."""

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
    @property
    def start_t(self) -> int:
        """The first tick the call ran."""
    @property
    def end_t(self) -> int:
        """The tick after the last one completed."""

@final
class BatchTickArrays:
    """The spikes of Instance.tick_until_arrays: BatchTickResult's attributes,
    each spike list a 1-D RecordedArray of format 'Q' (u64)."""

    @property
    def out_channel_spikes_ts(self) -> RecordedArray: ...
    @property
    def out_channel_spikes_ids(self) -> RecordedArray: ...
    @property
    def neuron_spikes_ts(self) -> RecordedArray: ...
    @property
    def neuron_spikes_ids(self) -> RecordedArray: ...
    @property
    def synaptic_transmission_count(self) -> int: ...
    @property
    def start_t(self) -> int: ...
    @property
    def end_t(self) -> int: ...

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

@final
class Recording:
    """Samples of a recording: sample i was taken at the end of tick t[i]; each
    recorded variable is a (samples, neurons) float32 matrix whose columns follow
    nids. len() is the number of samples."""

    @property
    def nids(self) -> list[int]: ...
    @property
    def variables(self) -> tuple[str, ...]: ...
    @property
    def every(self) -> int: ...
    @property
    def t(self) -> RecordedArray: ...
    @property
    def voltage(self) -> RecordedArray | None: ...
    @property
    def threshold(self) -> RecordedArray | None: ...
    @property
    def spike(self) -> RecordedArray | None: ...
    @property
    def refractory(self) -> RecordedArray | None: ...
    def __len__(self) -> int: ...

@final
class RecordedArray:
    """Samples through the buffer protocol (memoryview, numpy.asarray without a
    copy): C-contiguous, format 'f' and shape (samples, neurons) for a variable,
    format 'Q' and shape (samples,) for t; 1-D with format 'Q', 'B' or 'f' for
    the arrays of Synapses. Valid after the Recording (or Synapses) and the
    Instance are gone."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def format(self) -> str: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class Synapses:
    """Synapses taken by Instance.synapses(): four parallel RecordedArrays in the
    order synapses() describes, each 1-D and valid after the Instance is gone."""

    @property
    def pre_syn_nids(self) -> RecordedArray:
        """Format 'Q' (u64)."""
    @property
    def post_syn_nids(self) -> RecordedArray:
        """Format 'Q' (u64)."""
    @property
    def conduction_delays(self) -> RecordedArray:
        """Format 'B' (u8), in ticks."""
    @property
    def weights(self) -> RecordedArray:
        """Format 'f' (f32)."""
    def __len__(self) -> int:
        """The number of synapses."""

@final
class SynapseRecording:
    """Weights taken by Instance.take_synapse_recording() or
    stop_synapse_recording() (obtained only as a result): sample i was taken at
    the end of tick t[i]; weights is a (samples, synapses) float32 RecordedArray
    whose columns follow indices."""

    @property
    def indices(self) -> RecordedArray:
        """Format 'Q' (u64), in the order given to record_synapses()."""
    @property
    def every(self) -> int: ...
    @property
    def t(self) -> RecordedArray:
        """Format 'Q' (u64), one per sample."""
    @property
    def weights(self) -> RecordedArray:
        """Format 'f' (f32), shape (samples, synapses)."""
