"""Reading a parameter document into plain Python values, and its layout.

YAML needs PyYAML; JSON only the standard library. Variant tags such as
`!Constant 0.5` or `!Depression {...}` read as single-key mappings
(`{"Constant": 0.5}`), the form the JSON document uses.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, List, Tuple, Union

DocumentSource = Union[str, os.PathLike, dict]


def import_yaml():
    try:
        import yaml
    except ImportError:
        raise ImportError(
            "reading YAML documents needs PyYAML: pip install 'synaptor[tools]' "
            "(or pip install pyyaml)") from None
    return yaml


def _yaml_loader():
    yaml = import_yaml()

    class Loader(yaml.SafeLoader):
        pass

    def tagged(loader, tag_suffix, node):
        if isinstance(node, yaml.MappingNode):
            value = loader.construct_mapping(node, deep=True)
        elif isinstance(node, yaml.SequenceNode):
            value = loader.construct_sequence(node, deep=True)
        else:
            # Resolve the plain scalar as if it had no tag (0.5 -> float, ~ -> None).
            plain = yaml.ScalarNode(loader.resolve(yaml.ScalarNode, node.value, (True, False)),
                                    node.value, node.start_mark, node.end_mark, node.style)
            value = loader.construct_object(plain, deep=True)
        return {tag_suffix: value}

    Loader.add_multi_constructor("!", tagged)
    return Loader


def guess_format(text: str) -> str:
    """'json' when the text starts like a JSON object, else 'yaml'."""
    return "json" if text.lstrip().startswith("{") else "yaml"


def read_text(source: Union[str, os.PathLike]) -> Tuple[str, str]:
    """(text, format) of a path or of document text."""
    if isinstance(source, os.PathLike) or (isinstance(source, str) and "\n" not in source
                                            and source.endswith((".yaml", ".yml", ".json"))):
        path = Path(source)
        text = path.read_text()
        fmt = "json" if path.suffix == ".json" else "yaml"
        return text, fmt
    return str(source), guess_format(str(source))


def load_document(source: DocumentSource) -> dict:
    """The document as nested dicts and lists: from a path, text, or a dict."""
    if isinstance(source, dict):
        return source
    text, fmt = read_text(source)
    if fmt == "json":
        value = json.loads(text)
    else:
        value = import_yaml().load(text, Loader=_yaml_loader())
    if not isinstance(value, dict):
        raise ValueError("a parameter document is a mapping at its root")
    return value


@dataclass(frozen=True)
class LayerLayout:
    index: int
    num_neurons: int
    first_nid: int

    @property
    def nids(self) -> range:
        return range(self.first_nid, self.first_nid + self.num_neurons)


@dataclass(frozen=True)
class NetworkLayout:
    """Neuron ids of the layers and the channels of a network.

    Input channel c is nid c (first layer); output channel c is nid
    `out_offset + c` (last layer).
    """

    layers: Tuple[LayerLayout, ...]

    @property
    def num_neurons(self) -> int:
        return sum(layer.num_neurons for layer in self.layers)

    @property
    def num_in_channels(self) -> int:
        return self.layers[0].num_neurons if self.layers else 0

    @property
    def num_out_channels(self) -> int:
        return self.layers[-1].num_neurons if self.layers else 0

    @property
    def out_offset(self) -> int:
        return self.num_neurons - self.num_out_channels

    @property
    def sizes(self) -> List[int]:
        return [layer.num_neurons for layer in self.layers]

    def in_channel_nid(self, channel: int) -> int:
        if not 0 <= channel < self.num_in_channels:
            raise IndexError(f"input channel {channel} out of range 0..{self.num_in_channels - 1}")
        return channel

    def out_channel_nid(self, channel: int) -> int:
        if not 0 <= channel < self.num_out_channels:
            raise IndexError(f"output channel {channel} out of range 0..{self.num_out_channels - 1}")
        return self.out_offset + channel

    def layer_of(self, nid: Any) -> Any:
        """The layer index of a nid, or of each nid of a NumPy array."""
        bounds = [layer.first_nid + layer.num_neurons for layer in self.layers]
        if hasattr(nid, "shape"):
            import numpy as np

            return np.searchsorted(np.asarray(bounds, dtype=np.uint64),
                                   np.asarray(nid, dtype=np.uint64), side="right")
        for index, bound in enumerate(bounds):
            if nid < bound:
                return index
        raise IndexError(f"nid {nid} out of range 0..{self.num_neurons - 1}")


def layout(source: Union[DocumentSource, Any]) -> NetworkLayout:
    """Layout of a network from its document (a path, the text, or a loaded dict)
    or from a created instance (its `layers`, without reading the document again)."""
    if not isinstance(source, (str, os.PathLike, dict)) and hasattr(source, "layers"):
        return NetworkLayout(tuple(LayerLayout(index, int(n), int(first))
                                   for index, (first, n) in enumerate(source.layers)))
    doc = load_document(source)
    layers, first = [], 0
    for index, layer in enumerate(doc.get("layers") or []):
        n = layer["num_neurons"] if isinstance(layer, dict) else layer[0]
        if isinstance(n, bool) or not isinstance(n, int) or n < 0:
            raise ValueError(f"layers[{index}].num_neurons: not a neuron count: {n!r}")
        layers.append(LayerLayout(index, n, first))
        first += n
    return NetworkLayout(tuple(layers))
