"""The checker refuses what creation refuses, at the right path and line.

Every rule of creation is broken by one case: creation must raise its
ValueError and the checker must report an error at the offending field. The
rule messages are read from the sources of validation and of the reader, so
that a rule added there without a case here fails this test, and so that a
rule the checker does not know shows up as a case the checker passes.
"""

import copy
import json
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

import synaptor
from synaptor_tools import check_text
from synaptor_tools.check import creation_allows_threads

ROOT = Path(__file__).resolve().parents[2]
CREATION_PREFIX = "invalid instance parameters, "

STDP = {"factor_pre_before_post": 0.02, "tau_pre_before_post": 20.0,
        "factor_pre_after_post": -0.015, "tau_pre_after_post": 20.0}
NEURON = {"tau_membrane": 10.0, "refractory_period": 2, "reset_voltage": 0.0,
          "t_cutoff_coincidence": 20, "adaptation_threshold": 1.5, "tau_threshold": 50.0,
          "voltage_floor": -1.0}
BASE = {
    "layers": [
        {"num_neurons": 4, "neuron_params": dict(NEURON)},
        {"num_neurons": 3, "neuron_params": dict(NEURON), "plasticity_modulation_params": {
            "tau_eligibility_trace": 100.0, "eligibility_trace_delay": 5,
            "dopamine_modulation_factor": 1.0, "t_cutoff_eligibility_trace": 200,
            "dopamine_flush_period": 50, "dopamine_conflation_period": 10}},
    ],
    "layer_connections": [
        {"from_layer_id": 0, "to_layer_id": 1,
         "projection_params": {
             "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
             "stp_params": {"Depression": {"tau": 50.0, "p0": 0.9, "factor": 0.2}},
             "long_term_stdp_params": STDP,
             "short_term_stdp_params": {"stdp_params": STDP, "tau": 30.0}},
         "connect_density": 0.5, "connect_width": 1.0,
         "initial_syn_weight": {"Randomized": 0.6},
         "conduction_delay_max_random_part": 3,
         "conduction_delay_position_distance_scale_factor": 2.0,
         "conduction_delay_add_on": 1, "allow_self_innervation": True},
        {"from_layer_id": 1, "to_layer_id": 0,
         "projection_params": {
             "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
             "stp_params": {"Facilitation": {"tau": 50.0, "p0": 0.2, "factor": 0.2}}},
         "connect_density": 1.0, "connect_width": 2.0,
         "initial_syn_weight": {"Constant": 0.3},
         "conduction_delay_max_random_part": 0,
         "conduction_delay_position_distance_scale_factor": 0.0,
         "conduction_delay_add_on": 0, "allow_self_innervation": False},
    ],
    "technical_params": {"num_threads": 1, "pin_threads": False, "seed_override": 3},
}

N0 = "layers[0].neuron_params"
M1 = "layers[1].plasticity_modulation_params"
C0 = "layer_connections[0]"
C1 = "layer_connections[1]"
P0 = f"{C0}.projection_params"


def path_items(path):
    """`a.b[2].c` as the keys and indices it goes through."""
    return [int(part) if part.isdigit() else part
            for part in re.findall(r"[^.\[\]]+", path)]


def setter(path, value):
    def mutate(doc):
        *parents, last = path_items(path)
        for part in parents:
            doc = doc[part]
        doc[last] = value
    return mutate


def first_cpu_count_refused():
    n = 1
    while creation_allows_threads(n):
        n += 1
    return n


def narrow_window(target_neurons):
    def mutate(doc):
        doc["layers"][1]["num_neurons"] = target_neurons
        doc["layer_connections"][0].update(
            connect_width=0.3, conduction_delay_add_on=0, conduction_delay_max_random_part=0,
            conduction_delay_position_distance_scale_factor=1700.0)
    return mutate


