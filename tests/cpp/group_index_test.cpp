// The group position carried by events and recent inputs: it must name the
// group of the synapse the record stands for, the map must find a group by nid
// whatever position it is offered, and groups that move under records in
// flight (events, recent inputs) must change nothing in the results.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::float_bits;
using test::make_layer;
using test::static_projection;
using test::test_stdp_params;

ProjectionParams plastic_projection() {
    ProjectionParams p = static_projection(2.0f, 0.7f);
    p.stp_params.kind = StpParams::Kind::Depression;
    p.stp_params.p0 = 0.6f;
    p.stp_params.factor = 0.3f;
    p.stp_params.tau = 8.0f;
    p.long_term_stdp_params = test_stdp_params();
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.tau = 5.0f;
    p.short_term_stdp_params = st;
    return p;
}

/// Groups inserted out of nid order, one of them static, so that sorting moves them.
void add_groups(PartitionLayer& layer) {
    add_group(layer, 30, plastic_projection(), {{0, 0.9f, 2}, {2, 0.4f, 1}, {3, 0.8f, 3}});
    add_group(layer, 10, plastic_projection(), {{1, 0.7f, 1}, {2, 0.6f, 2}});
    add_group(layer, 20, static_projection(), {{0, 0.5f, 1}, {3, 0.3f, 2}});
    add_group(layer, 40, plastic_projection(), {{0, 1.1f, 1}, {1, 0.9f, 3}, {3, 1.2f, 1}});
}

TEST(GroupIndex, MapFindsByPositionOnlyWhenTheKeyMatches) {
    PartitionLayer layer = make_layer(0, 4);
    add_groups(layer);
    finish_layer(layer);
    PreSynGroupMap& map = layer.pre_syn_groups;
    for (std::uint32_t g = 0; g < map.size(); ++g) {
        const std::uint64_t nid = map.key_at(g);
        EXPECT_EQ(map.index_of(nid), g);
        EXPECT_EQ(map.find(nid, g), &map.group_at(g));
        // A position of another group, past the end or the "none" marker still
        // finds the group of the nid.
        EXPECT_EQ(map.find(nid, (g + 1) % 4), &map.group_at(g));
        EXPECT_EQ(map.find(nid, 4), &map.group_at(g));
        EXPECT_EQ(map.find(nid, kNoGroupIndex), &map.group_at(g));
    }
    EXPECT_EQ(map.index_of(25), PreSynGroupMap::kNoIndex);
    EXPECT_EQ(map.find(25, 0), nullptr);
    EXPECT_EQ(map.find(25, kNoGroupIndex), nullptr);
}

TEST(GroupIndex, EventsAndRecentInputsNameTheirOwnGroupAndSynapse) {
    PartitionLayer layer = make_layer(0, 4);
    add_groups(layer);
    finish_layer(layer);
    for (const std::uint64_t nid : {10, 20, 30, 40}) propagate_spike(layer, nid, 0);
    const PreSynGroupMap& map = layer.pre_syn_groups;
    std::size_t seen = 0;
    std::size_t plastic = 0;
    for (std::uint64_t t = 1; t <= 3; ++t) {
        std::vector<SynapticEvent> batch = layer.delivery_buffer.take_current_batch();
        for (const SynapticEvent& e : batch) {
            ASSERT_LT(e.group_index(), map.size());
            const std::uint64_t nid = map.key_at(e.group_index());
            const PreSynapticGroup& group = map.group_at(e.group_index());
            ASSERT_LT(e.synapse_index, group.synapses.size());
            EXPECT_EQ(group.synapses[e.synapse_index].post_index, e.post_index);
            EXPECT_EQ(group.synapses[e.synapse_index].conduction_delay, t);
            EXPECT_EQ(e.has_timing_plasticity(), nid != 20);
            ++seen;
            // Delivery copies the position into the coincidence window.
            deliver_event(layer, e, t);
            if (e.has_timing_plasticity()) {
                ++plastic;
                const RecentInput r = test::window(layer, e.post_index).back();
                EXPECT_EQ(r.synapse_index, e.synapse_index);
                EXPECT_EQ(r.group_index, e.group_index());
                EXPECT_EQ(r.arrival_t, t);
            }
        }
    }
    EXPECT_EQ(seen, 10u);
    EXPECT_EQ(plastic, 8u);
    // The tag packs both parts without disturbing either.
    const SynapticEvent e{0, 0, 0.0f, SynapticEvent::make_tag(kGroupIndexMask - 1, false)};
    EXPECT_EQ(e.group_index(), kGroupIndexMask - 1);
    EXPECT_FALSE(e.has_timing_plasticity());
    EXPECT_TRUE(SynapticEvent{}.has_timing_plasticity());
    EXPECT_EQ(SynapticEvent{}.group_index(), kNoGroupIndex);
    // The mask keeps the flag out of the position and the sentinel whole.
    const SynapticEvent wide{0, 0, 0.0f, SynapticEvent::make_tag(0xFFFFFFFFu, false)};
    EXPECT_EQ(wide.group_index(), kGroupIndexMask);
    EXPECT_FALSE(wide.has_timing_plasticity());
    const SynapticEvent none{0, 0, 0.0f, SynapticEvent::make_tag(kNoGroupIndex, true)};
    EXPECT_EQ(none.group_index(), kNoGroupIndex);
    EXPECT_TRUE(none.has_timing_plasticity());
    EXPECT_EQ(none.group_tag, SynapticEvent{}.group_tag);
}

