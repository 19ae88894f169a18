#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <set>

#include "instance/instance.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

using Ids = std::vector<std::uint64_t>;

LayerParams make_layer(std::uint64_t num_neurons) {
    LayerParams layer;
    layer.num_neurons = num_neurons;
    layer.neuron_params = NeuronParams{10.0f, 2, 0.0f, 20, 1.0f, 50.0f, 0.0f};
    return layer;
}

// Unconnected layers: every spike is a forced one, so the tick results show
// exactly what the stimulus delivered.
Instance make_instance(std::vector<std::uint64_t> layer_sizes, std::uint64_t seed = 0) {
    InstanceParams params;
    for (std::uint64_t n : layer_sizes) params.layers.push_back(make_layer(n));
    params.technical_params.num_threads = 1;
    auto core = InstanceCore::create(std::move(params));
    if (!core) panic(core.error());
    return Instance(std::move(core).value(), seed);
}

TEST(Instance, ForcedNeuronOrderIsCallerThenRandomThenScheduled) {
    Instance instance = make_instance({30});
    Stimulus stimulus;
    stimulus.force_neuron_spikes_ts = {0, 0};
    stimulus.force_neuron_spikes_ids = {7, 3};
    instance.apply_stimulus(stimulus);
    instance.non_coherent_stimulation_rate = std::numeric_limits<double>::infinity();
    TickInput input;
    input.force_spiking_nids = {29, 28};
    instance.apply_tick_stimulus(input);
    const Ids& nids = input.force_spiking_nids;
    ASSERT_EQ(nids.size(), 2u + 30u + 2u);
    EXPECT_EQ(Ids(nids.begin(), nids.begin() + 2), (Ids{29, 28}));
    EXPECT_EQ(std::set<std::uint64_t>(nids.begin() + 2, nids.end() - 2).size(), 30u);
    EXPECT_EQ(Ids(nids.end() - 2, nids.end()), (Ids{7, 3}));
}

TEST(Instance, ScheduledEntriesGoToTheirTargetLists) {
    Instance instance = make_instance({4, 3});
    Stimulus stimulus;
    stimulus.in_channel_spikes_ts = {0, 1};
    stimulus.in_channel_spikes_ids = {2, 3};
    stimulus.force_out_channel_spikes_ts = {0};
    stimulus.force_out_channel_spikes_ids = {1, 99};  // surplus id ignored
    stimulus.force_neuron_spikes_ids = {5};           // no ticks: pair skipped
    instance.apply_stimulus(stimulus);
    TickInput input;
    input.spiking_in_channel_ids = {0};
    instance.apply_tick_stimulus(input);
    EXPECT_EQ(input.spiking_in_channel_ids, (Ids{0, 2}));
    EXPECT_EQ(input.force_spiking_out_channel_ids, (Ids{1}));
    EXPECT_TRUE(input.force_spiking_nids.empty());
    // The stimulus was only looked at: t is still 0, so the same tick's entries
    // are gone and the next ones are not due yet.
    TickInput again;
    instance.apply_tick_stimulus(again);
    EXPECT_TRUE(again.spiking_in_channel_ids.empty());
}

TEST(Instance, PastEntryBlocksItsQueueButNotOthers) {
    Instance instance = make_instance({10});
    Stimulus late;
    late.force_neuron_spikes_ts = {2, 1, 3};
    late.force_neuron_spikes_ids = {1, 2, 3};
    instance.apply_stimulus(late);
    Stimulus other;
    other.force_neuron_spikes_ts = {1, 3};
    other.force_neuron_spikes_ids = {8, 9};
    instance.apply_stimulus(other);
    const BatchTickResult batch = instance.tick_until(6);
    EXPECT_EQ(batch.neuron_spikes_ts, (Ids{1, 2, 3}));
    EXPECT_EQ(batch.neuron_spikes_ids, (Ids{8, 1, 9}));
}

TEST(Instance, TickUntilCollectsSpikesAndOutputChannels) {
    Instance instance = make_instance({2, 3});
    Stimulus stimulus;
    stimulus.force_out_channel_spikes_ts = {1, 1, 4};
    stimulus.force_out_channel_spikes_ids = {2, 0, 2};
    stimulus.in_channel_spikes_ts = {1};
    stimulus.in_channel_spikes_ids = {1};
    instance.apply_stimulus(stimulus);
    const BatchTickResult batch = instance.tick_until(5);
    EXPECT_EQ(instance.t(), 5u);
    EXPECT_EQ(batch.neuron_spikes_ts, (Ids{1, 1, 1, 4}));
    EXPECT_EQ(batch.neuron_spikes_ids, (Ids{1, 2, 4, 4}));
    EXPECT_EQ(batch.out_channel_spikes_ts, (Ids{1, 1, 4}));
    EXPECT_EQ(batch.out_channel_spikes_ids, (Ids{0, 2, 2}));
    EXPECT_EQ(batch.synaptic_transmission_count, 0u);
    EXPECT_TRUE(instance.tick_until(5).neuron_spikes_ts.empty());
    EXPECT_TRUE(instance.tick_until(2).neuron_spikes_ts.empty());
    EXPECT_EQ(instance.t(), 5u);
}

