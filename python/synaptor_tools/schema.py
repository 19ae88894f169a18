"""The fields of the parameter document, in one place.

The checker, the layout reader and the reference in docs/parameters.md all
use this table; a test compares it with what the module's reader accepts.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple


@dataclass(frozen=True)
class Field:
    name: str
    kind: str  # "f32", "f64", "u8", "u64", "bool", or a structure name (see STRUCTS)
    required: bool
    is_list: bool = False


#: Variant choices: name -> {variant name: payload structure or kind, None for none}.
VARIANTS: Dict[str, Dict[str, Optional[str]]] = {
    "StpParams": {"NoStp": None, "Depression": "StpPayload", "Facilitation": "StpPayload"},
    "InitialSynWeight": {"Randomized": "f32", "Constant": "f32"},
}

#: Structures and their fields, in declaration order.
STRUCTS: Dict[str, Tuple[Field, ...]] = {
    "InstanceParams": (
        Field("layers", "LayerParams", True, is_list=True),
        Field("layer_connections", "LayerConnectionParams", True, is_list=True),
        Field("technical_params", "TechnicalParams", True),
    ),
    "LayerParams": (
        Field("num_neurons", "u64", True),
        Field("neuron_params", "NeuronParams", True),
        Field("plasticity_modulation_params", "PlasticityModulationParams", False),
    ),
    "NeuronParams": (
        Field("tau_membrane", "f32", True),
        Field("refractory_period", "u8", True),
        Field("reset_voltage", "f32", True),
        Field("t_cutoff_coincidence", "u64", True),
        Field("adaptation_threshold", "f32", True),
        Field("tau_threshold", "f32", True),
        Field("voltage_floor", "f32", True),
    ),
    "PlasticityModulationParams": (
        Field("tau_eligibility_trace", "f32", True),
        Field("eligibility_trace_delay", "u64", True),
        Field("dopamine_modulation_factor", "f32", True),
        Field("t_cutoff_eligibility_trace", "u64", True),
        Field("dopamine_flush_period", "u64", True),
        Field("dopamine_conflation_period", "u64", True),
    ),
    "LayerConnectionParams": (
        Field("from_layer_id", "u64", True),
        Field("to_layer_id", "u64", True),
        Field("projection_params", "ProjectionParams", True),
        Field("connect_density", "f64", True),
        Field("connect_width", "f64", True),
        Field("initial_syn_weight", "InitialSynWeight", True),
        Field("conduction_delay_max_random_part", "u64", True),
        Field("conduction_delay_position_distance_scale_factor", "f64", True),
        Field("conduction_delay_add_on", "u64", True),
        Field("allow_self_innervation", "bool", True),
    ),
    "ProjectionParams": (
        Field("synapse_params", "SynapseParams", True),
        Field("stp_params", "StpParams", True),
        Field("long_term_stdp_params", "StdpParams", False),
        Field("short_term_stdp_params", "ShortTermStdpParams", False),
    ),
    "SynapseParams": (
        Field("max_weight", "f32", True),
        Field("weight_scale_factor", "f32", True),
    ),
    "StdpParams": (
        Field("factor_pre_before_post", "f32", True),
        Field("tau_pre_before_post", "f32", True),
        Field("factor_pre_after_post", "f32", True),
        Field("tau_pre_after_post", "f32", True),
    ),
    "ShortTermStdpParams": (
        Field("stdp_params", "StdpParams", True),
        Field("tau", "f32", True),
    ),
    "TechnicalParams": (
        Field("num_threads", "u64", False),
        Field("pin_threads", "bool", True),
        Field("seed_override", "u64", False),
    ),
    # The payload of the Depression and Facilitation variants of StpParams.
    "StpPayload": (
        Field("tau", "f32", True),
        Field("p0", "f32", True),
        Field("factor", "f32", True),
    ),
}

SCALAR_KINDS = ("f32", "f64", "u8", "u64", "bool")


def field_paths(struct: str = "InstanceParams", prefix: str = "") -> list:
    """Every field of the document as a dotted path, lists written as `[]`.

    Variant payloads appear under the variant name, e.g.
    `layer_connections[].projection_params.stp_params.Depression.tau`.
    """
    paths = []
    for f in STRUCTS[struct]:
        path = f"{prefix}{f.name}"
        paths.append(path)
        sub = path + ("[]." if f.is_list else ".")
        if f.kind in STRUCTS:
            paths.extend(field_paths(f.kind, sub))
        elif f.kind in VARIANTS:
            for variant, payload in VARIANTS[f.kind].items():
                if payload in STRUCTS:
                    paths.extend(field_paths(payload, f"{sub}{variant}."))
    return paths
