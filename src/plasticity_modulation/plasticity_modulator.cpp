#include "plasticity_modulation/plasticity_modulator.hpp"

#include <utility>

#include "util/decay.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {

void PlasticityModulator::add_reward(float reward) {
    dopamine_accumulator = reward * params.dopamine_modulation_factor + dopamine_accumulator;
}

bool PlasticityModulator::process_tick(std::uint64_t t, DopamineFlush& flush) {
    if (t == next_conflation_t) {
        // A sample is taken also when nothing was rewarded: amounts of 0 keep
        // the sample ticks on their fixed grid.
        dopamine_samples.push_back(DopamineSample{t, dopamine_accumulator});
        next_conflation_t = saturating_add(next_conflation_t, params.dopamine_conflation_period);
        dopamine_accumulator = 0.0f;
    }
    if (t != next_flush_t) return false;
    next_flush_t = saturating_add(t, params.dopamine_flush_period);
    // A flush needs its oldest sample to decide which traces are stale. Only
    // parameters that creation rejects (a flush period of 0, or one that is not
    // a multiple of the conflation period) can bring a flush without samples;
    // such a flush is skipped and leaves the traces alone.
    if (dopamine_samples.empty()) return false;

    const std::uint64_t first_t = dopamine_samples.front().t;
    // Traces are queued in pairing order with one fixed delay, so the stale
    // ones are exactly a prefix of the queue.
    eligibility_traces.pop_front_while([&](std::uint64_t trace_t) {
        return saturating_add(trace_t, params.t_cutoff_eligibility_trace) < first_t;
    });
    // Swap rather than move: the caller's retained buffer becomes the empty
    // sample list, so neither side allocates once both have grown.
    flush.samples.clear();
    std::swap(flush.samples, dopamine_samples);
    flush.tau_eligibility_trace = params.tau_eligibility_trace;
    return true;
}

float dopamine_weight_change(const EligibilityTrace& trace, const DopamineFlush& flush) {
    float sum = 0.0f;
    for (const DopamineSample& sample : flush.samples) {
        if (sample.t < trace.t) continue;
        const float e = decay_factor(sample.t - trace.t, flush.tau_eligibility_trace);
        // (exponential * value) * amount, in this order.
        const float term = e * trace.value * sample.amount;
        sum = sum + term;
    }
    return sum;
}

}  // namespace synaptor
