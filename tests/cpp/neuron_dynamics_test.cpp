#include "partition/neuron_dynamics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::float_bits;
using test::same_value;
using test::test_neuron_params;

float decayed(float x, std::uint64_t dt, float tau) {
    return x * expf(-static_cast<float>(dt) / tau);
}

TEST(NeuronDynamics, RefractoryInputsLeaveTheMembraneAlone) {
    NeuronParams params = test_neuron_params();
    params.refractory_period = 3;
    params.reset_voltage = -0.25f;
    Neuron n;
    fire(n, 10, params);
    EXPECT_EQ(n.last_spike_t, 10u);
    EXPECT_EQ(n.last_update_t, 13u);
    EXPECT_EQ(n.threshold, params.adaptation_threshold);  // set to, not raised by
    EXPECT_FALSE(integrate(n, 11, 100.0f, params));
    EXPECT_FALSE(integrate(n, 12, 100.0f, params));
    EXPECT_EQ(n.voltage, -0.25f);
    EXPECT_EQ(n.last_update_t, 13u);
    // At the end of the refractory period dt is 0: the reset state, undecayed.
    EXPECT_FALSE(integrate(n, 13, 0.5f, params));
    EXPECT_EQ(n.voltage, -0.25f + 0.5f);
    EXPECT_EQ(n.threshold, 1.5f);
    // One tick later both decay over exactly one tick.
    integrate(n, 14, 0.0f, params);
    EXPECT_EQ(n.voltage, 0.25f * expf(-1.0f / params.tau_membrane) + 0.0f);
    EXPECT_EQ(n.threshold, 1.0f + 0.5f * expf(-1.0f / params.tau_threshold));
}

TEST(NeuronDynamics, FloorAppliesOnlyWhenTimeAdvanced) {
    const NeuronParams params = test_neuron_params();  // floor -1
    Neuron n;
    n.voltage = -3.0f;
    n.last_update_t = 5;
    integrate(n, 8, -0.5f, params);  // raised to -1, decayed, then -0.5
    const float first = decayed(-1.0f, 3, params.tau_membrane) + -0.5f;
    EXPECT_EQ(n.voltage, first);
    integrate(n, 8, -2.0f, params);  // same tick: no floor, the sum goes below it
    EXPECT_EQ(n.voltage, first + -2.0f);
    EXPECT_LT(n.voltage, params.voltage_floor);
    // Threshold at rest stays exactly 1.0 under decay.
    EXPECT_EQ(n.threshold, 1.0f);
}

TEST(NeuronDynamics, ReachingThresholdIncludesEqualityAndNeverNaN) {
    const NeuronParams params = test_neuron_params();
    Neuron n;
    EXPECT_TRUE(integrate(n, 0, 1.0f, params));  // voltage == threshold
    Neuron m;
    m.voltage = std::numeric_limits<float>::quiet_NaN();
    m.last_update_t = 0;
    EXPECT_FALSE(integrate(m, 4, 5.0f, params));  // NaN is not raised to the floor
    EXPECT_TRUE(std::isnan(m.voltage));
    Neuron k;
    k.threshold = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(integrate(k, 1, 5.0f, params));
}

TEST(NeuronDynamics, AdaptedThresholdRelaxesTowardOne) {
    NeuronParams params = test_neuron_params();
    params.refractory_period = 1;
    Neuron n;
    fire(n, 0, params);
    integrate(n, 1, 0.0f, params);
    EXPECT_EQ(n.threshold, 1.5f);
    integrate(n, 8, 0.0f, params);
    EXPECT_EQ(n.threshold, 1.0f + (1.5f - 1.0f) * expf(-7.0f / params.tau_threshold));
}

TEST(NeuronDynamics, SnapshotAppliesFloorAlwaysAndDecaysOnlyWhenLagging) {
    const NeuronParams params = test_neuron_params();
    Neuron n;
    n.voltage = -4.0f;
    n.last_update_t = 10;
    EXPECT_EQ(snapshot_voltage(n, 10, params), -1.0f);
    EXPECT_EQ(snapshot_voltage(n, 13, params), decayed(-1.0f, 3, params.tau_membrane));
    EXPECT_EQ(n.voltage, -4.0f);  // read-only
    n.voltage = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(snapshot_voltage(n, 13, params), decayed(-1.0f, 3, params.tau_membrane));
    // A refractory neuron (last_update_t in the future) is reported undecayed.
    Neuron r;
    fire(r, 20, params);
    EXPECT_EQ(snapshot_voltage(r, 21, params), params.reset_voltage);
    n.voltage = 0.75f;
    EXPECT_EQ(snapshot_voltage(n, 12, params), decayed(0.75f, 2, params.tau_membrane));
}