/// Spikes in both directions over several ticks so that every pairing kind
/// runs: pre-before-post at forced spikes and pre-after-post at deliveries.
/// `reorder_at`: the tick before whose delivery the map is sorted, moving the
/// groups under events and recent inputs that are in flight.
void run(PartitionLayer& layer, std::uint64_t reorder_at) {
    const std::vector<std::vector<std::uint64_t>> pre = {
        {10, 30}, {40}, {20, 30}, {}, {10, 40}, {30}, {10, 20, 40}, {}, {30, 40}, {}};
    const std::vector<std::vector<std::uint64_t>> post = {{}, {},     {1}, {0, 3}, {},  {2},
                                                          {}, {0, 1}, {},  {3},    {2}, {0}};
    for (std::uint64_t t = 0; t < post.size(); ++t) {
        if (t > 0 && t - 1 < pre.size()) {
            for (const std::uint64_t nid : pre[t - 1]) propagate_spike(layer, nid, t - 1);
        }
        if (t == reorder_at) sort_pre_syn_groups(layer);
        deliver_due_events(layer, t);
        for (const std::uint64_t i : post[t]) fire_neuron(layer, i, t);
        layer.pending_neurons.clear();
    }
}

/// Every group's pairing fields equal those of its record: a spike, a rule
/// found at first use or a sort that is not copied leaves pairing reading
/// another group's synapses, bound or previous spike.
void expect_pairing_fields_current(const PreSynGroupMap& map) {
    for (std::size_t g = 0; g < map.size(); ++g) {
        const GroupPairing& held = map.pairing_at(g);
        const GroupPairing record = GroupPairing::of(map.group_at(g));
        EXPECT_EQ(held.hot, record.hot) << g;
        EXPECT_EQ(held.size, record.size) << g;
        EXPECT_EQ(held.pairing_rule, record.pairing_rule) << g;
        EXPECT_EQ(float_bits(held.max_weight), float_bits(record.max_weight)) << g;
        EXPECT_EQ(held.has_previous_spike, record.has_previous_spike) << g;
        EXPECT_EQ(held.previous_spike_t, record.previous_spike_t) << g;
    }
}

TEST(GroupIndex, PairingFieldsFollowARuleFoundAtAPairing) {
    PartitionLayer layer = make_layer(0, 4);
    add_groups(layer);
    finish_layer(layer);
    PreSynGroupMap& map = layer.pre_syn_groups;
    const std::uint32_t g = map.index_of(40);
    ASSERT_EQ(map.pairing_at(g).pairing_rule, PairingRuleSet::kUnresolved);
    // A pairing before the group's first spike finds its rule.
    apply_stdp(layer, map.group_at(g), 40, 1, -2, 5);
    EXPECT_NE(map.pairing_at(g).pairing_rule, PairingRuleSet::kUnresolved);
    expect_pairing_fields_current(map);
}

