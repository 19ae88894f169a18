"""Checks a parameter document against everything creation applies, and more.

Errors are what creation refuses: what the reader refuses (wrong types,
missing or duplicated fields, unknown variants) and every rule of creation's
validation (see `rules`), each at the path, line and column (1-based) of the
offending value, all at once rather than the first only. Warnings are what
creation accepts but cannot be meant: the reader ignores keys it does not
know, so a misspelt optional key quietly switches a feature off, and
validation lets through values such as NaN time constants or
`num_threads: 0`.
"""

from __future__ import annotations

import difflib
import functools
import json
import math
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

from .document import read_text
from .document_tree import (U64_MAX, DocumentSyntaxError, Node, Number, parse_json,
                            parse_yaml, replayed_events)
from .rules import check_rules
from .schema import STRUCTS, VARIANTS, Field

__all__ = ["DocumentSyntaxError", "Finding", "check_document", "check_text"]

#: Events replayed through aliases beyond which the reader refuses a document.
MAX_REPLAYED_EVENTS = 1 << 22


@dataclass(frozen=True)
class Finding:
    severity: str  # "error": the reader or validation will refuse it; "warning": accepted but suspicious
    line: int
    column: int
    path: str
    message: str

    def format(self, filename: str = "<document>") -> str:
        where = f" [{self.path}]" if self.path else ""
        return f"{filename}:{self.line}:{self.column}: {self.severity}: {self.message}{where}"


# ----------------------------------------------------------------------------- checks

ALL_FIELDS = {f.name: struct for struct, fields in STRUCTS.items() for f in fields}


