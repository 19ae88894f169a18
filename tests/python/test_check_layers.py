"""The include-layer check: the tree passes, and each kind of violation fails."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "check_layers.py"


def run(src):
    return subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True, text=True)


def test_tree_passes():
    result = run(ROOT / "src")
    assert result.returncode == 0, result.stderr


def write(src, rel, text):
    path = src / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


@pytest.mark.parametrize(
    "rel, text, message",
    [
        ("params/a.hpp", '#include "partition/x.hpp"\n', "from a higher layer 'partition'"),
        ("partition/a.cpp", '#include "lib/x.hpp"\n', "from a higher layer 'lib'"),
        ("random/a.cpp", '#include "params/x.hpp"\n', "from a peer layer 'params'"),
        ("instance/a.cpp", "#include <Python.h>\n", "only src/lib may"),
        ("newdir/a.hpp", "", "has no layer"),
    ],
)
def test_violation_fails(tmp_path, rel, text, message):
    write(tmp_path, "util/u.hpp", "")
    write(tmp_path, "lib/ok.cpp", '#include <Python.h>\n#include "instance/x.hpp"\n#include "util/u.hpp"\n')
    assert run(tmp_path).returncode == 0
    write(tmp_path, rel, text)
    result = run(tmp_path)
    assert result.returncode == 1
    assert message in result.stderr
