#include "instance/checkpoint.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "instance_test_support.hpp"
#include "partition/partition.hpp"
#include "partition_test_support.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to, float weight) {
    LayerConnectionParams c;
    c.from_layer_id = from;
    c.to_layer_id = to;
    c.projection_params.synapse_params = {1.0f, 1.0f};
    c.connect_density = 1.0;
    c.connect_width = 2.0;
    c.initial_syn_weight = {InitialSynWeight::Kind::Constant, weight};
    c.allow_self_innervation = true;
    return c;
}

/// The plastic network over layers of 24, 30 and 10 neurons, connections of
/// maximum weight 1 that may innervate their own neurons.
InstanceParams plastic_network(std::uint64_t seed = 7) {
    InstanceParams params;
    for (std::uint64_t n : {24, 30, 10}) {
        LayerParams layer;
        layer.num_neurons = n;
        layer.neuron_params = NeuronParams{10.0f, 2, 0.0f, 20, 1.0f, 50.0f, 0.0f};
        params.layers.push_back(layer);
    }
    return test::plastic_network(std::move(params), connection, seed);
}

std::unique_ptr<Instance> make_instance(std::uint64_t threads, std::uint64_t creation_seed,
                                        std::uint64_t network_seed = 7,
                                        const WorkerTestHooks& hooks = {}) {
    InstanceParams params = plastic_network(network_seed);
    params.technical_params.num_threads = threads;
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    options.test_hooks = hooks;
    auto core = create_instance_core(std::move(params), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), creation_seed);
    instance->non_coherent_stimulation_rate = 0.02;
    instance->reward_rate = 0.25f;
    return instance;
}

/// The caller's input of tick t: a function of t alone, so that a run can be
/// continued from any tick with the same inputs.
TickInput input_of(std::uint64_t t, std::uint64_t num_neurons) {
    std::uint64_t state = t * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    TickInput input;
    for (std::uint64_t c = 0; c < 24; ++c) {
        if (next() % 10 < 3) input.spiking_in_channel_ids.push_back(c);
    }
    if (next() % 7 == 0) input.force_spiking_nids.push_back(next() % num_neurons);
    input.reward = static_cast<float>(static_cast<int>(next() % 5) - 2) * 0.25f;
    input.extract_state_snapshot = t % 50 == 49;
    return input;
}

/// Ticks until t_end; every result kept.
std::vector<TickResult> run_until(Instance& instance, std::uint64_t t_end) {
    std::vector<TickResult> results;
    while (instance.t() < t_end) {
        if (instance.t() == 100) {
            // A schedule that reaches past the save tick.
            Stimulus stimulus;
            stimulus.in_channel_spikes_ts = {5, 30, 55, 90};
            stimulus.in_channel_spikes_ids = {1, 2, 3, 4};
            stimulus.force_neuron_spikes_ts = {40, 70};
            stimulus.force_neuron_spikes_ids = {60, 30};
            instance.apply_stimulus(stimulus);
        }
        Result<TickResult> result = instance.tick(input_of(instance.t(), instance.num_neurons()));
        if (!result) panic(result.error());
        results.push_back(std::move(result).value());
    }
    return results;
}

/// A snapshot's synapses as sorted (pre, post, weight bits).
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> synapse_bits(
    const StateSnapshot& snapshot) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> set;
    for (std::size_t i = 0; i < snapshot.weights.size(); ++i) {
        set.emplace_back(snapshot.pre_syn_nids[i], snapshot.post_syn_nids[i],
                         test::float_bits(snapshot.weights[i]));
    }
    std::sort(set.begin(), set.end());
    return set;
}

void expect_same_ticks(const std::vector<TickResult>& actual,
                       const std::vector<TickResult>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TickResult& a = actual[i];
        const TickResult& e = expected[i];
        ASSERT_EQ(a.t, e.t);
        ASSERT_EQ(a.spiking_nids, e.spiking_nids) << "tick " << e.t;
        ASSERT_EQ(a.spiking_out_channel_ids, e.spiking_out_channel_ids) << "tick " << e.t;
        ASSERT_EQ(a.synaptic_transmission_count, e.synaptic_transmission_count) << "tick " << e.t;
        ASSERT_EQ(a.state_snapshot.has_value(), e.state_snapshot.has_value());
        if (!e.state_snapshot) continue;
        // Bitwise: the same floats, NaN payloads and signed zeros included.
        const auto same_bits = [](const std::vector<float>& x, const std::vector<float>& y) {
            return x.size() == y.size() &&
                   std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
        };
        ASSERT_TRUE(
            same_bits(a.state_snapshot->membrane_voltages, e.state_snapshot->membrane_voltages))
            << "tick " << e.t;
        // The order of a snapshot's synapses follows the partitioning.
        ASSERT_EQ(synapse_bits(*a.state_snapshot), synapse_bits(*e.state_snapshot))
            << "tick " << e.t;
    }
}

