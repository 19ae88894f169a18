#include "instance/neuron_recorder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "float_bits.hpp"
#include "instance/instance_core.hpp"
#include "instance/instance_core_options.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

using Ids = std::vector<std::uint64_t>;
using Names = std::vector<std::string>;

RecordingRequest request(Ids nids, Names variables = {"voltage", "threshold"},
                         std::int64_t every = 1) {
    return RecordingRequest{std::move(nids), std::move(variables), every};
}

std::string start_error(NeuronRecorder& recorder, const RecordingRequest& req) {
    auto started = recorder.start(req, 10, 0);
    return started.ok() ? "started" : started.error();
}

TEST(NeuronRecorder, RefusesBadRequestsAndKeepsTheRunningRecording) {
    NeuronRecorder recorder;
    ASSERT_TRUE(recorder.start(request({4, 1}), 10, 0).ok());
    EXPECT_EQ(start_error(recorder, request({3, 10, 11})), "Invalid neuron id for recording: 10");
    EXPECT_EQ(start_error(recorder, request({3, 7, 3, 7})),
              "Neuron id listed twice for recording: 3");
    EXPECT_EQ(start_error(recorder, request({3}, {})), "No variable to record");
    EXPECT_EQ(start_error(recorder, request({3}, {"voltage", "Voltage"})),
              "Unknown variable to record: 'Voltage' (known: voltage, threshold, spike, "
              "refractory)");
    EXPECT_EQ(start_error(recorder, request({3}, {"spike", "refractory", "spike"})),
              "Variable listed twice for recording: 'spike'");
    EXPECT_EQ(start_error(recorder, request({3}, {"voltage"}, 0)),
              "Recording period must be at least 1 tick, got 0");
    EXPECT_EQ(start_error(recorder, request({3}, {"voltage"}, -5)),
              "Recording period must be at least 1 tick, got -5");

    // The first recording is still the one that runs.
    std::optional<RecordedTraces> taken = recorder.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->nids, (Ids{4, 1}));
    EXPECT_EQ(taken->variables, (std::vector<RecordedVariable>{RecordedVariable::Voltage,
                                                               RecordedVariable::Threshold}));
    // Empty neuron lists are allowed: samples then carry only their ticks.
    EXPECT_EQ(start_error(recorder, request({})), "started");
}

/// A partition's answer for the given runs of the plan, values as given.
PartitionTickResult answer(std::vector<RecordedRun> runs, std::vector<float> values) {
    PartitionTickResult result;
    result.recorded = RecordedValues{std::move(runs), std::move(values)};
    return result;
}

