#include "instance/instance_core.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "instance/instance_core_options.hpp"
#include "instance_test_support.hpp"
#include "params/validate_params.hpp"
#include "util/available_cpus.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

using test::full_connection;
using test::layer;
using test::network;

std::unique_ptr<InstanceCore> create_ok(InstanceParams params,
                                        const InstanceCoreOptions& options = {}) {
    auto created = create_instance_core(std::move(params), options);
    if (!created.ok()) ADD_FAILURE() << created.error();
    return created.ok() ? std::move(created).value() : nullptr;
}

InstanceCoreOptions without_cpu_check() {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    return options;
}

TickResult tick_ok(InstanceCore& core, const TickInput& input) {
    auto result = core.tick(input);
    if (!result.ok()) ADD_FAILURE() << result.error();
    return result.ok() ? std::move(result).value() : TickResult{};
}

TickInput forcing_nids(std::vector<std::uint64_t> nids) {
    TickInput input;
    input.force_spiking_nids = std::move(nids);
    return input;
}

using Ids = std::vector<std::uint64_t>;

TEST(InstanceCore, ValidationFailureIsPrefixedAndStartsNothing) {
    InstanceParams params = network({3, 4}, 1);
    params.layers[1].neuron_params.tau_membrane = 0.0f;
    const Status valid = validate_params(params);
    ASSERT_FALSE(valid.ok());
    auto created = InstanceCore::create(params);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error(), "invalid instance parameters, " + valid.error());

    // A failing worker start hook would be seen at a tick; with a validation
    // failure no worker starts at all, so the hook can never run.
    InstanceCoreOptions options;
    options.test_hooks.before_build = [](std::uint64_t) { std::abort(); };
    EXPECT_FALSE(create_instance_core(params, options).ok());
}

TEST(InstanceCore, MoreThreadsThanCpusAreRejectedUnlessTheCheckIsSkipped) {
    InstanceParams params = network({2, 2}, available_cpu_count() + 1);
    auto created = InstanceCore::create(params);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error(),
              "invalid instance parameters, num_threads must not be greater than number of "
              "available CPUs");
    auto core = create_ok(params, without_cpu_check());
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_partitions(), available_cpu_count() + 1);

    // Only the CPU rule is skipped.
    params.layers[0].neuron_params.tau_membrane = -1.0f;
    EXPECT_FALSE(create_instance_core(params, without_cpu_check()).ok());
}

TEST(InstanceCore, AbsentThreadCountUsesTheAvailableCpus) {
    InstanceParams params = network({2}, 0);
    params.technical_params.num_threads.reset();
    auto core = create_ok(params);
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_partitions(), available_cpu_count());
}

TEST(InstanceCore, NumbersNeuronsAndChannelsByLayer) {
    auto core = create_ok(network({3, 5, 2}, 1));
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_neurons(), 10u);
    EXPECT_EQ(core->num_in_channels(), 3u);
    EXPECT_EQ(core->num_out_channels(), 2u);
    EXPECT_EQ(core->t(), 0u);

    TickInput input;
    input.spiking_in_channel_ids = {2};
    input.force_spiking_out_channel_ids = {1, 0};
    input.force_spiking_nids = {5};
    TickResult result = tick_ok(*core, input);
    EXPECT_EQ(result.t, 0u);
    EXPECT_EQ(core->t(), 1u);
    EXPECT_EQ(result.spiking_nids, (Ids{2, 5, 8, 9}));
    EXPECT_EQ(result.spiking_out_channel_ids, (Ids{0, 1}));

    // A neuron of the last layer forced by nid is reported as its channel too.
    result = tick_ok(*core, forcing_nids({9}));
    EXPECT_EQ(result.t, 1u);
    EXPECT_EQ(result.spiking_out_channel_ids, (Ids{1}));
}

TEST(InstanceCore, OneLayerIsBothInputAndOutput) {
    auto core = create_ok(network({4}, 1));
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_in_channels(), 4u);
    EXPECT_EQ(core->num_out_channels(), 4u);
    TickInput input;
    input.spiking_in_channel_ids = {3};
    input.force_spiking_out_channel_ids = {1};
    TickResult result = tick_ok(*core, input);
    EXPECT_EQ(result.spiking_nids, (Ids{1, 3}));
    EXPECT_EQ(result.spiking_out_channel_ids, (Ids{1, 3}));
}

