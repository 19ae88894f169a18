"""Checks a parameter document for what the module's reader lets through.

The reader ignores keys it does not know, so a misspelt optional key quietly
switches a feature off; validation accepts values such as NaN time constants
or `num_threads: 0` that cannot be meant. `check_text` finds both, with line
and column (1-based), and lists every missing required field at once.
"""

from __future__ import annotations

import difflib
import json
import math
import re
from dataclasses import dataclass
from json.decoder import scanstring
from typing import Any, Dict, List, Optional, Tuple

from .document import import_yaml, read_text
from .schema import STRUCTS, VARIANTS, Field

U64_MAX = 2**64 - 1
YAML_BOOLS = {"true": True, "True": True, "TRUE": True,
              "false": False, "False": False, "FALSE": False}
YAML_NULLS = {"", "~", "null", "Null", "NULL"}
YAML_FLOAT_SPECIAL = {".inf": math.inf, ".Inf": math.inf, ".INF": math.inf,
                      ".nan": math.nan, ".NaN": math.nan, ".NAN": math.nan}


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


class DocumentSyntaxError(ValueError):
    """The text is no YAML or JSON at all; carries the parser's position."""

    def __init__(self, message: str, line: int, column: int) -> None:
        super().__init__(f"{message} at line {line} column {column}")
        self.line, self.column = line, column


# A small positioned tree that both formats are read into.
@dataclass
class Node:
    kind: str  # "map", "seq" or "scalar"
    line: int
    column: int
    value: Any = None  # scalar: the value (None for null); map: [(key Node, value Node)]; seq: [Node]
    tag: Optional[str] = None  # YAML local tag without "!", or None
    raw: Optional[str] = None  # YAML scalar text, None for JSON


# ----------------------------------------------------------------------------- JSON

_NUMBER = re.compile(r"-?(?:0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?")


class _JsonScanner:
    def __init__(self, text: str) -> None:
        self.text = text
        self.line_starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def position(self, index: int) -> Tuple[int, int]:
        lo, hi = 0, len(self.line_starts)
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if self.line_starts[mid] <= index:
                lo = mid
            else:
                hi = mid
        return lo + 1, index - self.line_starts[lo] + 1

    def skip(self, i: int) -> int:
        while i < len(self.text) and self.text[i] in " \t\r\n":
            i += 1
        return i

    def value(self, i: int) -> Tuple[Node, int]:
        i = self.skip(i)
        line, column = self.position(i)
        c = self.text[i]
        if c == "{":
            items: List[Tuple[Node, Node]] = []
            i = self.skip(i + 1)
            if self.text[i] == "}":
                return Node("map", line, column, items), i + 1
            while True:
                i = self.skip(i)
                key_line, key_column = self.position(i)
                key, i = scanstring(self.text, i + 1)
                i = self.skip(i) + 1  # the colon
                val, i = self.value(i)
                items.append((Node("scalar", key_line, key_column, key), val))
                i = self.skip(i)
                if self.text[i] == "}":
                    return Node("map", line, column, items), i + 1
                i += 1  # the comma
        if c == "[":
            elems: List[Node] = []
            i = self.skip(i + 1)
            if self.text[i] == "]":
                return Node("seq", line, column, elems), i + 1
            while True:
                val, i = self.value(i)
                elems.append(val)
                i = self.skip(i)
                if self.text[i] == "]":
                    return Node("seq", line, column, elems), i + 1
                i += 1
        if c == '"':
            s, i = scanstring(self.text, i + 1)
            return Node("scalar", line, column, s), i
        for word, val in (("true", True), ("false", False), ("null", None)):
            if self.text.startswith(word, i):
                return Node("scalar", line, column, val), i + len(word)
        m = _NUMBER.match(self.text, i)
        number = m.group(0)
        val = float(number) if (m.group(1) or m.group(2)) else int(number)
        return Node("scalar", line, column, val), m.end()


def parse_json(text: str) -> Node:
    # The standard parser finds syntax errors; the scanner then reads a text
    # known to be valid, keeping positions.
    try:
        json.loads(text)
    except json.JSONDecodeError as e:
        raise DocumentSyntaxError(e.msg, e.lineno, e.colno) from None
    node, _ = _JsonScanner(text).value(0)
    return node


# ----------------------------------------------------------------------------- YAML