TEST(NeuronRecorder, PutsEachPartitionsValuesInTheCallersColumns) {
    NeuronRecorder recorder;
    // Plan order is ascending nid: 2, 5, 8 are the callers columns 1, 2, 0.
    ASSERT_TRUE(recorder.start(request({8, 2, 5}, {"threshold", "spike"}), 10, 0).ok());
    std::shared_ptr<const RecordingPlan> plan = recorder.plan_for_tick(0);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->nids, (Ids{2, 5, 8}));
    EXPECT_EQ(plan->variables, (std::vector<RecordedVariable>{RecordedVariable::Threshold,
                                                              RecordedVariable::Spike}));
    // Partitions answer in any order; values are entry by entry, variables inside.
    std::vector<PartitionTickResult> results;
    results.push_back(answer({{2, 1}}, {8.5f, 1.0f}));
    results.push_back(answer({{0, 1}, {1, 1}}, {2.5f, 0.0f, 5.5f, 1.0f}));
    ASSERT_TRUE(recorder.collect(0, results));
    EXPECT_EQ(recorder.num_samples(), 1u);
    RecordedTraces traces = *recorder.take();
    EXPECT_EQ(traces.ts, (Ids{0}));
    EXPECT_EQ(traces.values[0], (std::vector<float>{8.5f, 2.5f, 5.5f}));
    EXPECT_EQ(traces.values[1], (std::vector<float>{1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(recorder.num_samples(), 0u);
}

TEST(NeuronRecorder, RefusesAnswersThatDoNotCoverThePlanExactlyOnce) {
    NeuronRecorder recorder;
    ASSERT_TRUE(recorder.start(request({1, 3}, {"voltage"}), 10, 0).ok());
    auto collect = [&](std::vector<PartitionTickResult> results) {
        EXPECT_TRUE(recorder.plan_for_tick(0));
        return recorder.collect(0, results);
    };
    std::vector<PartitionTickResult> results(1);
    EXPECT_FALSE(collect(std::move(results))) << "a partition without a sample";
    results.clear();
    results.push_back(answer({{0, 1}}, {1.0f}));
    EXPECT_FALSE(collect(std::move(results))) << "an entry missing";
    results.clear();
    results.push_back(answer({{0, 2}}, {1.0f, 2.0f}));
    results.push_back(answer({{1, 1}}, {3.0f}));
    EXPECT_FALSE(collect(std::move(results))) << "an entry twice";
    results.clear();
    results.push_back(answer({{1, 2}}, {1.0f, 2.0f}));
    EXPECT_FALSE(collect(std::move(results))) << "a run past the plan";
    results.clear();
    results.push_back(answer({{0, 2}}, {1.0f}));
    EXPECT_FALSE(collect(std::move(results))) << "too few values";
    EXPECT_EQ(recorder.num_samples(), 0u) << "a refused answer stores nothing";
    results.clear();
    results.push_back(answer({{0, 2}}, {1.0f, 2.0f}));
    EXPECT_TRUE(collect(std::move(results)));
    EXPECT_EQ(recorder.num_samples(), 1u);
}

TEST(NeuronRecorder, SamplesEveryKTicksFromItsStart) {
    NeuronRecorder recorder;
    EXPECT_FALSE(recorder.plan_for_tick(0)) << "nothing recorded";
    ASSERT_TRUE(recorder.start(request({0}), 10, 3).ok());
    Ids sampled;
    for (std::uint64_t t = 3; t < 12; ++t) {
        if (recorder.plan_for_tick(t)) sampled.push_back(t);
    }
    EXPECT_EQ(sampled, (Ids{3, 4, 5, 6, 7, 8, 9, 10, 11}));

    // Replacing returns the old recording; the new one samples 5, 9, 13 ...
    auto replaced = recorder.start(request({0}, {"voltage"}, 4), 10, 5);
    ASSERT_TRUE(replaced.ok());
    ASSERT_TRUE(replaced.value());
    EXPECT_EQ(replaced.value()->every, 1u);
    sampled.clear();
    for (std::uint64_t t = 5; t < 18; ++t) {
        if (recorder.plan_for_tick(t)) sampled.push_back(t);
    }
    EXPECT_EQ(sampled, (Ids{5, 9, 13, 17}));

    std::optional<RecordedTraces> stopped = recorder.stop();
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->every, 4u);
    EXPECT_FALSE(recorder.active());
    EXPECT_FALSE(recorder.plan_for_tick(21));
    EXPECT_FALSE(recorder.take());
    EXPECT_FALSE(recorder.stop());
}

// ---- Through InstanceCore: what the partitions sample.

LayerParams layer(std::uint64_t num_neurons) {
    LayerParams params;
    params.num_neurons = num_neurons;
    params.neuron_params.tau_membrane = 6.0f;
    params.neuron_params.refractory_period = 3;
    params.neuron_params.reset_voltage = -0.25f;
    params.neuron_params.t_cutoff_coincidence = 20;
    params.neuron_params.adaptation_threshold = 1.6f;
    params.neuron_params.tau_threshold = 9.0f;
    params.neuron_params.voltage_floor = -0.5f;
    return params;
}

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to, float weight, float scale) {
    LayerConnectionParams params;
    params.from_layer_id = from;
    params.to_layer_id = to;
    params.projection_params.synapse_params.max_weight = 1.0f;
    params.projection_params.synapse_params.weight_scale_factor = scale;
    params.connect_density = 0.6;
    params.connect_width = 0.8;
    params.initial_syn_weight = {InitialSynWeight::Kind::Randomized, weight};
    params.conduction_delay_max_random_part = 3;
    return params;
}

/// Recurrent excitation and inhibition with random weights and delays, so that
/// voltages go up and down, below the floor and past the thresholds.
InstanceParams busy_network(std::uint64_t num_threads) {
    InstanceParams params;
    params.layers = {layer(7), layer(11), layer(5)};
    StdpParams stdp{0.03f, 5.0f, -0.02f, 6.0f};
    LayerConnectionParams input = connection(0, 1, 0.9f, 1.0f);
    input.projection_params.long_term_stdp_params = stdp;
    params.layer_connections = {input, connection(1, 1, 0.8f, 0.7f), connection(1, 2, 0.9f, 1.2f),
                                connection(2, 1, 0.9f, -1.5f)};
    params.technical_params.num_threads = num_threads;
    params.technical_params.seed_override = 11;
    return params;
}

