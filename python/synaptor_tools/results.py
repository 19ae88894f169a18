"""Batch results as arrays, batch runs in chunks with progress, raster plots."""

from __future__ import annotations

import array
import math
import signal
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, List, Literal, NamedTuple, Optional, overload

from .document import NetworkLayout


def import_numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError("spike arrays need NumPy: pip install 'synaptor[tools]' "
                          "(or pip install numpy)") from None
    return numpy


def import_pyplot():
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'synaptor[plot]' "
                          "(or pip install matplotlib)") from None
    if "matplotlib.pyplot" not in sys.modules and not _interactive():
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _interactive() -> bool:
    return hasattr(sys, "ps1") or "IPython" in sys.modules


class SpikeArrays(NamedTuple):
    """The spikes of a batch as NumPy arrays of uint64 (ticks and ids)."""

    neuron_spikes_ts: Any
    neuron_spikes_ids: Any
    out_channel_spikes_ts: Any
    out_channel_spikes_ids: Any
    synaptic_transmission_count: int


def spike_arrays(batch: Any) -> SpikeArrays:
    """Converts a `BatchTickResult` (or a `RunResult`) into NumPy arrays.

    Each list attribute of a `BatchTickResult` builds a new list when read, so
    each is read exactly once here.
    """
    np = import_numpy()

    def arr(values):
        return np.asarray(values, dtype=np.uint64)

    return SpikeArrays(arr(batch.neuron_spikes_ts), arr(batch.neuron_spikes_ids),
                       arr(batch.out_channel_spikes_ts), arr(batch.out_channel_spikes_ids),
                       int(batch.synaptic_transmission_count))


class SpikeColumn(array.array):
    """One spike attribute of a `RunResult`: an `array.array` of uint64 (8
    bytes a value, read by NumPy without copying) that compares equal to a
    list or tuple of the same numbers, as the lists it replaces did."""

    def __new__(cls, *args: Any) -> "SpikeColumn":
        # array's own copy and pickle paths pass the type code first.
        if args and isinstance(args[0], str):
            return super().__new__(cls, *args)
        return super().__new__(cls, "Q", *args)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (list, tuple)):
            return len(self) == len(other) and self.tolist() == list(other)
        return array.array.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    __hash__ = None  # type: ignore[assignment]

    def __getitem__(self, index: Any) -> Any:
        item = array.array.__getitem__(self, index)
        return SpikeColumn(item) if isinstance(index, slice) else item

    def __add__(self, other: Any) -> "SpikeColumn":
        joined = SpikeColumn(self)
        joined.append_values(other)
        return joined

    def __iadd__(self, other: Any) -> "SpikeColumn":
        self.append_values(other)
        return self

    def append_values(self, values: Any) -> None:
        """Appends a buffer of uint64 (a `RecordedArray`, an array) by copying
        its bytes, any other sequence of ints item by item."""
        try:
            view = memoryview(values)
        except TypeError:
            self.extend(values)
            return
        with view:
            if view.ndim == 1 and view.itemsize == 8 and view.format.lstrip("@=<") in ("Q", "L"):
                with view.cast("B") as raw:
                    self.frombytes(raw)
            else:
                self.extend(view.tolist())


_SPIKE_FIELDS = ("out_channel_spikes_ts", "out_channel_spikes_ids", "neuron_spikes_ts",
                 "neuron_spikes_ids")


