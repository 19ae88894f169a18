"""The type stubs say what the runtime does: stubtest, a typed example, the class names."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import synaptor
import synaptor_tools

HERE = Path(__file__).resolve().parent
PATHS = os.pathsep.join([str(Path(synaptor.__file__).parent),
                         str(Path(synaptor_tools.__file__).parents[1])])


def run_mypy_tool(args, tmp_path):
    pytest.importorskip("mypy")
    # The module, the package and the stub package beside it, as this test imports them.
    env = dict(os.environ, PYTHONPATH=PATHS, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=600)


def test_stubtest_finds_the_stubs_true_to_the_runtime(tmp_path):
    done = run_mypy_tool(["mypy.stubtest", "synaptor", "synaptor_tools.classes",
                          "--allowlist", str(HERE / "stubtest_allowlist.txt"),
                          "--ignore-unused-allowlist"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_example_passes_mypy_where_the_runtime_works_and_only_there(tmp_path):
    pytest.importorskip("numpy")
    example = HERE / "typing_example.py"
    done = run_mypy_tool(["mypy", "--strict", "--warn-unused-ignores", "--follow-imports=silent",
                          str(example)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    ran = subprocess.run([sys.executable, str(example)], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=PATHS), timeout=120)
    assert (ran.returncode, ran.stdout) == (0, "ok\n"), ran.stderr


def test_the_result_classes_have_importable_names(chain):
    tick = chain.tick([0], [], [], 0.0, True)
    batch = chain.tick_until(5)
    synapses = chain.synapses()
    chain.record([0])
    chain.tick_until(6)
    for value, name in [(chain, "Instance"), (tick, "TickResult"),
                        (tick.state_snapshot, "StateSnapshot"), (batch, "BatchTickResult"),
                        (chain.take_recording(), "Recording"), (synapses, "Synapses"),
                        (synapses.weights, "RecordedArray")]:
        cls = getattr(synaptor_tools, name)
        assert type(value) is cls and cls.__module__ == "synaptor" and cls.__name__ == name
        assert not hasattr(synaptor, name)  # the module's attributes stay as they are
    assert synaptor.__all__ == ["create_from_yaml", "create_from_json", "Stimulus"]


def test_panic_exception_can_be_caught_by_name(chain):
    stimulus = synaptor.Stimulus()
    stimulus.in_channel_spikes_ts = [0]
    stimulus.in_channel_spikes_ids = [99]  # no such input channel
    chain.apply_stimulus(stimulus)
    with pytest.raises(synaptor_tools.PanicException) as caught:
        chain.tick_until(chain.get_t() + 2)
    assert type(caught.value).__module__ == "synaptor"
    assert issubclass(synaptor_tools.PanicException, BaseException)
    assert not issubclass(synaptor_tools.PanicException, Exception)


def test_document_tools_do_not_create_anything_until_a_class_is_asked_for():
    code = ("import sys, synaptor_tools as st\n"
            "st.check_text('{}')\n"
            "assert 'synaptor' not in sys.modules and 'synaptor_tools.classes' not in sys.modules\n"
            "assert st.Instance.__name__ == 'Instance' and 'Instance' in dir(st)\n"
            "try:\n    st.Instanse\nexcept AttributeError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=PATHS), timeout=60)
    assert done.stdout == "module 'synaptor_tools' has no attribute 'Instanse'\n", done.stderr


def allowlisted_methods():
    entries = [line.strip() for line in (HERE / "stubtest_allowlist.txt").read_text().splitlines()
               if line.strip() and not line.startswith("#")]
    prefix = "synaptor_tools.classes.Instance."
    return [entry[len(prefix):] for entry in entries if entry.startswith(prefix)]


def stub_parameters(cls_name, method):
    """(name, kind, default source) of a stub method's parameters after self."""
    tree = ast.parse((Path(synaptor_tools.__file__).parent / "classes.pyi").read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name)
    func = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method)
    args = func.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    out = [(a.arg, "positional", d and ast.unparse(d)) for a, d in zip(positional, defaults)]
    out += [(a.arg, "keyword", d and ast.unparse(d)) for a, d in zip(args.kwonlyargs,
                                                                         args.kw_defaults)]
    assert out[0][0] == "self"
    return out[1:]


def test_allowlisted_instance_methods_match_the_runtime_parameters():
    # What stubtest is told to skip for these methods is compared here.
    methods = allowlisted_methods()
    assert "tick" in methods and "tick_until" in methods
    for method in methods:
        runtime = inspect.signature(getattr(synaptor_tools.Instance, method))
        expected = [(p.name, "keyword" if p.kind is p.KEYWORD_ONLY else "positional",
                     None if p.default is p.empty else repr(p.default))
                    for p in runtime.parameters.values()]
        assert stub_parameters("Instance", method) == expected, method