# (id, change of BASE, path of the finding, message creation gives).
VALIDATION_CASES = [
    ("tau_membrane", setter(f"{N0}.tau_membrane", 0.0), f"{N0}.tau_membrane",
     "tau_membrane must be strictly positive"),
    ("refractory_period", setter(f"{N0}.refractory_period", 0), f"{N0}.refractory_period",
     "refractory_period must be strictly positive"),
    ("reset_voltage_1", setter(f"{N0}.reset_voltage", 1.0), f"{N0}.reset_voltage",
     "reset_voltage must be less than 1.0"),
    # 0.99999999 is 1.0 as an f32: creation compares f32 values.
    ("reset_voltage_f32", setter(f"{N0}.reset_voltage", 0.99999999), f"{N0}.reset_voltage",
     "reset_voltage must be less than 1.0"),
    ("voltage_floor_above_reset", setter(f"{N0}.voltage_floor", -0.0),
     None, None),  # equal (signed zeros) passes: a control case
    ("reset_below_floor", setter(f"{N0}.reset_voltage", -2.0), f"{N0}.reset_voltage",
     "reset_voltage must not be less than voltage_floor"),
    ("reset_at_adaptation", setter(f"{N0}.adaptation_threshold", 0.0), f"{N0}.reset_voltage",
     "reset_voltage must be less than adaptation_threshold"),
    ("tau_threshold", setter(f"{N0}.tau_threshold", -1), f"{N0}.tau_threshold",
     "tau_threshold must be strictly positive"),
    ("voltage_floor", setter("layers[1].neuron_params", dict(NEURON, voltage_floor=0.1,
                                                              reset_voltage=0.2)),
     "layers[1].neuron_params.voltage_floor", "voltage_floor must not be greater than zero"),
    ("tau_eligibility_trace", setter(f"{M1}.tau_eligibility_trace", 0),
     f"{M1}.tau_eligibility_trace", "tau_eligibility_trace must be strictly positive"),
    ("eligibility_trace_delay", setter(f"{M1}.eligibility_trace_delay", 201),
     f"{M1}.eligibility_trace_delay",
     "eligibility_trace_delay must not be greater than t_cutoff_eligibility_trace"),
    ("dopamine_modulation_factor", setter(f"{M1}.dopamine_modulation_factor", -0.5),
     f"{M1}.dopamine_modulation_factor", "dopamine_modulation_factor must be strictly positive"),
    ("dopamine_conflation_period", setter(f"{M1}.dopamine_conflation_period", 0),
     f"{M1}.dopamine_conflation_period", "dopamine_conflation_period must be strictly positive"),
    ("dopamine_flush_multiple", setter(f"{M1}.dopamine_flush_period", 55),
     f"{M1}.dopamine_flush_period",
     "dopamine_flush_period must be a multiple of dopamine_conflation_period"),
    ("dopamine_flush_zero", setter(f"{M1}.dopamine_flush_period", 0),
     f"{M1}.dopamine_flush_period", "dopamine_flush_period must be strictly positive"),
    ("duplicate_connection", lambda d: d["layer_connections"].append(
        copy.deepcopy(d["layer_connections"][0])), "layer_connections[2]",
     "duplicate connection from layer 0 to layer 1"),
    ("from_layer_id", setter(f"{C0}.from_layer_id", 2), f"{C0}.from_layer_id",
     "invalid from_layer_id: 2"),
    ("to_layer_id", setter(f"{C1}.to_layer_id", 7), f"{C1}.to_layer_id",
     "invalid to_layer_id: 7"),
    ("max_weight", setter(f"{P0}.synapse_params.max_weight", 0.0),
     f"{P0}.synapse_params.max_weight", "max_weight must be strictly positive"),
    ("stp_tau", setter(f"{P0}.stp_params.Depression.tau", 0.0),
     f"{P0}.stp_params.Depression.tau", "stp_params: tau must be strictly positive"),
    ("stp_p0", setter(f"{C1}.projection_params.stp_params.Facilitation.p0", 1.5),
     f"{C1}.projection_params.stp_params.Facilitation.p0", "stp_params: p0 must be in [0, 1]"),
    ("stp_factor", setter(f"{P0}.stp_params.Depression.factor", 0.0),
     f"{P0}.stp_params.Depression.factor", "stp_params: factor must be in (0, 1]"),
    ("long_term_tau_before", setter(f"{P0}.long_term_stdp_params",
                                    dict(STDP, tau_pre_before_post=0.0)),
     f"{P0}.long_term_stdp_params.tau_pre_before_post",
     "tau_pre_before_post must be strictly positive"),
    ("long_term_tau_after", setter(f"{P0}.long_term_stdp_params",
                                   dict(STDP, tau_pre_after_post=-1.0)),
     f"{P0}.long_term_stdp_params.tau_pre_after_post",
     "tau_pre_after_post must be strictly positive"),
    ("short_term_tau_before", setter(f"{P0}.short_term_stdp_params.stdp_params",
                                     dict(STDP, tau_pre_before_post=0.0)),
     f"{P0}.short_term_stdp_params.stdp_params.tau_pre_before_post",
     "tau_pre_before_post must be strictly positive"),
    ("short_term_tau_after", setter(f"{P0}.short_term_stdp_params.stdp_params",
                                    dict(STDP, tau_pre_after_post=0.0)),
     f"{P0}.short_term_stdp_params.stdp_params.tau_pre_after_post",
     "tau_pre_after_post must be strictly positive"),
    ("short_term_tau", setter(f"{P0}.short_term_stdp_params.tau", 0.0),
     f"{P0}.short_term_stdp_params.tau", "short_term_stdp_params: tau must be strictly positive"),
    ("connect_density", setter(f"{C0}.connect_density", 1.5), f"{C0}.connect_density",
     "connect_density must be in (0, 1]"),
    ("connect_width", setter(f"{C0}.connect_width", 2.5), f"{C0}.connect_width",
     "connect_width must be in (0, 2]"),
    ("constant_weight", setter(f"{C1}.initial_syn_weight", {"Constant": -0.1}),
     f"{C1}.initial_syn_weight.Constant",
     "Parameter for constant initial synaptic weight must not be negative"),
    ("randomized_weight", setter(f"{C0}.initial_syn_weight", {"Randomized": 0}),
     f"{C0}.initial_syn_weight.Randomized",
     "Parameter for randomized initial synaptic weight must be strictly positive"),
    # The largest f32 passes every ordered test, but not the draw's scaling.
    ("randomized_weight_finite", setter(f"{C0}.initial_syn_weight",
                                        {"Randomized": 3.4028234663852886e38}),
     f"{C0}.initial_syn_weight.Randomized",
     "Parameter for randomized initial synaptic weight must be finite"),
    ("delay_scale", setter(f"{C0}.conduction_delay_position_distance_scale_factor", -1.0),
     f"{C0}.conduction_delay_position_distance_scale_factor",
     "conduction_delay_position_distance_scale_factor must not be negative"),
    ("num_neurons_sum", lambda d: [layer.update(num_neurons=2**63) for layer in d["layers"]],
     "layers[1].num_neurons",
     f"the layers' num_neurons must not add up to more than {2**64 - 1}"),
    ("delay_add_on", setter(f"{C0}.conduction_delay_add_on", 252), f"{C0}.conduction_delay_add_on",
     "conduction delay of connection from layer 0 to layer 1 can exceed 255 ticks"),
    # Only the farthest candidate of a narrow window exceeds the limit: the
    # walk over the neurons decides, not the quick bound.
    # With 3 target neurons no window of width 0.3 reaches beyond its own
    # position, with 101 one reaches 0.15 away: 0.15 * 1700 + 1 > 255. The
    # quick bound lets both through; the walk over the neurons decides.
    ("delay_distance_short", narrow_window(3), None, None),
    ("delay_distance", narrow_window(101), f"{C0}.conduction_delay_add_on",
     "conduction delay of connection from layer 0 to layer 1 can exceed 255 ticks"),
    ("num_threads", lambda d: d["technical_params"].update(num_threads=first_cpu_count_refused()),
     "technical_params.num_threads", "num_threads must not be greater than number of available CPUs"),
]


