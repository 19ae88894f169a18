"""A state file is refused by a network that differs in any field of the
document but the thread settings: the network fingerprint in its header
covers every field that decides the network or its dynamics."""

import copy
import json

import pytest

import synaptor
from conftest import connection, layer, tick_empty
from synaptor_tools import schema

THREAD_SETTINGS = {"technical_params.num_threads", "technical_params.pin_threads"}

STDP = {
    "factor_pre_before_post": 0.02,
    "tau_pre_before_post": 20.0,
    "factor_pre_after_post": -0.015,
    "tau_pre_after_post": 20.0,
}
MODULATION = {
    "tau_eligibility_trace": 100.0,
    "eligibility_trace_delay": 5,
    "dopamine_modulation_factor": 1.0,
    "t_cutoff_eligibility_trace": 200,
    "dopamine_flush_period": 50,
    "dopamine_conflation_period": 10,
}


def base_document():
    """Every optional field present, so that each can be changed or left out."""
    conn = connection(
        0,
        1,
        density=0.5,
        connect_width=0.6,
        initial_syn_weight={"Randomized": 0.6},
        conduction_delay_max_random_part=2,
        conduction_delay_position_distance_scale_factor=3.0,
        conduction_delay_add_on=1,
        allow_self_innervation=False,
    )
    conn["projection_params"].update(
        stp_params={"Depression": {"tau": 30.0, "p0": 0.5, "factor": 0.3}},
        long_term_stdp_params=copy.deepcopy(STDP),
        short_term_stdp_params={"stdp_params": copy.deepcopy(STDP), "tau": 10.0},
    )
    back = connection(1, 0, weight=0.5)
    return {
        "layers": [
            layer(6, plasticity_modulation_params=dict(MODULATION)),
            layer(5, plasticity_modulation_params=dict(MODULATION)),
        ],
        "layer_connections": [conn, back],
        "technical_params": {"num_threads": 1, "pin_threads": False, "seed_override": 1234},
    }


def field_of(path):
    """The schema's Field for a dotted path of schema.field_paths()."""
    struct, found = "InstanceParams", None
    for part in path.split("."):
        part = part.removesuffix("[]")
        if found is not None and found.kind in schema.VARIANTS and part in schema.VARIANTS[found.kind]:
            struct = schema.VARIANTS[found.kind][part]
            continue
        found = next(f for f in schema.STRUCTS[struct] if f.name == part)
        struct = found.kind
    return found


def variants_of(field):
    return schema.VARIANTS.get(field.kind, {})


def locate(doc, path):
    """The mapping that holds the field of `path` and its key. A list stands
    for its first element; a variant's payload path makes that variant the
    chosen one, with the payload of the one chosen before."""
    parts = path.split(".")
    node = doc
    for i, part in enumerate(parts[:-1]):
        if part.endswith("[]"):
            node = node[part[:-2]][0]
            continue
        choice = parts[i + 1]
        if choice in variants_of(field_of(".".join(parts[: i + 1]))) and choice not in node[part]:
            (payload,) = node[part].values()
            node[part] = {choice: copy.deepcopy(payload)}
        node = node[part]
    return node, parts[-1]


# Valid other values where a step up would break a rule of the document.
OTHER_VALUE = {
    "layers[].neuron_params.voltage_floor": -0.5,
    "layers[].plasticity_modulation_params.dopamine_flush_period": 60,
    "layers[].plasticity_modulation_params.dopamine_conflation_period": 25,
    "layer_connections[].to_layer_id": 0,
}


def changed_value(path, field, value):
    if path in OTHER_VALUE:
        return OTHER_VALUE[path]
    if field.kind == "bool":
        return not value
    if field.kind in ("u8", "u64"):
        return value + 1
    return value + 0.125


def cases():
    """(name, base document, changed document) for every field, each changed
    document differing from its base in that field alone."""
    out = []
    for path in schema.field_paths():
        field = field_of(path)
        base = base_document()
        parent, key = locate(base, path)
        changed = copy.deepcopy(base)
        target, _ = locate(changed, path)
        if not field.required:
            # Left out in the base, added in the changed document.
            del parent[key]
            out.append((path, base, changed))
        elif field.is_list:
            # One more layer (unconnected) or one more connection.
            target[key].append(layer(4) if key == "layers" else connection(1, 1, weight=0.2))
            out.append((path, base, changed))
        elif variants_of(field):
            ((variant, payload),) = parent[key].items()
            choices = variants_of(field)
            other = next(v for v, p in choices.items() if v != variant and p == choices[variant])
            target[key] = {other: copy.deepcopy(payload)}
            out.append((path + " (variant)", base, changed))
            if not isinstance(payload, dict):
                value_changed = copy.deepcopy(base)
                holder, _ = locate(value_changed, path)
                holder[key] = {variant: payload + 0.125}
                out.append((path + " (value)", base, value_changed))
        elif field.kind in schema.SCALAR_KINDS:
            target[key] = changed_value(path, field, parent[key])
            out.append((path, base, changed))
        else:
            # A required structure differs only through its fields, which
            # are paths of their own.
            assert any(p.startswith(path + ".") for p in schema.field_paths()), path
    return out


CASES = cases()


def saved_state(document, tmp_path):
    inst = synaptor.create_from_json(json.dumps(document), 3)
    inst.non_coherent_stimulation_rate = 0.1
    inst.tick_until(20)
    path = tmp_path / "base.state"
    inst.save_state(path)
    return path


def test_every_field_of_the_schema_has_a_case():
    named = {name.split(" ")[0] for name, _, _ in CASES}
    structures = {p for p in schema.field_paths() if field_of(p).required and field_of(p).kind in schema.STRUCTS}
    assert named | structures == set(schema.field_paths())
    for name, base, changed in CASES:
        assert base != changed, name


@pytest.mark.parametrize("name,base,changed", CASES, ids=[c[0] for c in CASES])
def test_a_changed_field_refuses_the_state_file(name, base, changed, tmp_path):
    path = saved_state(base, tmp_path)
    other = synaptor.create_from_json(json.dumps(changed), 3)
    tick_empty(other)
    if name in THREAD_SETTINGS:
        other.restore_state(path)
        assert other.get_t() == 20
    else:
        with pytest.raises(ValueError, match="saved from a different network"):
            other.restore_state(path)
        assert other.get_t() == 1


def test_seed_left_out_is_the_network_of_seed_zero(tmp_path):
    # Synapses of a document without a seed are drawn with seed 0, so both
    # name the same network and take each other's files.
    base = base_document()
    base["technical_params"]["seed_override"] = 0
    path = saved_state(base, tmp_path)
    del base["technical_params"]["seed_override"]
    other = synaptor.create_from_json(json.dumps(base), 3)
    other.restore_state(path)
    assert other.get_t() == 20
