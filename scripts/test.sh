#!/usr/bin/env bash
# Runs every test: the include-layer and formatting checks, the C++ unit tests
# (plain and under AddressSanitizer with UndefinedBehaviorSanitizer), a short
# mutation fuzzing run of both document readers and of the state file reader
# under the same sanitizers, the
# tests of the worker threads and their messaging under ThreadSanitizer, the
# wheel (built, repaired to a manylinux tag, installed into a fresh
# environment), then the Python tests against that wheel, and the tests of
# synaptor_mpi under mpiexec with 1, 2 and 3 ranks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

python3 scripts/check_layers.py
scripts/check_format.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The MPI the bootstrap installed beside Python (mpicc, mpiexec, the library).
mpi_bin=$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYNAPTOR_WERROR=ON \
    -DSYNAPTOR_MPI="${SYNAPTOR_MPI:-AUTO}" -DMPI_C_COMPILER="$mpi_bin/mpicc" >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSYNAPTOR_WERROR=ON \
    -DSYNAPTOR_SANITIZE=address >/dev/null
cmake --build build/asan -j "$jobs" --target synaptor_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

# Fails on a crash, a sanitizer report, a leak, a hang or anything thrown by a
# reader; the offending input is left in build/asan/fuzz-failures.
cmake --build build/asan -j "$jobs" --target params_fuzz
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build/asan/tests/fuzz/params_fuzz "${SYNAPTOR_FUZZ_SECONDS:-90}" build/asan/fuzz-failures \
    tests/fuzz/corpus tests/cpp/data tests/cpp/data/broken
cmake --build build/asan -j "$jobs" --target state_fuzz
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build/asan/tests/fuzz/state_fuzz "${SYNAPTOR_STATE_FUZZ_SECONDS:-25}" build/asan/fuzz-failures

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYNAPTOR_WERROR=ON \
    -DSYNAPTOR_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target synaptor_thread_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/tests/cpp/synaptor_thread_tests

# One wheel build serves both: the wheel is checked on its own in a fresh
# environment, then installed here for the Python tests.
# The wheel is the one to install anywhere: without MPI (checked manylinux).
wheel=$(SYNAPTOR_MPI=OFF scripts/build_wheel.sh python3)
scripts/check_wheel.sh "$wheel" python3
python3 -m pip install -q --force-reinstall --no-deps "$wheel"
python3 -m pytest -q tests/python

# The module for networks spread over MPI processes, under 1, 2 and 3 ranks
# (oversubscribed on purpose), from the test build, since the wheel carries
# no MPI; `timeout` turns a hang into a failure.
mpi_path="$PWD/build/test/src"
if PYTHONPATH="$mpi_path" python3 -c 'import synaptor_mpi' >/dev/null 2>&1; then
    for ranks in 1 2 3; do
        echo "MPI tests with $ranks rank(s)"
        PYTHONPATH="$mpi_path:$PWD/python" timeout 900 "$mpi_bin/mpiexec" -n "$ranks" \
            python3 -m pytest -q -p no:cacheprovider tests/mpi
        timeout 300 "$mpi_bin/mpiexec" -n "$ranks" build/test/tests/cpp/synaptor_mpi_failure_tests
    done
elif [ "${SYNAPTOR_MPI:-AUTO}" = ON ]; then
    echo "synaptor_mpi was not built although SYNAPTOR_MPI=ON" >&2
    exit 1
else
    echo "MPI tests skipped: synaptor_mpi not built"
fi