def creation_error(text, create=synaptor.create_from_json):
    try:
        create(text, 0)
    except ValueError as e:
        return str(e)
    return None


def value_at(doc, path):
    for part in path_items(path):
        doc = doc[part]
    return doc


@pytest.mark.parametrize("mutate,path,message", [c[1:] for c in VALIDATION_CASES],
                         ids=[c[0] for c in VALIDATION_CASES])
def test_a_broken_rule_is_refused_by_creation_and_by_the_checker(mutate, path, message):
    doc = copy.deepcopy(BASE)
    mutate(doc)
    text = json.dumps(doc, indent=2)
    refused = creation_error(text)
    errors = [f for f in check_text(text) if f.severity == "error"]
    if message is None:  # a control case at the edge of a rule
        assert refused is None and errors == []
        return
    assert refused == CREATION_PREFIX + message
    at_path = [f for f in errors if f.path == path]
    assert [f.message.startswith(message) for f in at_path] == [True], errors
    # The position is that of the offending value in the text.
    finding, lines = at_path[0], text.splitlines()
    expected = json.dumps(value_at(doc, path), indent=2).splitlines()[0]
    assert lines[finding.line - 1][finding.column - 1:].startswith(expected)


def test_the_base_document_is_accepted_by_both():
    text = json.dumps(BASE, indent=2)
    assert creation_error(text) is None
    assert check_text(text) == []


