#include "instance/synapse_access.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "float_bits.hpp"
#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "instance_test_support.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

constexpr std::uint64_t kSizes[] = {20, 30, 10};

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to, float weight) {
    LayerConnectionParams c;
    c.from_layer_id = from;
    c.to_layer_id = to;
    c.projection_params.synapse_params = {1.0f, 1.0f};
    c.connect_density = 0.7;
    c.connect_width = 2.0;
    c.initial_syn_weight = {InitialSynWeight::Kind::Constant, weight};
    c.conduction_delay_max_random_part = 3;
    return c;
}

/// Pairing, short-term plasticity and dopamine on every connection onto layer
/// 1, a recurrent and a backward connection; weights are `w[c]` per connection
/// (randomised when negative, around their absolute value).
InstanceParams network(std::uint64_t threads, const float (&w)[4]) {
    InstanceParams params;
    for (std::uint64_t n : kSizes) {
        LayerParams layer;
        layer.num_neurons = n;
        layer.neuron_params = NeuronParams{10.0f, 2, 0.0f, 20, 1.0f, 50.0f, 0.0f};
        params.layers.push_back(layer);
    }
    params.layers[1].plasticity_modulation_params = test::test_modulation();
    const StdpParams stdp{0.05f, 6.0f, -0.04f, 7.0f};
    const std::uint64_t ends[4][2] = {{0, 1}, {1, 1}, {1, 2}, {2, 1}};
    for (std::size_t c = 0; c < 4; ++c) {
        LayerConnectionParams link = connection(ends[c][0], ends[c][1], std::fabs(w[c]));
        if (w[c] < 0.0f) link.initial_syn_weight.kind = InitialSynWeight::Kind::Randomized;
        params.layer_connections.push_back(link);
    }
    params.layer_connections[0].projection_params.long_term_stdp_params = stdp;
    params.layer_connections[1].projection_params.stp_params = {StpParams::Kind::Depression, 5.0f,
                                                                0.8f, 0.5f};
    params.layer_connections[1].projection_params.short_term_stdp_params =
        ShortTermStdpParams{stdp, 4.0f};
    params.layer_connections[2].projection_params.stp_params = {StpParams::Kind::Facilitation, 4.0f,
                                                                0.3f, 0.4f};
    params.layer_connections[2].projection_params.long_term_stdp_params = stdp;
    params.layer_connections[3].projection_params.synapse_params = {0.5f, -1.0f};
    params.technical_params.seed_override = 11;
    params.technical_params.num_threads = threads;
    return params;
}

constexpr float kRandom[4] = {-0.7f, -0.5f, -0.9f, -0.3f};

std::unique_ptr<Instance> make_instance(std::uint64_t threads, const float (&w)[4] = kRandom) {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    auto core = create_instance_core(network(threads, w), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), 5);
    instance->non_coherent_stimulation_rate = 0.05;
    instance->reward_rate = 0.5f;
    return instance;
}

/// Ticks until t_end with input channels and a reward that depend on t alone;
/// returns the spikes of every tick.
std::vector<std::vector<std::uint64_t>> run_until(Instance& instance, std::uint64_t t_end) {
    std::vector<std::vector<std::uint64_t>> spikes;
    while (instance.t() < t_end) {
        const std::uint64_t t = instance.t();
        TickInput input;
        for (std::uint64_t c = 0; c < kSizes[0]; ++c) {
            if ((t * 7 + c * 3) % 11 < 3) input.spiking_in_channel_ids.push_back(c);
        }
        input.reward = t % 4 == 0 ? 1.0f : -0.25f;
        Result<TickResult> result = instance.tick(input);
        if (!result) panic(result.error());
        spikes.push_back(result.value().spiking_nids);
    }
    return spikes;
}

SynapseTable read_all(Instance& instance, const SynapseFilter& filter = {}) {
    Result<SynapseTable> table = read_synapses(instance.core(), filter);
    if (!table) panic(table.error());
    return std::move(table).value();
}

