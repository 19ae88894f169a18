// Small whole networks for the tests of instances and their workers: layers
// of neurons with fixed parameters, all-to-all connections and the thread
// count, built from plain parameters as a user document would give them.
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

}  // namespace synaptor::test