def test_every_broken_rule_is_reported_not_only_the_first():
    doc = copy.deepcopy(BASE)
    doc["layers"][0]["neuron_params"]["tau_membrane"] = 0.0
    doc["layer_connections"][1]["connect_density"] = 0.0
    doc["layer_connections"][0]["to_layer_id"] = 9
    found = {f.path for f in check_text(json.dumps(doc)) if f.severity == "error"}
    assert found == {f"{N0}.tau_membrane", f"{C1}.connect_density", f"{C0}.to_layer_id"}


def test_rules_are_checked_in_yaml_at_the_line_of_the_value():
    text = (ROOT / "examples" / "network.yaml").read_text()
    assert creation_error(text, synaptor.create_from_yaml) is None
    broken = re.sub(r"connect_density: [0-9.]+", "connect_density: 1.5", text, count=1)
    assert creation_error(broken, synaptor.create_from_yaml) == (
        CREATION_PREFIX + "connect_density must be in (0, 1]")
    [finding] = [f for f in check_text(broken, "yaml") if f.severity == "error"]
    line = broken.splitlines()[finding.line - 1]
    assert line[finding.column - 1:] == "1.5"
    assert finding.path.endswith("].connect_density")
    assert finding.message == "connect_density must be in (0, 1] (found connect_density 1.5)"


def messages_in_source(path, call):
    """The leading string literal of every `call(...)` message in a source file."""
    source = (ROOT / path).read_text()
    return set(re.findall(call + r'\(\s*(?:[*\w]+\s*,\s*)?(?:std::string\()?"((?:[^"\\]|\\.)*)"',
                          source))


def test_every_validation_rule_of_creation_has_a_case():
    rules = messages_in_source("src/params/validate_params.cpp", "reject")
    assert len(rules) >= 25  # the parse still finds the rules
    covered = [c[3] for c in VALIDATION_CASES if c[3]]
    missing = [rule for rule in rules if not any(m.startswith(rule) for m in covered)]
    assert missing == [], "rules of creation without a checker case: " + repr(missing)


def replace_once(old, new):
    def mutate(text):
        assert old in text
        return text.replace(old, new, 1)
    return mutate


BASE_JSON = json.dumps(BASE, indent=2)

