"""The companion package synaptor_tools: document checker, layout, arrays, runs, plots."""

import io
import json
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import synaptor
import synaptor_tools
from synaptor_tools import check_text, layout, run, spike_arrays

from conftest import CHAIN_JSON, CHAIN_YAML, rich_document

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "network.yaml"
REFERENCE = (ROOT / "docs" / "parameters.md").read_text()
DOC_YAML = re.search(r"```yaml\n(.*?)```", REFERENCE, re.S).group(1)
DOC_JSON = re.search(r"```json\n(.*?)```", REFERENCE, re.S).group(1)


def messages(findings):
    return [(f.severity, f.line, f.column, f.message) for f in findings]


@pytest.mark.parametrize("text", [EXAMPLE.read_text(), DOC_YAML, DOC_JSON, CHAIN_YAML, CHAIN_JSON,
                                  rich_document(1)],
                         ids=["example", "reference-yaml", "reference-json", "chain-yaml",
                              "chain-json", "rich-json"])
def test_checker_finds_nothing_in_good_documents(text):
    assert check_text(text) == []


def test_checker_reports_misspelt_keys_with_position_and_suggestion():
    text = DOC_YAML.replace("long_term_stdp_params:", "long_term_stdp_param:").replace(
        "tau_threshold: 20.0", "tau_treshold: 20.0")
    found = messages(check_text(text))
    lines = text.splitlines()
    stdp_line = next(i for i, line in enumerate(lines, 1) if "long_term_stdp_param:" in line)
    assert ("warning", stdp_line, 7, "unknown key `long_term_stdp_param` in ProjectionParams: "
            "it is ignored; did you mean `long_term_stdp_params`?") in found
    tau_line = next(i for i, line in enumerate(lines, 1) if "tau_treshold" in line)
    assert any(f[1:3] == (tau_line, 7) and "did you mean `tau_threshold`" in f[3] for f in found)
    # The misspelt required field is also missing; the error sits on its mapping.
    assert any(f[0] == "error" and f[3] == "missing field `tau_threshold` (NeuronParams)"
               for f in found)


def test_checker_reads_json_with_positions():
    text = DOC_JSON.replace('"seed_override"', '"seed_overide"').replace(
        '"connect_width"', '"connect_with"')
    found = check_text(text)
    lines = text.splitlines()
    seed = next(f for f in found if "seed_overide" in f.message)
    assert lines[seed.line - 1][seed.column - 1:].startswith('"seed_overide"')
    assert "did you mean `seed_override`" in seed.message
    assert any("missing field `connect_width`" in f.message for f in found)


def test_checker_lists_every_missing_field_at_once():
    doc = json.loads(DOC_JSON)
    for key in ("tau_membrane", "voltage_floor"):
        del doc["layers"][0]["neuron_params"][key]
    del doc["technical_params"]["pin_threads"]
    found = [f.message for f in check_text(json.dumps(doc)) if f.severity == "error"]
    assert found == ["missing field `tau_membrane` (NeuronParams)",
                     "missing field `voltage_floor` (NeuronParams)",
                     "missing field `pin_threads` (TechnicalParams)"]


def test_checker_flags_values_that_validation_lets_through():
    text = (DOC_YAML.replace("tau_membrane: 10.0", "tau_membrane: .nan")
            .replace("tau_eligibility_trace: 100.0", "tau_eligibility_trace: .inf")
            .replace("num_threads: 1", "num_threads: 0")
            .replace("adaptation_threshold: 1.5", "adaptation_threshold: 0.5"))
    # All of it passes the module's validation ...
    synaptor.create_from_yaml(text.replace("num_threads: 0", "num_threads: 1"), 0)
    found = [(f.path, f.message) for f in check_text(text)]
    paths = [p for p, _ in found]
    assert "layers[0].neuron_params.tau_membrane" in paths
    assert "layers[1].plasticity_modulation_params.tau_eligibility_trace" in paths
    assert any(p == "technical_params.num_threads" and "no worker" in m for p, m in found)
    assert any("below the resting threshold" in m for _, m in found)
    assert all(f.severity == "warning" for f in check_text(text))


