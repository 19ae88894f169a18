#include "partition/build_partition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "float_bits.hpp"
#include "random/chacha_rng.hpp"
#include "util/panic.hpp"
#include "util/projection_geometry.hpp"

namespace synaptor {
namespace {

LayerParams layer_of(std::uint64_t n) {
    LayerParams layer;
    layer.num_neurons = n;
    layer.neuron_params.tau_membrane = 10.0f;
    return layer;
}

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to, double width,
                                 double density) {
    LayerConnectionParams c;
    c.from_layer_id = from;
    c.to_layer_id = to;
    c.connect_width = width;
    c.connect_density = density;
    c.initial_syn_weight = {InitialSynWeight::Kind::Constant, 0.5f};
    c.projection_params.synapse_params = {1.0f, 1.0f};
    return c;
}

/// pre nid, post nid, weight bits, delay
using SynapseRow = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, std::uint8_t>;

std::vector<SynapseRow> rows_of(const Partition& partition) {
    std::vector<SynapseRow> rows;
    for (const PartitionLayer& layer : partition.layers) {
        for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
            for (const Synapse& s : layer.pre_syn_groups.group_at(g).synapses) {
                rows.emplace_back(layer.pre_syn_groups.key_at(g), layer.first_nid + s.post_index,
                                  test::float_bits(s.weight), s.conduction_delay);
            }
        }
    }
    return rows;
}

/// Every partition's synapses, sorted, after checking the records' invariants.
std::vector<SynapseRow> network_of(const InstanceParams& params, std::uint64_t num_partitions) {
    std::vector<SynapseRow> all;
    for (std::uint64_t p = 0; p < num_partitions; ++p) {
        const Partition partition = build_partition(params, num_partitions, p);
        EXPECT_EQ(partition.layers.size(), params.layers.size());
        for (const PartitionLayer& layer : partition.layers) {
            std::uint8_t max_delay = 0;
            for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
                if (g > 0) {
                    EXPECT_LT(layer.pre_syn_groups.key_at(g - 1), layer.pre_syn_groups.key_at(g));
                }
                const PreSynapticGroup& group = layer.pre_syn_groups.group_at(g);
                EXPECT_FALSE(group.synapses.empty());
                EXPECT_NE(group.stp_state, nullptr);
                EXPECT_EQ(layer.pre_syn_groups.find(layer.pre_syn_groups.key_at(g)), &group);
                for (std::size_t i = 0; i < group.synapses.size(); ++i) {
                    const Synapse& s = group.synapses[i];
                    if (i > 0) {
                        EXPECT_LT(group.synapses[i - 1].post_index, s.post_index);
                    }
                    EXPECT_LT(s.post_index, layer.neurons.size());
                    EXPECT_GE(s.conduction_delay, 1);
                    EXPECT_EQ(s.short_term_update_t, 0u);
                    EXPECT_EQ(s.short_term_weight, 0.0f);
                    max_delay = std::max(max_delay, s.conduction_delay);
                }
            }
            EXPECT_EQ(layer.delivery_buffer.num_slots(), std::size_t{max_delay} + 1);
        }
        const auto rows = rows_of(partition);
        all.insert(all.end(), rows.begin(), rows.end());
    }
    std::sort(all.begin(), all.end());
    return all;
}

/// Three layers with self, forward and backward connections, randomized
/// weights and every part of the delay in play.
InstanceParams mixed_network() {
    InstanceParams params;
    params.layers = {layer_of(13), layer_of(8), layer_of(1), layer_of(700)};
    params.technical_params.seed_override = 77;
    LayerConnectionParams a = connection(0, 1, 0.6, 0.7);
    a.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 2.0f};
    a.conduction_delay_max_random_part = 5;
    a.conduction_delay_position_distance_scale_factor = 10.0;
    a.conduction_delay_add_on = 2;
    a.projection_params.stp_params = {StpParams::Kind::Depression, 5.0f, 0.8f, 0.3f};
    LayerConnectionParams self = connection(1, 1, 1.0, 0.5);
    self.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.25f};
    self.conduction_delay_max_random_part = 3;
    LayerConnectionParams back = connection(1, 0, 0.3, 1.0);
    back.conduction_delay_add_on = 4;
    LayerConnectionParams to_single = connection(0, 2, 0.05, 1.0);
    // Wide and sparse: few kept candidates spread over a large overlap.
    LayerConnectionParams sparse = connection(0, 3, 2.0, 0.01);
    sparse.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 1.0f};
    sparse.conduction_delay_max_random_part = 200;
    params.layer_connections = {a, self, back, to_single, sparse};
    return params;
}

