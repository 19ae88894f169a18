"""Networks and helpers of the tests run under mpiexec with 1, 2 or 3 ranks.

Every rank runs the same test functions in the same order. A test body runs
through `collective`, which gathers every rank's verdict, so that an assertion
that fails on one rank fails the test on every rank instead of leaving the
others waiting in a collective call.
"""

import copy
import json
import resource
import traceback

import pytest

mpi4py = pytest.importorskip("mpi4py")
from mpi4py import MPI  # noqa: E402

NEURON = {
    "tau_membrane": 10.0,
    "refractory_period": 2,
    "reset_voltage": 0.0,
    "t_cutoff_coincidence": 20,
    "adaptation_threshold": 1.0,
    "tau_threshold": 50.0,
    "voltage_floor": 0.0,
}
STDP = {
    "factor_pre_before_post": 0.02,
    "tau_pre_before_post": 20.0,
    "factor_pre_after_post": -0.015,
    "tau_pre_after_post": 20.0,
}
MODULATION = {
    "tau_eligibility_trace": 100.0,
    "eligibility_trace_delay": 5,
    "dopamine_modulation_factor": 1.0,
    "t_cutoff_eligibility_trace": 200,
    "dopamine_flush_period": 20,
    "dopamine_conflation_period": 5,
}
DEPRESSION = {"Depression": {"tau": 30.0, "p0": 0.9, "factor": 0.3}}
FACILITATION = {"Facilitation": {"tau": 20.0, "p0": 0.3, "factor": 0.2}}

# Layer sizes: 13 input neurons, 29 hidden, 7 output; odd sizes give the
# partitions unequal runs for every partition count of the tests.
SIZES = (13, 29, 7)


def layer(num_neurons, **extra):
    return {"num_neurons": num_neurons, "neuron_params": dict(NEURON), **extra}


def connection(src, dst, stp="NoStp", weight=0.7, **projection):
    conn = {
        "from_layer_id": src,
        "to_layer_id": dst,
        "projection_params": {
            "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
            "stp_params": copy.deepcopy(stp),
            **copy.deepcopy(projection),
        },
        "connect_density": 0.6,
        "connect_width": 0.7,
        "initial_syn_weight": {"Randomized": weight},
        "conduction_delay_max_random_part": 4,
        "conduction_delay_position_distance_scale_factor": 3.0,
        "conduction_delay_add_on": 0,
        "allow_self_innervation": False,
    }
    return conn


def network(kind, num_threads):
    """A three-layer network with recurrence whose every connection carries
    the plasticity `kind`; JSON text."""
    projection = {}
    stp = "NoStp"
    last_layer = {}
    if kind == "depression":
        stp = DEPRESSION
    elif kind == "facilitation":
        stp = FACILITATION
    elif kind == "long_term_stdp":
        projection = {"long_term_stdp_params": STDP}
    elif kind == "short_term_stdp":
        projection = {"short_term_stdp_params": {"stdp_params": STDP, "tau": 10.0}}
    elif kind == "dopamine":
        projection = {"long_term_stdp_params": STDP}
        last_layer = {"plasticity_modulation_params": dict(MODULATION)}
    elif kind != "none":
        raise ValueError(kind)
    layers = [layer(SIZES[0]), layer(SIZES[1]), layer(SIZES[2], **last_layer)]
    connections = [
        connection(0, 1, stp, 0.8, **projection),
        connection(1, 1, stp, 0.35, **projection),
        connection(1, 2, stp, 0.9, **projection),
        connection(2, 1, stp, 0.3, **projection),
    ]
    return json.dumps(
        {
            "layers": layers,
            "layer_connections": connections,
            "technical_params": {"num_threads": num_threads, "pin_threads": False, "seed_override": 77},
        }
    )


KINDS = ("none", "depression", "facilitation", "long_term_stdp", "short_term_stdp", "dopamine")


@pytest.fixture
def comm():
    return MPI.COMM_WORLD


def collective(comm, body):
    """Runs `body()` on every rank and fails on every rank when it failed on any."""
    try:
        body()
        verdict = None
    except BaseException as failure:  # noqa: BLE001 - every failure must reach the others
        verdict = f"{type(failure).__name__}: {failure}\n{traceback.format_exc()}"
    verdicts = comm.allgather(verdict)
    failed = [(rank, text) for rank, text in enumerate(verdicts) if text is not None]
    if failed:
        pytest.fail("\n".join(f"rank {rank}: {text}" for rank, text in failed), pytrace=False)


def feed_until_no_room(comm, inst, feed, headroom):
    """Calls `feed(inst)` with the last rank's address space capped at what
    it uses plus `headroom` bytes until it raises MemoryError, and returns
    the tick it raised at, which every rank must share; the cap is lifted
    again."""
    capped = comm.rank == comm.size - 1
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if capped:
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + headroom, hard))
    raised = None
    try:
        for _ in range(64):
            feed(inst)
    except MemoryError:
        raised = inst.get_t()
    finally:
        if capped:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert raised is not None and raised > 2
    assert comm.allgather(raised) == [raised] * comm.size
    return raised
