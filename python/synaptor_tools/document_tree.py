"""A parameter document as a tree of positioned nodes, read as the module reads it.

Both formats are read into `Node`s that keep line and column (1-based). Plain
scalars resolve by the module's rules, not PyYAML's: `0x1F` is an integer,
`1e5` a float, `yes` a string; numbers keep their text, and `Number` converts
it to a field's type exactly as the module stores it (f32 rounded once, an
out-of-range literal refused), so that the checker compares the values that
creation compares. YAML needs PyYAML; JSON only the standard library.
"""

from __future__ import annotations

import json
import math
import re
import struct
from dataclasses import dataclass
from json.decoder import scanstring  # type: ignore[attr-defined]  # (not in its stub)
from typing import Any, Dict, List, Optional, Tuple, Union

from .document import import_yaml

U64_MAX = 2**64 - 1
#: Nesting deeper than this is refused by the module's readers.
MAX_DEPTH = 128
YAML_BOOLS = {"true": True, "True": True, "TRUE": True,
              "false": False, "False": False, "FALSE": False}
YAML_NULLS = {"", "~", "null", "Null", "NULL"}
_DECIMAL_FLOAT = re.compile(r"[-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?")
_PLAIN = "tag:synaptor,plain"
_F32_MAX = struct.unpack("<f", bytes.fromhex("ffff7f7f"))[0]
_F32_OVERFLOW = float.fromhex("0x1.ffffffp127")  # max + half an ulp rounds to infinity


class DocumentSyntaxError(ValueError):
    """The text is no YAML or JSON at all; carries the parser's position."""

    def __init__(self, message: str, line: int, column: int) -> None:
        super().__init__(f"{message} at line {line} column {column}")
        self.line, self.column = line, column


def to_f32(value: float) -> float:
    """The nearest f32 (ties to even) as a Python float; beyond the f32 range
    the IEEE conversion's overflow (infinity from max + half an ulp on)."""
    if math.isnan(value) or abs(value) <= _F32_MAX:
        return float(struct.unpack("<f", struct.pack("<f", value))[0])
    magnitude = math.inf if abs(value) >= _F32_OVERFLOW else _F32_MAX
    return -magnitude if value < 0 else magnitude


def int_to_f32(magnitude: int) -> float:
    """A u64 rounded straight to f32, as one conversion (through f64 it could
    round twice)."""
    bits = magnitude.bit_length()
    if bits <= 24:
        return float(magnitude)
    shift = bits - 24
    kept, rest = magnitude >> shift, magnitude & ((1 << shift) - 1)
    half = 1 << (shift - 1)
    if rest > half or (rest == half and kept & 1):
        kept += 1
    return float(kept << shift)


@dataclass(frozen=True)
class Number:
    """A numeric scalar as written; converted per field type by the module's rules."""

    text: str
    is_float: bool  # written as a float (or a YAML .inf/.nan), not an integer

    def integer(self) -> Optional[Tuple[bool, int]]:
        """(negative, magnitude) of an integer literal: decimal, 0x hex or 0o octal."""
        s, negative = self.text, False
        if s[:1] in ("+", "-"):
            negative, s = s[0] == "-", s[1:]
        base, digits = 10, "0123456789"
        if len(s) > 2 and s[0] == "0" and s[1] in "xo":
            base, digits = (16, "0123456789abcdefABCDEF") if s[1] == "x" else (8, "01234567")
            s = s[2:]
        if not s or any(c not in digits for c in s):
            return None
        return negative, int(s, base)

    def real(self) -> Optional[float]:
        """The f64 of a float literal, None when it is none or out of range."""
        s = self.text
        negative = s[:1] == "-"
        bare = s[1:] if s[:1] in ("+", "-") else s
        if bare in (".inf", ".Inf", ".INF"):
            return -math.inf if negative else math.inf
        if s in (".nan", ".NaN", ".NAN"):
            return math.nan
        if not _DECIMAL_FLOAT.fullmatch(s):
            return None
        value = float(s)
        # Overflow, and underflow to zero of non-zero digits, are out of range.
        if math.isinf(value) or (value == 0.0 and re.search(r"[1-9]", s.split("e")[0].split("E")[0])):
            return None
        return value

    def as_unsigned(self, limit: int) -> Optional[int]:
        lit = None if self.is_float else self.integer()
        if lit is None:
            return None
        negative, magnitude = lit
        if (negative and magnitude != 0) or magnitude > limit:
            return None
        return magnitude

    def as_float(self, kind: str) -> Optional[float]:
        lit = None if self.is_float else self.integer()
        if lit is not None and lit[1] <= U64_MAX:
            negative, magnitude = lit
            exact = int_to_f32(magnitude) if kind == "f32" else float(magnitude)
            return -exact if negative and magnitude else exact
        value = self.real()
        if value is None:
            return None
        return to_f32(value) if kind == "f32" else value

    def __str__(self) -> str:
        return self.text