std::uint64_t layer_of(std::uint64_t nid) {
    std::uint64_t l = 0;
    for (std::uint64_t first = kSizes[0]; nid >= first; first += kSizes[++l]) {
    }
    return l;
}

template <class Weights>
std::vector<std::uint32_t> weight_bits(const Weights& weights) {
    std::vector<std::uint32_t> bits;
    for (float w : weights) bits.push_back(test::float_bits(w));
    return bits;
}

template <class T>
std::vector<T> plain(const SynapseArray<T>& values) {
    return std::vector<T>(values.begin(), values.end());
}

void expect_same_table(const SynapseTable& a, const SynapseTable& b) {
    EXPECT_EQ(a.pre_syn_nids, b.pre_syn_nids);
    EXPECT_EQ(a.post_syn_nids, b.post_syn_nids);
    EXPECT_EQ(a.conduction_delays, b.conduction_delays);
    EXPECT_EQ(weight_bits(a.weights), weight_bits(b.weights));
}

TEST(SynapseAccess, OrderIsByPostLayerPreNidPostNidForAnyPartitioning) {
    std::unique_ptr<Instance> one = make_instance(1);
    run_until(*one, 60);
    const SynapseTable expected = read_all(*one);
    ASSERT_GT(expected.weights.size(), 500u);
    for (std::size_t i = 1; i < expected.weights.size(); ++i) {
        const auto key = [&](std::size_t j) {
            return std::tuple(layer_of(expected.post_syn_nids[j]), expected.pre_syn_nids[j],
                              expected.post_syn_nids[j]);
        };
        ASSERT_LT(key(i - 1), key(i)) << "synapse " << i;
    }
    // With one partition the snapshot lists the same synapses in the same order.
    TickInput input;
    input.extract_state_snapshot = true;
    Result<TickResult> tick = one->tick(input);
    ASSERT_TRUE(tick);
    const StateSnapshot& snapshot = *tick.value().state_snapshot;
    const SynapseTable after = read_all(*one);
    EXPECT_EQ(plain(after.pre_syn_nids), snapshot.pre_syn_nids);
    EXPECT_EQ(plain(after.post_syn_nids), snapshot.post_syn_nids);
    EXPECT_EQ(plain(after.conduction_delays), snapshot.conduction_delays);
    EXPECT_EQ(weight_bits(after.weights), weight_bits(snapshot.weights));

    for (std::uint64_t threads : {2, 3}) {
        SCOPED_TRACE(threads);
        std::unique_ptr<Instance> many = make_instance(threads);
        run_until(*many, 60);
        expect_same_table(read_all(*many), expected);
    }
}

TEST(SynapseAccess, FilterSelectsTheSubsequenceOfItsConnections) {
    std::unique_ptr<Instance> instance = make_instance(2);
    const SynapseTable all = read_all(*instance);
    for (int from = -1; from < 3; ++from) {
        for (int to = -1; to < 3; ++to) {
            SynapseFilter filter;
            if (from >= 0) filter.from_layer = static_cast<std::uint64_t>(from);
            if (to >= 0) filter.to_layer = static_cast<std::uint64_t>(to);
            SynapseTable expected;
            for (std::size_t i = 0; i < all.weights.size(); ++i) {
                if (from >= 0 && layer_of(all.pre_syn_nids[i]) != static_cast<std::uint64_t>(from))
                    continue;
                if (to >= 0 && layer_of(all.post_syn_nids[i]) != static_cast<std::uint64_t>(to))
                    continue;
                expected.pre_syn_nids.push_back(all.pre_syn_nids[i]);
                expected.post_syn_nids.push_back(all.post_syn_nids[i]);
                expected.conduction_delays.push_back(all.conduction_delays[i]);
                expected.weights.push_back(all.weights[i]);
            }
            SCOPED_TRACE(testing::Message() << "from " << from << " to " << to);
            expect_same_table(read_all(*instance, filter), expected);
        }
    }
    // No connection from layer 0 onto layer 2.
    EXPECT_TRUE(read_all(*instance, {0, 2}).weights.empty());
    EXPECT_EQ(read_synapses(instance->core(), {3, std::nullopt}).error(),
              "from_layer 3 is out of range: the network has 3 layers");
    EXPECT_EQ(read_synapses(instance->core(), {std::nullopt, 7}).error(),
              "to_layer 7 is out of range: the network has 3 layers");
}