TEST(BuildPartition, NetworkDoesNotDependOnThePartitionCount) {
    const InstanceParams params = mixed_network();
    const auto one = network_of(params, 1);
    EXPECT_GT(one.size(), 60u);
    for (std::uint64_t parts : {2u, 3u, 5u, 20u}) {
        EXPECT_EQ(network_of(params, parts), one) << parts << " partitions";
    }
}

TEST(BuildPartition, SynapseValuesDependOnlyOnSeedAndNeurons) {
    const InstanceParams params = mixed_network();
    const LayerConnectionParams& c = params.layer_connections[0];
    const Partition partition = build_partition(params, 2, 1);
    const PartitionLayer& layer = partition.layers[1];
    ASSERT_FALSE(layer.pre_syn_groups.empty());
    const LayerGeometry pre(13);
    const LayerGeometry post(8);
    for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
        const std::uint64_t pre_nid = layer.pre_syn_groups.key_at(g);
        if (pre_nid >= 13) continue;  // the self connection of layer 1
        for (const Synapse& s : layer.pre_syn_groups.group_at(g).synapses) {
            const std::uint64_t j = layer.first_nid - 13 + s.post_index;
            const std::uint64_t post_nid = 13 + j;
            ChaChaRng rng = ChaChaRng::seed_from_u64(pair_hash(77, pre_nid, post_nid));
            const std::uint64_t random_part = rng.uniform_u64_inclusive(5);
            const float weight = rng.uniform_f32_inclusive(2.0f);
            const double distance = std::fabs(post.position(j) - pre.position(pre_nid));
            const std::uint64_t delay = random_part + 2 + round_to_u64(distance * 10.0) + 1;
            EXPECT_EQ(test::float_bits(s.weight), test::float_bits(weight));
            EXPECT_EQ(s.conduction_delay, delay);
        }
        const PreSynapticGroup& group = layer.pre_syn_groups.group_at(g);
        EXPECT_NE(dynamic_cast<const DepressionState*>(group.stp_state.get()), nullptr);
        EXPECT_EQ(group.stp_params.p0, c.projection_params.stp_params.p0);
        EXPECT_EQ(group.max_weight, 1.0f);
        EXPECT_FALSE(group.last_spike_t.has_value());
    }
}

TEST(BuildPartition, SeedOverrideChoosesTheNetworkAndDefaultsToZero) {
    InstanceParams params = mixed_network();
    const auto seeded = network_of(params, 1);
    params.technical_params.seed_override.reset();
    const auto unseeded = network_of(params, 1);
    EXPECT_NE(unseeded, seeded);
    params.technical_params.seed_override = 0;
    EXPECT_EQ(network_of(params, 1), unseeded);
}

/// The sorted (pre, post) pairs of a one-partition build.
std::set<std::pair<std::uint64_t, std::uint64_t>> pairs_of(const InstanceParams& params) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> pairs;
    for (const auto& [pre, post, weight, delay] : network_of(params, 1)) pairs.emplace(pre, post);
    return pairs;
}