def parse_yaml(text: str) -> Node:
    yaml = import_yaml()
    try:
        docs = list(yaml.compose_all(text, Loader=yaml.SafeLoader))
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        line, column = (mark.line + 1, mark.column + 1) if mark else (1, 1)
        raise DocumentSyntaxError(str(e.problem or e), line, column) from None
    if len(docs) != 1:
        raise DocumentSyntaxError("a document is exactly one YAML document, found "
                                  f"{len(docs)}", 1, 1)
    memo: Dict[int, Node] = {}

    def convert(n: Any) -> Node:
        if id(n) in memo:  # aliases share their anchor's node
            return memo[id(n)]
        line, column = n.start_mark.line + 1, n.start_mark.column + 1
        tag = n.tag[1:] if n.tag.startswith("!") and not n.tag.startswith("!!") else None
        if isinstance(n, yaml.MappingNode):
            out = Node("map", line, column, [], tag)
            memo[id(n)] = out
            out.value = [(convert(k), convert(v)) for k, v in n.value]
        elif isinstance(n, yaml.SequenceNode):
            out = Node("seq", line, column, [], tag)
            memo[id(n)] = out
            out.value = [convert(v) for v in n.value]
        else:
            out = Node("scalar", line, column, _yaml_scalar(n), tag,
                       n.value if n.style is None else None)
            memo[id(n)] = out
        return out

    return convert(docs[0])


def _yaml_scalar(n: Any) -> Any:
    """The value of a scalar as the module's reader takes it: null, bool, int,
    float or str (quoted scalars are always strings)."""
    text = n.value
    if n.style is not None:
        return text
    if text in YAML_NULLS:
        return None
    if text in YAML_BOOLS:
        return YAML_BOOLS[text]
    sign = -1.0 if text.startswith("-") else 1.0
    bare = text.lstrip("+-")
    if bare in YAML_FLOAT_SPECIAL:
        return sign * YAML_FLOAT_SPECIAL[bare] if bare.lower() == ".inf" else math.nan
    if re.fullmatch(r"[-+]?\d+", text):
        return int(text)
    try:
        return float(text)
    except ValueError:
        return text


# ----------------------------------------------------------------------------- checks

ALL_FIELDS = {f.name: struct for struct, fields in STRUCTS.items() for f in fields}


class _Checker:
    def __init__(self, fmt: str) -> None:
        self.fmt = fmt
        self.findings: List[Finding] = []
        self.seen: set = set()

    def add(self, severity: str, node: Node, path: str, message: str) -> None:
        key = (node.line, node.column, message)
        if key not in self.seen:  # an aliased node is reported once
            self.seen.add(key)
            self.findings.append(Finding(severity, node.line, node.column, path, message))

    # Each check returns the plain value (dicts, lists, numbers) for the
    # value checks that follow, or None where the structure is broken.
    def struct(self, node: Node, struct: str, path: str) -> Optional[dict]:
        fields = STRUCTS[struct]
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
        if node.kind == "scalar" and node.value is None and node.tag is None:
            if not f.required:
                return None
            if f.kind not in STRUCTS:
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
            payload = Node(node.kind, node.line, node.column, node.value, None, node.raw)
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
        if isinstance(value, bool) or isinstance(value, str):
            self.add("error", node, path, f"expected {kind}, found {value!r}")
            return None
        if kind in ("u8", "u64"):
            limit = 255 if kind == "u8" else U64_MAX
            if not isinstance(value, int) or not 0 <= value <= limit:
                self.add("error", node, path, f"expected {kind} (an integer 0..{limit}), found {value!r}")
                return None
            return value
        return float(value)


def _value_checks(checker: _Checker, doc: dict, positions: Dict[str, Node]) -> None:
    """Values that validation accepts but that are almost surely mistakes."""

    def warn(path: str, message: str) -> None:
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


def check_text(text: str, fmt: Optional[str] = None) -> List[Finding]:
    """Findings for a document text, in document order. `fmt` is "yaml" or
    "json" (guessed from the text when None). Raises `DocumentSyntaxError`
    when the text is not YAML or JSON at all."""
    if fmt is None:
        fmt = "json" if text.lstrip().startswith("{") else "yaml"
    root = parse_json(text) if fmt == "json" else parse_yaml(text)
    checker = _Checker(fmt)
    if root.kind == "scalar" and root.value is None:
        raise DocumentSyntaxError("the document is empty", 1, 1)
    doc = checker.struct(root, "InstanceParams", "")
    if doc is not None:
        positions: Dict[str, Node] = {}
        _collect_positions(root, "", positions, fmt)
        _value_checks(checker, doc, positions)
    return sorted(checker.findings, key=lambda f: (f.line, f.column))


def _collect_positions(node: Node, path: str, out: Dict[str, Node], fmt: str) -> None:
    if path in out:
        return
    out[path] = node
    if node.kind == "map":
        for key, value in node.value:
            sub = f"{path}.{key.value}" if path else str(key.value)
            _collect_positions(value, sub, out, fmt)
            if fmt == "yaml" and value.tag:  # `!Constant 0.5` reads as {"Constant": 0.5}
                out.setdefault(f"{sub}.{value.tag}", value)
                if value.kind == "map":
                    for k2, v2 in value.value:
                        out.setdefault(f"{sub}.{value.tag}.{k2.value}", v2)
    elif node.kind == "seq":
        for i, value in enumerate(node.value):
            _collect_positions(value, f"{path}[{i}]", out, fmt)


def check_document(source: Any) -> List[Finding]:
    """Findings for a document given as a path or as its text."""
    text, fmt = read_text(source)
    return check_text(text, fmt)