def test_checker_flags_dopamine_without_stdp_and_dead_connections():
    doc = json.loads(DOC_JSON)
    projection = doc["layer_connections"][0]["projection_params"]
    del projection["long_term_stdp_params"]
    projection["synapse_params"]["weight_scale_factor"] = 0.0
    found = [f.message for f in check_text(json.dumps(doc))]
    assert any("dopamine has nothing to act on" in m for m in found)
    assert any("never changes a voltage" in m for m in found)


@pytest.mark.parametrize("old,new,expected", [
    ("!Depression {", "!Depresion {", "unknown variant `Depresion`"),
    ("!Depression {tau: 50.0, p0: 0.9, factor: 0.2}",
     "{Depression: {tau: 50.0, p0: 0.9, factor: 0.2}}", "YAML writes it with a tag"),
    ("!Randomized 0.6", "Randomized", "`Randomized` needs a value"),
    ("refractory_period: 2 ", "refractory_period: 2.5 ", "expected u8"),
    ("pin_threads: false", "pin_threads: no", "expected a boolean"),
])
def test_checker_errors_match_what_the_reader_refuses(old, new, expected):
    assert old in DOC_YAML
    text = DOC_YAML.replace(old, new, 1)
    found = [f for f in check_text(text) if f.severity == "error"]
    assert any(expected in f.message for f in found), found
    with pytest.raises(ValueError):
        synaptor.create_from_yaml(text, 0)


def test_checker_command_exit_status(tmp_path):
    good = tmp_path / "good.yaml"
    good.write_text(DOC_YAML)
    bad = tmp_path / "bad.json"
    bad.write_text(DOC_JSON.replace('"connect_density"', '"connect_densty"'))
    broken = tmp_path / "broken.yaml"
    broken.write_text("layers: [\n")

    def check(*files):
        return subprocess.run([sys.executable, "-m", "synaptor_tools", "check", *map(str, files)],
                              capture_output=True, text=True, timeout=60)

    done = check(good)
    assert (done.returncode, done.stdout) == (0, f"{good}: ok\n")
    done = check(good, bad)
    assert done.returncode == 1
    assert re.search(rf"^{re.escape(str(bad))}:\d+:\d+: warning: unknown key `connect_densty`",
                     done.stdout, re.M)
    done = check(broken)
    assert done.returncode == 2 and "not a readable document" in done.stderr
    assert check(tmp_path / "missing.yaml").returncode == 2


def test_layout_from_yaml_json_and_dict():
    for source in (EXAMPLE, EXAMPLE.read_text(), str(EXAMPLE)):
        net = layout(source)
        assert net.sizes == [300, 2000, 100]
        assert [layer.nids for layer in net.layers] == [range(0, 300), range(300, 2300),
                                                        range(2300, 2400)]
        assert (net.num_in_channels, net.num_out_channels, net.out_offset) == (300, 100, 2300)
    net = layout(CHAIN_JSON)
    assert net.sizes == [3, 5, 2] and layout(json.loads(CHAIN_JSON)) == net
    assert [net.layer_of(n) for n in (0, 2, 3, 7, 8, 9)] == [0, 0, 1, 1, 2, 2]
    with pytest.raises(IndexError):
        net.layer_of(10)
    with pytest.raises(IndexError):
        net.out_channel_nid(2)


def test_layout_matches_the_module_channels():
    net = layout(CHAIN_YAML)
    inst = synaptor.create_from_yaml(CHAIN_YAML, 0)
    result = inst.tick([], [1], [], 0.0, False)
    assert result.spiking_nids == [net.out_channel_nid(1)]


def test_spike_arrays_and_layer_of():
    np = pytest.importorskip("numpy")
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    s = synaptor.Stimulus()
    s.in_channel_spikes_ts = [0, 5]
    s.in_channel_spikes_ids = [0, 2]
    inst.apply_stimulus(s)
    batch = inst.tick_until(10)
    arrays = spike_arrays(batch)
    assert arrays.neuron_spikes_ts.dtype == np.uint64
    assert arrays.neuron_spikes_ids.tolist() == batch.neuron_spikes_ids
    assert arrays.out_channel_spikes_ts.tolist() == batch.out_channel_spikes_ts
    assert arrays.synaptic_transmission_count == batch.synaptic_transmission_count
    per_layer = np.bincount(layout(CHAIN_JSON).layer_of(arrays.neuron_spikes_ids), minlength=3)
    assert per_layer.tolist() == [2, 10, 4]