struct Pending {
    std::size_t late_events = 0;  ///< events due after the next tick
    std::size_t traces = 0;
    std::size_t recent_inputs = 0;
    std::size_t stp_groups_used = 0;
};

Pending pending_state(Instance& instance) {
    Pending pending;
    instance.core().visit_partitions([&](const std::vector<Partition*>& partitions) {
        for (const Partition* partition : partitions) {
            for (const PartitionLayer& layer : partition->layers) {
                for (std::size_t k = 1; k < layer.delivery_buffer.num_slots(); ++k) {
                    pending.late_events += layer.delivery_buffer.batch_at(k).size();
                }
                if (layer.plasticity_modulator) {
                    pending.traces += layer.plasticity_modulator->eligibility_traces.size();
                }
                for (std::size_t i = 0; i < layer.neurons.size(); ++i) {
                    pending.recent_inputs += test::window(layer, i).size();
                }
                for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
                    if (layer.pre_syn_groups.group_at(g).previous_spike_t) {
                        ++pending.stp_groups_used;
                    }
                }
            }
        }
    });
    return pending;
}

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("synaptor-state-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    static Bytes read_bytes(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void write_bytes(const std::string& file, const Bytes& bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    /// Puts the right length and checksum into a changed file, so that only
    /// its structure is wrong.
    static void fix_checksum(Bytes& bytes) {
        const std::uint64_t length = bytes.size() - kStateFileHeaderSize;
        for (int i = 0; i < 8; ++i) bytes[24 + i] = static_cast<unsigned char>(length >> (8 * i));
        const std::uint64_t sum = state_file_checksum(bytes.data(), bytes.size());
        for (int i = 0; i < 8; ++i) bytes[32 + i] = static_cast<unsigned char>(sum >> (8 * i));
    }

    fs::path dir_;
};

constexpr std::uint64_t kSaveTick = 150;
constexpr std::uint64_t kEndTick = 320;

TEST_F(StateFileTest, ContinuingAfterRestoreEqualsNeverStopping) {
    // The uninterrupted run, saved on the way with two partitions.
    auto reference = make_instance(2, 11);
    run_until(*reference, kSaveTick);
    const std::string saved = path("at150.state");
    reference->save_state(saved);
    const Pending pending = pending_state(*reference);
    // Only a state with something in flight tests the file.
    EXPECT_GT(pending.late_events, 0u);
    EXPECT_GT(pending.traces, 0u);
    EXPECT_GT(pending.recent_inputs, 0u);
    EXPECT_GT(pending.stp_groups_used, 0u);
    const std::vector<TickResult> expected = run_until(*reference, kEndTick);
    std::uint64_t spikes = 0;
    for (const TickResult& tick : expected) spikes += tick.spiking_nids.size();
    EXPECT_GT(spikes, kEndTick - kSaveTick);
    ASSERT_TRUE(expected[249 - kSaveTick].state_snapshot.has_value());

    for (std::uint64_t threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        // Another creation seed: the stimulus generator must come from the file.
        auto restored = make_instance(threads, 99);
        restored->non_coherent_stimulation_rate = 0.5;
        restored->reward_rate = -3.0f;
        run_until(*restored, 20);
        restored->restore_state(saved);
        EXPECT_EQ(restored->t(), kSaveTick);
        EXPECT_EQ(restored->non_coherent_stimulation_rate, 0.02);
        EXPECT_EQ(restored->reward_rate, 0.25f);
        // The same state gives the same file, whatever the partitioning.
        const std::string again = path("again" + std::to_string(threads) + ".state");
        restored->save_state(again);
        EXPECT_EQ(read_bytes(again), read_bytes(saved));
        expect_same_ticks(run_until(*restored, kEndTick), expected);
    }

    // And back: saved with one partition half-way, restored into two.
    auto single = make_instance(1, 5);
    single->restore_state(saved);
    run_until(*single, kSaveTick + 60);
    const std::string halfway = path("at210.state");
    single->save_state(halfway);
    auto pair = make_instance(2, 6);
    pair->restore_state(halfway);
    expect_same_ticks(run_until(*pair, kEndTick),
                      std::vector<TickResult>(expected.begin() + 60, expected.end()));
}