TEST(Instance, AFailedTickLeavesTheCompletedTicksOfItsBatch) {
    Instance instance = make_instance({2, 3});
    instance.tick_until(2);
    Stimulus stimulus;
    stimulus.force_neuron_spikes_ts = {1, 3};
    stimulus.force_neuron_spikes_ids = {0, 1};
    stimulus.in_channel_spikes_ts = {4};
    stimulus.in_channel_spikes_ids = {99};  // no such input channel: tick 6 fails
    instance.apply_stimulus(stimulus);
    BatchTickResult batch;
    EXPECT_THROW(instance.tick_until_into(20, batch), Panic);
    EXPECT_EQ(batch.start_t, 2u);
    EXPECT_EQ(batch.end_t, 6u);
    EXPECT_EQ(batch.neuron_spikes_ts, (Ids{3, 5}));
    EXPECT_EQ(batch.neuron_spikes_ids, (Ids{0, 1}));

    // A batch that ends normally covers its ticks, even without a spike.
    const BatchTickResult quiet = make_instance({2}).tick_until(4);
    EXPECT_EQ(quiet.start_t, 0u);
    EXPECT_EQ(quiet.end_t, 4u);
}

TEST(Instance, StopCheckEndsABatchBetweenTicksAndIsAskedOnlyAfterItsInterval) {
    Instance instance = make_instance({50});
    instance.non_coherent_stimulation_rate = 0.2;
    const auto start = std::chrono::steady_clock::now();
    int asked = 0;
    const Instance::StopCheck stop = [&] {
        ++asked;
        // The first question comes one interval into the batch.
        EXPECT_GE(std::chrono::steady_clock::now() - start, Instance::kStopCheckInterval);
        return asked == 2;
    };
    const std::uint64_t far = std::numeric_limits<std::uint64_t>::max();
    BatchTickResult batch = instance.tick_until(far, stop);
    EXPECT_EQ(asked, 2);
    const std::uint64_t t = instance.t();
    ASSERT_GT(t, 0u);
    ASSERT_FALSE(batch.neuron_spikes_ts.empty());
    EXPECT_EQ(batch.neuron_spikes_ts.back(), t - 1);  // the ticks run so far, all of them

    asked = 0;
    EXPECT_FALSE(instance.tick_until_ignore_output(far, [&] { return ++asked == 1; }));
    EXPECT_GT(instance.t(), t);
    EXPECT_TRUE(instance.tick_until_ignore_output(instance.t() + 5, [] { return true; }));
}

TEST(Instance, BadScheduledIdInBatchIsAPanicAfterEarlierTicks) {
    Instance instance = make_instance({3});
    Stimulus stimulus;
    stimulus.force_neuron_spikes_ts = {1, 2};
    stimulus.force_neuron_spikes_ids = {0, 3};
    instance.apply_stimulus(stimulus);
    try {
        instance.tick_until_ignore_output(10);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.text(),
                  "called `Result::unwrap()` on an `Err` value: \"Invalid neuron id for forced "
                  "spike: 3\"");
    }
    EXPECT_EQ(instance.t(), 2u);
    EXPECT_TRUE(instance.tick_until(4).neuron_spikes_ids.empty());
}

TEST(Instance, BadScheduledIdInTickIsAnErrorText) {
    Instance instance = make_instance({3});
    Stimulus stimulus;
    stimulus.in_channel_spikes_ts = {0};
    stimulus.in_channel_spikes_ids = {3};
    instance.apply_stimulus(stimulus);
    Result<TickResult> result = instance.tick(TickInput{});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "Invalid input channel id: 3");
    EXPECT_EQ(instance.t(), 0u);
}

TEST(Instance, RateWithoutNeuronsIsBadParams) {
    Instance instance = make_instance({0});
    instance.non_coherent_stimulation_rate = 0.5;
    try {
        instance.tick_until(1);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.text(), "called `Result::unwrap()` on an `Err` value: BadParams");
    }
    instance.non_coherent_stimulation_rate = std::nan("");
    EXPECT_TRUE(instance.tick_until(2).neuron_spikes_ids.empty());
}

TEST(Instance, RandomSpikesAreDistinctCappedAndSeeded) {
    for (double rate : {0.5, 4.0, 1e300, std::numeric_limits<double>::infinity()}) {
        Instance instance = make_instance({100}, 3);
        instance.non_coherent_stimulation_rate = rate;
        TickInput input;
        instance.apply_tick_stimulus(input);
        const Ids& nids = input.force_spiking_nids;
        EXPECT_EQ(std::set<std::uint64_t>(nids.begin(), nids.end()).size(), nids.size());
        EXPECT_TRUE(std::all_of(nids.begin(), nids.end(), [](auto n) { return n < 100; }));
        if (rate > 1.0) {
            EXPECT_EQ(nids.size(), 100u) << rate;
        }
    }
    auto draw = [](std::uint64_t seed) {
        Instance instance = make_instance({500}, seed);
        instance.non_coherent_stimulation_rate = 0.02;
        return instance.tick_until(20).neuron_spikes_ids;
    };
    EXPECT_EQ(draw(11), draw(11));
    EXPECT_NE(draw(11), draw(12));
}

}  // namespace
}  // namespace synaptor
