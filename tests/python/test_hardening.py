"""Hostile and unusual conditions: a byte order mark, neuron counts beyond the
id range, layers too large for memory, a tight address space, a forked child."""

import os
import subprocess
import sys
import textwrap

import pytest

import synaptor
from conftest import CHAIN_YAML, document, layer, connection, tick_empty

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code, timeout):
    """Runs `code` in a fresh interpreter that imports the same module."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(synaptor.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir, HERE, env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def test_yaml_byte_order_mark_is_accepted_and_positions_stay():
    plain = synaptor.create_from_yaml(CHAIN_YAML.lstrip(), 0)
    marked = synaptor.create_from_yaml("\ufeff" + CHAIN_YAML.lstrip(), 0)
    assert tick_empty(plain, True).state_snapshot.weights == tick_empty(marked, True).state_snapshot.weights
    broken = CHAIN_YAML.lstrip().replace("refractory_period: 2", "refractory_period: 2.5")
    with pytest.raises(ValueError) as without_mark:
        synaptor.create_from_yaml(broken, 0)
    with pytest.raises(ValueError) as with_mark:
        synaptor.create_from_yaml("\ufeff" + broken, 0)
    assert str(with_mark.value) == str(without_mark.value)
    assert str(with_mark.value).endswith(" at line 5 column 26")


def test_neuron_counts_beyond_the_id_range_are_refused():
    doc = document([layer(2**63), layer(2**63)])
    with pytest.raises(ValueError) as info:
        synaptor.create_from_json(doc, 0)
    assert str(info.value) == (
        "invalid instance parameters, the layers' num_neurons must not add up to more than "
        "18446744073709551615"
    )


def test_layer_too_large_for_memory_fails_creation_with_memory_error():
    for num_neurons in (2**40, 2**62):
        doc = document([layer(2), layer(num_neurons)], [connection(0, 1, density=1e-9)])
        with pytest.raises(MemoryError):
            synaptor.create_from_json(doc, 0)


PRESSURE = """
    import resource, sys
    import synaptor
    from conftest import document, layer, connection
    doc = document([layer(2000), layer(2000)], [connection(0, 1, density=0.9)], num_threads=2)
    with open("/proc/self/statm") as f:
        base = int(f.read().split()[0]) * 4096
    limit = base + {extra_mib} * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    outcomes = set()
    for _ in range(4):
        try:
            inst = synaptor.create_from_json(doc, 1)
            for _ in range(3):
                inst.tick([0], [], [], 0.0, False)
            outcomes.add("ok")
        except BaseException as failure:
            outcomes.add(type(failure).__name__)
        inst = None
    print(" ".join(sorted(outcomes)))
"""


@pytest.mark.parametrize("extra_mib", [5, 12, 40])
def test_tight_address_space_gives_exceptions_never_an_abort(extra_mib):
    # The network needs about 90 MiB; the address space may grow by far less.
    done = run_python(PRESSURE.format(extra_mib=extra_mib), timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "ABORT" not in done.stderr
    outcomes = done.stdout.split()
    assert outcomes and set(outcomes) <= {"ok", "MemoryError", "PanicException"}, outcomes


FORKED = """
    import os, sys
    import synaptor
    from conftest import document, layer
    inst = synaptor.create_from_json(document([layer(4)], num_threads=2), 0)
    inst.tick([0], [], [], 0.0, False)
    pid = os.fork()
    if pid == 0:
        code = 0
        for call in (lambda: inst.tick([], [], [], 0.0, False), lambda: inst.tick_until(5),
                     lambda: inst.synapses(), lambda: inst.set_weights([])):
            try:
                call()
                code = 2
            except BaseException as failure:
                if type(failure).__name__ != "PanicException" or "forked child" not in str(failure):
                    code = 3
        del inst
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), inst.tick([], [], [], 0.0, False).t)
"""


def test_forked_child_gets_a_clear_error_instead_of_hanging():
    done = run_python(FORKED, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["0", "1"]
