// The exponential decay over a whole number of ticks, expf(-dt / tau), as every
// part of the simulation computes it: neuron membranes and thresholds,
// short-term plasticity, short-term STDP weights and eligibility traces.
#pragma once

#include <cmath>
#include <cstdint>

namespace synaptor {

/// The exponent of the decay over `dt` ticks with time constant `tau`: the
/// tick difference is converted to f32 as an unsigned value, negated, then
/// divided.
inline float decay_exponent(std::uint64_t dt, float tau) { return -static_cast<float>(dt) / tau; }

/// Whether expf(x) is +0.0 for certain: below -104 the exponential is under
/// half the least subnormal float. False for NaN.
inline bool underflows_to_zero(float x) { return x < -104.0f; }

/// The decay factor over `dt` ticks with time constant `tau`. Where expf would
/// return +0.0 through the library's underflow path (which also sets errno),
/// the same +0.0 is returned without the call.
inline float decay_factor(std::uint64_t dt, float tau) {
    const float x = decay_exponent(dt, tau);
    if (underflows_to_zero(x)) return 0.0f;
    return expf(x);
}

}  // namespace synaptor
