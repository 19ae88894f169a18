#include "instance/synapse_recorder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "float_bits.hpp"
#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "instance/synapse_access.hpp"
#include "instance_test_support.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

using Ticks = std::vector<std::uint64_t>;

/// A plan for the recorder alone, which only passes it on.
std::shared_ptr<const SynapseRecordingPlan> any_plan() {
    return std::make_shared<const SynapseRecordingPlan>();
}

// ---- The recorder alone: which ticks are sampled, rows, take and stop.

/// Runs the recorder's side of tick t of a recording of three synapses, the
/// "partitions" writing `value` plus the column into each column of the row;
/// returns whether t was sampled.
bool fake_tick(SynapseRecorder& recorder, std::uint64_t t, float value) {
    SynapseRecorder::TickSample sample = recorder.plan_for_tick(t);
    std::uint64_t written = 0;
    if (sample.plan) {
        for (std::size_t c = 0; c < 3; ++c) sample.row[c] = value + static_cast<float>(c);
        written = 3;
    }
    EXPECT_TRUE(recorder.collect(t, written));
    return sample.plan != nullptr;
}

TEST(SynapseRecorder, SamplesEveryKthTickFromItsStartAndTakesWhatWasSampled) {
    SynapseRecorder recorder;
    EXPECT_FALSE(recorder.active());
    EXPECT_FALSE(recorder.take());
    EXPECT_FALSE(recorder.stop());
    EXPECT_FALSE(recorder.start(any_plan(), {9, 2, 5}, 3, 7));
    Ticks sampled;
    for (std::uint64_t t = 7; t < 20; ++t) {
        if (fake_tick(recorder, t, static_cast<float>(t) * 10.0f)) sampled.push_back(t);
    }
    EXPECT_EQ(sampled, (Ticks{7, 10, 13, 16, 19}));
    EXPECT_EQ(recorder.num_samples(), 5u);

    std::optional<RecordedWeights> taken = recorder.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->indices, (Ticks{9, 2, 5}));
    EXPECT_EQ(taken->every, 3u);
    EXPECT_EQ(taken->ts, sampled);
    ASSERT_EQ(taken->weights.size(), 15u);
    for (std::size_t row = 0; row < 5; ++row) {
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(taken->weights[row * 3 + c],
                      static_cast<float>(sampled[row]) * 10.0f + static_cast<float>(c));
        }
    }
    // Taken samples are gone; recording goes on from where it was.
    EXPECT_EQ(recorder.num_samples(), 0u);
    EXPECT_FALSE(fake_tick(recorder, 20, 0.0f));
    EXPECT_TRUE(fake_tick(recorder, 22, 1.0f));
    std::optional<RecordedWeights> rest = recorder.stop();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->ts, (Ticks{22}));
    EXPECT_EQ(rest->weights, (std::vector<float>{1.0f, 2.0f, 3.0f}));
    EXPECT_FALSE(recorder.active());
    EXPECT_FALSE(fake_tick(recorder, 25, 0.0f));
}

TEST(SynapseRecorder, ARowNotWrittenWholeIsNeitherCountedNorKept) {
    SynapseRecorder recorder;
    recorder.start(any_plan(), {4, 1}, 1, 0);
    SynapseRecorder::TickSample sample = recorder.plan_for_tick(0);
    ASSERT_TRUE(sample.plan);
    sample.row[0] = 0.5f;
    sample.row[1] = 0.25f;
    ASSERT_TRUE(recorder.collect(0, 2));
    // One column missing: the tick fails and its row must not show up.
    sample = recorder.plan_for_tick(1);
    sample.row[0] = 9.0f;
    EXPECT_FALSE(recorder.collect(1, 1));
    EXPECT_EQ(recorder.num_samples(), 1u);
    // Nor one of a tick that never came back.
    sample = recorder.plan_for_tick(2);
    sample.row[0] = sample.row[1] = 8.0f;
    std::optional<RecordedWeights> taken = recorder.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->ts, (Ticks{0}));
    EXPECT_EQ(taken->weights, (std::vector<float>{0.5f, 0.25f}));
}

TEST(SynapseRecorder, ANewStartReplacesAndHandsBackTheSamplesNotTaken) {
    SynapseRecorder recorder;
    recorder.start(any_plan(), {1}, 2, 0);
    SynapseRecorder::TickSample sample = recorder.plan_for_tick(0);
    sample.row[0] = 0.75f;
    ASSERT_TRUE(recorder.collect(0, 1));
    std::optional<RecordedWeights> replaced = recorder.start(any_plan(), {}, 1, 5);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->indices, (Ticks{1}));
    EXPECT_EQ(replaced->ts, (Ticks{0}));
    EXPECT_EQ(replaced->weights, (std::vector<float>{0.75f}));
    // No synapse at all: samples carry their ticks only.
    EXPECT_FALSE(fake_tick(recorder, 4, 0.0f));
    sample = recorder.plan_for_tick(5);
    ASSERT_TRUE(sample.plan);
    ASSERT_TRUE(recorder.collect(5, 0));
    std::optional<RecordedWeights> rest = recorder.stop();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->ts, (Ticks{5}));
    EXPECT_TRUE(rest->weights.empty());
}