@dataclass(repr=False)
class RunResult:
    """What `run` collected: the attributes of a `BatchTickResult`, each spike
    attribute a `SpikeColumn` (uint64, 8 bytes a value)."""

    out_channel_spikes_ts: SpikeColumn = field(default_factory=SpikeColumn)
    out_channel_spikes_ids: SpikeColumn = field(default_factory=SpikeColumn)
    neuron_spikes_ts: SpikeColumn = field(default_factory=SpikeColumn)
    neuron_spikes_ids: SpikeColumn = field(default_factory=SpikeColumn)
    synaptic_transmission_count: int = 0
    #: The ticks covered are those before this one.
    t_end: int = 0
    #: The first tick covered.
    start_t: int = 0
    #: Whether the run ended before the tick it was asked to reach (Ctrl-C,
    #: or an exception that carries this result as its `completed`).
    interrupted: bool = False

    def __post_init__(self) -> None:
        for name in _SPIKE_FIELDS:
            value = getattr(self, name)
            if not isinstance(value, SpikeColumn):
                column = SpikeColumn()
                column.append_values(value)
                setattr(self, name, column)

    def extend(self, batch: Any) -> None:
        """Appends a `BatchTickResult`, `BatchTickArrays` or `RunResult`, whole
        or not at all: an exception on the way (Ctrl-C) takes back what it
        had appended, so that ticks and ids stay paired."""
        marks = [len(getattr(self, name)) for name in _SPIKE_FIELDS]
        try:
            for name in _SPIKE_FIELDS:
                getattr(self, name).append_values(getattr(batch, name))
        except BaseException:
            for name, mark in zip(_SPIKE_FIELDS, marks):
                del getattr(self, name)[mark:]
            raise
        self.synaptic_transmission_count += batch.synaptic_transmission_count
        end = getattr(batch, "end_t", None)
        if end is not None:
            self.t_end = max(self.t_end, int(end))

    def compact(self) -> None:
        """Gives back the room that growing the arrays left (up to 1/16):
        each array is copied to its exact size."""
        for name in _SPIKE_FIELDS:
            setattr(self, name, SpikeColumn(getattr(self, name)))

    def __repr__(self) -> str:
        return (f"<RunResult ticks {self.start_t}..{self.t_end}, {len(self.neuron_spikes_ids)} "
                f"spikes, {len(self.out_channel_spikes_ids)} output spikes"
                f"{', interrupted' if self.interrupted else ''}>")


class _PlainProgress:
    """One line on standard error, rewritten at most a few times per second."""

    def __init__(self, total: int, stream: Any) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.start = self.last = time.monotonic()

    def update(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if now - self.last >= 0.25 or self.done >= self.total:
            self.last = now
            rate = self.done / max(now - self.start, 1e-9)
            left = (self.total - self.done) / rate if rate > 0 else math.inf
            self.stream.write(f"\rticks {self.done}/{self.total} "
                              f"({100.0 * self.done / max(self.total, 1):5.1f}%) "
                              f"{rate:,.0f} ticks/s, {left:,.0f} s left ")
            self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


def _progress_bar(total: int, progress: Any, stream: Any) -> Any:
    if progress == "plain":
        return _PlainProgress(total, stream)
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, stream)
    return tqdm(total=total, unit="tick", file=stream, smoothing=0.1)


def check_rates(instance: Any) -> None:
    """Warns about a stimulation rate that cannot be meant."""
    rate = instance.non_coherent_stimulation_rate
    if not math.isfinite(rate) or rate > 1.0:
        warnings.warn(f"non_coherent_stimulation_rate is {rate!r}: it is the expected fraction "
                      "of all neurons forced to spike per tick, so values above 1 force every "
                      "neuron in every tick", stacklevel=3)
    if not math.isfinite(instance.reward_rate):
        warnings.warn(f"reward_rate is {instance.reward_rate!r}", stacklevel=3)


class _CtrlCBetweenChunks:
    """SIGINT's handler while `run` collects. Ctrl-C during a chunk stops it
    at once: the chunk's exception carries its ticks. Ctrl-C between two
    chunks is held until the chunk just returned is in the result: raised
    there, it would drop that chunk before anything held it. (Only the
    default handler is replaced, and only on the main thread.)"""

    def __init__(self, instance: Any) -> None:
        self.instance = instance
        self.pending = False
        self.previous: Any = None

    def __enter__(self) -> "_CtrlCBetweenChunks":
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def _handler(self, signum: int, frame: Any) -> None:
        try:
            self.instance.get_t()
        except RuntimeError:
            # The instance is borrowed: its batch is running and stops here.
            raise KeyboardInterrupt from None
        except Exception:
            pass
        self.pending = True

    def check(self) -> None:
        if self.pending:
            self.pending = False
            raise KeyboardInterrupt


# A run that collects returns its RunResult, one that does not returns None.
@overload
def run(instance: Any, until: int, chunk: int = ..., progress: Any = ...,
        collect: Literal[True] = ..., stream: Any = ...,
        stop_on_interrupt: bool = ...) -> RunResult: ...
@overload
def run(instance: Any, until: int, chunk: int, progress: Any, collect: Literal[False],
        stream: Any = ..., stop_on_interrupt: bool = ...) -> None: ...
@overload
def run(instance: Any, until: int, chunk: int = ..., progress: Any = ..., *,
        collect: Literal[False], stream: Any = ..., stop_on_interrupt: bool = ...) -> None: ...
@overload
def run(instance: Any, until: int, chunk: int = ..., progress: Any = ..., collect: bool = ...,
        stream: Any = ..., stop_on_interrupt: bool = ...) -> Optional[RunResult]: ...
