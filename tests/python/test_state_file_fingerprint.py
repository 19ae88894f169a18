"""A state file is refused by a network that differs in any field of the
document but the thread settings: the network fingerprint in its header
covers every field that decides the network or its dynamics."""

import copy
import json

import pytest

import synaptor
from conftest import connection, layer, rich_document, tick_empty
from synaptor_tools import schema

THREAD_SETTINGS = {"technical_params.num_threads", "technical_params.pin_threads"}


def base_document():
    """Every optional field present somewhere (depression, facilitation, long-
    and short-term STDP, dopamine, a seed), so that each can be left out."""
    return json.loads(rich_document(1, sizes=(6, 5, 4)))


def field_of(path):
    """The schema's Field for a dotted path of schema.field_paths()."""
    struct, found = "InstanceParams", None
    for part in path.split("."):
        part = part.removesuffix("[]")
        if found is not None and part in variants_of(found):
            struct = variants_of(found)[part]
            continue
        found = next(f for f in schema.STRUCTS[struct] if f.name == part)
        struct = found.kind
    return found


def variants_of(field):
    return schema.VARIANTS.get(field.kind, {})


def holds(node, parts):
    """Whether `node` has the field at the path `parts` (lists by their first element)."""
    for part in parts:
        part = part.removesuffix("[]")
        if not isinstance(node, dict) or part not in node:
            return False
        node = node[part][0] if isinstance(node[part], list) else node[part]
    return True


def locate(doc, path):
    """The mapping that holds the field of `path` and its key; a list stands
    for its first element that has the rest of the path."""
    parts = path.split(".")
    node = doc
    for i, part in enumerate(parts[:-1]):
        if part.endswith("[]"):
            items = node[part[:-2]]
            node = next((item for item in items if holds(item, parts[i + 1 :])), items[0])
        else:
            node = node[part]
    return node, parts[-1]


# Valid other values where a step up would break a rule of the document.
OTHER_VALUE = {
    "layers[].neuron_params.voltage_floor": -0.5,
    "layers[].plasticity_modulation_params.dopamine_flush_period": 60,
    "layers[].plasticity_modulation_params.dopamine_conflation_period": 25,
    "layer_connections[].from_layer_id": 2,
    "layer_connections[].projection_params.stp_params.Depression.p0": 0.7,
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
            target[key].append(layer(4) if key == "layers" else connection(2, 0, weight=0.2))
            out.append((path, base, changed))
        elif variants_of(field):
            ((variant, payload),) = parent[key].items()
            choices = variants_of(field)
            other = next(v for v, p in choices.items() if v != variant and p == choices[variant])
            target[key] = {other: copy.deepcopy(payload)}
            out.append((path + " (variant)", base, changed))
            for none in (v for v, p in choices.items() if p is None):
                without = copy.deepcopy(base)
                holder, _ = locate(without, path)
                holder[key] = none
                out.append((f"{path} ({none})", base, without))
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
    # Another thread count than the one left out above, which is the number
    # of CPUs and may be 1.
    base = base_document()
    more = copy.deepcopy(base)
    more["technical_params"]["num_threads"] = 2
    out.append(("technical_params.num_threads (value)", base, more))
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
    structures = {
        p for p in schema.field_paths() if field_of(p).required and field_of(p).kind in schema.STRUCTS
    }
    assert named | structures == set(schema.field_paths())
    for name, base, changed in CASES:
        assert base != changed, name


@pytest.mark.parametrize("name,base,changed", CASES, ids=[c[0] for c in CASES])
def test_a_changed_field_refuses_the_state_file(name, base, changed, tmp_path):
    path = saved_state(base, tmp_path)
    other = synaptor.create_from_json(json.dumps(changed), 3)
    tick_empty(other)
    if name.split(" ")[0] in THREAD_SETTINGS:
        other.restore_state(path)
        assert other.get_t() == 20
    else:
        with pytest.raises(ValueError, match="^state file was saved from a different network$"):
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