class _Checker:
    def __init__(self, fmt: str) -> None:
        self.fmt = fmt
        self.findings: List[Finding] = []
        self.seen: set = set()
        #: The node of every field, list item and variant payload read, by path.
        self.positions: Dict[str, Node] = {}

    def add(self, severity: str, node: Node, path: str, message: str) -> None:
        key = (node.line, node.column, message)
        if key not in self.seen:  # an aliased node is reported once
            self.seen.add(key)
            self.findings.append(Finding(severity, node.line, node.column, path, message))

    # Each check returns the plain value (dicts, lists, numbers) for the
    # value checks that follow, or None where the structure is broken.
    def struct(self, node: Node, struct: str, path: str) -> Optional[dict]:
        fields = STRUCTS[struct]
        self.positions.setdefault(path, node)
        if node.kind == "scalar" and node.value is None and self.fmt == "yaml":
            node = Node("map", node.line, node.column, [])  # an empty value reads as {}
        if node.kind == "seq" and self.fmt == "json":
            # The JSON array form lists the field values in declaration order.
            items = [(Node("scalar", v.line, v.column, f.name), v)
                     for f, v in zip(fields, node.value)]
            if len(node.value) > len(fields):
                self.add("error", node, path, f"{struct} has {len(fields)} fields, "
                         f"the array gives {len(node.value)} values")
        elif node.kind != "map":
            self.add("error", node, path, f"expected a mapping ({struct})")
            return None
        else:
            items = node.value
        by_name = {f.name: f for f in fields}
        out: Dict[str, Any] = {}
        for key_node, value_node in items:
            key = key_node.value
            sub = f"{path}.{key}" if path else str(key)
            if not isinstance(key, str) or key not in by_name:
                self.add("warning", key_node, path, self.unknown_key_message(key, struct))
                continue
            if key in out:
                self.add("error", key_node, sub, f"duplicate field `{key}`")
                continue
            out[key] = self.field(value_node, by_name[key], sub)
        for f in fields:
            if f.required and f.name not in out:
                self.add("error", node, path, f"missing field `{f.name}` ({struct})")
        return out

    def unknown_key_message(self, key: Any, struct: str) -> str:
        names = [f.name for f in STRUCTS[struct]]
        if isinstance(key, list):  # a mapping or sequence as a key
            return f"a structured key in {struct} names no field: it is ignored with its value"
        if key == "<<":
            return ("merge keys (`<<`) are not read: the merged fields are ignored; "
                    "write the fields out or use an alias for the whole block")
        message = f"unknown key `{key}` in {struct}: it is ignored"
        close = difflib.get_close_matches(str(key), names, n=1, cutoff=0.6)
        if close:
            return f"{message}; did you mean `{close[0]}`?"
        if key in ALL_FIELDS:
            return f"{message}; `{key}` is a field of {ALL_FIELDS[key]}"
        return f"{message} (known keys: {', '.join(names)})"

    def field(self, node: Node, f: Field, path: str) -> Any:
        self.positions.setdefault(path, node)
        if node.kind == "scalar" and node.value is None:
            if not f.required:  # absent, whatever its tag
                return None
            if f.kind not in STRUCTS and node.tag is None:  # (`!NoStp` is a variant)
                self.add("error", node, path, f"`{f.name}` is required and may not be null")
                return None
        if f.is_list:
            if node.kind != "seq":
                self.add("error", node, path, f"expected a list of {f.kind}")
                return None
            return [self.struct(item, f.kind, f"{path}[{i}]") for i, item in enumerate(node.value)]
        if f.kind in STRUCTS:
            return self.struct(node, f.kind, path)
        if f.kind in VARIANTS:
            return self.variant(node, f.kind, path)
        return self.scalar(node, f.kind, path)

    def variant(self, node: Node, choice: str, path: str) -> Any:
        variants = VARIANTS[choice]
        accepted = ", ".join(f"`{v}`" for v in variants)
        if self.fmt == "yaml":
            if node.tag is None and node.kind == "scalar" and node.value in variants:
                name, payload = node.value, None
                if variants[name] is not None:
                    self.add("error", node, path, f"`{name}` needs a value: `!{name} ...`")
                    return None
                return {name: None}
            if node.tag is None:
                hint = ""
                if node.kind == "map" and len(node.value) == 1 and node.value[0][0].value in variants:
                    name = node.value[0][0].value
                    hint = f"; YAML writes it with a tag: `!{name} ...`"
                self.add("error", node, path, f"expected one of {accepted} as a tag{hint}")
                return None
            name, payload = node.tag, node
            payload = Node(node.kind, node.line, node.column, node.value, None)
        else:
            if node.kind == "scalar" and isinstance(node.value, str):
                name, payload = node.value, None
            elif node.kind == "map" and len(node.value) == 1:
                name, payload = node.value[0][0].value, node.value[0][1]
            else:
                self.add("error", node, path, f"expected one of {accepted}")
                return None
        if name not in variants:
            close = difflib.get_close_matches(str(name), list(variants), n=1, cutoff=0.6)
            hint = f"; did you mean `{close[0]}`?" if close else ""
            self.add("error", node, path, f"unknown variant `{name}`, expected one of {accepted}{hint}")
            return None
        kind = variants[name]
        if kind is None:
            if payload is not None and not (payload.kind == "scalar" and payload.value is None):
                self.add("error", node, path, f"`{name}` takes no value")
            return {name: None}
        if payload is None:
            self.add("error", node, path, f"`{name}` needs a value")
            return None
        sub = f"{path}.{name}"
        self.positions.setdefault(sub, payload)
        if kind in STRUCTS:
            return {name: self.struct(payload, kind, sub)}
        return {name: self.scalar(payload, kind, sub)}

    def scalar(self, node: Node, kind: str, path: str) -> Any:
        value = node.value
        if node.kind != "scalar" or value is None:
            self.add("error", node, path, f"expected {kind}")
            return None
        if kind == "bool":
            if not isinstance(value, bool):
                self.add("error", node, path, f"expected a boolean (true or false), found {value!r}")
                return None
            return value
        if not isinstance(value, Number):
            self.add("error", node, path, f"expected {kind}, found {value!r}")
            return None
        if kind in ("u8", "u64"):
            limit = 255 if kind == "u8" else U64_MAX
            number = value.as_unsigned(limit)
            if number is None:
                self.add("error", node, path, f"expected {kind} (an integer 0..{limit}), "
                         f"found {value}")
            return number
        real = value.as_float(kind)
        if real is None:
            self.add("error", node, path, f"expected {kind}, found {value}, which is beyond "
                     f"the range of {kind} (or rounds to 0)")
        return real