TEST(BuildPartition, WindowsCoverTheLayerEndsAndSingleNeurons) {
    InstanceParams params;
    params.layers = {layer_of(11), layer_of(11), layer_of(1), layer_of(1)};
    // Width 0.2 reaches exactly one spacing to each side; the 0.6 / 0.1 that
    // falls just short of 6 is caught by the eps widening.
    params.layer_connections = {connection(0, 1, 0.2, 1.0), connection(0, 2, 0.01, 1.0),
                                connection(3, 1, 0.2, 1.0)};
    const auto pairs = pairs_of(params);
    using P = std::pair<std::uint64_t, std::uint64_t>;
    EXPECT_TRUE(pairs.count(P{0, 11}) && pairs.count(P{0, 12}) && !pairs.count(P{0, 13}));
    EXPECT_TRUE(pairs.count(P{10, 21}) && pairs.count(P{10, 20}) && !pairs.count(P{10, 19}));
    EXPECT_TRUE(pairs.count(P{5, 15}) && pairs.count(P{5, 16}) && pairs.count(P{5, 17}));
    // The one-neuron target is in every window; the one-neuron source sits at 0.5.
    for (std::uint64_t k = 0; k < 11; ++k) EXPECT_TRUE(pairs.count(P{k, 22})) << k;
    EXPECT_TRUE(pairs.count(P{23, 15}) && pairs.count(P{23, 16}) && pairs.count(P{23, 17}));
    EXPECT_EQ(pairs.size(), 2u * 2u + 9u * 3u + 11u + 3u);
}

TEST(BuildPartition, LastPositionOfAFiftyNeuronLayerIsBelowOne) {
    // 49 * (1/49) = 0.9999999999999999: its distance to the target at 1.0,
    // scaled by 1e16, rounds to one extra tick of delay.
    InstanceParams params;
    params.layers = {layer_of(50), layer_of(2)};
    LayerConnectionParams c = connection(0, 1, 0.01, 1.0);
    c.conduction_delay_position_distance_scale_factor = 1e16;
    params.layer_connections = {c};
    const auto rows = network_of(params, 1);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (SynapseRow{0, 50, test::float_bits(0.5f), 1}));
    EXPECT_EQ(rows[1], (SynapseRow{49, 51, test::float_bits(0.5f), 2}));
}

TEST(BuildPartition, DensityRoundsPerPreSynapticNeuron) {
    InstanceParams params;
    params.layers = {layer_of(4), layer_of(3)};
    params.layer_connections = {connection(0, 1, 2.0, 0.1)};  // 3 * 0.1 rounds to 0
    EXPECT_TRUE(network_of(params, 1).empty());
    params.layer_connections = {connection(0, 1, 2.0, 0.5)};  // 1.5 rounds away from zero
    const Partition partition = build_partition(params, 1, 0);
    ASSERT_EQ(partition.layers[1].pre_syn_groups.size(), 4u);
    for (std::size_t g = 0; g < 4; ++g) {
        EXPECT_EQ(partition.layers[1].pre_syn_groups.group_at(g).synapses.size(), 2u);
    }
}

TEST(BuildPartition, WideSparseSamplesAreKeptWholeAndInOrder) {
    // Windows over a whole layer of 20,000 with 100 draws each: far more
    // candidates than draws, so the kept ones are sorted rather than marked
    // in a bitmap, in runs both shorter and longer than 32, the largest
    // reached at one partition. Each pre-synaptic neuron's synapses must be
    // exactly its sample, ascending, whatever the partitioning.
    InstanceParams params;
    params.layers = {layer_of(12), layer_of(20000)};
    params.technical_params.seed_override = 5;
    params.layer_connections = {connection(0, 1, 2.0, 0.005)};
    ChaChaRng rng = ChaChaRng::seed_from_u64(5);
    std::vector<SynapseRow> expected;
    std::vector<std::uint64_t> sample;
    for (std::uint64_t k = 0; k < 12; ++k) {
        sample_subset(rng, 20000, 100, sample);
        for (const std::uint64_t o : sample) {
            expected.emplace_back(k, 12 + o, test::float_bits(0.5f), std::uint8_t{1});
        }
    }
    std::sort(expected.begin(), expected.end());
    for (std::uint64_t parts : {1u, 2u, 3u, 7u}) {
        EXPECT_EQ(network_of(params, parts), expected) << parts << " partitions";
    }
}