TEST(SynapseRecorder, SpreadSharesGoToTheirColumnsOnceGathered) {
    SynapseRecorder recorder;
    // Columns 2 and 0 are held here, 3 and 1 by another process; the
    // exchange brings this process's share first.
    recorder.start(any_plan(), {40, 10, 30, 20}, 2, 0,
                   SpreadWeights{{2, 0, 3, 1}, std::vector<float>(2)});
    EXPECT_EQ(recorder.num_written_here(), 2u);
    EXPECT_EQ(recorder.num_columns(), 4u);
    SynapseRecorder::TickSample sample = recorder.plan_for_tick(0);
    ASSERT_TRUE(sample.plan);
    // The partitions write this process's share, not the row.
    sample.row[0] = 1.5f;
    sample.row[1] = 2.5f;
    EXPECT_EQ(std::vector<float>(recorder.share_here().begin(), recorder.share_here().end()),
              (std::vector<float>{1.5f, 2.5f}));
    const std::vector<float> gathered{1.5f, 2.5f, 3.5f, 4.5f};
    ASSERT_TRUE(recorder.collect_gathered(0, gathered));
    EXPECT_FALSE(recorder.plan_for_tick(1).plan);
    EXPECT_TRUE(recorder.collect_gathered(1, {}));
    // A share missing from the gathered weights: neither counted nor kept.
    (void)recorder.plan_for_tick(2);
    EXPECT_FALSE(recorder.collect_gathered(2, std::span(gathered).first(3)));
    std::optional<RecordedWeights> taken = recorder.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->ts, (Ticks{0}));
    EXPECT_EQ(taken->weights, (std::vector<float>{2.5f, 4.5f, 1.5f, 3.5f}));
    // Taking keeps the layout for the samples to come.
    (void)recorder.plan_for_tick(4);
    const std::vector<float> later{4.0f, 3.0f, 2.0f, 1.0f};
    ASSERT_TRUE(recorder.collect_gathered(4, later));
    std::optional<RecordedWeights> rest = recorder.stop();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->ts, (Ticks{4}));
    EXPECT_EQ(rest->weights, (std::vector<float>{3.0f, 1.0f, 4.0f, 2.0f}));
    EXPECT_EQ(recorder.num_written_here(), 0u);
}

// ---- Recording a ticking network.

InstanceParams plastic(std::uint64_t threads) {
    return test::plastic_network(test::network({14, 11, 6}, threads), test::full_connection, 3);
}

/// With `lend`, the calling thread runs partition 0 (and claims others'
/// ticks); without, every partition is ticked by its worker.
std::unique_ptr<Instance> make_instance(std::uint64_t threads, bool lend = true) {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    options.lend_first_partition = lend;
    auto core = create_instance_core(plastic(threads), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), 5);
    instance->non_coherent_stimulation_rate = 0.08;
    instance->reward_rate = 0.5f;
    return instance;
}

std::vector<float> weights_now(Instance& instance) {
    Result<SynapseTable> table = read_synapses(instance.core(), {});
    if (!table) panic(table.error());
    return std::vector<float>(table.value().weights.begin(), table.value().weights.end());
}

/// One tick with inputs that depend on t alone; returns its spikes.
std::vector<std::uint64_t> tick(Instance& instance) {
    const std::uint64_t t = instance.t();
    TickInput input;
    for (std::uint64_t c = 0; c < 14; ++c) {
        if ((t * 5 + c * 3) % 7 < 2) input.spiking_in_channel_ids.push_back(c);
    }
    input.reward = t % 5 == 0 ? 1.0f : -0.2f;
    Result<TickResult> result = instance.tick(input);
    if (!result) panic(result.error());
    return result.value().spiking_nids;
}

/// Synapse indices from every layer, in no order, the last one included.
std::vector<std::int64_t> chosen(std::uint64_t num_synapses) {
    const auto n = static_cast<std::int64_t>(num_synapses);
    return {n - 1, 3, n / 2, 0, n / 3, 2 * n / 3, 17, n - 40, n / 5};
}

struct NetworkRun {
    std::vector<std::vector<std::uint64_t>> spikes;
    RecordedWeights samples;  ///< when recorded
    /// When not recorded: the chosen weights read after each tick that a
    /// recording would sample.
    std::vector<std::vector<float>> read_rows;
};

bool sampled(std::uint64_t t) { return t >= 6 && (t - 6) % 4 == 0; }

