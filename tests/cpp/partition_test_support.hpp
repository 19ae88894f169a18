// Hand-built partition layers for the tests of the tick code: a run of neurons
// and explicit synapse lists per pre-synaptic neuron, without the seeded
// construction.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "float_bits.hpp"
#include "partition/partition.hpp"
#include "partition/stp_state.hpp"

namespace synaptor::test {

struct TestSynapse {
    std::uint64_t post_index = 0;
    float weight = 0.0f;
    std::uint8_t conduction_delay = 1;
};

inline NeuronParams test_neuron_params() {
    NeuronParams p;
    p.tau_membrane = 10.0f;
    p.refractory_period = 2;
    p.reset_voltage = 0.0f;
    p.t_cutoff_coincidence = 20;
    p.adaptation_threshold = 1.5f;
    p.tau_threshold = 20.0f;
    p.voltage_floor = -1.0f;
    return p;
}

inline ProjectionParams static_projection(float max_weight = 2.0f,
                                          float weight_scale_factor = 1.0f) {
    ProjectionParams p;
    p.synapse_params.max_weight = max_weight;
    p.synapse_params.weight_scale_factor = weight_scale_factor;
    return p;
}

inline StdpParams test_stdp_params() {
    StdpParams p;
    p.factor_pre_before_post = 0.1f;
    p.tau_pre_before_post = 20.0f;
    p.factor_pre_after_post = -0.12f;
    p.tau_pre_after_post = 20.0f;
    return p;
}

/// Short-term plasticity of `kind` with p0 and factor 0.5, tau 10.
inline StpParams test_stp_params(StpParams::Kind kind) {
    StpParams p;
    p.kind = kind;
    p.p0 = 0.5f;
    p.factor = 0.5f;
    p.tau = 10.0f;
    return p;
}

inline PartitionLayer make_layer(std::uint64_t first_nid, std::size_t num_neurons,
                                 const NeuronParams& params = test_neuron_params()) {
    PartitionLayer layer;
    layer.first_nid = first_nid;
    layer.neuron_params = params;
    layer.neurons.resize(num_neurons);
    return layer;
}

/// Adds the group of `pre_syn_nid`; synapses are stored by ascending post_index.
inline void add_group(PartitionLayer& layer, std::uint64_t pre_syn_nid,
                      const ProjectionParams& projection, std::vector<TestSynapse> synapses) {
    std::sort(synapses.begin(), synapses.end(), [](const TestSynapse& a, const TestSynapse& b) {
        return a.post_index < b.post_index;
    });
    std::vector<Synapse> records;
    for (const TestSynapse& s : synapses) {
        Synapse synapse;
        synapse.post_index = s.post_index;
        synapse.weight = s.weight;
        synapse.conduction_delay = s.conduction_delay;
        records.push_back(synapse);
    }
    layer.pre_syn_groups.insert(pre_syn_nid,
                                make_pre_synaptic_group(projection, std::move(records)));
}

/// Sorts the groups and sizes the delivery ring to the largest delay + 1, as
/// construction does.
inline void finish_layer(PartitionLayer& layer) {
    layer.pre_syn_groups.sort_by_key();
    std::size_t max_delay = 0;
    for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
        for (const Synapse& s : layer.pre_syn_groups.group_at(g).synapses) {
            max_delay = std::max<std::size_t>(max_delay, s.conduction_delay);
        }
    }
    layer.delivery_buffer = BatchedRingBuffer<SynapticEvent>(max_delay + 1);
}

/// The inputs held for neuron i of the layer since it last fired, oldest
/// first (including any that left its window but were not yet forgotten).
inline std::vector<RecentInput> window(const PartitionLayer& layer, std::size_t i) {
    const std::optional<std::uint64_t> last_spike_t = layer.neurons.at(i).last_spike_t;
    return layer.coincidence_windows.inputs_of(static_cast<std::uint32_t>(i),
                                               last_spike_t ? *last_spike_t + 1 : 0);
}

inline SynapseRef synapse_at(PartitionLayer& layer, std::uint64_t pre_syn_nid, std::size_t k) {
    return layer.pre_syn_groups.find(pre_syn_nid)->synapses.at(k);
}

}  // namespace synaptor::test
