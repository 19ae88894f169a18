#!/usr/bin/env bash
# Fails when a C++ file under src/, tests/ or bench/ is not formatted as
# .clang-format asks, naming each place; with --fix, reformats them in place.
# Runs the clang-format from PyPI at the version that the first line of
# .clang-format names (scripts/bootstrap.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."

want=$(sed -n '1s/^# clang-format \([0-9.]*\).*/\1/p' .clang-format)
have=$(python3 -c 'import importlib.metadata as m; print(m.version("clang-format"))' 2>/dev/null || true)
if [ -z "$want" ] || [ "$have" != "$want" ]; then
    echo "check_format: need clang-format ${want:-?} from PyPI (have ${have:-none}); run scripts/bootstrap.sh" >&2
    exit 1
fi

mapfile -t files < <(find src tests bench -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
run() {
    python3 -c 'import sys; from clang_format import clang_format; sys.argv[0] = "clang-format"; clang_format()' "$@"
}
if [ "${1:-}" = --fix ]; then
    run -i "${files[@]}"
else
    run --dry-run --Werror "${files[@]}"
fi
