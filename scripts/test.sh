#!/usr/bin/env bash
# Runs every test: the include-layer and formatting checks, the C++ unit tests
# (plain and under AddressSanitizer with UndefinedBehaviorSanitizer), then the
# Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

python3 scripts/check_layers.py
scripts/check_format.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYNAPTOR_WERROR=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSYNAPTOR_WERROR=ON \
    -DSYNAPTOR_SANITIZE=address >/dev/null
cmake --build build/asan -j "$jobs" --target synaptor_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

python3 -m pip install -q .
python3 -m pytest -q tests/python
