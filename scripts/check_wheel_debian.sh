#!/usr/bin/env bash
# Installs a built wheel into a minimal Debian system made with debootstrap
# (its own Python, C library and C++ runtime; nothing of this machine's
# Python) and runs the smallest workload there, whose digests must equal the
# ones on the build machine. Not part of the test command: it fetches a whole
# base system (about 2.5 minutes) and needs root.
#
#   scripts/check_wheel_debian.sh dist/synaptor-*.whl [suite] [dir]
#
# suite: a Debian release whose Python is the wheel's (default bookworm:
# Python 3.11, glibc 2.36); dir: where the system is made (default
# build/debian-SUITE, reused when present).
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(realpath "$1")
suite=${2:-bookworm}
root=$(realpath -m "${3:-build/debian-$suite}")

if [ ! -x "$root/usr/bin/python3" ]; then
    debootstrap --variant=minbase --include=python3,python3-venv "$suite" "$root" \
        http://deb.debian.org/debian >/dev/null
fi
rm -rf "$root/tmp/check" && mkdir -p "$root/tmp/check"
cp "$wheel" "$root/tmp/check/"
cp -r bench "$root/tmp/check/"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
chroot "$root" /bin/bash -c "
    set -euo pipefail
    cd /tmp/check
    python3 -m venv venv
    venv/bin/pip install -q --no-index ./$(basename "$wheel")
    venv/bin/python -c 'import platform, sys; print(\"python\", sys.version.split()[0], *platform.libc_ver())'
    venv/bin/python bench/run_workload.py bench/workloads/w1_tiny.yaml | grep digest"
