"""Batch results as arrays, batch runs in chunks with progress, raster plots."""

from __future__ import annotations

import math
import sys
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


@dataclass
class RunResult:
    """What `run` collected: the attributes of a `BatchTickResult`, as lists."""

    out_channel_spikes_ts: List[int] = field(default_factory=list)
    out_channel_spikes_ids: List[int] = field(default_factory=list)
    neuron_spikes_ts: List[int] = field(default_factory=list)
    neuron_spikes_ids: List[int] = field(default_factory=list)
    synaptic_transmission_count: int = 0
    #: The ticks covered are those before this one.
    t_end: int = 0

    def extend(self, batch: Any) -> None:
        self.out_channel_spikes_ts += batch.out_channel_spikes_ts
        self.out_channel_spikes_ids += batch.out_channel_spikes_ids
        self.neuron_spikes_ts += batch.neuron_spikes_ts
        self.neuron_spikes_ids += batch.neuron_spikes_ids
        self.synaptic_transmission_count += batch.synaptic_transmission_count


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
    `RunResult`, whose attributes are those of a `BatchTickResult`; without it
    the chunks run through `tick_until_ignore_output` and None is returned.
    Ctrl-C stops the run between ticks with `KeyboardInterrupt`; the instance
    stays usable and `instance.get_t()` is the next tick to run. With
    `stop_on_interrupt` the run instead returns what the completed chunks
    collected: the result's `t_end` is the end of the last complete chunk,
    and the spikes of the interrupted chunk (ticks `t_end` to `get_t()`) are
    lost.
    """
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    check_rates(instance)
    start = instance.get_t()
    total = max(0, until - start)
    result = RunResult(t_end=start) if collect else None
    bar = _progress_bar(total, progress, stream or sys.stderr) if progress else None
    try:
        t = start
        while t < until:
            stop = min(until, t + chunk)
            if result is not None:
                result.extend(instance.tick_until(stop))
                result.t_end = stop
            else:
                instance.tick_until_ignore_output(stop)
            if bar is not None:
                bar.update(stop - t)
            t = stop
    except KeyboardInterrupt:
        if not stop_on_interrupt:
            raise
    finally:
        if bar is not None:
            bar.close()
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