def _value_checks(checker: _Checker, doc: dict, positions: Dict[str, Node]) -> None:
    """Values that validation accepts but that are almost surely mistakes."""

    errors = {f.path for f in checker.findings if f.severity == "error"}

    def warn(path: str, message: str) -> None:
        if path in errors:  # already refused; "validation lets it pass" would be wrong
            return
        node = positions.get(path) or Node("scalar", 1, 1)
        checker.add("warning", node, path, message)

    def walk(value: Any, path: str) -> None:
        if isinstance(value, dict):
            for key, sub in value.items():
                walk(sub, f"{path}.{key}" if path else key)
        elif isinstance(value, list):
            for i, sub in enumerate(value):
                walk(sub, f"{path}[{i}]")
        elif isinstance(value, float) and not math.isfinite(value):
            warn(path, f"{value} is never a meaningful value here (validation lets it pass)")

    walk(doc, "")
    tech = doc.get("technical_params") or {}
    if tech.get("num_threads") == 0:
        warn("technical_params.num_threads", "num_threads 0 starts no worker thread: nothing is "
             "simulated and no neuron ever spikes; leave it out for one thread per CPU")
    layers = doc.get("layers") or []
    connections = [c for c in (doc.get("layer_connections") or []) if c]
    for i, layer in enumerate(layers):
        if not layer:
            continue
        if layer.get("num_neurons") == 0:
            warn(f"layers[{i}].num_neurons", "an empty layer")
        neuron = layer.get("neuron_params") or {}
        adaptation = neuron.get("adaptation_threshold")
        if adaptation is not None and adaptation < 1.0:
            warn(f"layers[{i}].neuron_params.adaptation_threshold",
                 f"{adaptation} is below the resting threshold 1.0: each spike lowers the threshold")
        if layer.get("plasticity_modulation_params") and not any(
                c.get("to_layer_id") == i and (c.get("projection_params") or {}).get("long_term_stdp_params")
                for c in connections):
            warn(f"layers[{i}].plasticity_modulation_params",
                 "dopamine has nothing to act on: no connection onto this layer has long_term_stdp_params")
    for j, c in enumerate(connections):
        base = f"layer_connections[{j}]"
        projection = c.get("projection_params") or {}
        synapse = projection.get("synapse_params") or {}
        scale = synapse.get("weight_scale_factor")
        if scale == 0.0:
            warn(f"{base}.projection_params.synapse_params.weight_scale_factor",
                 "weight_scale_factor 0: the connection never changes a voltage")
        weight = c.get("initial_syn_weight") or {}
        max_weight = synapse.get("max_weight")
        constant = weight.get("Constant")
        if constant is not None and max_weight is not None and constant > max_weight:
            warn(f"{base}.initial_syn_weight.Constant",
                 f"initial weight {constant} is above max_weight {max_weight}")
        if constant == 0.0 and not projection.get("long_term_stdp_params"):
            warn(f"{base}.initial_syn_weight.Constant",
                 "weights 0 without long_term_stdp_params: the connection transmits nothing")
        depression = (projection.get("stp_params") or {}).get("Depression") or {}
        if depression.get("p0") == 0.0:
            warn(f"{base}.projection_params.stp_params.Depression.p0",
                 "Depression with p0 0: the efficacy stays 0 and the connection transmits nothing")


def check_text(text: str, fmt: Optional[str] = None,
               available_cpus: Optional[int] = None) -> List[Finding]:
    """Findings for a document text, in document order. `fmt` is "yaml" or
    "json" (guessed from the text when None). `num_threads` is checked against
    `available_cpus`, by default against what creation finds on this machine.
    Raises `DocumentSyntaxError` when the text is not YAML or JSON at all, and
    ImportError (naming the package) for YAML without PyYAML."""
    if fmt is None:
        fmt = "json" if text.lstrip().startswith("{") else "yaml"
    root = parse_json(text) if fmt == "json" else parse_yaml(text)
    checker = _Checker(fmt)
    if root.kind == "scalar" and root.value is None:
        raise DocumentSyntaxError("the document is empty", 1, 1)
    # The reader bounds how far aliases may expand, and so does the checker,
    # or a short text of nested aliases would keep it busy for hours.
    if fmt == "yaml" and replayed_events(root) > MAX_REPLAYED_EVENTS:
        checker.add("error", root, "", "alias expansion limit exceeded: the document expands "
                    f"to more than {MAX_REPLAYED_EVENTS} replayed nodes")
        return checker.findings
    doc = checker.struct(root, "InstanceParams", "")
    if doc is not None:
        positions = checker.positions

        def report(path: str, message: str, severity: str = "error") -> None:
            checker.add(severity, positions.get(path) or root, path, message)

        def shown(path: str) -> str:
            node = positions.get(path)
            value = node.value if node is not None and node.kind == "scalar" else None
            if isinstance(value, bool):
                return "true" if value else "false"
            return str(value) if isinstance(value, Number) else "?"

        allowed: Callable[[int], bool] = (creation_allows_threads if available_cpus is None
                                          else lambda n: n <= available_cpus)
        check_rules(doc, report, shown, allowed)
        _value_checks(checker, doc, positions)
    return sorted(checker.findings, key=lambda f: (f.line, f.column))


@functools.lru_cache(maxsize=None)
def creation_allows_threads(num_threads: int) -> bool:
    """Whether creation accepts `num_threads` on this machine. Asked of
    creation itself (an empty network), since the count it compares with
    follows this process's CPU affinity and its control group's CPU quota."""
    try:
        import synaptor
    except ImportError:
        return num_threads <= len(os.sched_getaffinity(0))
    doc = {"layers": [], "layer_connections": [],
           "technical_params": {"num_threads": num_threads, "pin_threads": False}}
    try:
        synaptor.create_from_json(json.dumps(doc), 0)
    except ValueError:
        return False
    return True


def check_document(source: Any) -> List[Finding]:
    """Findings for a document given as a path or as its text."""
    text, fmt = read_text(source)
    return check_text(text, fmt)