TEST(InstanceCore, WithoutLayersEveryIdIsOutOfRange) {
    auto core = create_ok(network({}, 1));
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_neurons(), 0u);
    EXPECT_EQ(core->num_out_channels(), 0u);
    TickInput input;
    input.extract_state_snapshot = true;
    TickResult result = tick_ok(*core, input);
    ASSERT_TRUE(result.state_snapshot);
    EXPECT_TRUE(result.state_snapshot->membrane_voltages.empty());
    input.force_spiking_out_channel_ids = {0};
    EXPECT_EQ(core->tick(input).error(), "Invalid output channel id for forced spike: 0");
}

TEST(InstanceCore, RejectsBadIdsInFixedOrderAndChangesNothing) {
    InstanceParams params = network({3, 2}, 2);
    params.layer_connections.push_back(full_connection(0, 1, 2.0f));
    auto core = create_ok(params);
    ASSERT_TRUE(core);
    ASSERT_EQ(tick_ok(*core, forcing_nids({0})).spiking_nids, (Ids{0}));

    TickInput bad;
    bad.spiking_in_channel_ids = {0, 3};
    bad.force_spiking_nids = {5};
    bad.force_spiking_out_channel_ids = {2};
    EXPECT_EQ(core->tick(bad).error(), "Invalid input channel id: 3");
    bad.spiking_in_channel_ids = {1};
    EXPECT_EQ(core->tick(bad).error(), "Invalid neuron id for forced spike: 5");
    bad.force_spiking_nids = {4};
    EXPECT_EQ(core->tick(bad).error(), "Invalid output channel id for forced spike: 2");
    bad.force_spiking_out_channel_ids = {18446744073709551615ull};
    EXPECT_EQ(core->tick(bad).error(),
              "Invalid output channel id for forced spike: 18446744073709551615");
    EXPECT_EQ(core->t(), 1u);

    // The spike of tick 0 still reaches layer 1 in the tick after the rejections.
    TickResult result = tick_ok(*core, TickInput{});
    EXPECT_EQ(result.t, 1u);
    EXPECT_EQ(result.spiking_nids, (Ids{3, 4}));
    EXPECT_EQ(result.spiking_out_channel_ids, (Ids{0, 1}));
    EXPECT_EQ(result.synaptic_transmission_count, 2u);
}

TEST(InstanceCore, KeepsDuplicateForcedSpikes) {
    auto core = create_ok(network({2, 3}, 2));
    ASSERT_TRUE(core);
    TickInput input;
    input.spiking_in_channel_ids = {1};
    input.force_spiking_nids = {4, 1};
    input.force_spiking_out_channel_ids = {2};
    TickResult result = tick_ok(*core, input);
    EXPECT_EQ(result.spiking_nids, (Ids{1, 1, 4, 4}));
    EXPECT_EQ(result.spiking_out_channel_ids, (Ids{2, 2}));
}

TEST(InstanceCore, WithoutWorkersTicksReturnNothing) {
    auto core = create_ok(network({3, 2}, 0));
    ASSERT_TRUE(core);
    EXPECT_EQ(core->num_partitions(), 0u);
    TickInput input;
    input.spiking_in_channel_ids = {0};
    input.force_spiking_out_channel_ids = {1};
    input.extract_state_snapshot = true;
    for (std::uint64_t t = 0; t < 3; ++t) {
        TickResult result = tick_ok(*core, input);
        EXPECT_EQ(result.t, t);
        EXPECT_TRUE(result.spiking_nids.empty());
        EXPECT_TRUE(result.spiking_out_channel_ids.empty());
        EXPECT_EQ(result.synaptic_transmission_count, 0u);
        ASSERT_TRUE(result.state_snapshot);
        EXPECT_TRUE(result.state_snapshot->membrane_voltages.empty());
        EXPECT_TRUE(result.state_snapshot->weights.empty());
    }
    EXPECT_EQ(core->tick(forcing_nids({5})).error(), "Invalid neuron id for forced spike: 5");
}

