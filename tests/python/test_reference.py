"""docs/parameters.md, the field table of synaptor_tools and the module's reader
name the same fields."""

import copy
import json
import re
from pathlib import Path

import pytest

import synaptor
from synaptor_tools.schema import STRUCTS, VARIANTS

from conftest import connection, layer

ROOT = Path(__file__).resolve().parents[2]
REFERENCE = ROOT / "docs" / "parameters.md"

STDP = {"factor_pre_before_post": 0.01, "tau_pre_before_post": 20.0,
        "factor_pre_after_post": -0.012, "tau_pre_after_post": 20.0}
MODULATION = {"tau_eligibility_trace": 100.0, "eligibility_trace_delay": 0,
              "dopamine_modulation_factor": 1.0, "t_cutoff_eligibility_trace": 500,
              "dopamine_flush_period": 50, "dopamine_conflation_period": 10}


def full_document():
    """A document that writes every field, optional ones included."""
    conn = connection(0, 1, weight=0.5)
    conn["projection_params"].update(
        stp_params={"Depression": {"tau": 50.0, "p0": 0.9, "factor": 0.2}},
        long_term_stdp_params=dict(STDP),
        short_term_stdp_params={"stdp_params": dict(STDP), "tau": 10.0},
    )
    return {
        "layers": [layer(3), layer(2, plasticity_modulation_params=dict(MODULATION))],
        "layer_connections": [conn],
        "technical_params": {"num_threads": 1, "pin_threads": False, "seed_override": 3},
    }


def struct_locations(doc):
    """(path, mapping, structure name) of every structure written in `doc`."""
    found = []

    def walk(value, struct, path):
        found.append((path, value, struct))
        for field in STRUCTS[struct]:
            if field.name not in value:
                continue
            sub = value[field.name]
            if field.is_list:
                sub, where = sub[0], f"{path}.{field.name}[0]"
            else:
                where = f"{path}.{field.name}"
            if field.kind in STRUCTS:
                walk(sub, field.kind, where)
            elif field.kind in VARIANTS and isinstance(sub, dict):
                (variant, payload), = sub.items()
                if VARIANTS[field.kind][variant] in STRUCTS:
                    walk(payload, VARIANTS[field.kind][variant], f"{where}.{variant}")

    walk(doc, "InstanceParams", "")
    return found


def create(doc):
    return synaptor.create_from_json(json.dumps(doc), 0)


def missing_field(doc):
    try:
        create(doc)
    except ValueError as e:
        m = re.match(r"missing field `(\w+)`", str(e))
        return m.group(1) if m else None
    return None


def test_full_document_is_accepted_and_unknown_keys_are_ignored():
    create(full_document())
    doc = full_document()
    for _, mapping, _ in struct_locations(doc):
        mapping["not_a_field"] = "x"
    create(doc)


@pytest.mark.parametrize("index", range(len(struct_locations(full_document()))))
def test_reader_requires_exactly_the_required_fields_in_order(index):
    # Empty the structure, then put back whatever the reader says is missing.
    doc = full_document()
    path, mapping, struct = struct_locations(doc)[index]
    original = dict(mapping)
    mapping.clear()
    reported = []
    while (name := missing_field(doc)) is not None:
        assert name in original and name not in reported, (path, name)
        reported.append(name)
        mapping[name] = original[name]
    assert reported == [f.name for f in STRUCTS[struct] if f.required], path


@pytest.mark.parametrize("index", range(len(struct_locations(full_document()))))
def test_reader_knows_every_listed_field(index):
    # A value of the wrong kind is an error for a known field and ignored for an
    # unknown key, so this proves the reader reads each listed field.
    for field in STRUCTS[struct_locations(full_document())[index][2]]:
        doc = full_document()
        path, mapping, _ = struct_locations(doc)[index]
        mapping[field.name] = "x" if field.kind != "StpParams" else "Nonsense"
        with pytest.raises(ValueError, match="invalid type|unknown variant"):
            create(doc)


def test_reader_source_names_no_field_beyond_the_table():
    # Loose cross-check against the C++ sources: every field-like literal of the
    # document readers is a field of the table.
    known = {f.name for fields in STRUCTS.values() for f in fields}
    literals = set()
    for source in (ROOT / "src" / "params").glob("*.cpp"):
        if source.name.startswith(("validate", "available")):
            continue
        literals |= set(re.findall(r'"([a-z][a-z0-9]*_[a-z0-9_]+)"', source.read_text()))
    assert literals, "no field names found in the reader sources"
    assert literals <= known, literals - known


def reference_tables():
    """Section structure name -> names in the first column of its table."""
    tables, current = {}, None
    for line in REFERENCE.read_text().splitlines():
        heading = re.match(r"^### `(\w+)`", line)
        if heading:
            current = heading.group(1)
            tables[current] = []
        elif line.startswith("## "):
            current = None
        elif current:
            row = re.match(r"^\| `(\w+)` \|", line)
            if row:
                tables[current].append(row.group(1))
    return tables


def test_reference_names_exactly_the_fields_of_the_table():
    tables = reference_tables()
    expected = {name: [f.name for f in fields] for name, fields in STRUCTS.items()}
    # The StpParams section documents the variants' payload.
    expected["StpParams"] = expected.pop("StpPayload")
    expected["InitialSynWeight"] = list(VARIANTS["InitialSynWeight"])
    assert tables == expected
    text = REFERENCE.read_text()
    for variant in VARIANTS["StpParams"]:
        assert f"`{variant}`" in text


def test_reference_examples_build_the_same_network():
    text = REFERENCE.read_text()
    yaml_text = re.search(r"```yaml\n(.*?)```", text, re.S).group(1)
    json_text = re.search(r"```json\n(.*?)```", text, re.S).group(1)
    snapshots = []
    for inst in (synaptor.create_from_yaml(yaml_text, 0), synaptor.create_from_json(json_text, 0)):
        snap = inst.tick([], [], [], 0.0, True).state_snapshot
        snapshots.append((snap.pre_syn_nids, snap.post_syn_nids, snap.weights,
                          snap.conduction_delays))
    assert snapshots[0] == snapshots[1] and snapshots[0][0]
