"""The interleaved comparison of builds: runs every build, and tells when digests differ."""

import json
import pathlib
import runpy
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "bench" / "compare_builds.py"


def script_function(name):
    # Run as a module, not as the main program: its definitions, no runs.
    return runpy.run_path(str(SCRIPT))[name]


def test_two_builds_of_the_same_module_agree(tmp_path):
    # Two empty directories both leave the installed module in use: the same
    # code, so the digests must agree and the exit status is 0.
    builds = [tmp_path / "a", tmp_path / "b"]
    for build in builds:
        build.mkdir()
    run_file = tmp_path / "short.run.json"
    run_file.write_text(json.dumps({"warmup_ticks": 2, "ticks": 20, "chunk_ticks": 10,
                                    "non_coherent_stimulation_rate": 0.02, "seed": 3}))
    result = subprocess.run(
        [sys.executable, str(SCRIPT), str(ROOT / "examples" / "network.yaml"), *map(str, builds),
         "--run-file", str(run_file), "--threads", "1", "--rounds", "2"],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    rows = [line for line in lines if line.startswith(str(tmp_path))]
    assert len(rows) == 2
    # Each row names one spike digest and one full digest, the same in both.
    assert rows[0].split("spike_digest")[1] == rows[1].split("spike_digest")[1]
    assert "DIGESTS DIFFER" not in result.stdout


def test_differing_digests_are_named():
    differing_digests = script_function("differing_digests")
    same = {"a": [{"spike_digest": "1", "digest": None}], "b": [{"spike_digest": "1", "digest": None}]}
    assert differing_digests(same) == []
    spikes_differ = {"a": [{"spike_digest": "1", "digest": "x"}],
                     "b": [{"spike_digest": "1", "digest": "x"}, {"spike_digest": "2", "digest": "x"}]}
    assert differing_digests(spikes_differ) == ["spike_digest"]
    state_differs = {"a": [{"spike_digest": "1", "digest": "x"}], "b": [{"spike_digest": "1", "digest": "y"}]}
    assert differing_digests(state_differs) == ["digest"]


def test_a_missing_build_is_refused(tmp_path):
    result = subprocess.run(
        [sys.executable, str(SCRIPT), str(ROOT / "examples" / "network.yaml"), str(tmp_path / "none")],
        capture_output=True, text=True)
    assert result.returncode == 2
    assert "is not a directory" in result.stderr