@dataclass
class Node:
    kind: str  # "map", "seq" or "scalar"
    line: int
    column: int
    # scalar: None (null), bool, str or Number; map: [(key Node, value Node)]; seq: [Node]
    value: Any = None
    tag: Optional[str] = None  # YAML local tag without "!", or None


Scalar = Union[None, bool, str, Number]


def resolve_plain(text: str) -> Scalar:
    """A plain (unquoted, untagged) scalar by the module's rules."""
    if text in YAML_NULLS:
        return None
    if text in YAML_BOOLS:
        return YAML_BOOLS[text]
    if Number(text, False).integer() is not None:
        return Number(text, False)
    if Number(text, True).real() is not None or _DECIMAL_FLOAT.fullmatch(text):
        # (An out-of-range float is still a float, refused when read.)
        return Number(text, True)
    return text


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

    def value(self, i: int, depth: int = 0) -> Tuple[Node, int]:
        i = self.skip(i)
        line, column = self.position(i)
        c = self.text[i]
        if c in "{[" and depth >= MAX_DEPTH:
            raise DocumentSyntaxError(f"nested more than {MAX_DEPTH} levels deep", line, column)
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
                val, i = self.value(i, depth + 1)
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
                val, i = self.value(i, depth + 1)
                elems.append(val)
                i = self.skip(i)
                if self.text[i] == "]":
                    return Node("seq", line, column, elems), i + 1
                i += 1
        if c == '"':
            s, i = scanstring(self.text, i + 1)
            return Node("scalar", line, column, s), i
        for word, literal in (("true", True), ("false", False), ("null", None)):
            if self.text.startswith(word, i):
                return Node("scalar", line, column, literal), i + len(word)
        m = _NUMBER.match(self.text, i)
        assert m is not None  # the text was parsed as JSON before
        return Node("scalar", line, column, Number(m.group(0), bool(m.group(1) or m.group(2)))), m.end()


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def parse_json(text: str) -> Node:
    # The standard parser finds syntax errors; the scanner then reads a text
    # known to be valid, keeping positions. NaN and Infinity are not JSON.
    try:
        json.loads(text, parse_constant=_refuse_constant)
    except json.JSONDecodeError as e:
        raise DocumentSyntaxError(e.msg, e.lineno, e.colno) from None
    except ValueError as e:
        match = re.search(r"\b(NaN|-?Infinity)\b", text)
        line, column = _JsonScanner(text).position(match.start()) if match else (1, 1)
        raise DocumentSyntaxError(str(e), line, column) from None
    except RecursionError:
        raise DocumentSyntaxError(f"nested more than {MAX_DEPTH} levels deep", 1, 1) from None
    node, _ = _JsonScanner(text).value(0)
    return node


# ----------------------------------------------------------------------------- YAML