TEST_F(StateFileTest, RefusedFilesLeaveTheInstanceAsItWas) {
    auto reference = make_instance(2, 11);
    run_until(*reference, kSaveTick);
    const std::string saved = path("good.state");
    reference->save_state(saved);
    const std::vector<TickResult> expected = run_until(*reference, kEndTick);
    const Bytes good = read_bytes(saved);
    ASSERT_GT(good.size(), 200u);

    auto other_network = make_instance(2, 11, 8);
    run_until(*other_network, 10);
    other_network->save_state(path("other.state"));

    struct Case {
        std::string name;
        Bytes bytes;
        StateFileError::Kind kind;
        std::string text;
    };
    std::vector<Case> cases;
    auto with = [&](std::string name, Bytes bytes, StateFileError::Kind kind, std::string text) {
        cases.push_back(Case{std::move(name), std::move(bytes), kind, std::move(text)});
    };
    const auto content = StateFileError::Kind::Content;
    with("empty", {}, content, "not a state file");
    with("text", Bytes{'l', 'a', 'y', 'e', 'r', 's', ':', '\n'}, content, "not a state file");
    with("header only", Bytes(good.begin(), good.begin() + 20), content, "truncated");
    with("cut", Bytes(good.begin(), good.end() - 100), content, "truncated");
    Bytes flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    with("flipped", flipped, content, "checksum");
    Bytes extended = good;
    extended.push_back(0);
    with("extended", extended, content, "follows the content");
    Bytes newer = good;
    newer[8] = 3;
    with("newer", newer, content, "version 3 is newer");
    with("other network", read_bytes(path("other.state")), content, "different network");
    // Structure wrong under a right checksum and length: the content ends
    // inside the last record, or goes on after it.
    Bytes short_content(good.begin(), good.end() - 1);
    fix_checksum(short_content);
    with("short content", short_content, content, "damaged");
    Bytes long_content = good;
    long_content.push_back(0);
    fix_checksum(long_content);
    with("long content", long_content, content, "follows the last layer");
    // The last event in flight names another synapse: its synapse index
    // ends just before its 4-byte value.
    Bytes bad_event = good;
    bad_event[bad_event.size() - 5] = 0x7F;
    fix_checksum(bad_event);
    with("bad event", bad_event, content, "damaged");
    // The plasticity switch follows t, the rate and the reward rate.
    Bytes bad_switch = good;
    bad_switch[kStateFileHeaderSize + 8 + 8 + 4] = 2;
    fix_checksum(bad_switch);
    with("bad switch", bad_switch, content, "a flag is neither 0 nor 1");

    auto instance = make_instance(2, 11);
    run_until(*instance, kSaveTick);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = path("case.state");
        write_bytes(file, c.bytes);
        try {
            instance->restore_state(file);
            ADD_FAILURE() << "restored";
        } catch (const StateFileError& failure) {
            EXPECT_EQ(failure.kind(), c.kind);
            EXPECT_NE(std::string(failure.what()).find(c.text), std::string::npos)
                << failure.what();
        }
    }
    try {
        instance->restore_state(path("missing.state"));
        ADD_FAILURE() << "restored a missing file";
    } catch (const StateFileError& failure) {
        EXPECT_EQ(failure.kind(), StateFileError::Kind::Io);
        EXPECT_EQ(failure.error_number(), ENOENT);
    }
    try {
        instance->restore_state(dir_.string());
        ADD_FAILURE() << "restored a directory";
    } catch (const StateFileError& failure) {
        EXPECT_EQ(failure.kind(), StateFileError::Kind::Io);
        EXPECT_EQ(failure.error_number(), EISDIR);
    }
    EXPECT_EQ(instance->t(), kSaveTick);
    expect_same_ticks(run_until(*instance, kEndTick), expected);
}

TEST_F(StateFileTest, SavingReplacesTheFileWholeOrNotAtAll) {
    auto instance = make_instance(2, 3);
    run_until(*instance, 30);
    const std::string file = path("run.state");
    write_bytes(file, Bytes{'o', 'l', 'd'});
    instance->save_state(file);
    run_until(*instance, 60);
    instance->save_state(file);
    auto restored = make_instance(1, 3);
    restored->restore_state(file);
    EXPECT_EQ(restored->t(), 60u);
    // No temporary file is left behind.
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);

    try {
        instance->save_state(path("no-such-dir/run.state"));
        ADD_FAILURE() << "saved into a missing directory";
    } catch (const StateFileError& failure) {
        EXPECT_EQ(failure.kind(), StateFileError::Kind::Io);
        EXPECT_EQ(failure.error_number(), ENOENT);
    }
    // The instance goes on after a refused save.
    run_until(*instance, 61);
    EXPECT_EQ(instance->t(), 61u);
}

void fail_at_tick_five(std::uint64_t, PartitionTickResult&) {
    static thread_local std::uint64_t ticks = 0;
    if (++ticks == 5) panic("injected failure");
}

TEST_F(StateFileTest, FailedInstanceRefusesToSave) {
    WorkerTestHooks hooks;
    hooks.after_tick = &fail_at_tick_five;
    auto instance = make_instance(2, 3, 7, hooks);
    EXPECT_THROW(run_until(*instance, 10), Panic);
    EXPECT_THROW(instance->save_state(path("failed.state")), Panic);
    EXPECT_FALSE(fs::exists(path("failed.state")));
}

}  // namespace
}  // namespace synaptor