def test_run_in_chunks_equals_one_batch_and_reports_progress():
    a = synaptor.create_from_json(rich_document(1), 5)
    b = synaptor.create_from_json(rich_document(1), 5)
    for inst in (a, b):
        inst.non_coherent_stimulation_rate = 0.02
    whole = a.tick_until(1000)
    out = io.StringIO()
    chunked = run(b, 1000, chunk=128, progress="plain", stream=out)
    assert chunked.neuron_spikes_ids == whole.neuron_spikes_ids
    assert chunked.neuron_spikes_ts == whole.neuron_spikes_ts
    assert chunked.out_channel_spikes_ids == whole.out_channel_spikes_ids
    assert chunked.synaptic_transmission_count == whole.synaptic_transmission_count
    assert "ticks 1000/1000 (100.0%)" in out.getvalue()
    assert run(b, 1500, chunk=200, progress=False, collect=False) is None
    assert b.get_t() == 1500
    with pytest.raises(ValueError):
        run(b, 2000, chunk=0)


def test_run_warns_about_a_stimulation_rate_above_one():
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    inst.non_coherent_stimulation_rate = 5.0
    with pytest.warns(UserWarning, match="non_coherent_stimulation_rate"):
        run(inst, 2, progress=False)
    inst.non_coherent_stimulation_rate = 0.5
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run(inst, 4, progress=False)


def test_raster_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    inst = synaptor.create_from_yaml(CHAIN_YAML, 0)
    inst.non_coherent_stimulation_rate = 0.2
    batch = inst.tick_until(50)
    path = tmp_path / "raster.png"
    ax = synaptor_tools.raster(batch, layout(CHAIN_YAML), path=path)
    assert path.read_bytes()[:4] == b"\x89PNG"
    assert ax.get_xlabel() == "tick"


def test_missing_optional_libraries_give_a_clear_message():
    code = ("import sys; sys.modules['matplotlib'] = None; sys.modules['numpy'] = None\n"
            "import synaptor_tools as t\n"
            "for f in (lambda: t.raster(None), lambda: t.spike_arrays(None)):\n"
            "    try: f()\n"
            "    except ImportError as e: print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60).stdout
    assert "plots need matplotlib: pip install 'synaptor[plot]'" in out
    assert "spike arrays need NumPy" in out


def test_checker_follows_the_reader_on_merge_keys_and_array_form():
    # YAML merge keys are not read: the merged fields are missing for the module too.
    merged = CHAIN_YAML.replace("  - {num_neurons: 5, neuron_params: *neuron}",
                                "  - num_neurons: 5\n    neuron_params:\n      <<: *neuron")
    with pytest.raises(ValueError, match="missing field `tau_membrane`"):
        synaptor.create_from_yaml(merged, 0)
    found = check_text(merged)
    assert "merge keys (`<<`) are not read" in found[0].message
    assert "missing field `tau_membrane` (NeuronParams)" in found[1].message
    # JSON structures written as arrays of their field values are read, and not reported.
    doc = json.loads(CHAIN_JSON)
    doc["layers"][0]["neuron_params"] = list(doc["layers"][0]["neuron_params"].values())
    doc["technical_params"] = [1, False, None]
    synaptor.create_from_json(json.dumps(doc), 0)
    assert check_text(json.dumps(doc)) == []


def test_run_stopped_by_a_signal_keeps_the_completed_chunks():
    import signal

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    inst = synaptor.create_from_json(rich_document(1), 5)
    inst.non_coherent_stimulation_rate = 0.02
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        inst.tick_until(1)  # the first tick waits for the network to be built
        signal.setitimer(signal.ITIMER_REAL, 1.0)
        result = run(inst, 10**12, chunk=10, progress=False, stop_on_interrupt=True)
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            run(inst, 10**12, chunk=100, progress=False)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert 1 < result.t_end <= inst.get_t() and (result.t_end - 1) % 10 == 0
    assert result.neuron_spikes_ts and max(result.neuron_spikes_ts) < result.t_end
    # The instance ticks on from where the interrupt left it.
    t = inst.get_t()
    assert run(inst, t + 10, progress=False).t_end == t + 10


def test_version_comes_from_the_package_metadata():
    import importlib.metadata

    assert synaptor_tools.__version__ == importlib.metadata.version("synaptor")
    assert re.fullmatch(r"\d+\.\d+\.\d+", synaptor_tools.__version__)