TEST(NeuronDynamics, FiringPairsInputsFromTheCutoffEdgeAndAfterThePreviousSpike) {
    EXPECT_EQ(first_unpaired_arrival(std::nullopt, 25, 20), 5u);  // 5 + 20 == 25 stays
    EXPECT_EQ(first_unpaired_arrival(std::nullopt, 26, 20), 6u);
    EXPECT_EQ(first_unpaired_arrival(std::nullopt, 3, 20), 0u);
    // A cut-off near the largest tick never expires instead of wrapping.
    EXPECT_EQ(first_unpaired_arrival(std::nullopt, 1000, std::numeric_limits<std::uint64_t>::max()),
              0u);
    // The previous spike paired everything up to its own tick.
    EXPECT_EQ(first_unpaired_arrival(10, 25, 20), 11u);
    EXPECT_EQ(first_unpaired_arrival(4, 25, 20), 5u);
    EXPECT_EQ(first_unpaired_arrival(5, 25, 20), 6u);
    EXPECT_EQ(first_unpaired_arrival(25, 25, 20), 26u);  // fired twice in one tick
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(first_unpaired_arrival(max, max, 3), max);
}

TEST(NeuronDynamics, MemoisedDecaysAreBitIdentical) {
    const float taus[] = {10.0f,
                          3.3f,
                          0.7f,
                          1e-30f,
                          std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN(),
                          0.0f};
    for (const float tau : taus) {
        NeuronParams params = test_neuron_params();
        params.tau_membrane = tau;
        params.tau_threshold = tau * 2.0f;
        DecayTable membrane;
        DecayTable threshold;
        membrane.build(params.tau_membrane);
        threshold.build(params.tau_threshold);
        for (std::uint64_t dt = 0; dt < 300; ++dt) {
            Neuron a;
            a.voltage = 0.8125f;
            a.threshold = 1.375f;
            a.last_update_t = 1000;
            Neuron b = a;
            EXPECT_EQ(integrate(a, 1000 + dt, 0.1f, params),
                      integrate(b, 1000 + dt, 0.1f, params, membrane, threshold));
            EXPECT_EQ(float_bits(a.voltage), float_bits(b.voltage))
                << "tau " << tau << " dt " << dt;
            EXPECT_EQ(float_bits(a.threshold), float_bits(b.threshold));
        }
        // A table built for another time constant is never used.
        EXPECT_EQ(float_bits(membrane.get(5, 2.5f)), float_bits(decay_factor(5, 2.5f)));
    }
}

// The prepared form shares one table-size check between both decays; it must
// agree bit for bit with the direct formula on both sides of the table's end,
// for refractory inputs, below the floor, and for time constants, voltages and
// inputs that are zero of either sign, infinite or NaN.
TEST(NeuronDynamics, PreparedIntegrationMatchesDirectFormula) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float taus[] = {10.0f, 0.7f, inf, nan, 0.0f, -0.0f, -3.0f};
    const float voltages[] = {0.8125f, -2.5f, -0.0f, nan, inf};
    const float psps[] = {0.1f, -0.0f, 0.0f, nan, -inf};
    const std::uint64_t dts[] = {
        0, 1, 2, 300, DecayTable::kSize - 1, DecayTable::kSize, DecayTable::kSize + 1, 5000};
    for (const float tau : taus) {
        NeuronParams params = test_neuron_params();
        params.tau_membrane = tau;
        params.tau_threshold = tau * 2.0f;
        params.voltage_floor = -1.0f;
        DecayTable membrane;
        DecayTable threshold;
        membrane.build(params.tau_membrane);
        threshold.build(params.tau_threshold);
        for (const float v : voltages) {
            for (const float psp : psps) {
                for (const std::uint64_t dt : dts) {
                    for (const bool refractory : {false, true}) {
                        Neuron a;
                        a.voltage = v;
                        a.threshold = 1.375f;
                        a.last_update_t = 1000;
                        const std::uint64_t t = refractory ? 1000 - 1 - dt % 7 : 1000 + dt;
                        Neuron b = a;
                        const bool direct = integrate(a, t, psp, params);
                        const bool prepared =
                            integrate_prepared(b, t, psp, params, membrane, threshold);
                        ASSERT_EQ(direct, prepared) << "tau " << tau << " dt " << dt;
                        ASSERT_TRUE(same_value(a.voltage, b.voltage))
                            << "tau " << tau << " v " << v << " psp " << psp << " dt " << dt;
                        ASSERT_TRUE(same_value(a.threshold, b.threshold));
                        ASSERT_EQ(a.last_update_t, b.last_update_t);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace synaptor