TEST(InstanceCore, SpikesCrossPartitionsAsWithinOne) {
    for (std::uint64_t threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        InstanceParams params = network({4, 4}, threads);
        params.layer_connections.push_back(full_connection(0, 1, 2.0f));
        auto core = create_ok(params, without_cpu_check());
        ASSERT_TRUE(core);
        // nid 0 lives in partition 0, nid 3 in the last partition; the targets
        // 4..7 are spread over all of them.
        for (std::uint64_t source : {0u, 3u}) {
            TickResult forced = tick_ok(*core, forcing_nids({source}));
            EXPECT_EQ(forced.spiking_nids, (Ids{source}));
            TickResult next = tick_ok(*core, TickInput{});
            EXPECT_EQ(next.spiking_nids, (Ids{4, 5, 6, 7}));
            EXPECT_EQ(next.spiking_out_channel_ids, (Ids{0, 1, 2, 3}));
            EXPECT_EQ(next.synaptic_transmission_count, 4u);
            // Let the refractory period pass before the next source.
            for (int i = 0; i < 3; ++i) {
                EXPECT_TRUE(tick_ok(*core, TickInput{}).spiking_nids.empty());
            }
        }
        EXPECT_EQ(core->t(), 10u);
    }
}

TEST(InstanceCore, SnapshotListsEveryNeuronInNidOrder) {
    InstanceParams params = network({5, 3, 0, 4}, 3);
    params.layer_connections.push_back(full_connection(0, 1, 0.15f));
    params.layer_connections.push_back(full_connection(1, 3, 0.5f));
    auto core = create_ok(params, without_cpu_check());
    ASSERT_TRUE(core);
    TickInput input;
    input.spiking_in_channel_ids = {0, 1, 2, 3, 4};
    tick_ok(*core, input);
    input = TickInput{};
    input.extract_state_snapshot = true;
    TickResult result = tick_ok(*core, input);
    ASSERT_TRUE(result.state_snapshot);
    const StateSnapshot& snapshot = *result.state_snapshot;
    ASSERT_EQ(snapshot.membrane_voltages.size(), 12u);
    // Five inputs of 0.15 onto each neuron of layer 1 within tick 1.
    float layer1_voltage = 0.0f * expf(-1.0f / 10.0f) + 0.15f;
    for (int i = 0; i < 4; ++i) layer1_voltage = layer1_voltage * expf(-0.0f / 10.0f) + 0.15f;
    for (std::uint64_t nid = 0; nid < 12; ++nid) {
        const float expected = nid >= 5 && nid < 8 ? layer1_voltage : 0.0f;
        EXPECT_EQ(snapshot.membrane_voltages[nid], expected) << nid;
    }
    ASSERT_EQ(snapshot.post_syn_nids.size(), snapshot.pre_syn_nids.size());
    ASSERT_EQ(snapshot.weights.size(), snapshot.pre_syn_nids.size());
    ASSERT_EQ(snapshot.conduction_delays.size(), snapshot.pre_syn_nids.size());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
    for (std::size_t i = 0; i < snapshot.pre_syn_nids.size(); ++i) {
        const bool from_layer0 = snapshot.pre_syn_nids[i] < 5;
        EXPECT_EQ(snapshot.weights[i], from_layer0 ? 0.15f : 0.5f);
        EXPECT_EQ(snapshot.conduction_delays[i], 1u);
        // Segments come in first-nid order: a synapse never targets a lower
        // layer than the one before it.
        if (i > 0) {
            EXPECT_GE(snapshot.post_syn_nids[i] >= 8, snapshot.post_syn_nids[i - 1] >= 8);
        }
        pairs.emplace_back(snapshot.pre_syn_nids[i], snapshot.post_syn_nids[i]);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected_pairs;
    for (std::uint64_t pre = 0; pre < 5; ++pre)
        for (std::uint64_t post = 5; post < 8; ++post) expected_pairs.emplace_back(pre, post);
    for (std::uint64_t pre = 5; pre < 8; ++pre)
        for (std::uint64_t post = 8; post < 12; ++post) expected_pairs.emplace_back(pre, post);
    std::sort(pairs.begin(), pairs.end());
    EXPECT_EQ(pairs, expected_pairs);
    EXPECT_FALSE(tick_ok(*core, TickInput{}).state_snapshot.has_value());
}

/// The plastic network over layers of 12, 9 and 5 neurons, connections of
/// maximum weight 4 without self-innervation, seed 7.
InstanceParams plastic_network(std::uint64_t num_threads) {
    return test::plastic_network(network({12, 9, 5}, num_threads), full_connection, 7);
}

struct NetworkRun {
    std::vector<TickResult> ticks;
};

/// Synapses of a snapshot as a sorted list, since their order across
/// partitions depends on how the layers are divided.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint8_t, float>> synapse_set(
    const StateSnapshot& snapshot) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint8_t, float>> set;
    for (std::size_t i = 0; i < snapshot.pre_syn_nids.size(); ++i) {
        set.emplace_back(snapshot.pre_syn_nids[i], snapshot.post_syn_nids[i],
                         snapshot.conduction_delays[i], snapshot.weights[i]);
    }
    std::sort(set.begin(), set.end());
    return set;
}