std::unique_ptr<InstanceCore> create(InstanceParams params) {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    auto created = create_instance_core(std::move(params), options);
    if (!created.ok()) ADD_FAILURE() << created.error();
    return created.ok() ? std::move(created).value() : nullptr;
}

/// The inputs of tick t of the driven runs below.
TickInput drive(std::uint64_t t, bool snapshot) {
    TickInput input;
    if (t % 3 == 0) input.spiking_in_channel_ids = {t % 7, (t * 5 + 2) % 7};
    if (t % 17 == 4) input.force_spiking_nids = {9};
    input.extract_state_snapshot = snapshot;
    return input;
}

TickResult tick_ok(InstanceCore& core, const TickInput& input) {
    auto result = core.tick(input);
    if (!result.ok()) ADD_FAILURE() << result.error();
    return result.ok() ? std::move(result).value() : TickResult{};
}

const Ids kRecorded = {20, 3, 12, 0, 9, 17, 22, 7};  // every layer, in no order

TEST(NeuronRecorder, RecordedVoltagesAreTheSnapshotsAndSpikesTheTicks) {
    constexpr std::uint64_t kTicks = 120;
    for (std::uint64_t threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        auto core = create(busy_network(threads));
        ASSERT_TRUE(core);
        ASSERT_TRUE(core->recorder()
                        .start(request(kRecorded, {"spike", "voltage", "refractory"}),
                               core->num_neurons(), 0)
                        .ok());
        std::vector<TickResult> ticks;
        for (std::uint64_t t = 0; t < kTicks; ++t) ticks.push_back(tick_ok(*core, drive(t, true)));
        RecordedTraces traces = *core->recorder().take();
        ASSERT_EQ(traces.ts.size(), kTicks);
        const std::size_t n = kRecorded.size();
        bool below_zero = false;
        std::uint64_t spikes = 0;
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            EXPECT_EQ(traces.ts[t], t);
            const std::vector<float>& voltages = ticks[t].state_snapshot->membrane_voltages;
            const Ids& spiking = ticks[t].spiking_nids;
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint64_t nid = kRecorded[j];
                const float voltage = traces.values[1][t * n + j];
                EXPECT_EQ(test::float_bits(voltage), test::float_bits(voltages[nid]))
                    << "tick " << t << " nid " << nid;
                below_zero = below_zero || voltage < 0.0f;
                const bool spiked = std::find(spiking.begin(), spiking.end(), nid) != spiking.end();
                EXPECT_EQ(traces.values[0][t * n + j], spiked ? 1.0f : 0.0f);
                spikes += spiked;
                // A spike starts three ticks of refractoriness.
                bool refractory = false;
                for (std::uint64_t s = t >= 2 ? t - 2 : 0; s <= t; ++s) {
                    const Ids& earlier = ticks[s].spiking_nids;
                    refractory = refractory ||
                                 std::find(earlier.begin(), earlier.end(), nid) != earlier.end();
                }
                EXPECT_EQ(traces.values[2][t * n + j], refractory ? 1.0f : 0.0f)
                    << "tick " << t << " nid " << nid;
            }
        }
        // The comparison means something only if the neurons moved.
        EXPECT_TRUE(below_zero);
        EXPECT_GT(spikes, 20u);
    }
}

TEST(NeuronRecorder, ThresholdRelaxesFromTheEndOfTheRefractoryPeriod) {
    auto core = create(busy_network(2));
    ASSERT_TRUE(core);
    // Neuron 21 of the last layer, forced at tick 2: no layer but the middle
    // one reaches it, and with no input that stays silent.
    ASSERT_TRUE(
        core->recorder()
            .start(request({21, 5}, {"threshold", "voltage", "refractory"}), core->num_neurons(), 0)
            .ok());
    for (std::uint64_t t = 0; t < 30; ++t) {
        TickInput input;
        if (t == 2) input.force_spiking_nids = {21};
        tick_ok(*core, input);
    }
    RecordedTraces traces = *core->recorder().stop();
    const NeuronParams params = layer(1).neuron_params;
    for (std::uint64_t t = 0; t < 30; ++t) {
        SCOPED_TRACE(t);
        const float threshold = traces.values[0][t * 2];
        const float voltage = traces.values[1][t * 2];
        const float refractory = traces.values[2][t * 2];
        if (t < 2) {
            EXPECT_EQ(threshold, 1.0f);
            EXPECT_EQ(voltage, 0.0f);
            EXPECT_EQ(refractory, 0.0f);
        } else if (t < 5) {
            EXPECT_EQ(threshold, params.adaptation_threshold);
            EXPECT_EQ(voltage, params.reset_voltage);
            EXPECT_EQ(refractory, 1.0f);
        } else {
            const float dt = static_cast<float>(t - 5);
            EXPECT_EQ(threshold, 1.0f + (params.adaptation_threshold - 1.0f) *
                                            expf(-dt / params.tau_threshold));
            EXPECT_EQ(voltage, params.reset_voltage * expf(-dt / params.tau_membrane));
            EXPECT_EQ(refractory, 0.0f);
        }
        // Neuron 5 of the first layer never changes.
        EXPECT_EQ(traces.values[0][t * 2 + 1], 1.0f);
    }
}