TEST(BuildPartition, FullWidthAndDensityConnectEveryPairLessSelfPairs) {
    InstanceParams params;
    params.layers = {layer_of(4), layer_of(6)};
    params.layer_connections = {connection(0, 1, 2.0, 1.0), connection(1, 1, 2.0, 1.0)};
    auto pairs = pairs_of(params);
    EXPECT_EQ(pairs.size(), 4u * 6u + 6u * 5u);
    for (std::uint64_t i = 4; i < 10; ++i) EXPECT_FALSE(pairs.count({i, i}));
    for (std::uint64_t pre = 0; pre < 10; ++pre)
        for (std::uint64_t post = 4; post < 10; ++post)
            if (pre != post) {
                EXPECT_TRUE(pairs.count({pre, post})) << pre << "->" << post;
            }
    params.layer_connections[1].allow_self_innervation = true;
    pairs = pairs_of(params);
    EXPECT_EQ(pairs.size(), 4u * 6u + 6u * 6u);
    EXPECT_TRUE(pairs.count({7, 7}));
}

TEST(BuildPartition, ZeroDelayParametersGiveDelayOneAndATwoSlotRing) {
    InstanceParams params;
    params.layers = {layer_of(5), layer_of(5)};
    params.layer_connections = {connection(0, 1, 2.0, 1.0)};
    const Partition partition = build_partition(params, 1, 0);
    for (const auto& [pre, post, weight, delay] : rows_of(partition)) EXPECT_EQ(delay, 1);
    EXPECT_EQ(partition.layers[1].delivery_buffer.num_slots(), 2u);
    EXPECT_EQ(partition.layers[0].delivery_buffer.num_slots(), 1u);
}

TEST(BuildPartition, EmptyRunStillHasItsLayer) {
    InstanceParams params;
    params.layers = {layer_of(2), layer_of(1)};
    PlasticityModulationParams modulation;
    modulation.dopamine_flush_period = 100;
    modulation.dopamine_conflation_period = 10;
    params.layers[1].plasticity_modulation_params = modulation;
    params.layer_connections = {connection(0, 1, 2.0, 1.0)};
    for (std::uint64_t p = 0; p < 3; ++p) {
        const Partition partition = build_partition(params, 3, p);
        ASSERT_EQ(partition.layers.size(), 2u);
        const PartitionLayer& layer = partition.layers[1];
        ASSERT_TRUE(layer.plasticity_modulator.has_value()) << p;
        EXPECT_EQ(layer.plasticity_modulator->next_flush_t, 100u);
        EXPECT_FALSE(partition.layers[0].plasticity_modulator.has_value());
        EXPECT_EQ(layer.first_nid, p == 0 ? 2u : 3u);
        EXPECT_EQ(layer.neurons.size(), p == 0 ? 1u : 0u);
        EXPECT_EQ(layer.pre_syn_groups.size(), p == 0 ? 2u : 0u);
        EXPECT_EQ(layer.delivery_buffer.num_slots(), p == 0 ? 2u : 1u);
        EXPECT_EQ(partition.layers[0].first_nid, std::min<std::uint64_t>(p, 2));
        EXPECT_EQ(layer.neuron_params.tau_membrane, 10.0f);
    }
}

TEST(BuildPartition, EmptyTargetLayerMakesNoDraws) {
    InstanceParams params = mixed_network();
    const auto before = network_of(params, 3);
    params.layers.push_back(layer_of(0));
    // One connection into the empty layer, listed first, and one out of it:
    // neither may shift the samples of the others.
    params.layer_connections.insert(params.layer_connections.begin(), connection(0, 4, 1.0, 1.0));
    params.layer_connections.push_back(connection(4, 1, 1.0, 1.0));
    EXPECT_EQ(network_of(params, 3), before);
    EXPECT_EQ(network_of(params, 4), before);
}

TEST(BuildPartition, DelayBeyondTheFieldIsAnInternalFailure) {
    InstanceParams params;
    params.layers = {layer_of(2), layer_of(2)};
    LayerConnectionParams c = connection(0, 1, 2.0, 1.0);
    c.conduction_delay_add_on = 254;  // 255 fits
    params.layer_connections = {c};
    for (const auto& [pre, post, weight, delay] : network_of(params, 1)) EXPECT_EQ(delay, 255);
    params.layer_connections[0].conduction_delay_add_on = 255;
    EXPECT_THROW(build_partition(params, 1, 0), Panic);
    // A sum that would wrap to a small delay.
    params.layer_connections[0].conduction_delay_add_on = ~std::uint64_t{0};
    EXPECT_THROW(build_partition(params, 1, 0), Panic);
}

}  // namespace
}  // namespace synaptor
