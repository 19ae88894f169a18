"""Companion tools for the synaptor simulator.

- `layout(document)`: layers with their nid ranges, input and output channels
  (also from a created instance);
- `spike_arrays(batch)`: the spikes of a batch as NumPy arrays;
- `raster(batch, layout)`: a spike raster plot (needs matplotlib);
- `run(instance, until, chunk=..., progress=True)`: a long batch in chunks,
  with progress and Ctrl-C, its spikes held as arrays, nothing lost when it stops;
- `check_stimulus(stimulus, instance)`, `apply_checked(instance, stimulus)`:
  a stimulus checked against its network before it is scheduled;
- `check_document(source)`: unknown keys and suspicious values of a document,
  also as `python -m synaptor_tools check FILE`;
- `weight_matrix(instance, from_layer, to_layer, sparse=False)`: the weights
  of one projection as a dense NumPy or sparse SciPy matrix;
- `synapse_indices(instance, from_layer, to_layer)`: the synapse indices of
  one projection, for `record_synapses` and `set_weights(indices=...)`.
- `Instance`, `TickResult`, `BatchTickResult`, `StateSnapshot`, `Recording`,
  `RecordedArray`, `Synapses` and `PanicException`: the module's classes that
  it hands out only as results, by name (for annotations, `isinstance` and
  `except`), and `IdSequence`, what an id argument takes.

NumPy, matplotlib, PyYAML and tqdm are optional; each function that needs
one says so when it is missing.
"""

from typing import TYPE_CHECKING, Any, List

from ._version import __version__
from .check import Finding, check_document, check_text
from .document import LayerLayout, NetworkLayout, layout, load_document
from .results import RunResult, SpikeArrays, SpikeColumn, raster, run, spike_arrays
from .stimulus import apply_checked, check_stimulus
from .synapses import synapse_indices, weight_matrix

# The classes are made from the native module when first asked for, so that
# the document tools work without creating anything.
_CLASSES = ("BatchTickArrays", "BatchTickResult", "IdSequence", "Instance", "PanicException",
            "RecordedArray", "Recording", "StateSnapshot", "SynapseRecording", "Synapses",
            "TickResult")

if TYPE_CHECKING:
    from .classes import (BatchTickArrays, BatchTickResult, IdSequence, Instance, PanicException,
                          RecordedArray, Recording, StateSnapshot, SynapseRecording, Synapses,
                          TickResult)
else:
    def __getattr__(name: str) -> Any:
        if name in _CLASSES:
            from . import classes

            return getattr(classes, name)
        raise AttributeError(f"module 'synaptor_tools' has no attribute {name!r}")

    def __dir__() -> List[str]:
        return sorted(set(globals()) | set(_CLASSES))

__all__ = [
    "__version__",
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
    "Finding",
    "LayerLayout",
    "NetworkLayout",
    "RunResult",
    "SpikeArrays",
    "SpikeColumn",
    "apply_checked",
    "check_document",
    "check_stimulus",
    "check_text",
    "layout",
    "load_document",
    "raster",
    "run",
    "spike_arrays",
    "synapse_indices",
    "weight_matrix",
]