def run(instance: Any, until: int, chunk: int = 10_000, progress: Any = True,
        collect: bool = True, stream: Any = None,
        stop_on_interrupt: bool = False) -> Optional[RunResult]:
    """Runs the instance's ticks up to `until` (exclusive) in chunks of `chunk` ticks.

    Shows progress (a tqdm bar when tqdm is installed, else one plain line on
    standard error; `progress="plain"` forces the plain line, False shows
    nothing). With `collect` the spikes of all chunks are returned as a
    `RunResult`, whose attributes are those of a `BatchTickResult`, held as
    arrays of uint64 (`tick_until_arrays`, 16 bytes a spike); without it the
    chunks run through `tick_until_ignore_output` and None is returned.

    Nothing that ran is lost. Ctrl-C stops the run between ticks with
    `KeyboardInterrupt`; the instance stays usable and `instance.get_t()` is
    the next tick to run. That exception, like any other out of the run (an
    internal failure, MemoryError), carries the collected `RunResult` as its
    attribute `completed`, every tick completed included. With
    `stop_on_interrupt` Ctrl-C returns that result instead of raising. A
    result cut short has `interrupted` set and `t_end` at the first tick not
    run.
    """
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    check_rates(instance)
    start = instance.get_t()
    total = max(0, until - start)
    result = RunResult(t_end=start, start_t=start) if collect else None
    arrays_call = getattr(instance, "tick_until_arrays", None)
    batch_call = arrays_call if arrays_call is not None else instance.tick_until
    bar = _progress_bar(total, progress, stream or sys.stderr) if progress else None
    batch = None  # a chunk returned but not yet in the result
    ctrl_c = _CtrlCBetweenChunks(instance)
    try:
        with ctrl_c:
            t = start
            while t < until:
                stop = min(until, t + chunk)
                if result is not None:
                    batch = batch_call(stop)
                    result.extend(batch)
                    batch = None
                    result.t_end = stop
                else:
                    instance.tick_until_ignore_output(stop)
                if bar is not None:
                    bar.update(stop - t)
                t = stop
                ctrl_c.check()
    except BaseException as error:
        if result is None:
            if isinstance(error, KeyboardInterrupt) and stop_on_interrupt:
                return None
            raise
        # A chunk that stopped carries its completed ticks on its exception;
        # one that returned just before Ctrl-C may not be in the result yet.
        if batch is None:
            batch = getattr(error, "completed", None)
        if batch is not None and batch is not result:
            result.extend(batch)
        result.interrupted = result.t_end < until
        result.compact()
        if isinstance(error, KeyboardInterrupt) and stop_on_interrupt:
            return result
        try:
            error.completed = result  # type: ignore[attr-defined]
        except (AttributeError, TypeError):
            pass
        raise
    finally:
        if bar is not None:
            bar.close()
    if result is not None:
        result.compact()
    return result


def raster(batch: Any, layout: Optional[NetworkLayout] = None, ax: Any = None,
           path: Any = None, title: str = "spike raster", layer_names: Any = None) -> Any:
    """Plots the neuron spikes of a batch (tick against nid) and returns the Axes.

    `batch` is a `BatchTickResult`, a `RunResult` or `SpikeArrays`. With a
    `layout` the layers are separated and labelled. With `path` the figure is
    written to that file.
    """
    plt = import_pyplot()
    # Read once each: a BatchTickResult builds a new list on every read.
    ts, ids = batch.neuron_spikes_ts, batch.neuron_spikes_ids
    if ax is None:
        _, ax = plt.subplots(figsize=(12, 6), dpi=110)
    ax.scatter(ts, ids, s=0.3, c="black", marker=".", linewidths=0)
    if layout is not None and layout.layers:
        names = layer_names or ([f"layer {layer.index}" for layer in layout.layers])
        right = max(ts) if len(ts) else 1
        for layer, name in zip(layout.layers, names):
            if layer.index > 0:
                ax.axhline(layer.first_nid - 0.5, color="tab:red", linewidth=0.6)
            ax.text(1.005, (layer.first_nid + layer.num_neurons / 2) / max(layout.num_neurons, 1),
                    name, transform=ax.transAxes, va="center", fontsize=8)
        ax.set_ylim(-0.5, layout.num_neurons - 0.5)
        ax.set_xlim(min(ts) if len(ts) else 0, right)
    ax.set_xlabel("tick")
    ax.set_ylabel("neuron id")
    ax.set_title(title)
    if path is not None:
        fig = ax.figure
        fig.tight_layout()
        fig.savefig(path)
        plt.close(fig)
    return ax