NetworkRun run_plastic_network(std::uint64_t num_threads, std::uint64_t num_ticks,
                               bool lend_first_partition = true) {
    NetworkRun run;
    InstanceCoreOptions options = without_cpu_check();
    options.lend_first_partition = lend_first_partition;
    auto core = create_ok(plastic_network(num_threads), options);
    if (!core) return run;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    for (std::uint64_t t = 0; t < num_ticks; ++t) {
        TickInput input;
        for (std::uint64_t c = 0; c < core->num_in_channels(); ++c) {
            if (next() % 10 < 3) input.spiking_in_channel_ids.push_back(c);
        }
        if (next() % 7 == 0) input.force_spiking_nids.push_back(next() % core->num_neurons());
        if (next() % 11 == 0) input.force_spiking_out_channel_ids.push_back(next() % 5);
        input.reward = static_cast<float>(static_cast<int>(next() % 5) - 2) * 0.25f;
        input.extract_state_snapshot = t % 40 == 39;
        run.ticks.push_back(tick_ok(*core, input));
    }
    return run;
}

TEST(InstanceCore, ResultsDoNotDependOnTheThreadCount) {
    constexpr std::uint64_t kTicks = 400;
    // The reference runs every partition on its own worker; the others let
    // the calling thread run partition 0 and claim ticks of the rest.
    const NetworkRun reference = run_plastic_network(1, kTicks, false);
    ASSERT_EQ(reference.ticks.size(), kTicks);
    std::uint64_t spikes = 0;
    std::uint64_t transmissions = 0;
    for (const TickResult& tick : reference.ticks) {
        spikes += tick.spiking_nids.size();
        transmissions += tick.synaptic_transmission_count;
    }
    // The comparison means something only if the network is busy and its
    // weights move.
    EXPECT_GT(spikes, kTicks);
    EXPECT_GT(transmissions, 10 * kTicks);
    ASSERT_TRUE(reference.ticks[39].state_snapshot && reference.ticks[kTicks - 1].state_snapshot);
    EXPECT_NE(reference.ticks[39].state_snapshot->weights,
              reference.ticks[kTicks - 1].state_snapshot->weights);

    const std::vector<std::pair<std::uint64_t, bool>> runs = {
        {1, true}, {2, true}, {3, true}, {4, true}, {3, false}};
    for (const auto& [threads, lend] : runs) {
        SCOPED_TRACE(threads);
        SCOPED_TRACE(lend);
        const NetworkRun run = run_plastic_network(threads, kTicks, lend);
        ASSERT_EQ(run.ticks.size(), kTicks);
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            const TickResult& expected = reference.ticks[t];
            const TickResult& actual = run.ticks[t];
            ASSERT_EQ(actual.t, t);
            ASSERT_EQ(actual.spiking_nids, expected.spiking_nids) << "tick " << t;
            ASSERT_EQ(actual.spiking_out_channel_ids, expected.spiking_out_channel_ids);
            ASSERT_EQ(actual.synaptic_transmission_count, expected.synaptic_transmission_count);
            ASSERT_EQ(actual.state_snapshot.has_value(), expected.state_snapshot.has_value());
            if (!expected.state_snapshot) continue;
            ASSERT_EQ(actual.state_snapshot->membrane_voltages,
                      expected.state_snapshot->membrane_voltages)
                << "tick " << t;
            ASSERT_EQ(synapse_set(*actual.state_snapshot), synapse_set(*expected.state_snapshot))
                << "tick " << t;
        }
    }
}