/// 90 ticks: single ticks, a batch from 40 to 70, single ticks again. With
/// `record`, the chosen synapses are recorded from tick 6 every 4 ticks and
/// nothing else is read; without, the batch runs tick by tick and the weights
/// are read after each tick that the recording would sample.
NetworkRun run(std::uint64_t threads, bool record, bool lend = true) {
    std::unique_ptr<Instance> instance = make_instance(threads, lend);
    NetworkRun out;
    const std::vector<std::int64_t> indices = chosen(weights_now(*instance).size());
    const auto after_tick = [&] {
        if (record || !sampled(instance->t() - 1)) return;
        const std::vector<float> all = weights_now(*instance);
        std::vector<float>& row = out.read_rows.emplace_back();
        for (std::int64_t i : indices) row.push_back(all[static_cast<std::size_t>(i)]);
    };
    while (instance->t() < 6) out.spikes.push_back(tick(*instance));
    if (record) {
        auto started = record_synapses(instance->core(), indices, 4);
        if (!started || started.value()) panic("recording did not start afresh");
    }
    while (instance->t() < 40) {
        out.spikes.push_back(tick(*instance));
        after_tick();
    }
    out.spikes.resize(70);
    while (instance->t() < 70) {
        const std::uint64_t first = instance->t();
        const BatchTickResult batch = instance->tick_until(record ? 70 : first + 1);
        for (std::size_t i = 0; i < batch.neuron_spikes_ts.size(); ++i) {
            out.spikes[batch.neuron_spikes_ts[i]].push_back(batch.neuron_spikes_ids[i]);
        }
        after_tick();
    }
    while (instance->t() < 90) {
        out.spikes.push_back(tick(*instance));
        after_tick();
    }
    if (record) {
        std::optional<RecordedWeights> samples = instance->core().synapse_recorder().stop();
        if (!samples) panic("nothing was recorded");
        out.samples = std::move(*samples);
    }
    return out;
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
    std::vector<std::uint32_t> out;
    for (float v : values) out.push_back(test::float_bits(v));
    return out;
}

TEST(SynapseRecording, RowsAreTheWeightsOfTheirTickForAnyThreadCountAndChangeNothing) {
    const NetworkRun plain = run(1, false);
    Ticks expected_ts;
    std::vector<float> expected;
    for (std::uint64_t t = 6; t < 90; t += 4) expected_ts.push_back(t);
    ASSERT_EQ(plain.read_rows.size(), expected_ts.size());
    for (const std::vector<float>& row : plain.read_rows) {
        expected.insert(expected.end(), row.begin(), row.end());
    }
    // Weights moved while recorded, or equal rows would prove little.
    std::size_t moved = 0;
    for (std::size_t c = 0; c < plain.read_rows.front().size(); ++c) {
        moved += plain.read_rows.front()[c] != plain.read_rows.back()[c];
    }
    EXPECT_GE(moved, 3u);
    for (std::uint64_t threads : {1, 2, 3}) {
        for (bool lend : {true, false}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, lend " << lend);
            const NetworkRun recorded = run(threads, true, lend);
            EXPECT_EQ(recorded.spikes, plain.spikes);
            EXPECT_EQ(recorded.samples.ts, expected_ts);
            EXPECT_EQ(recorded.samples.indices.size(), 9u);
            EXPECT_EQ(bits(recorded.samples.weights), bits(expected));
        }
    }
}

TEST(SynapseRecording, BadRequestsNameTheFirstFaultAndKeepTheRunningRecording) {
    std::unique_ptr<Instance> instance = make_instance(2);
    const auto n = static_cast<std::int64_t>(weights_now(*instance).size());
    ASSERT_TRUE(record_synapses(instance->core(), std::vector<std::int64_t>{5, 2}, 2));
    tick(*instance);
    const auto error = [&](std::vector<std::int64_t> indices, std::int64_t every = 1) {
        auto started = record_synapses(instance->core(), indices, every);
        return started ? std::string("started") : started.error();
    };
    EXPECT_EQ(error({1}, 0), "Recording period must be at least 1 tick, got 0");
    EXPECT_EQ(error({1}, -3), "Recording period must be at least 1 tick, got -3");
    EXPECT_EQ(error({4, -1, 4}), "indices[1] = -1 is negative");
    EXPECT_EQ(error({4, n, 4}), "indices[1] = " + std::to_string(n) +
                                    " is out of range: the network has " + std::to_string(n) +
                                    " synapses");
    EXPECT_EQ(error({4, 9, 7, 9, 4, n}), "indices[3] = 9 is listed twice (also indices[1])");
    EXPECT_EQ(error({8, 6, 6, 8, 6}), "indices[2] = 6 is listed twice (also indices[1])");
    // A fault before the first repeat is named first.
    EXPECT_EQ(error({3, n + 5, 3}), "indices[1] = " + std::to_string(n + 5) +
                                        " is out of range: the network has " + std::to_string(n) +
                                        " synapses");
    tick(*instance);
    tick(*instance);
    std::optional<RecordedWeights> still = instance->core().synapse_recorder().stop();
    ASSERT_TRUE(still);
    EXPECT_EQ(still->indices, (Ticks{5, 2}));
    EXPECT_EQ(still->ts, (Ticks{0, 2}));
}

}  // namespace
}  // namespace synaptor
