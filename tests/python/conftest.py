"""Small parameter documents and helpers shared by the Python tests."""

import copy
import json

import signal

import pytest

import synaptor

NEURON_PARAMS = {
    "tau_membrane": 10.0,
    "refractory_period": 2,
    "reset_voltage": 0.0,
    "t_cutoff_coincidence": 20,
    "adaptation_threshold": 1.0,
    "tau_threshold": 50.0,
    "voltage_floor": 0.0,
}


def layer(num_neurons, **extra):
    return {"num_neurons": num_neurons, "neuron_params": dict(NEURON_PARAMS), **extra}


def connection(from_layer_id, to_layer_id, weight=1.0, density=1.0, **extra):
    conn = {
        "from_layer_id": from_layer_id,
        "to_layer_id": to_layer_id,
        "projection_params": {
            "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
            "stp_params": "NoStp",
        },
        "connect_density": density,
        "connect_width": 2.0,
        "initial_syn_weight": {"Constant": weight},
        "conduction_delay_max_random_part": 0,
        "conduction_delay_position_distance_scale_factor": 0.0,
        "conduction_delay_add_on": 0,
        "allow_self_innervation": True,
    }
    conn.update(extra)
    return conn


def document(layers, connections=(), num_threads=1, seed_override=None):
    """A JSON parameter document."""
    technical = {"num_threads": num_threads, "pin_threads": False}
    if seed_override is not None:
        technical["seed_override"] = seed_override
    return json.dumps(
        {
            "layers": copy.deepcopy(list(layers)),
            "layer_connections": copy.deepcopy(list(connections)),
            "technical_params": technical,
        }
    )


# Layers of 3, 5 and 2 neurons: nids 0..2, 3..7, 8..9; output channels 0, 1 are
# nids 8, 9. Constant weight 1 and delay 1 make every spike of layer 0 fire all
# of layer 1 one tick later, and that fires layer 2 a tick after.
CHAIN_JSON = document([layer(3), layer(5), layer(2)], [connection(0, 1), connection(1, 2)])

CHAIN_YAML = """
layers:
  - num_neurons: 3
    neuron_params: &neuron
      tau_membrane: 10.0
      refractory_period: 2
      reset_voltage: 0.0
      t_cutoff_coincidence: 20
      adaptation_threshold: 1.0
      tau_threshold: 50.0
      voltage_floor: 0.0
  - {num_neurons: 5, neuron_params: *neuron}
  - {num_neurons: 2, neuron_params: *neuron}
layer_connections:
  - from_layer_id: 0
    to_layer_id: 1
    projection_params: &projection
      synapse_params: {max_weight: 1.0, weight_scale_factor: 1.0}
      stp_params: NoStp
    connect_density: 1.0
    connect_width: 2.0
    initial_syn_weight: !Constant 1.0
    conduction_delay_max_random_part: 0
    conduction_delay_position_distance_scale_factor: 0.0
    conduction_delay_add_on: 0
    allow_self_innervation: true
  - from_layer_id: 1
    to_layer_id: 2
    projection_params: *projection
    connect_density: 1.0
    connect_width: 2.0
    initial_syn_weight: !Constant 1.0
    conduction_delay_max_random_part: 0
    conduction_delay_position_distance_scale_factor: 0.0
    conduction_delay_add_on: 0
    allow_self_innervation: true
technical_params:
  num_threads: 1
  pin_threads: false
"""

# One unconnected layer: only forced and stimulated neurons spike.
def isolated_json(num_neurons, num_threads=1):
    return document([layer(num_neurons)], num_threads=num_threads)


def tick_empty(inst, snapshot=False):
    return inst.tick([], [], [], 0.0, snapshot)


@pytest.fixture
def chain():
    return synaptor.create_from_json(CHAIN_JSON, 0)


@pytest.fixture
def isolated():
    return synaptor.create_from_json(isolated_json(1000), 7)


def rich_document(num_threads, sizes=(40, 60, 20)):
    """Every mechanism at once: random weights and delays, depression,
    facilitation, long- and short-term STDP, recurrence and dopamine."""
    stdp = {
        "factor_pre_before_post": 0.02,
        "tau_pre_before_post": 20.0,
        "factor_pre_after_post": -0.015,
        "tau_pre_after_post": 20.0,
    }
    modulation = {
        "tau_eligibility_trace": 100.0,
        "eligibility_trace_delay": 5,
        "dopamine_modulation_factor": 1.0,
        "t_cutoff_eligibility_trace": 200,
        "dopamine_flush_period": 50,
        "dopamine_conflation_period": 10,
    }

    def conn(src, dst, stp, weight, **projection):
        c = connection(
            src,
            dst,
            density=0.5,
            connect_width=0.6,
            initial_syn_weight={"Randomized": weight},
            conduction_delay_max_random_part=4,
            conduction_delay_position_distance_scale_factor=5.0,
            conduction_delay_add_on=0,
            allow_self_innervation=False,
        )
        c["projection_params"]["stp_params"] = stp
        c["projection_params"].update(projection)
        return c

    depression = {"Depression": {"tau": 30.0, "p0": 0.9, "factor": 0.3}}
    facilitation = {"Facilitation": {"tau": 20.0, "p0": 0.3, "factor": 0.2}}
    return document(
        [layer(sizes[0]), layer(sizes[1]), layer(sizes[2], plasticity_modulation_params=modulation)],
        [
            conn(0, 1, depression, 0.6, long_term_stdp_params=stdp),
            conn(1, 1, facilitation, 0.3, short_term_stdp_params={"stdp_params": stdp, "tau": 10.0}),
            conn(1, 2, "NoStp", 0.8, long_term_stdp_params=stdp),
        ],
        num_threads=num_threads,
        seed_override=1234,
    )


# Ctrl-C cannot reach a process that was started with SIGINT ignored (a
# background job of a shell without job control starts so, and Python then
# keeps ignoring it): the tests that send it are skipped there instead of
# waiting for a signal that never comes.
needs_sigint = pytest.mark.skipif(
    signal.getsignal(signal.SIGINT) is signal.SIG_IGN,
    reason="SIGINT is ignored in this process (started in the background without job control)")