TEST(GroupIndex, StalePositionsGiveTheSameResultAsAFreshMap) {
    PartitionLayer reference = make_layer(0, 4);
    add_groups(reference);
    finish_layer(reference);
    run(reference, ~std::uint64_t{0});

    // Positions recorded in insertion order, then invalidated mid-run.
    PartitionLayer moved = make_layer(0, 4);
    add_groups(moved);
    moved.delivery_buffer = BatchedRingBuffer<SynapticEvent>(4);
    run(moved, 5);

    for (const std::uint64_t nid : {10, 20, 30, 40}) {
        const PreSynapticGroup& a = *reference.pre_syn_groups.find(nid);
        const PreSynapticGroup& b = *moved.pre_syn_groups.find(nid);
        ASSERT_EQ(a.synapses.size(), b.synapses.size());
        for (std::size_t k = 0; k < a.synapses.size(); ++k) {
            EXPECT_EQ(float_bits(a.synapses[k].weight), float_bits(b.synapses[k].weight))
                << nid << " " << k;
            EXPECT_EQ(float_bits(a.synapses[k].short_term_weight),
                      float_bits(b.synapses[k].short_term_weight));
            EXPECT_EQ(a.synapses[k].short_term_update_t, b.synapses[k].short_term_update_t);
        }
    }
    // Pairing did happen: some weight left its initial value.
    EXPECT_NE(float_bits(reference.pre_syn_groups.find(30)->synapses[0].weight), float_bits(0.9f));
    // Both runs made previous spikes and rules, one sorted the groups midway.
    EXPECT_TRUE(reference.pre_syn_groups.find(30)->previous_spike_t.has_value());
    expect_pairing_fields_current(reference.pre_syn_groups);
    expect_pairing_fields_current(moved.pre_syn_groups);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(float_bits(reference.neurons[i].voltage), float_bits(moved.neurons[i].voltage));
        const std::vector<RecentInput> a = test::window(reference, i);
        const std::vector<RecentInput> b = test::window(moved, i);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t j = 0; j < a.size(); ++j) {
            // Same synapse and arrival; positions differ only by the sort.
            EXPECT_EQ(a[j].arrival_t, b[j].arrival_t);
            EXPECT_EQ(reference.pre_syn_groups.key_at(a[j].group_index),
                      moved.pre_syn_groups.key_at(b[j].group_index));
            EXPECT_EQ(a[j].synapse_index, b[j].synapse_index);
        }
    }
}

TEST(GroupIndex, StoredSynapsesKeepEveryFieldAndStayPut) {
    // A group's synapses are one array until the group is stored, then two
    // (see SynapseHot); every field must read back as given, writes through a
    // reference must land in the stored parts, and a group moved into
    // another map gets its own copy there.
    std::vector<Synapse> given;
    for (std::uint32_t k = 0; k < 300; ++k) {
        given.push_back(Synapse{1000u + k, 3 * k, 0.25f + static_cast<float>(k) / 1024.0f,
                                -static_cast<float>(k) / 512.0f,
                                static_cast<std::uint8_t>(1 + k % 200)});
    }
    const auto expect_given = [&](const SynapseList& synapses) {
        ASSERT_EQ(synapses.size(), given.size());
        for (std::size_t k = 0; k < given.size(); ++k) {
            const Synapse s = synapses[k];
            EXPECT_EQ(s.short_term_update_t, given[k].short_term_update_t) << k;
            EXPECT_EQ(s.post_index, given[k].post_index) << k;
            EXPECT_EQ(float_bits(s.weight), float_bits(given[k].weight)) << k;
            EXPECT_EQ(float_bits(s.short_term_weight), float_bits(given[k].short_term_weight)) << k;
            EXPECT_EQ(s.conduction_delay, given[k].conduction_delay) << k;
        }
    };
    PreSynapticGroup group = make_pre_synaptic_group(plastic_projection(), given);
    EXPECT_FALSE(group.synapses.stored());
    expect_given(group.synapses);

    PreSynGroupMap first;
    first.insert(5, std::move(group));
    PreSynapticGroup& stored = *first.find(5);
    ASSERT_TRUE(stored.synapses.stored());
    expect_given(stored.synapses);
    EXPECT_GE(first.synapse_bytes(), given.size() * (sizeof(SynapseHot) + sizeof(SynapseCold)));

    SynapseRef ref = stored.synapses[7];
    ref.weight = 9.5f;
    ref.short_term_update_t = 77;
    ref.conduction_delay = 3;
    given[7].weight = 9.5f;
    given[7].short_term_update_t = 77;
    given[7].conduction_delay = 3;
    EXPECT_EQ(stored.synapses.hot()[7].weight, 9.5f);
    EXPECT_EQ(stored.synapses.hot()[7].conduction_delay, 3);
    EXPECT_EQ(stored.synapses.cold()[7].short_term_update_t, 77u);
    expect_given(stored.synapses);

    PreSynGroupMap second;
    second.insert(5, std::move(stored));
    const PreSynapticGroup& copied = *second.find(5);
    first = PreSynGroupMap();  // the storage the group came from is gone
    expect_given(copied.synapses);
    EXPECT_THROW(second.find(5)->synapses.at(given.size()), std::out_of_range);
}

}  // namespace
}  // namespace synaptor
