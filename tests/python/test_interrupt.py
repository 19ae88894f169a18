"""Ctrl-C stops a long batch between two ticks and leaves the instance usable."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import needs_sigint

CHILD = textwrap.dedent("""
    import sys
    import synaptor
    from conftest import rich_document

    method = sys.argv[1]
    doc = rich_document(1)
    inst = synaptor.create_from_json(doc, 11)
    twin = synaptor.create_from_json(doc, 11)
    for i in (inst, twin):
        i.non_coherent_stimulation_rate = 0.02
        i.reward_rate = 0.5
    print("ready", flush=True)
    try:
        getattr(inst, method)(10**15)
    except KeyboardInterrupt:
        pass
    else:
        sys.exit("not interrupted")
    t = inst.get_t()
    assert 0 < t < 10**15, t
    # Every tick before t is complete: the twin run to t is in the same state.
    twin.tick_until_ignore_output(t)
    a = inst.tick([], [], [], 0.0, True)
    b = twin.tick([], [], [], 0.0, True)
    assert a.t == b.t == t
    sa, sb = a.state_snapshot, b.state_snapshot
    assert sa.membrane_voltages == sb.membrane_voltages
    assert sa.weights == sb.weights
    # ... and it ticks on.
    batch = inst.tick_until(t + 20)
    assert inst.get_t() == t + 20 and batch.neuron_spikes_ts[0] >= t + 1
    print("interrupted at", t, flush=True)
""")


@needs_sigint
@pytest.mark.parametrize("method", ["tick_until", "tick_until_ignore_output"])
def test_sigint_stops_a_batch_between_ticks(method, tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    child = subprocess.Popen([sys.executable, str(script), method], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    assert out.startswith("interrupted at ")
