#!/usr/bin/env python3
"""Time per tick of the example network (examples/network.yaml, as in the
distributed guide's script) in one process or spread over the ranks of
`mpiexec`, with the thread count the module chooses unless --threads is given.

    python3 bench/mpi/example_ticks.py --single
    mpiexec -n 2 python3 bench/mpi/example_ticks.py

Prints, on rank 0, the best and median microseconds per tick over --rounds
batches of --ticks ticks each, and the partition count.
"""

import argparse
import json
import statistics
import sys
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--single", action="store_true", help="one process, module synaptor")
    parser.add_argument("--threads", type=int, help="technical_params.num_threads")
    parser.add_argument("--ticks", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    text = (ROOT / "examples" / "network.yaml").read_text()
    if args.threads is not None:
        import synaptor_tools

        doc = synaptor_tools.load_document(text)
        doc.setdefault("technical_params", {})["num_threads"] = args.threads
        text = json.dumps(doc)
        create = "create_from_json"
    else:
        create = "create_from_yaml"

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if args.single:
            import synaptor

            inst = getattr(synaptor, create)(text, 1)
            rank, ranks, partitions = 0, 1, None
        else:
            import synaptor_mpi

            inst = getattr(synaptor_mpi, create)(text, 1)
            rank, ranks, partitions = inst.rank, inst.num_ranks, inst.num_partitions
    inst.non_coherent_stimulation_rate = 0.01
    inst.tick_until_ignore_output(200)  # warm up
    per_tick = []
    for _ in range(args.rounds):
        start = time.perf_counter()
        inst.tick_until_ignore_output(inst.get_t() + args.ticks)
        per_tick.append((time.perf_counter() - start) / args.ticks * 1e6)
    if hasattr(inst, "close"):
        inst.close()
    if rank == 0:
        label = "one process" if args.single else f"mpiexec -n {ranks}"
        print(f"{label}: partitions {partitions if partitions else '-'}, "
              f"best {min(per_tick):.1f} us/tick, median {statistics.median(per_tick):.1f} us/tick"
              + "".join(f"\n  warning: {w.message}" for w in caught))
    return 0


if __name__ == "__main__":
    sys.exit(main())
