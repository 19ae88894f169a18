"""The classes of `synaptor` that it hands out only as results, by name.

The module keeps exactly its documented attributes, among which are neither
`Instance`, nor the result classes, nor `PanicException`; it creates their
type objects on first use. This module makes each once, from a network
without layers or worker threads (nothing is simulated), so that a program
can write `isinstance(x, Instance)`, annotate with these names and catch
`PanicException`. Type checkers see the same classes through the stub beside
this file (`classes.pyi`), which the module's stub refers to.
"""

from __future__ import annotations

import json
from typing import Any, Dict, Protocol, SupportsIndex

import synaptor

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


def _result_classes() -> Dict[str, Any]:
    empty = {"layers": [], "layer_connections": [],
             "technical_params": {"num_threads": 0, "pin_threads": False}}
    instance = synaptor.create_from_json(json.dumps(empty), 0)
    tick = instance.tick([], [], [], 0.0, True)
    instance.record([])
    instance.record_synapses([])
    synapses = instance.synapses()
    found = {
        "Instance": type(instance),
        "TickResult": type(tick),
        "StateSnapshot": type(tick.state_snapshot),
        "BatchTickResult": type(instance.tick_until(instance.get_t() + 1)),
        "BatchTickArrays": type(instance.tick_until_arrays(instance.get_t() + 1)),
        "Recording": type(instance.take_recording()),
        "Synapses": type(synapses),
        "SynapseRecording": type(instance.take_synapse_recording()),
        "RecordedArray": type(synapses.weights),
    }
    # A scheduled spike of an input channel that the network lacks is an
    # internal failure of the batch call that runs it.
    stimulus = synaptor.Stimulus()
    stimulus.in_channel_spikes_ts = [0]
    stimulus.in_channel_spikes_ids = [0]
    instance.apply_stimulus(stimulus)
    try:
        instance.tick_until(instance.get_t() + 1)
    except BaseException as failure:  # noqa: B036 (PanicException is a BaseException)
        if type(failure).__name__ != "PanicException":
            raise
        found["PanicException"] = type(failure)
    for name, cls in found.items():
        if cls.__module__ != "synaptor" or cls.__name__ != name:
            raise ImportError(f"synaptor_tools.classes: found {cls!r} for {name}")
    if "PanicException" not in found:
        raise ImportError("synaptor_tools.classes: no PanicException from a failing batch call")
    return found


_found = _result_classes()
Instance = _found["Instance"]
TickResult = _found["TickResult"]
BatchTickResult = _found["BatchTickResult"]
BatchTickArrays = _found["BatchTickArrays"]
StateSnapshot = _found["StateSnapshot"]
Recording = _found["Recording"]
RecordedArray = _found["RecordedArray"]
Synapses = _found["Synapses"]
SynapseRecording = _found["SynapseRecording"]
PanicException = _found["PanicException"]
del _found