def parse_yaml(text: str) -> Node:
    """The tree of a YAML text; ImportError (naming what to install) without PyYAML."""
    yaml = import_yaml()

    class Loader(yaml.SafeLoader):  # type: ignore[misc,name-defined]
        # Plain untagged scalars are marked for resolution by the module's rules.
        def resolve(self, kind: Any, value: Any, implicit: Any) -> Any:
            if kind is yaml.ScalarNode and implicit[0]:
                return _PLAIN
            return super().resolve(kind, value, implicit)

        # The non-specific tag `!` makes a scalar a string.
        def compose_scalar_node(self, anchor: Any) -> Any:
            explicit_string = self.peek_event().tag == "!"
            node = super().compose_scalar_node(anchor)
            if explicit_string:
                node.tag = "tag:yaml.org,2002:str"
            return node

    try:
        docs = list(yaml.compose_all(text, Loader=Loader))
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        line, column = (mark.line + 1, mark.column + 1) if mark else (1, 1)
        raise DocumentSyntaxError(str(e.problem or e), line, column) from None
    except yaml.YAMLError as e:
        raise DocumentSyntaxError(str(e), 1, 1) from None
    except RecursionError:
        raise DocumentSyntaxError(f"nested more than {MAX_DEPTH} levels deep", 1, 1) from None
    if len(docs) != 1:
        raise DocumentSyntaxError("a document is exactly one YAML document, found "
                                  f"{len(docs)}", 1, 1)
    memo: Dict[int, Node] = {}
    complete: set = set()

    def convert(n: Any, depth: int) -> Node:
        line, column = n.start_mark.line + 1, n.start_mark.column + 1
        if id(n) in memo:  # aliases share their anchor's node
            if id(n) not in complete:
                raise DocumentSyntaxError("recursive alias: a node contains an alias of itself",
                                          line, column)
            return memo[id(n)]
        tag = n.tag[1:] if n.tag.startswith("!") and not n.tag.startswith("!!") else None
        if isinstance(n, (yaml.MappingNode, yaml.SequenceNode)) and depth >= MAX_DEPTH:
            raise DocumentSyntaxError(f"nested more than {MAX_DEPTH} levels deep", line, column)
        if isinstance(n, yaml.MappingNode):
            out = Node("map", line, column, [], tag)
            memo[id(n)] = out
            out.value = [(convert(k, depth + 1), convert(v, depth + 1)) for k, v in n.value]
            complete.add(id(n))
        elif isinstance(n, yaml.SequenceNode):
            out = Node("seq", line, column, [], tag)
            memo[id(n)] = out
            out.value = [convert(v, depth + 1) for v in n.value]
            complete.add(id(n))
        else:
            # Quoted and block scalars, and those tagged as strings, are strings.
            plain = n.style is None and n.tag != "tag:yaml.org,2002:str"
            out = Node("scalar", line, column, resolve_plain(n.value) if plain else n.value, tag)
            memo[id(n)] = out
            complete.add(id(n))
        return out

    try:
        return convert(docs[0], 0)
    except RecursionError:
        raise DocumentSyntaxError(f"nested more than {MAX_DEPTH} levels deep", 1, 1) from None


def replayed_events(root: Node) -> int:
    """How many events the module's reader replays for the aliases of a tree:
    each alias repeats the events of its anchored node (a scalar is one event,
    a mapping or sequence its start, its end and those of its entries), and an
    alias met inside a repeat is one event plus its own repeat. An anchor is
    the first occurrence of a node in document order, every later one an alias.
    """
    first_edge: Dict[int, Tuple[int, int]] = {}
    order: List[Node] = []
    total = 0
    sizes: Dict[int, int] = {}

    def children(node: Node) -> List[Node]:
        if node.kind == "map":
            return [n for pair in node.value for n in pair]
        return list(node.value) if node.kind == "seq" else []

    # Document order, without entering an alias: records which edge defines each node.
    stack: List[Tuple[Node, int, int]] = [(root, -1, 0)]
    while stack:
        node, parent, index = stack.pop()
        if id(node) in first_edge:
            order.append(node)  # an alias at the top level: repeated in full
            continue
        first_edge[id(node)] = (parent, index)
        stack.extend((child, id(node), i) for i, child in reversed(list(enumerate(children(node)))))

    def events(node: Node) -> int:
        # Children before parents, without recursion (documents nest up to MAX_DEPTH).
        pending = [(node, False)]
        while pending:
            n, expanded = pending.pop()
            if id(n) in sizes:
                continue
            kids = children(n)
            if not expanded:
                pending.append((n, True))
                pending.extend((k, False) for k in kids if id(k) not in sizes)
                continue
            size = 2 if n.kind in ("map", "seq") else 1
            for i, k in enumerate(kids):
                alias = first_edge.get(id(k)) != (id(n), i)
                size += (1 if alias else 0) + sizes[id(k)]
            sizes[id(n)] = size
        return sizes[id(node)]

    for node in order:
        total += events(node)
    return total
