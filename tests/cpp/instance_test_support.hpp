// Small whole networks for the tests of instances and their workers: layers
// of neurons with fixed parameters, all-to-all connections, the thread count
// and a plastic network, built from plain parameters as a user document would
// give them.
#pragma once

#include <cstdint>
#include <vector>

#include "params/params.hpp"

namespace synaptor::test {

inline LayerParams layer(std::uint64_t num_neurons) {
    LayerParams params;
    params.num_neurons = num_neurons;
    params.neuron_params.tau_membrane = 10.0f;
    params.neuron_params.refractory_period = 2;
    params.neuron_params.reset_voltage = 0.0f;
    params.neuron_params.t_cutoff_coincidence = 20;
    params.neuron_params.adaptation_threshold = 1.2f;
    params.neuron_params.tau_threshold = 5.0f;
    params.neuron_params.voltage_floor = -1.0f;
    return params;
}

/// Every neuron of `from` onto every neuron of `to`, constant weight, delay 1.
inline LayerConnectionParams full_connection(std::uint64_t from, std::uint64_t to, float weight) {
    LayerConnectionParams params;
    params.from_layer_id = from;
    params.to_layer_id = to;
    params.projection_params.synapse_params.max_weight = 4.0f;
    params.projection_params.synapse_params.weight_scale_factor = 1.0f;
    params.connect_density = 1.0;
    params.connect_width = 2.0;
    params.initial_syn_weight.kind = InitialSynWeight::Kind::Constant;
    params.initial_syn_weight.value = weight;
    return params;
}

inline InstanceParams network(std::vector<std::uint64_t> layer_sizes, std::uint64_t num_threads) {
    InstanceParams params;
    for (std::uint64_t n : layer_sizes) params.layers.push_back(layer(n));
    params.technical_params.num_threads = num_threads;
    return params;
}

/// Makes a connection from layer `from` to layer `to` with constant `weight`.
using ConnectionMaker = LayerConnectionParams (*)(std::uint64_t from, std::uint64_t to,
                                                  float weight);

/// Dopamine modulation with a short trace, delay, flush and conflation, so
/// that a few hundred ticks exercise every step of it.
inline PlasticityModulationParams test_modulation() {
    PlasticityModulationParams modulation;
    modulation.tau_eligibility_trace = 8.0f;
    modulation.eligibility_trace_delay = 2;
    modulation.dopamine_modulation_factor = 0.5f;
    modulation.t_cutoff_eligibility_trace = 30;
    modulation.dopamine_flush_period = 6;
    modulation.dopamine_conflation_period = 3;
    return modulation;
}

/// A network with every kind of plasticity (depression, facilitation, long-
/// and short-term STDP, dopamine with reward), random weights and delays of
/// several ticks, recurrence and inhibition, so that results depend on spike
/// timing and on the exact order of float operations. `params` holds the
/// three layers; `connect` makes each connection (its synapse parameters and
/// self-innervation) before its weights, delays and plasticity are set.
inline InstanceParams plastic_network(InstanceParams params, ConnectionMaker connect,
                                      std::uint64_t seed) {
    params.layers[1].plasticity_modulation_params = test_modulation();

    StdpParams stdp;
    stdp.factor_pre_before_post = 0.05f;
    stdp.tau_pre_before_post = 6.0f;
    stdp.factor_pre_after_post = -0.04f;
    stdp.tau_pre_after_post = 7.0f;

    LayerConnectionParams input = connect(0, 1, 0.0f);
    input.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.7f};
    input.connect_width = 0.7;
    input.connect_density = 0.8;
    input.conduction_delay_max_random_part = 3;
    input.conduction_delay_position_distance_scale_factor = 4.0;
    input.projection_params.long_term_stdp_params = stdp;
    params.layer_connections.push_back(input);

    LayerConnectionParams recurrent = connect(1, 1, 0.0f);
    recurrent.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.5f};
    recurrent.connect_density = 0.5;
    recurrent.conduction_delay_add_on = 1;
    recurrent.projection_params.stp_params = {StpParams::Kind::Depression, 5.0f, 0.8f, 0.5f};
    recurrent.projection_params.short_term_stdp_params = ShortTermStdpParams{stdp, 4.0f};
    params.layer_connections.push_back(recurrent);

    LayerConnectionParams output = connect(1, 2, 0.0f);
    output.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.9f};
    output.conduction_delay_max_random_part = 2;
    output.projection_params.stp_params = {StpParams::Kind::Facilitation, 4.0f, 0.3f, 0.4f};
    output.projection_params.long_term_stdp_params = stdp;
    params.layer_connections.push_back(output);

    LayerConnectionParams inhibition = connect(2, 1, 0.3f);
    inhibition.projection_params.synapse_params.weight_scale_factor = -1.0f;
    params.layer_connections.push_back(inhibition);

    params.technical_params.seed_override = seed;
    return params;
}

}  // namespace synaptor::test
