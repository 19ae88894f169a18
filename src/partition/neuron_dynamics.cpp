#include "partition/neuron_dynamics.hpp"

namespace synaptor {

void fire(Neuron& neuron, std::uint64_t t, const NeuronParams& params) {
    neuron.last_spike_t = t;
    // No decay at firing: last_update_t moves to the end of the refractory
    // period, and the first input from then on decays the reset state from there.
    neuron.last_update_t = saturating_add(t, params.refractory_period);
    neuron.voltage = params.reset_voltage;
    neuron.threshold = params.adaptation_threshold;  // set to, not raised by
}

float snapshot_voltage(const Neuron& neuron, std::uint64_t t, const NeuronParams& params) {
    // Written so that a NaN voltage yields the floor. A voltage equal to the
    // floor (including -0.0 against a floor of +0.0) is reported as stored.
    float v = neuron.voltage >= params.voltage_floor ? neuron.voltage : params.voltage_floor;
    if (t > neuron.last_update_t)
        v = v * decay_factor(t - neuron.last_update_t, params.tau_membrane);
    return v;
}

}  // namespace synaptor