TEST(SynapseAccess, FaultyWritesNameTheFirstBadPositionAndWriteNothing) {
    std::unique_ptr<Instance> instance = make_instance(3);
    const SynapseTable before = read_all(*instance);
    const SynapseFilter backward{2, 1};  // max_weight 0.5
    const std::size_t n = read_all(*instance, backward).weights.size();
    ASSERT_GT(n, 10u);
    std::vector<float> weights(n, 0.25f);
    const auto fails_with = [&](std::vector<float> w, const std::string& text) {
        Status status = write_weights(instance->core(), backward, w);
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error(), text);
        expect_same_table(read_all(*instance), before);
    };
    std::vector<float> bad = weights;
    bad[n - 1] = 0.5001f;  // the last position: every earlier one was checked and not written
    fails_with(bad, "weights[" + std::to_string(n - 1) +
                        "] = 0.5001 is above its connection's max_weight 0.5");
    bad[4] = -0.0625f;
    bad[7] = std::numeric_limits<float>::quiet_NaN();
    fails_with(bad, "weights[4] = -0.0625 is negative");
    bad[4] = 0.0f;
    fails_with(bad, "weights[7] is NaN");
    fails_with(std::vector<float>(n + 1, 0.25f), "expected " + std::to_string(n) +
                                                     " weights (one per synapse selected), got " +
                                                     std::to_string(n + 1));

    const std::vector<std::int64_t> indices = {3, static_cast<std::int64_t>(before.weights.size()),
                                               -1};
    Status status =
        write_weights_at(instance->core(), indices, std::vector<float>{0.5f, 0.5f, 0.5f});
    EXPECT_EQ(status.error(), "indices[1] = " + std::to_string(before.weights.size()) +
                                  " is out of range: the network has " +
                                  std::to_string(before.weights.size()) + " synapses");
    status = write_weights_at(instance->core(), std::vector<std::int64_t>{3, 5, -2},
                              std::vector<float>{0.5f, 0.25f, 0.5f});
    EXPECT_EQ(status.error(), "indices[2] = -2 is negative");
    status = write_weights_at(instance->core(), std::vector<std::int64_t>{3, 5},
                              std::vector<float>{0.5f, 1.5f});
    EXPECT_EQ(status.error(), "weights[1] = 1.5 is above its connection's max_weight 1");
    status = write_weights_at(instance->core(), std::vector<std::int64_t>{3},
                              std::vector<float>{0.5f, 1.5f});
    EXPECT_EQ(status.error(), "expected one weight per index: 1 indices, 2 weights");
    expect_same_table(read_all(*instance), before);
}

