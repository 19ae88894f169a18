"""Worker threads per process: without num_threads in the document every
process runs the CPUs it sees divided by the processes on its node, and a
node given more worker threads than CPUs is told so, once, with the fix."""

import json
import os
import warnings

from mpi4py import MPI

import synaptor_mpi
from conftest import collective, network


def node_facts(comm):
    node = comm.Split_type(MPI.COMM_TYPE_SHARED)
    try:
        return node.rank, node.size
    finally:
        node.Free()


def cpus():
    # The same count the module uses on this machine (no CPU quota here is
    # tighter than the affinity mask; a quota would only lower both sides alike).
    return len(os.sched_getaffinity(0))


def create(comm, text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        inst = synaptor_mpi.create_from_json(text, 3, comm)
    return inst, [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


def without_thread_count():
    doc = json.loads(network("none", 1))
    del doc["technical_params"]["num_threads"]
    return json.dumps(doc)


def test_unset_thread_count_shares_the_node(comm):
    def body():
        node_rank, node_size = node_facts(comm)
        per_rank = comm.allreduce(max(1, cpus() // node_size), op=MPI.MIN)
        inst, texts = create(comm, without_thread_count())
        try:
            assert inst.num_partitions == comm.size * per_rank
            crowded = node_size * per_rank > cpus()
            if node_rank == 0 and crowded:
                assert len(texts) == 1, texts
                assert f"{node_size} processes x {per_rank} worker threads" in texts[0]
                assert f"start at most {cpus()} processes on this node" in texts[0]
            else:
                assert texts == []
        finally:
            inst.close()

    collective(comm, body)


def test_a_document_thread_count_that_crowds_the_node_is_named(comm):
    def body():
        node_rank, node_size = node_facts(comm)
        threads = cpus()  # fits one process per node, crowds two or more
        inst, texts = create(comm, network("none", threads))
        try:
            assert inst.num_partitions == comm.size * threads
            if node_rank == 0 and node_size > 1:
                assert len(texts) == 1, texts
                assert f"{node_size} processes x {threads} worker threads" in texts[0]
                if node_size <= cpus():
                    fitting = max(1, cpus() // node_size)
                    assert f"set technical_params.num_threads to {fitting}" in texts[0]
            else:
                assert texts == []
        finally:
            inst.close()

    collective(comm, body)
