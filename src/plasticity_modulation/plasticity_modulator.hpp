// Dopamine modulation of one partition layer: rewards are conflated into
// dopamine samples, long-term STDP pairings leave eligibility traces, and each
// flush applies the samples to the traces. Owned by its PartitionLayer and
// touched only by that layer's worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "params/params.hpp"
#include "plasticity_modulation/eligibility_trace_queue.hpp"

namespace synaptor {

struct DopamineSample {
    std::uint64_t t = 0;  ///< the conflation tick
    float amount = 0.0f;
};

/// The samples taken out at a flush, in order. The traces are read from the
/// modulator itself.
struct DopamineFlush {
    std::vector<DopamineSample> samples;
    float tau_eligibility_trace = 0.0f;

    // Working storage of the application, kept from flush to flush.
    std::vector<float> decays;   ///< per sample acting on a run of traces
    std::vector<float> amounts;  ///< the amounts of those samples
    std::vector<float> sums;     ///< weight changes of a block of traces
};

class PlasticityModulator {
public:
    explicit PlasticityModulator(const PlasticityModulationParams& p)
        : next_conflation_t(p.dopamine_conflation_period),
          params(p),
          next_flush_t(p.dopamine_flush_period) {}

    /// dopamine_accumulator = reward * dopamine_modulation_factor + dopamine_accumulator
    void add_reward(float reward);

    /// Conflation and flush bookkeeping for tick `t`. Returns true when a flush
    /// falls due; its samples are then in `flush`.
    bool process_tick(std::uint64_t t, DopamineFlush& flush);

    EligibilityTraceQueue eligibility_traces;
    std::vector<DopamineSample> dopamine_samples;
    std::uint64_t next_conflation_t;
    float dopamine_accumulator = 0.0f;
    PlasticityModulationParams params;
    std::uint64_t next_flush_t;
};

/// The weight change of one trace at a flush: the sum over the flush's samples
/// at or after the trace's tick of expf(-(sample.t - trace.t) / tau) * value * amount.
float dopamine_weight_change(const EligibilityTrace& trace, const DopamineFlush& flush);

}  // namespace synaptor
