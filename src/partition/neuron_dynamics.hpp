// Dynamics of one leaky integrate-and-fire neuron with an adaptive threshold:
// lazy decay on input, firing with a refractory period, the coincidence
// window of recent inputs, and the voltage reported in snapshots. Operates on
// a Neuron of a partition layer, on that layer's worker thread.
#pragma once

#include <cstdint>
#include <optional>

#include "params/params.hpp"
#include "partition/decay_table.hpp"
#include "partition/partition.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {

namespace detail {

/// Integration with the two decay factors supplied by `decay(dt, tau)`.
template <class MembraneDecay, class ThresholdDecay>
inline bool integrate_with(Neuron& neuron, std::uint64_t t, float psp, const NeuronParams& params,
                           MembraneDecay&& membrane_decay, ThresholdDecay&& threshold_decay) {
    // A refractory neuron's last_update_t lies in the future: the input leaves
    // voltage and threshold alone.
    if (t < neuron.last_update_t) return false;
    const std::uint64_t dt = t - neuron.last_update_t;
    // The floor applies only when time has advanced; a NaN voltage is never
    // raised because the comparison is false.
    if (dt > 0 && neuron.voltage < params.voltage_floor) neuron.voltage = params.voltage_floor;
    const float e_m = membrane_decay(dt, params.tau_membrane);
    const float e_th = threshold_decay(dt, params.tau_threshold);
    neuron.voltage = neuron.voltage * e_m + psp;
    neuron.threshold = 1.0f + (neuron.threshold - 1.0f) * e_th;
    neuron.last_update_t = t;
    return neuron.voltage >= neuron.threshold;
}

}  // namespace detail

/// Integrates one input of value `psp` at tick t; true when the neuron reached
/// its threshold (false for NaN).
inline bool integrate(Neuron& neuron, std::uint64_t t, float psp, const NeuronParams& params) {
    return detail::integrate_with(neuron, t, psp, params, decay_factor, decay_factor);
}

/// The same, with memoised decays (bit-identical to the form above).
inline bool integrate(Neuron& neuron, std::uint64_t t, float psp, const NeuronParams& params,
                      const DecayTable& membrane, const DecayTable& threshold) {
    return detail::integrate_with(
        neuron, t, psp, params, [&](std::uint64_t dt, float tau) { return membrane.get(dt, tau); },
        [&](std::uint64_t dt, float tau) { return threshold.get(dt, tau); });
}

/// The same, for a caller that has built both tables for params' time
/// constants (it skips the per-call check that the table fits). Both tables
/// have one size, so a single comparison chooses between the two entries and
/// the two direct exponentials; the arithmetic is that of integrate_with.
inline bool integrate_prepared(Neuron& neuron, std::uint64_t t, float psp,
                               const NeuronParams& params, const DecayTable& membrane,
                               const DecayTable& threshold) {
    if (t < neuron.last_update_t) return false;
    const std::uint64_t dt = t - neuron.last_update_t;
    float voltage = neuron.voltage;
    if (dt > 0 && voltage < params.voltage_floor) voltage = params.voltage_floor;
    float e_m;
    float e_th;
    if (dt < DecayTable::kSize) [[likely]] {
        e_m = membrane.entry(dt);
        e_th = threshold.entry(dt);
    } else {
        e_m = decay_factor(dt, params.tau_membrane);
        e_th = decay_factor(dt, params.tau_threshold);
    }
    voltage = voltage * e_m + psp;
    const float threshold_value = 1.0f + (neuron.threshold - 1.0f) * e_th;
    neuron.voltage = voltage;
    neuron.threshold = threshold_value;
    neuron.last_update_t = t;
    return voltage >= threshold_value;
}

/// The oldest arrival tick still in the coincidence window at tick t: an
/// entry is stale when arrival_t + t_cutoff_coincidence (saturating) is
/// below t, which is exactly when arrival_t is below the value returned here:
/// with t <= cut-off no entry is stale, and a sum that saturates is never
/// below t.
inline std::uint64_t oldest_recent_arrival(std::uint64_t t, std::uint64_t t_cutoff_coincidence) {
    return t > t_cutoff_coincidence ? t - t_cutoff_coincidence : 0;
}

/// The first arrival tick of the inputs that a neuron firing at t pairs
/// with: those still in its window that arrived after its previous spike
/// (`previous_spike_t`, before this one), since firing then paired the
/// inputs up to it.
inline std::uint64_t first_unpaired_arrival(std::optional<std::uint64_t> previous_spike_t,
                                            std::uint64_t t, std::uint64_t t_cutoff_coincidence) {
    const std::uint64_t oldest = oldest_recent_arrival(t, t_cutoff_coincidence);
    if (previous_spike_t && *previous_spike_t >= oldest) {
        return saturating_add(*previous_spike_t, 1);
    }
    return oldest;
}

/// Spikes at tick t: resets voltage and threshold and starts the refractory
/// period. The caller then pairs the inputs that arrived since the neuron's
/// previous spike and are still in its window (pre-before-post plasticity).
void fire(Neuron& neuron, std::uint64_t t, const NeuronParams& params);

/// The voltage reported in a snapshot at tick t. The floor always applies (a
/// NaN voltage reports the floor); decay only when t is past last_update_t.
float snapshot_voltage(const Neuron& neuron, std::uint64_t t, const NeuronParams& params);

}  // namespace synaptor
