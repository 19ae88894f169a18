#include "partition/neuron_recording.hpp"

#include <algorithm>

#include "partition/neuron_dynamics.hpp"
#include "util/decay.hpp"

namespace synaptor {

float recorded_threshold(const Neuron& neuron, std::uint64_t t, const NeuronParams& params) {
    if (t <= neuron.last_update_t) return neuron.threshold;
    // The expression of integration, so that a recorded threshold equals the
    // one an input arriving at tick t would meet.
    return 1.0f +
           (neuron.threshold - 1.0f) * decay_factor(t - neuron.last_update_t, params.tau_threshold);
}

float recorded_value(const Neuron& neuron, RecordedVariable variable, std::uint64_t t,
                     const NeuronParams& params) {
    switch (variable) {
        case RecordedVariable::Voltage:
            return snapshot_voltage(neuron, t, params);
        case RecordedVariable::Threshold:
            return recorded_threshold(neuron, t, params);
        case RecordedVariable::Spike:
            return neuron.last_spike_t == t ? 1.0f : 0.0f;
        case RecordedVariable::Refractory:
            return t < neuron.last_update_t ? 1.0f : 0.0f;
    }
    return 0.0f;
}

RecordedValues sample_recorded_neurons(const Partition& partition, const RecordingPlan& plan,
                                       std::uint64_t t) {
    RecordedValues sample;
    const auto begin = plan.nids.begin();
    for (const PartitionLayer& layer : partition.layers) {
        if (layer.neurons.empty()) continue;
        // The plan is ascending, so a layer's run holds one contiguous range of it.
        const auto first = std::lower_bound(begin, plan.nids.end(), layer.first_nid);
        auto last = first;
        while (last != plan.nids.end() && layer.contains(*last)) ++last;
        if (first == last) continue;
        sample.runs.push_back(RecordedRun{static_cast<std::uint64_t>(first - begin),
                                          static_cast<std::uint64_t>(last - first)});
        for (auto it = first; it != last; ++it) {
            const Neuron& neuron = layer.neurons[*it - layer.first_nid];
            for (const RecordedVariable variable : plan.variables) {
                sample.values.push_back(recorded_value(neuron, variable, t, layer.neuron_params));
            }
        }
    }
    return sample;
}

std::uint64_t copy_recorded_weights(const Partition& partition, const SynapseRecordingPlan& plan,
                                    float* row) {
    for (const SynapseRecordingPart& part : plan.parts) {
        if (part.partition != &partition) continue;
        const std::size_t n = part.weights.size();
        for (std::size_t i = 0; i < n; ++i) row[part.columns[i]] = *part.weights[i];
        return n;
    }
    return 0;
}

}  // namespace synaptor
