"""Command line: python -m synaptor_tools check FILE... | layout FILE | version."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import __version__
from .check import DocumentSyntaxError, check_text
from .document import layout, read_text


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m synaptor_tools",
                                     description="Tools for synaptor parameter documents.")
    parser.add_argument("--version", action="version", version=f"synaptor {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser(
        "check", help="report what creation refuses, unknown keys and suspicious values",
        description="Exit status: 0 nothing found, 1 findings, 2 a file could not be read "
                    "(missing, not YAML/JSON at all, or YAML without PyYAML installed).")
    check.add_argument("files", nargs="+", metavar="FILE", help=".yaml, .yml or .json document")
    check.add_argument("--errors-only", action="store_true",
                       help="report only what creation refuses (the reader or validation)")
    check.add_argument("--cpus", type=int, metavar="N",
                       help="check num_threads against N available CPUs instead of "
                            "this machine's")
    show = commands.add_parser("layout", help="print the layers' nid ranges and the channels")
    show.add_argument("file", metavar="FILE")
    args = parser.parse_args(argv)

    if args.command == "layout":
        try:
            net = layout(args.file)
        except (ImportError, OSError, ValueError) as e:
            print(f"{args.file}: cannot read: {e}", file=sys.stderr)
            return 2
        for layer in net.layers:
            last = layer.first_nid + layer.num_neurons - 1
            print(f"layer {layer.index}: {layer.num_neurons} neurons, nids {layer.first_nid}..{last}")
        print(f"input channels 0..{net.num_in_channels - 1} = nids 0..{net.num_in_channels - 1}")
        print(f"output channels 0..{net.num_out_channels - 1} = nids "
              f"{net.out_offset}..{net.num_neurons - 1}")
        return 0

    status = 0
    for name in args.files:
        try:
            text, fmt = read_text(name if name.endswith((".yaml", ".yml", ".json"))
                                  else open(name).read())
            findings = check_text(text, fmt, available_cpus=args.cpus)
        except ImportError as e:
            # YAML needs PyYAML, which a plain install of the wheel lacks.
            print(f"{name}: cannot check: {e}", file=sys.stderr)
            status = 2
            continue
        except OSError as e:
            print(f"{name}: cannot read: {e.strerror}", file=sys.stderr)
            status = 2
            continue
        except (DocumentSyntaxError, ValueError) as e:
            line, column = getattr(e, "line", 1), getattr(e, "column", 1)
            print(f"{name}:{line}:{column}: error: not a readable document: {e}", file=sys.stderr)
            status = 2
            continue
        if args.errors_only:
            findings = [f for f in findings if f.severity == "error"]
        for finding in findings:
            print(finding.format(name))
        if findings:
            status = max(status, 1)
        else:
            print(f"{name}: ok")
    return status


def check_main() -> int:
    """The `synaptor-check FILE...` command."""
    return main(["check", *sys.argv[1:]])


if __name__ == "__main__":
    sys.exit(main())
