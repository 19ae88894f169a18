"""The example scripts run and report what they simulated."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *args, cwd=None):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True,
                          text=True, timeout=300, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_run_network_summary_and_raster(tmp_path):
    raster = tmp_path / "raster.png"
    out = run("run_network.py", "--ticks", "300", "--raster", str(raster))
    assert re.search(r"^network: 2400 neurons in layers of 300, 2000, 100; \d+ synapses$", out, re.M)
    spikes = int(re.search(r"^spikes: (\d+) ", out, re.M).group(1))
    assert spikes > 300
    assert re.search(r"^synaptic transmissions: [1-9]\d* \(", out, re.M)
    if importlib.util.find_spec("matplotlib") is not None:
        assert raster.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "skipped" in out and not raster.exists()


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_run_network_is_independent_of_thread_count(tmp_path):
    def summary(threads):
        out = run("run_network.py", "--ticks", "200", "--threads", str(threads), "--raster", "",
                  cwd=tmp_path)
        return [line for line in out.splitlines() if "wall" not in line]

    one = summary(1)
    assert not any("raster" in line for line in one)
    assert one == summary(2)
    assert list(tmp_path.iterdir()) == []


def test_closed_loop_learns_from_reward(tmp_path):
    plot = tmp_path / "curve.png"
    out = run("closed_loop.py", "--trials", "80", "--plot", str(plot))
    curves = {}
    for label in ("rewarded", "control, reward 0"):
        line = re.search(rf"^{re.escape(label)}: ([\d. ]+)  \(total (\d+)/80\)$", out, re.M)
        assert line, out
        curves[label] = [float(x) for x in line.group(1).split()]
    rewarded, control = curves["rewarded"], curves["control, reward 0"]
    assert len(rewarded) == len(control) == 4
    # Reward changes behaviour: the late blocks beat both the first block and
    # the control run, which never changes its weights.
    assert rewarded[-1] >= 0.9 and rewarded[-1] > rewarded[0] + 0.2
    assert sum(rewarded[1:]) > sum(control[1:]) + 0.8
    assert re.search(r"^with reward the fraction of right answers went from ", out, re.M)
    if importlib.util.find_spec("matplotlib") is not None:
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