bool pinned_to_exactly(std::uint64_t cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
    return CPU_COUNT(&set) == 1 && CPU_ISSET(static_cast<int>(cpu), &set);
}

TEST(InstanceCore, PinsWorkerKToCpuK) {
    const std::uint64_t threads = std::min<std::uint64_t>(available_cpu_count(), 4);
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    for (std::uint64_t cpu = 0; cpu < threads; ++cpu) {
        if (!CPU_ISSET(static_cast<int>(cpu), &allowed)) {
            GTEST_SKIP() << "CPU " << cpu << " is not allowed here";
        }
    }
    InstanceParams params = network({4, 4}, threads);
    params.technical_params.pin_threads = true;
    InstanceCoreOptions options;
    options.test_hooks.before_build = [](std::uint64_t partition_index) {
        if (!pinned_to_exactly(partition_index)) panic("worker is not pinned to its CPU");
    };
    auto core = create_ok(params, options);
    ASSERT_TRUE(core);
    EXPECT_NO_THROW(tick_ok(*core, forcing_nids({0})));
}

TEST(InstanceCore, RefusedPinningIsIgnored) {
    // No CPU of that number exists here: the system refuses and the thread
    // keeps its affinity.
    std::thread thread([] {
        cpu_set_t before;
        CPU_ZERO(&before);
        ASSERT_EQ(sched_getaffinity(0, sizeof(before), &before), 0);
        pin_current_thread(5000);
        cpu_set_t after;
        CPU_ZERO(&after);
        ASSERT_EQ(sched_getaffinity(0, sizeof(after), &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
    });
    thread.join();
}

std::string panic_text_of(InstanceCore& core, const TickInput& input) {
    try {
        (void)core.tick(input);
    } catch (const Panic& failure) {
        return failure.text();
    }
    return "no panic";
}

std::string creation_panic_text(InstanceParams params, const InstanceCoreOptions& options) {
    try {
        (void)create_instance_core(std::move(params), options);
    } catch (const Panic& failure) {
        return failure.text();
    }
    return "no panic";
}

TEST(InstanceCore, WorkerFailingWhileBuildingFailsCreation) {
    InstanceCoreOptions options;
    options.test_hooks.before_build = [](std::uint64_t partition_index) {
        if (partition_index == 1) panic("partition 1 could not be built");
    };
    EXPECT_EQ(creation_panic_text(network({4, 4}, 2), options), "partition 1 could not be built");
}

TEST(InstanceCore, PartitionTooLargeForMemoryFailsCreationAsOutOfMemory) {
    InstanceCoreOptions options;
    options.test_hooks.before_build = [](std::uint64_t partition_index) {
        if (partition_index == 0) throw std::bad_alloc();
    };
    EXPECT_THROW((void)create_instance_core(network({4, 4}, 2), options), std::bad_alloc);
    // A container asked for more than it can hold counts the same.
    options.test_hooks.before_build = [](std::uint64_t) {
        std::vector<std::uint64_t> huge;
        huge.resize(std::size_t{1} << 62);
    };
    EXPECT_THROW((void)create_instance_core(network({4, 4}, 2), options), std::bad_alloc);
}

TEST(InstanceCore, CreationReturnsWithEveryPartitionBuilt) {
    static std::atomic<int> built{0};
    built = 0;
    InstanceCoreOptions options;
    options.test_hooks.before_build = [](std::uint64_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ++built;
    };
    auto core = create_ok(network({4, 4}, 2), options);
    ASSERT_TRUE(core);
    EXPECT_EQ(built.load(), 2);
}

TEST(InstanceCore, WorkerFailingWhileTickingFailsThatTick) {
    InstanceCoreOptions options = without_cpu_check();
    options.test_hooks.before_tick = [](std::uint64_t partition_index, const TickCommand& command) {
        if (partition_index == 2 && command.t == 3) throw std::runtime_error("tick 3 went wrong");
    };
    auto core = create_ok(network({6, 6}, 3), options);
    ASSERT_TRUE(core);
    for (int i = 0; i < 3; ++i) tick_ok(*core, forcing_nids({0}));
    EXPECT_EQ(panic_text_of(*core, TickInput{}), "tick 3 went wrong");
    EXPECT_EQ(core->t(), 3u);
    EXPECT_EQ(panic_text_of(*core, TickInput{}), "tick 3 went wrong");
}

TEST(InstanceCore, MissingSnapshotIsAPanic) {
    InstanceCoreOptions options;
    options.test_hooks.after_tick = [](std::uint64_t partition_index, PartitionTickResult& result) {
        if (partition_index == 1) result.state_snapshot.reset();
    };
    auto core = create_ok(network({3, 3}, 2), options);
    ASSERT_TRUE(core);
    tick_ok(*core, forcing_nids({0, 5}));  // no snapshot asked, none missing
    TickInput input;
    input.extract_state_snapshot = true;
    EXPECT_EQ(panic_text_of(*core, input), "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(core->t(), 1u);
    EXPECT_EQ(panic_text_of(*core, TickInput{}), "called `Option::unwrap()` on a `None` value");
}

TEST(InstanceCore, AllWorkersEndedIsAReceiveErrorOnThatTickAndLater) {
    InstanceCoreOptions options = without_cpu_check();
    options.test_hooks.before_tick = [](std::uint64_t partition_index, const TickCommand& command) {
        if (command.t == 1) throw std::bad_alloc();
        (void)partition_index;
    };
    const std::string recv_error = "called `Result::unwrap()` on an `Err` value: RecvError";
    for (std::uint64_t threads : {1u, 3u}) {
        auto core = create_ok(network({6, 6}, threads), options);
        ASSERT_TRUE(core);
        tick_ok(*core, forcing_nids({0}));
        // Each worker's own text goes to standard error; the tick reports
        // that no worker is left to answer.
        EXPECT_EQ(panic_text_of(*core, TickInput{}), recv_error);
        EXPECT_EQ(core->t(), 1u);
        EXPECT_EQ(panic_text_of(*core, TickInput{}), recv_error);
        // Destroyed here: shutdown still joins every worker.
    }
}

TEST(InstanceCore, ForkedChildGetsAPanicAndDestroysWithoutWaiting) {
    auto core = create_ok(network({4, 4}, 2));
    ASSERT_TRUE(core);
    tick_ok(*core, forcing_nids({0}));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe exits from here: the child must not run
        // the parent's test teardown.
        int code = 0;
        try {
            (void)core->tick(TickInput{});
            code = 2;
        } catch (const Panic& failure) {
            if (failure.text().find("forked child process") == std::string::npos) code = 3;
        }
        core.reset();  // must not wait for workers that do not exist here
        _exit(code);
    }
    int status = 0;
    pid_t waited = 0;
    for (int i = 0; i < 200 && waited == 0; ++i) {
        waited = waitpid(child, &status, WNOHANG);
        if (waited == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waited == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the forked child hung";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's instance carries on.
    EXPECT_EQ(tick_ok(*core, TickInput{}).t, 1u);
}

TEST(InstanceCore, RefusedThreadIsAPanicAndStartedWorkersEnd) {
    InstanceCoreOptions options;
    options.worker_stack_size = [](std::uint64_t partition_index) -> std::size_t {
        // No system grants a stack of 2^62 bytes.
        return partition_index == 0 ? kWorkerStackSize : std::size_t{1} << 62;
    };
    try {
        (void)create_instance_core(network({4, 4}, 2), options);
        ADD_FAILURE() << "creation did not fail";
    } catch (const Panic& failure) {
        const std::string text = failure.text();
        EXPECT_EQ(text.rfind("failed to spawn thread: ", 0), 0u) << text;
        EXPECT_NE(text.find(std::strerror(EAGAIN)), std::string::npos) << text;
    }
}

TEST(InstanceCore, DestroyingRightAfterCreationReturns) {
    for (std::uint64_t threads : {1u, 2u, 3u}) {
        auto core = create_ok(plastic_network(threads), without_cpu_check());
        ASSERT_TRUE(core);
    }
}

}  // namespace
}  // namespace synaptor
