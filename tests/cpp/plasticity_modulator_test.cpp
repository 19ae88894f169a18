#include "plasticity_modulation/plasticity_modulator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace synaptor {
namespace {

PlasticityModulationParams timeline_params() {
    PlasticityModulationParams p;
    p.tau_eligibility_trace = 10.0f;
    p.eligibility_trace_delay = 0;
    p.dopamine_modulation_factor = 0.5f;
    p.t_cutoff_eligibility_trace = 20;
    p.dopamine_flush_period = 10;
    p.dopamine_conflation_period = 5;
    return p;
}

std::vector<std::uint64_t> sample_ts(const DopamineFlush& flush) {
    std::vector<std::uint64_t> ts;
    for (const DopamineSample& s : flush.samples) ts.push_back(s.t);
    return ts;
}

float trace_term(std::uint64_t dt, float tau, float value, float amount) {
    return expf(-static_cast<float>(dt) / tau) * value * amount;
}

TEST(PlasticityModulator, WorkedTimelineConflatesFlushesAndDropsStaleTraces) {
    PlasticityModulator m(timeline_params());
    DopamineFlush flush;
    const EligibilityTrace trace{3, 7, 0, 0.25f};
    std::vector<std::vector<std::uint64_t>> flushed;
    std::vector<float> sums;
    for (std::uint64_t t = 0; t <= 30; ++t) {
        m.add_reward(1.0f);
        if (t == 3) m.eligibility_traces.push_back(trace);
        if (m.process_tick(t, flush)) {
            flushed.push_back(sample_ts(flush));
            sums.push_back(m.eligibility_traces.empty()
                               ? -1.0f
                               : dopamine_weight_change(m.eligibility_traces.front(), flush));
            EXPECT_TRUE(m.dopamine_samples.empty());
        }
    }
    ASSERT_EQ(flushed.size(), 3u);
    EXPECT_EQ(flushed[0], (std::vector<std::uint64_t>{5, 10}));
    EXPECT_EQ(flushed[1], (std::vector<std::uint64_t>{15, 20}));
    EXPECT_EQ(flushed[2], (std::vector<std::uint64_t>{25, 30}));
    // The first sample covers ticks 0..5 (six rewards), later ones five.
    const float first_amount = 6.0f * 0.5f;  // exact in f32, summed one by one
    const float amount = 2.5f;
    EXPECT_EQ(sums[0], 0.0f + trace_term(2, 10.0f, 0.25f, first_amount) +
                           trace_term(7, 10.0f, 0.25f, amount));
    EXPECT_EQ(sums[1],
              0.0f + trace_term(12, 10.0f, 0.25f, amount) + trace_term(17, 10.0f, 0.25f, amount));
    EXPECT_EQ(sums[2], -1.0f);  // 3 + 20 < 25: dropped before applying
    EXPECT_EQ(m.next_flush_t, 40u);
    EXPECT_EQ(m.next_conflation_t, 35u);
}

TEST(PlasticityModulator, RewardOfTheConflationTickBelongsToItsSample) {
    PlasticityModulator m(timeline_params());
    DopamineFlush flush;
    for (std::uint64_t t = 0; t <= 10; ++t) {
        m.add_reward(t == 5 ? 2.0f : (t == 6 ? -4.0f : 0.0f));
        m.process_tick(t, flush);
    }
    ASSERT_EQ(flush.samples.size(), 2u);
    EXPECT_EQ(flush.samples[0].amount, 1.0f);
    EXPECT_EQ(flush.samples[1].amount, -2.0f);  // negative reward, negative dopamine
    EXPECT_EQ(flush.tau_eligibility_trace, 10.0f);
}

TEST(PlasticityModulator, WeightChangeSkipsEarlierSamplesAndKeepsProductOrder) {
    DopamineFlush flush;
    flush.tau_eligibility_trace = 7.0f;
    flush.samples = {{10, 3.0f}, {11, 0.1f}, {15, -0.3f}};
    const EligibilityTrace trace{11, 0, 0, 0.37f};
    const float expected =
        (0.0f + expf(-0.0f / 7.0f) * 0.37f * 0.1f) + (expf(-4.0f / 7.0f) * 0.37f) * -0.3f;
    EXPECT_EQ(dopamine_weight_change(trace, flush), expected);
    const EligibilityTrace late{16, 0, 0, 0.37f};
    EXPECT_EQ(dopamine_weight_change(late, flush), 0.0f);
}

TEST(PlasticityModulator, FlushWithoutSamplesIsSkipped) {
    PlasticityModulationParams p = timeline_params();
    p.dopamine_flush_period = 0;  // rejected at creation; must still be safe here
    PlasticityModulator m(p);
    m.eligibility_traces.push_back(EligibilityTrace{0, 1, 0, 1.0f});
    DopamineFlush flush;
    for (std::uint64_t t = 0; t < 50; ++t) {
        m.add_reward(1.0f);
        EXPECT_FALSE(m.process_tick(t, flush));
    }
    EXPECT_EQ(m.eligibility_traces.size(), 1u);
    EXPECT_TRUE(flush.samples.empty());

    PlasticityModulationParams q = timeline_params();
    q.dopamine_conflation_period = 0;
    q.dopamine_flush_period = 0;
    PlasticityModulator both(q);
    EXPECT_TRUE(both.process_tick(0, flush));  // a sample at 0, then a flush at 0
    EXPECT_EQ(flush.samples.size(), 1u);
    for (std::uint64_t t = 1; t < 20; ++t) EXPECT_FALSE(both.process_tick(t, flush));
}

TEST(PlasticityModulator, HugeCutoffKeepsTracesInsteadOfWrapping) {
    PlasticityModulationParams p = timeline_params();
    p.t_cutoff_eligibility_trace = std::numeric_limits<std::uint64_t>::max();
    PlasticityModulator m(p);
    m.eligibility_traces.push_back(EligibilityTrace{3, 1, 0, 1.0f});
    DopamineFlush flush;
    for (std::uint64_t t = 0; t <= 100; ++t) m.process_tick(t, flush);
    EXPECT_EQ(m.eligibility_traces.size(), 1u);  // 3 + max would wrap to 2 < 95
}

TEST(PlasticityModulator, SteadyFlushesReuseTheSampleStorage) {
    PlasticityModulator m(timeline_params());
    DopamineFlush flush;
    std::vector<const DopamineSample*> buffers;
    for (std::uint64_t t = 0; t <= 60; ++t) {
        if (m.process_tick(t, flush)) buffers.push_back(flush.samples.data());
    }
    ASSERT_EQ(buffers.size(), 6u);
    // Two buffers alternate between the modulator and the flush.
    EXPECT_EQ(buffers[2], buffers[4]);
    EXPECT_EQ(buffers[3], buffers[5]);
}

}  // namespace
}  // namespace synaptor
