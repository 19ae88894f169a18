#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment that holds nothing
# else (no build tools, no optional extras) and checks that it imports, runs
# a tick, carries its version and its type stubs, and that the checker runs.
# Usage: scripts/check_wheel.sh WHEEL [python]
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$1
python=${2:-python3}
venv=build/wheel-check-venv

# A wheel to install anywhere: auditwheel must find it consistent with a
# manylinux tag on its own (no library outside the allowed system set).
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
shown=$("$python" -m auditwheel show "$wheel" 2>&1 | tr '\n' ' ')
tag=$(echo "$shown" | sed -n 's/.*consistent with the following platform tag: *"\([^"]*\)".*/\1/p')
case "$tag" in
    manylinux*) echo "wheel check: auditwheel show: $tag" ;;
    *) echo "wheel check: auditwheel show gives '${tag:-?}', not a manylinux tag: $shown" >&2; exit 1 ;;
esac

rm -rf "$venv"
"$python" -m venv --without-pip "$venv"
"$python" -m pip --python "$venv/bin/python" install -q --no-deps --no-index "$wheel"
cd "$venv"  # away from the source tree, so that only the installed files are found
bin/python - <<'PY'
import importlib.metadata
import importlib.util
import json
import pathlib
import sys
import sysconfig

import synaptor
import synaptor_tools

doc = {"layers": [{"num_neurons": 3, "neuron_params": {
           "tau_membrane": 10.0, "refractory_period": 2, "reset_voltage": 0.0,
           "t_cutoff_coincidence": 20, "adaptation_threshold": 1.0, "tau_threshold": 50.0,
           "voltage_floor": 0.0}}],
       "layer_connections": [], "technical_params": {"num_threads": 1, "pin_threads": False}}
inst = synaptor.create_from_json(json.dumps(doc), 0)
assert inst.tick([1], [], [], 0.0, False).spiking_nids == [1]
assert synaptor_tools.__version__ == importlib.metadata.version("synaptor")
dist = importlib.metadata.distribution("synaptor")
assert dist.metadata["License"] == "MIT", dist.metadata["License"]
assert any(f.name == "LICENSE" for f in dist.files), "the wheel carries no LICENSE"
assert synaptor_tools.check_text(json.dumps(doc)) == []
site = pathlib.Path(sysconfig.get_paths()["purelib"])
assert (site / "synaptor-stubs" / "__init__.pyi").is_file()
assert (site / "synaptor_tools" / "py.typed").is_file()
assert (site / "synaptor_tools" / "classes.pyi").is_file()
assert synaptor_tools.Instance is type(inst)
# Without PyYAML (not a dependency) a YAML document ends the checker with one
# line and status 2; JSON needs nothing more.
import subprocess
pathlib.Path("net.yaml").write_text("layers: []\n")
pathlib.Path("net.json").write_text(json.dumps(doc))
check = pathlib.Path(sys.executable).parent / "synaptor-check"
done = subprocess.run([str(check), "net.yaml"], capture_output=True, text=True)
assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
assert "pip install" in done.stderr
done = subprocess.run([str(check), "net.json"], capture_output=True, text=True)
assert (done.returncode, done.stdout) == (0, "net.json: ok\n"), done.stdout + done.stderr
# The module loads its thread-local anchor from its own directory.
assert (pathlib.Path(synaptor.__file__).parent / "_synaptor_tls_anchor.so").is_file()
# The companion module for MPI, when the wheel was built with it, imports
# without mpi4py (needed only to create an instance) and finds the machine's MPI.
if importlib.util.find_spec("synaptor_mpi") is not None:
    import synaptor_mpi
    assert synaptor_mpi.Instance.__name__ == "Instance" and "create_from_yaml" in synaptor_mpi.__all__
    assert synaptor_mpi.Stimulus is not synaptor.Stimulus
print(f"wheel check: synaptor {synaptor_tools.__version__} imports and ticks in a fresh "
      f"environment (Python {sys.version.split()[0]})")
PY
