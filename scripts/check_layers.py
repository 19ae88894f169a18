#!/usr/bin/env python3
"""Checks that the directories of src/ include one another in one direction only.

Each directory of src/ has a layer; a file may include headers of its own
directory and of lower layers, never of a higher layer nor of another directory
on the same layer. Only src/lib includes Python.h. A new directory must be
given its layer here before it may be used.

Usage: check_layers.py [SRC_DIR]   (default: the src/ next to this script)
Prints every violation and exits with status 1 when there is one.
"""

import pathlib
import re
import sys

# Lowest first; directories on one line are peers.
LAYERS = [
    ["util"],
    ["random", "batched_ring_buffer", "params"],
    ["plasticity_modulation"],
    ["partition"],
    ["instance"],
    ["distributed"],
    ["lib"],
]
PYTHON_DIRS = {"lib"}

RANK = {d: rank for rank, dirs in enumerate(LAYERS) for d in dirs}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".cc", ".c"}


def violations(src: pathlib.Path):
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        rel = path.relative_to(src)
        if len(rel.parts) < 2:
            continue  # files directly under src/ belong to no layer
        own = rel.parts[0]
        if own not in RANK:
            yield f"{rel}: directory '{own}' has no layer in scripts/check_layers.py"
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for lineno, line in enumerate(text.splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            delim, target = m.groups()
            if target == "Python.h" or target.startswith("Python/"):
                if own not in PYTHON_DIRS:
                    yield f"{rel}:{lineno}: includes {target}; only src/lib may"
                continue
            if delim != '"' or "/" not in target:
                continue
            top = target.split("/", 1)[0]
            if top == own:
                continue
            if top not in RANK:
                if (src / top).is_dir():
                    yield f"{rel}:{lineno}: includes {target} from '{top}', which has no layer"
                continue
            if RANK[top] >= RANK[own]:
                kind = "a peer" if RANK[top] == RANK[own] else "a higher"
                yield f"{rel}:{lineno}: '{own}' includes {target} from {kind} layer '{top}'"


def main(argv):
    src = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "src"
    found = list(violations(src))
    for v in found:
        print(f"check_layers: {v}", file=sys.stderr)
    if found:
        order = " < ".join(", ".join(dirs) for dirs in LAYERS)
        print(f"check_layers: the order is {order}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