# Reader rules: (id, change of the JSON text of BASE, path of the checker's
# error, start of the message creation gives).
READER_CASES = [
    ("missing_field", replace_once('"tau_membrane": 10.0,', ""), N0,
     "missing field `tau_membrane`"),
    ("duplicate_field", replace_once('"connect_width": 1.0,', '"connect_width": 1.0, "connect_width": 1.0,'),
     f"{C0}.connect_width", "duplicate field `connect_width`"),
    ("type", replace_once('"refractory_period": 2,', '"refractory_period": 2.5,'),
     f"{N0}.refractory_period", "invalid type: floating point `2.5`, expected u8"),
    ("value", replace_once('"refractory_period": 2,', '"refractory_period": 256,'),
     f"{N0}.refractory_period", "invalid value: integer `256`, expected u8"),
    ("f32_underflow", replace_once('"tau_membrane": 10.0,', '"tau_membrane": 1e-400,'),
     f"{N0}.tau_membrane", "invalid value: floating point `1e-400`, expected f32"),
    ("unknown_variant", replace_once('"Depression"', '"Depresion"'),
     f"{P0}.stp_params", "unknown variant `Depresion`"),
    ("unit_variant", replace_once('"Randomized": 0.6', '"Randomized": null'),
     f"{C0}.initial_syn_weight.Randomized", "invalid type: unit value, expected f32"),
    ("bare_payload_variant", lambda t: re.sub(r'"stp_params": \{\s*"Depression": \{[^}]*\}\s*\}',
                                               '"stp_params": "Depression"', t, count=1),
     f"{P0}.stp_params", "invalid type: unit variant, expected struct variant StpParams::Depression"),
    ("empty_map_variant", lambda t: re.sub(r'"stp_params": \{\s*"Depression": \{[^}]*\}\s*\}',
                                            '"stp_params": {}', t, count=1),
     f"{P0}.stp_params", "invalid type: empty map, expected enum StpParams"),
    ("two_key_variant", replace_once('"initial_syn_weight": {', '"initial_syn_weight": {"Constant": 1,'),
     f"{C0}.initial_syn_weight", "invalid type: map with more than one key, expected enum"),
    ("short_array", lambda t: t.replace('"technical_params": {', '"technical_params": [1], "x": {'),
     "technical_params", "invalid length 1, expected struct TechnicalParams with 3 elements"),
]


@pytest.mark.parametrize("mutate,path,message", [c[1:] for c in READER_CASES],
                         ids=[c[0] for c in READER_CASES])
def test_a_document_the_reader_refuses_is_an_error_of_the_checker(mutate, path, message):
    text = mutate(BASE_JSON)
    refused = creation_error(text)
    assert refused is not None and refused.startswith(message), refused
    errors = [f for f in check_text(text) if f.severity == "error"]
    assert path in [f.path for f in errors], errors


def alias_bomb(aliases):
    # Each alias repeats 1024 events: the sequence's start and end and 1022 scalars.
    return (BASE_YAML + "unknown_key_with_aliases:\n  a: &a [" + ", ".join(["0"] * 1022) + "]\n"
            "  b: [" + ", ".join(["*a"] * aliases) + "]\n")


BASE_YAML = (ROOT / "examples" / "network.yaml").read_text()