TEST(SynapseAccess, WrittenWeightsReadBackExactlyWhereTheyWereWritten) {
    for (std::uint64_t threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        std::unique_ptr<Instance> instance = make_instance(threads);
        run_until(*instance, 30);
        const SynapseTable before = read_all(*instance);
        // Values of every exponent and mantissa pattern within the bound.
        std::vector<float> connection(read_all(*instance, {1, 2}).weights.size());
        for (std::size_t i = 0; i < connection.size(); ++i) {
            connection[i] =
                std::ldexp(1.0f + static_cast<float>(i) / 1024.0f, -static_cast<int>(i % 40)) /
                2.0f;
        }
        connection[0] = 1.0f;  // exactly max_weight is allowed
        ASSERT_TRUE(write_weights(instance->core(), {1, 2}, connection));
        SynapseTable after = read_all(*instance);
        EXPECT_EQ(weight_bits(read_all(*instance, {1, 2}).weights), weight_bits(connection));

        // By index: a repeated index keeps its last weight.
        const std::int64_t last = static_cast<std::int64_t>(before.weights.size()) - 1;
        const std::vector<std::int64_t> indices = {0, 17, last, 17};
        const std::vector<float> values = {0.125f, 0.375f, 0.0f, 0.0078125f};
        ASSERT_TRUE(write_weights_at(instance->core(), indices, values));
        after.weights[0] = 0.125f;
        after.weights[17] = 0.0078125f;
        after.weights.back() = 0.0f;
        // Everything else (the other synapses, and all but the weights) is unchanged.
        expect_same_table(read_all(*instance), after);
        std::size_t changed = 0;
        for (std::size_t i = 0; i < before.weights.size(); ++i) {
            changed += before.weights[i] != after.weights[i];
            if (layer_of(before.pre_syn_nids[i]) != 1 || layer_of(before.post_syn_nids[i]) != 2) {
                if (i != 0 && i != 17 && i + 1 != before.weights.size()) {
                    ASSERT_EQ(test::float_bits(before.weights[i]),
                              test::float_bits(after.weights[i]));
                }
            }
        }
        EXPECT_GT(changed, connection.size() / 2);
    }
}

TEST(SynapseAccess, AWrittenWeightActsAsIfTheNetworkHadBeenBuiltWithIt) {
    // Built with other constant weights and then given these, a network runs
    // exactly as one built with these: pairing, propagation and the dopamine
    // flush all read the written weight, and nothing derived from the old
    // one is left.
    constexpr float kWanted[4] = {0.6f, 0.4f, 0.7f, 0.3f};
    constexpr float kOther[4] = {0.2f, 0.9f, 0.1f, 0.45f};
    const std::uint64_t ends[4][2] = {{0, 1}, {1, 1}, {1, 2}, {2, 1}};
    std::unique_ptr<Instance> reference = make_instance(1, kWanted);
    const auto expected_spikes = run_until(*reference, 150);
    const SynapseTable expected = read_all(*reference);
    std::size_t spikes = 0;
    for (const auto& tick : expected_spikes) spikes += tick.size();
    ASSERT_GT(spikes, 200u);
    for (std::uint64_t threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        std::unique_ptr<Instance> written = make_instance(threads, kOther);
        for (std::size_t c = 0; c < 4; ++c) {
            const SynapseFilter filter{ends[c][0], ends[c][1]};
            std::vector<float> w(read_all(*written, filter).weights.size(), kWanted[c]);
            ASSERT_TRUE(write_weights(written->core(), filter, w));
        }
        EXPECT_EQ(run_until(*written, 150), expected_spikes);
        expect_same_table(read_all(*written), expected);
    }
}

TEST(SynapseAccess, ArraysOnBothSidesOfTheMappingThresholdHoldWhatIsWritten) {
    // Below 1 MB from operator new, from 1 MB on a populated mapping; growing
    // one moves its items from one kind of storage to the other.
    SynapseArray<std::uint64_t> values;
    for (std::size_t n : {std::size_t{1000}, std::size_t{1} << 17, std::size_t{3} << 17}) {
        const std::size_t old_size = values.size();
        values.resize(n);
        for (std::size_t i = old_size; i < n; ++i) values[i] = i * 0x9E3779B97F4A7C15ull;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(values[i], i * 0x9E3779B97F4A7C15ull) << i;
        }
    }
    SynapseArray<std::uint64_t> copy = values;
    values.clear();
    values.shrink_to_fit();
    EXPECT_EQ(copy.back(), (copy.size() - 1) * 0x9E3779B97F4A7C15ull);
}

}  // namespace
}  // namespace synaptor