TEST(NeuronRecorder, RecordingChangesNoResultAndAgreesAcrossThreadCounts) {
    constexpr std::uint64_t kTicks = 150;
    std::vector<TickResult> plain;
    {
        auto core = create(busy_network(1));
        ASSERT_TRUE(core);
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            plain.push_back(tick_ok(*core, drive(t, t % 25 == 24)));
        }
    }
    std::optional<RecordedTraces> reference;
    for (std::uint64_t threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        auto core = create(busy_network(threads));
        ASSERT_TRUE(core);
        // Started at tick 4 with a period of 3: samples at 4, 7, 10, ...
        for (std::uint64_t t = 0; t < 4; ++t) tick_ok(*core, drive(t, t % 25 == 24));
        ASSERT_TRUE(core->recorder()
                        .start(request(kRecorded, {"threshold", "voltage", "spike"}, 3),
                               core->num_neurons(), core->t())
                        .ok());
        for (std::uint64_t t = 4; t < kTicks; ++t) {
            const TickResult result = tick_ok(*core, drive(t, t % 25 == 24));
            EXPECT_EQ(result.spiking_nids, plain[t].spiking_nids) << "tick " << t;
            EXPECT_EQ(result.synaptic_transmission_count, plain[t].synaptic_transmission_count);
            if (plain[t].state_snapshot) {
                ASSERT_TRUE(result.state_snapshot);
                EXPECT_EQ(result.state_snapshot->membrane_voltages,
                          plain[t].state_snapshot->membrane_voltages);
                EXPECT_EQ(result.state_snapshot->weights.size(),
                          plain[t].state_snapshot->weights.size());
            }
        }
        RecordedTraces traces = *core->recorder().take();
        ASSERT_EQ(traces.ts.size(), (kTicks - 4 + 2) / 3);
        EXPECT_EQ(traces.ts.front(), 4u);
        EXPECT_EQ(traces.ts.back(), 148u);
        if (!reference) {
            reference = std::move(traces);
            // Thresholds move, or their comparison proves little.
            std::vector<float> thresholds = reference->values[0];
            std::sort(thresholds.begin(), thresholds.end());
            EXPECT_GT(std::unique(thresholds.begin(), thresholds.end()) - thresholds.begin(), 20);
            continue;
        }
        EXPECT_EQ(traces.ts, reference->ts);
        for (std::size_t v = 0; v < 3; ++v) {
            ASSERT_EQ(traces.values[v].size(), reference->values[v].size());
            for (std::size_t i = 0; i < traces.values[v].size(); ++i) {
                ASSERT_EQ(test::float_bits(traces.values[v][i]),
                          test::float_bits(reference->values[v][i]))
                    << "variable " << v << " cell " << i;
            }
        }
    }
}

TEST(NeuronRecorder, PartitionThatDropsItsSampleFailsTheTick) {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    options.test_hooks.after_tick = [](std::uint64_t partition_index, PartitionTickResult& result) {
        if (partition_index == 1) result.recorded.reset();
    };
    auto created = create_instance_core(busy_network(2), options);
    ASSERT_TRUE(created.ok());
    InstanceCore& core = *created.value();
    tick_ok(core, TickInput{});  // nothing recorded, nothing missing
    ASSERT_TRUE(core.recorder().start(request({0, 22}), core.num_neurons(), core.t()).ok());
    std::string text = "no panic";
    try {
        (void)core.tick(TickInput{});
    } catch (const Panic& failure) {
        text = failure.text();
    }
    EXPECT_EQ(text, "the partitions' answers do not hold every recorded neuron exactly once");
    EXPECT_EQ(core.recorder().num_samples(), 0u);
}

}  // namespace
}  // namespace synaptor