def test_alias_expansion_is_bounded_as_the_reader_bounds_it():
    # The example's own aliases add fewer events than one alias of the bomb,
    # so the bound falls between these counts; both must put it at the same one.
    outcomes = []
    for aliases in range(2**22 // 1024 - 2, 2**22 // 1024 + 2):
        text = alias_bomb(aliases)
        outcomes.append((creation_error(text, synaptor.create_from_yaml) is not None,
                         any(f.severity == "error" and "alias expansion limit" in f.message
                             for f in check_text(text, "yaml"))))
    assert all(by_creation == by_checker for by_creation, by_checker in outcomes), outcomes
    assert {by_creation for by_creation, _ in outcomes} == {False, True}


def test_reader_messages_of_the_sources_have_cases():
    messages = messages_in_source("src/params/schema_mapper.cpp", "fail")
    messages.discard("invalid type: ")  # covered by the specific descriptions below
    messages.discard("invalid value: ")
    covered = [c[3] for c in READER_CASES] + ["alias expansion limit exceeded"]
    missing = [m for m in messages if not any(c.startswith(m) or m.startswith(c) for c in covered)]
    assert len(messages) >= 8 and missing == [], missing


@pytest.mark.parametrize("text,value", [
    ("0x1F", 31), ("0o17", 15), ("-0", 0), ("+7", 7),
    ("1e5", None), ("yes", None), ("1_000", None), ("'5'", None), ("!!str 5", None), ("! 5", None),
    (str(2**64), None), ("0x", None),
])
def test_integers_are_read_by_the_reader_s_rules(text, value):
    doc = BASE_YAML.replace("t_cutoff_coincidence: 30", f"t_cutoff_coincidence: {text}", 1)
    assert doc != BASE_YAML
    refused = creation_error(doc, synaptor.create_from_yaml)
    errors = [f.path for f in check_text(doc, "yaml") if f.severity == "error"]
    assert (refused is None) == (value is not None) == (errors == []), (refused, errors)


@pytest.mark.parametrize("text,accepted", [
    ("1e1", True), (".5", True), ("5.", True), ("-.inf", False), (".NaN", True), ("-.nan", False),
    ("1e-30", True), ("1e-50", False), ("1e-400", False), ("1e400", False), ("inf", False), ("1_0.0", False),
    ("99999999999999999999", True), ("0x10", True), ("0xFFFFFFFFFFFFFFFFFF", False),
])
def test_floats_are_read_by_the_reader_s_rules(text, accepted):
    doc = BASE_YAML.replace("tau_threshold: 20.0", f"tau_threshold: {text}", 1)
    assert doc != BASE_YAML
    refused = creation_error(doc, synaptor.create_from_yaml)
    errors = [f.path for f in check_text(doc, "yaml") if f.severity == "error"]
    assert (refused is None) == accepted == (errors == []), (refused, errors)


@pytest.mark.parametrize("old,new,accepted", [
    ("pin_threads: false", "pin_threads: false\n  num_threads: !unknown_tag ~", True),
    ("pin_threads: false", "pin_threads: !unknown_tag", False),
    ("pin_threads: false", "pin_threads: false\n  num_threads: !unknown_tag 1", True),
])
def test_tags_that_name_no_variant(old, new, accepted):
    text = BASE_YAML.replace(old, new, 1)
    assert text != BASE_YAML
    assert (creation_error(text, synaptor.create_from_yaml) is None) == accepted
    assert accepted == (not any(f.severity == "error" for f in check_text(text, "yaml")))


@pytest.mark.parametrize("extra", ["? [a, b]\n: 1\n", "{x: 1}: 2\n", "1: 2\n", "null: 3\n"])
def test_keys_that_name_no_field_are_ignored_by_both(extra):
    assert creation_error(BASE_YAML + extra, synaptor.create_from_yaml) is None
    [finding] = check_text(BASE_YAML + extra, "yaml")
    assert finding.severity == "warning" and "ignored" in finding.message


def test_json_without_nan_or_infinity():
    text = BASE_JSON.replace('"tau_membrane": 10.0', '"tau_membrane": NaN', 1)
    assert creation_error(text) is not None
    with pytest.raises(ValueError, match="NaN is not a JSON number") as e:
        check_text(text)
    assert text.splitlines()[e.value.line - 1][e.value.column - 1:].startswith("NaN")


def run_checker(*args, code=""):
    """`python -m synaptor_tools check ...`, after running `code` in the process."""
    script = f"{code}\nimport sys, runpy\nsys.argv = ['synaptor_tools', 'check', *{list(map(str, args))!r}]\n" \
             "runpy.run_module('synaptor_tools', run_name='__main__')\n"
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)


def test_errors_only_keeps_exactly_what_creation_refuses(tmp_path):
    # Accepted documents with warnings, and one refused document per rule.
    accepted = copy.deepcopy(BASE)
    accepted["layer_connections"][0]["long_term_stdp_param"] = STDP  # misspelt: ignored
    accepted["technical_params"]["num_threads"] = 0
    texts = {"accepted-warnings.json": json.dumps(accepted),
             "accepted.yaml": BASE_YAML}
    for name, mutate, _, message in VALIDATION_CASES:
        doc = copy.deepcopy(BASE)
        mutate(doc)
        texts[f"{name}.json"] = json.dumps(doc, indent=2)
    for name, mutate, _, _ in READER_CASES:
        texts[f"reader-{name}.json"] = mutate(BASE_JSON)
    for name, text in texts.items():
        (tmp_path / name).write_text(text)
    assert any(f.severity == "warning" for f in check_text(texts["accepted-warnings.json"]))
    done = run_checker("--errors-only", *sorted(tmp_path.iterdir()))
    assert done.returncode == 1, done.stderr
    for name, text in texts.items():
        create = synaptor.create_from_yaml if name.endswith(".yaml") else synaptor.create_from_json
        accepted_by_creation = creation_error(text, create) is None
        reported = [line for line in done.stdout.splitlines()
                    if line.startswith(f"{tmp_path / name}:")]
        assert reported, name
        assert (reported == [f"{tmp_path / name}: ok"]) == accepted_by_creation, (name, reported)
        assert all(": error: " in line for line in reported if not line.endswith(": ok"))


