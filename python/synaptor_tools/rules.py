"""The rules by which creation refuses a document that reads correctly.

Each rule carries creation's own message, so that a finding reads like the
`ValueError` creation raises ("invalid instance parameters, ..."), but it is
reported at the offending field's path and position, and every broken rule is
reported, not only the first. Values are compared as creation compares them:
f32 fields hold their f32 value (see `document_tree.Number`), and a NaN passes
every ordered test, as it does there. tests/python/test_checker_drift.py
breaks each rule and checks that creation and the checker both refuse it.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Sequence, Tuple

from .document_tree import U64_MAX, to_f32

#: The largest unit f32 draw (1 - 2^-23); a randomized weight bound is scaled by
#: its reciprocal, which must stay finite.
MAX_UNIT_F32 = struct.unpack("<f", bytes.fromhex("feff7f3f"))[0]
#: 2^-52: how far a projection window reaches beyond half its width.
WINDOW_EPS = 2.0**-52
#: The delay check walks the pre-synaptic neurons of a connection; beyond this
#: many it is left to creation (and said so) rather than keep the checker busy.
MAX_DELAY_WALK = 2_000_000


@dataclass(frozen=True)
class Rule:
    """Creation refuses the record when `broken(*values of fields)` holds.
    The finding sits on the first field."""

    fields: Tuple[str, ...]
    broken: Callable[..., bool]
    message: str


def _positive(field: str) -> Rule:
    return Rule((field,), lambda v: v <= 0.0, f"{field} must be strictly positive")


NEURON_RULES = (
    _positive("tau_membrane"),
    Rule(("refractory_period",), lambda v: v == 0, "refractory_period must be strictly positive"),
    Rule(("reset_voltage",), lambda v: v >= 1.0, "reset_voltage must be less than 1.0"),
    Rule(("reset_voltage", "voltage_floor"), lambda reset, floor: floor > reset,
         "reset_voltage must not be less than voltage_floor"),
    Rule(("reset_voltage", "adaptation_threshold"), lambda reset, adaptation: reset >= adaptation,
         "reset_voltage must be less than adaptation_threshold"),
    _positive("tau_threshold"),
    Rule(("voltage_floor",), lambda v: v > 0.0, "voltage_floor must not be greater than zero"),
)

MODULATION_RULES = (
    _positive("tau_eligibility_trace"),
    Rule(("eligibility_trace_delay", "t_cutoff_eligibility_trace"), lambda d, c: d > c,
         "eligibility_trace_delay must not be greater than t_cutoff_eligibility_trace"),
    _positive("dopamine_modulation_factor"),
    Rule(("dopamine_conflation_period",), lambda v: v == 0,
         "dopamine_conflation_period must be strictly positive"),
    Rule(("dopamine_flush_period", "dopamine_conflation_period"),
         lambda flush, conflation: conflation != 0 and flush % conflation != 0,
         "dopamine_flush_period must be a multiple of dopamine_conflation_period"),
    # A construction limit, tested after every other rule of the document.
    Rule(("dopamine_flush_period",), lambda v: v == 0,
         "dopamine_flush_period must be strictly positive"),
)

STP_RULES = (
    Rule(("tau",), lambda v: v <= 0.0, "stp_params: tau must be strictly positive"),
    Rule(("p0",), lambda v: v < 0.0 or v > 1.0, "stp_params: p0 must be in [0, 1]"),
    Rule(("factor",), lambda v: v <= 0.0 or v > 1.0, "stp_params: factor must be in (0, 1]"),
)

STDP_RULES = (_positive("tau_pre_before_post"), _positive("tau_pre_after_post"))

SHORT_TERM_STDP_RULES = (Rule(("tau",), lambda v: v <= 0.0,
                              "short_term_stdp_params: tau must be strictly positive"),)

SYNAPSE_RULES = (_positive("max_weight"),)

CONNECTION_RULES = (
    Rule(("connect_density",), lambda v: v <= 0.0 or v > 1.0, "connect_density must be in (0, 1]"),
    Rule(("connect_width",), lambda v: v <= 0.0 or v > 2.0, "connect_width must be in (0, 2]"),
    Rule(("conduction_delay_position_distance_scale_factor",), lambda v: v < 0.0,
         "conduction_delay_position_distance_scale_factor must not be negative"),
)

#: (variant, broken, message) of initial_syn_weight.
WEIGHT_RULES = (
    ("Constant", lambda v: v < 0.0,
     "Parameter for constant initial synaptic weight must not be negative"),
    ("Randomized", lambda v: v <= 0.0,
     "Parameter for randomized initial synaptic weight must be strictly positive"),
    # Construction limit: the inclusive draw scales by value / MAX_UNIT_F32.
    ("Randomized", lambda v: math.isinf(to_f32(v / MAX_UNIT_F32)) or math.isnan(v),
     "Parameter for randomized initial synaptic weight must be finite"),
)

#: report(path, message, severity): severity "error" unless said otherwise.
Report = Callable[..., None]


def _apply(rules: Sequence[Rule], record: Any, path: str, report: Report,
           shown: Callable[[str], str]) -> None:
    if not isinstance(record, dict):
        return
    for rule in rules:
        values = [record.get(f) for f in rule.fields]
        if any(v is None for v in values) or not rule.broken(*values):
            continue
        found = ", ".join(f"{f} {shown(f'{path}.{f}')}" for f in rule.fields)
        report(f"{path}.{rule.fields[0]}", f"{rule.message} (found {found})")


def check_rules(doc: Dict[str, Any], report: Report, shown: Callable[[str], str],
                num_threads_allowed: Callable[[int], bool]) -> None:
    """Reports through `report(path, message)` every rule of creation that
    `doc` (the checker's plain values, None where a value could not be read)
    breaks. `shown(path)` is a value's text for the message;
    `num_threads_allowed(n)` answers the thread-count rule."""
    layers: List[Any] = doc["layers"] if isinstance(doc.get("layers"), list) else []
    for i, layer in enumerate(layers):
        if not isinstance(layer, dict):
            continue
        _apply(NEURON_RULES, layer.get("neuron_params"), f"layers[{i}].neuron_params", report, shown)
        _apply(MODULATION_RULES, layer.get("plasticity_modulation_params"),
               f"layers[{i}].plasticity_modulation_params", report, shown)
    total = 0
    for i, layer in enumerate(layers):
        n = layer.get("num_neurons") if isinstance(layer, dict) else None
        if isinstance(n, int):
            total += n
            if total > U64_MAX:
                report(f"layers[{i}].num_neurons", "the layers' num_neurons must not add up to "
                       f"more than {U64_MAX} (found a total of {total} up to this layer)")
                break

    connections: List[Any] = (doc["layer_connections"]
                              if isinstance(doc.get("layer_connections"), list) else [])
    seen = set()
    for j, c in enumerate(connections):
        if not isinstance(c, dict):
            continue
        base = f"layer_connections[{j}]"
        pair = (c.get("from_layer_id"), c.get("to_layer_id"))
        if None not in pair:
            if pair in seen:
                report(base, f"duplicate connection from layer {pair[0]} to layer {pair[1]}")
            seen.add(pair)
        for end in ("from_layer_id", "to_layer_id"):
            if isinstance(c.get(end), int) and c[end] >= len(layers):
                report(f"{base}.{end}", f"invalid {end}: {c[end]} (the document has "
                       f"{len(layers)} layers, ids 0 to {len(layers) - 1})")
        projection: Dict[str, Any] = (c["projection_params"]
                                      if isinstance(c.get("projection_params"), dict) else {})
        synapse = projection.get("synapse_params")
        _apply(SYNAPSE_RULES, synapse, f"{base}.projection_params.synapse_params", report, shown)
        stp = projection.get("stp_params")
        for kind in ("Depression", "Facilitation"):
            if isinstance(stp, dict) and kind in stp:
                _apply(STP_RULES, stp[kind], f"{base}.projection_params.stp_params.{kind}",
                       report, shown)
        _apply(STDP_RULES, projection.get("long_term_stdp_params"),
               f"{base}.projection_params.long_term_stdp_params", report, shown)
        short = projection.get("short_term_stdp_params")
        if isinstance(short, dict):
            _apply(STDP_RULES, short.get("stdp_params"),
                   f"{base}.projection_params.short_term_stdp_params.stdp_params", report, shown)
            _apply(SHORT_TERM_STDP_RULES, short, f"{base}.projection_params.short_term_stdp_params",
                   report, shown)
        _apply(CONNECTION_RULES, c, base, report, shown)
        weight = c.get("initial_syn_weight")
        for variant, broken, message in WEIGHT_RULES:
            value = weight.get(variant) if isinstance(weight, dict) else None
            where = f"{base}.initial_syn_weight.{variant}"
            if value is not None and broken(value):
                report(where, f"{message} (found {shown(where)})")
        _delay_limit(c, layers, base, report)

    tech = doc.get("technical_params")
    num_threads = tech.get("num_threads") if isinstance(tech, dict) else None
    if isinstance(num_threads, int) and not num_threads_allowed(num_threads):
        report("technical_params.num_threads", "num_threads must not be greater than number of "
               f"available CPUs (found {num_threads})")


# ----------------------------------------------------------------------------- delays

def _saturating_u64(x: float) -> int:
    if not x > 0.0:  # also NaN
        return 0
    if x >= 18446744073709551616.0:
        return U64_MAX
    return int(x)


def _round_half_away(x: float) -> float:
    if not math.isfinite(x):
        return x
    r = math.floor(abs(x))
    if abs(x) - r >= 0.5:
        r += 1
    return float(math.copysign(r, x))


def _round_to_u64(x: float) -> int:
    return _saturating_u64(_round_half_away(x))


def _floor(x: float) -> float:
    return float(math.floor(x)) if math.isfinite(x) else x


def _ceil(x: float) -> float:
    return float(math.ceil(x)) if math.isfinite(x) else x


def _fmin(a: float, b: float) -> float:
    return b if math.isnan(a) else a if math.isnan(b) else min(a, b)


def _positions(n: int) -> Tuple[float, Callable[[int], float]]:
    spacing = 1.0 / float(n - 1) if n >= 2 else math.inf
    return spacing, (lambda k: 0.5) if n == 1 else (lambda k: float(k) * spacing)


def farthest_delays(c: Dict[str, Any], m: int, n: int) -> Iterator[int]:
    """For each pre-synaptic neuron that makes synapses, the largest delay
    construction can give one of them (the window's far end, the full random
    part), by construction's own window, amount and delay arithmetic."""
    scale = c["conduction_delay_position_distance_scale_factor"]
    fixed = min(c["conduction_delay_max_random_part"] + c["conduction_delay_add_on"] + 1, U64_MAX)
    width, density = c["connect_width"], c["connect_density"]
    self_connection = c["from_layer_id"] == c["to_layer_id"]
    _, pre = _positions(m)
    spacing, post = _positions(n)
    half = width * 0.5
    for k in range(m):
        p = pre(k)
        lo = _saturating_u64(_ceil((p - half - WINDOW_EPS) / spacing))
        hi = min(_saturating_u64(_floor((half + p + WINDOW_EPS) / spacing)), n - 1)
        if hi < lo:
            continue
        count = hi - lo + 1
        if min(_round_to_u64(float(count) * density), count) == 0:
            continue
        if self_connection and not c["allow_self_innervation"] and count == 1 and lo == k:
            continue
        distance = max(abs(post(lo) - p), abs(post(hi) - p))
        yield min(fixed + _round_to_u64(distance * scale), U64_MAX)


def _delay_limit(c: Dict[str, Any], layers: List[Any], base: str, report: Report) -> None:
    names = ("from_layer_id", "to_layer_id", "connect_width", "connect_density",
             "conduction_delay_max_random_part", "conduction_delay_add_on",
             "conduction_delay_position_distance_scale_factor", "allow_self_innervation")
    if any(c.get(name) is None for name in names):
        return
    ids = (c["from_layer_id"], c["to_layer_id"])
    if any(i >= len(layers) or not isinstance(layers[i], dict)
           or not isinstance(layers[i].get("num_neurons"), int) for i in ids):
        return
    m, n = (layers[i]["num_neurons"] for i in ids)
    if m == 0 or n == 0:
        return
    fixed = min(c["conduction_delay_max_random_part"] + c["conduction_delay_add_on"] + 1, U64_MAX)
    # No window reaches farther than half its width and no two positions are
    # farther apart than 1: this bound settles almost every connection at once.
    reach = _fmin(c["connect_width"] * 0.5 + WINDOW_EPS, 1.0)
    bound = reach * (1.0 + 1e-9) + 1e-9
    if fixed + _round_to_u64(bound * c["conduction_delay_position_distance_scale_factor"]) <= 255:
        return
    message = (f"conduction delay of connection from layer {ids[0]} to layer {ids[1]} "
               "can exceed 255 ticks")
    if m > MAX_DELAY_WALK:
        report(f"{base}.conduction_delay_add_on", f"not checked for more than {MAX_DELAY_WALK} "
               f"pre-synaptic neurons: creation refuses the document if the {message}",
               "warning")
        return
    for delay in farthest_delays(c, m, n):
        if delay > 255:
            report(f"{base}.conduction_delay_add_on", f"{message} (found a delay of up to "
                   f"{delay} ticks: add-on plus random part plus 1 plus distance times scale)")
            return