def test_cpus_option_checks_num_threads_for_another_machine(tmp_path):
    doc = copy.deepcopy(BASE)
    doc["technical_params"]["num_threads"] = 64
    (tmp_path / "big.json").write_text(json.dumps(doc))
    assert run_checker("--cpus", "64", tmp_path / "big.json").returncode == 0
    done = run_checker("--cpus", "63", tmp_path / "big.json")
    assert done.returncode == 1
    assert "num_threads must not be greater than number of available CPUs" in done.stdout


WITHOUT_PYYAML = "import sys\nsys.modules['yaml'] = None  # as after a plain pip install"


def test_without_pyyaml_yaml_exits_2_with_one_line_and_json_is_checked(tmp_path):
    (tmp_path / "net.yaml").write_text(BASE_YAML)
    (tmp_path / "net.json").write_text(BASE_JSON.replace('"connect_density": 0.5',
                                                         '"connect_density": 1.5'))
    done = run_checker(tmp_path / "net.yaml", code=WITHOUT_PYYAML)
    assert done.returncode == 2
    assert done.stderr.splitlines() == [
        f"{tmp_path / 'net.yaml'}: cannot check: reading YAML documents needs PyYAML: "
        "pip install 'synaptor[tools]' (or pip install pyyaml)"]
    done = run_checker(tmp_path / "net.json", code=WITHOUT_PYYAML)
    assert done.returncode == 1 and "connect_density must be in (0, 1]" in done.stdout
    assert done.stderr == ""
    # Both at once: the JSON file is still checked, the status says a file was not.
    done = run_checker(tmp_path / "net.json", tmp_path / "net.yaml", code=WITHOUT_PYYAML)
    assert done.returncode == 2 and "connect_density" in done.stdout


@pytest.mark.parametrize("seed", [1, 2])
def test_random_edits_are_refused_by_both_or_by_neither(seed):
    # Values swapped for odd ones, characters dropped, inserted or copied:
    # creation and the checker (errors, or a text it cannot read) agree on each.
    rng = random.Random(seed)
    values = ["0", "-1", "1.5", "1e400", "0x10", "null", "true", "[]", "{}", '"x"', ".nan", "-0",
              "256", "!Constant 1", "NoStp", "~", "1e-50", str(2**64)]
    outcomes = set()
    for _ in range(150):
        fmt = rng.choice(["json", "yaml"])
        text = BASE_JSON if fmt == "json" else BASE_YAML
        for _ in range(rng.randint(1, 2)):
            if rng.random() < 0.5:
                spot = rng.choice(list(re.finditer(r"(?<=: )[^,\n}\]]+", text)))
                text = text[:spot.start()] + rng.choice(values) + text[spot.end():]
            else:
                i, j = rng.randrange(len(text)), rng.randrange(len(text))
                text = text[:i] + rng.choice(["", "{", "]", ":", ",", "-", "\n", "&a ", "*a",
                                              text[j:j + 20]]) + text[i + 1:]
        create = synaptor.create_from_json if fmt == "json" else synaptor.create_from_yaml
        refused = creation_error(text, create) is not None
        try:
            reported = any(f.severity == "error" for f in check_text(text, fmt))
        except ValueError:  # DocumentSyntaxError: not YAML or JSON at all
            reported = True
        assert refused == reported, (refused, text)
        outcomes.add(refused)
    assert outcomes == {False, True}
