#include "partition/partition_tick.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::synapse_at;
using test::test_stdp_params;
using Nids = std::vector<std::uint64_t>;

/// Drives a partition tick by tick as the instance would: each command lists
/// the previous tick's spikes, ascending.
class Driver {
public:
    explicit Driver(Partition& partition) : partition_(partition) {}

    PartitionTickResult tick(Nids forced = {}, float reward = 0.0f, bool snapshot = false) {
        TickCommand command;
        command.t = t_++;
        command.forced_nids = std::move(forced);
        command.previous_spiking_nids = previous_;
        command.reward = reward;
        command.extract_state_snapshot = snapshot;
        PartitionTickResult result = run_partition_tick(partition_, command);
        previous_ = result.spiking_nids;
        std::sort(previous_.begin(), previous_.end());
        return result;
    }
    /// Runs ticks up to and including `last` with the given forced spikes.
    void run_until(std::uint64_t last, const std::map<std::uint64_t, Nids>& forced = {},
                   float reward = 0.0f) {
        while (t_ <= last) {
            const auto it = forced.find(t_);
            tick(it == forced.end() ? Nids{} : it->second, reward);
        }
    }
    std::uint64_t t() const { return t_; }

private:
    Partition& partition_;
    std::uint64_t t_ = 0;
    Nids previous_;
};

/// Layer 0: nids 0..3 without inputs; layer 1: nids 4..7.
Partition two_layers() {
    Partition partition;
    partition.layers.push_back(make_layer(0, 4));
    partition.layers.push_back(make_layer(4, 4));
    return partition;
}

TEST(PartitionTick, SpikeTravelsThroughTheDelayAndIsCountedOnArrival) {
    Partition partition = two_layers();
    add_group(partition.layers[1], 0, static_projection(), {{1, 1.2f, 2}, {2, 0.1f, 3}});
    finish_layer(partition.layers[1]);
    Driver driver(partition);
    driver.run_until(1);
    EXPECT_EQ(driver.tick({0}).spiking_nids, Nids{0});  // t = 2
    PartitionTickResult r3 = driver.tick();
    EXPECT_EQ(r3.synaptic_transmission_count, 0u);  // propagated, not yet delivered
    PartitionTickResult r4 = driver.tick();
    EXPECT_EQ(r4.synaptic_transmission_count, 1u);
    EXPECT_EQ(r4.spiking_nids, Nids{5});
    EXPECT_FALSE(r4.state_snapshot.has_value());
    PartitionTickResult r5 = driver.tick();
    EXPECT_EQ(r5.synaptic_transmission_count, 1u);
    EXPECT_TRUE(r5.spiking_nids.empty());
}

TEST(PartitionTick, FirstTickDoesNotPropagate) {
    Partition partition = two_layers();
    add_group(partition.layers[1], 0, static_projection(), {{0, 1.2f, 1}});
    finish_layer(partition.layers[1]);
    TickCommand command;
    command.previous_spiking_nids = {0};
    EXPECT_EQ(run_partition_tick(partition, command).synaptic_transmission_count, 0u);
    command.t = 1;
    command.previous_spiking_nids = {};
    EXPECT_EQ(run_partition_tick(partition, command).synaptic_transmission_count, 0u);
    EXPECT_EQ(partition.layers[1].neurons[0].voltage, 0.0f);
}

TEST(PartitionTick, ForcedSpikesThenCandidatesInFirstCandidateOrder) {
    Partition partition = two_layers();
    PartitionLayer& layer = partition.layers[1];
    // Both events arrive at tick 3; nid 3's was scheduled at tick 1 (delay 3),
    // nid 2's at tick 3 (delay 1), so the batch holds nid 3's first even though
    // nid 2 is smaller, and its target (index 1) becomes a candidate first.
    add_group(layer, 2, static_projection(), {{3, 1.1f, 1}, {0, 1.1f, 1}});
    add_group(layer, 3, static_projection(), {{1, 1.1f, 3}});
    finish_layer(layer);
    Driver driver(partition);
    driver.run_until(2, {{0, {3}}, {2, {2}}});
    // At tick 3 the forced nids come first in command order, duplicates and
    // all, ignoring nids outside the runs; neuron 4 is both forced and a
    // candidate and is reported once.
    const PartitionTickResult r = driver.tick({6, 1, 6, 99, 4});
    EXPECT_EQ(r.spiking_nids, (Nids{1, 6, 6, 4, 5, 7}));
    EXPECT_EQ(r.synaptic_transmission_count, 3u);
    EXPECT_TRUE(layer.pending_neurons.empty());
}

TEST(PartitionTick, CandidatePushedBackBelowThresholdDoesNotFire) {
    Partition partition = two_layers();
    add_group(partition.layers[1], 0, static_projection(2.0f, 1.0f), {{0, 1.5f, 1}});
    add_group(partition.layers[1], 1, static_projection(2.0f, -1.0f), {{0, 1.0f, 1}});
    finish_layer(partition.layers[1]);
    Driver driver(partition);
    driver.tick();
    driver.tick({0, 1});
    const PartitionTickResult r = driver.tick();
    EXPECT_TRUE(r.spiking_nids.empty());
    EXPECT_EQ(partition.layers[1].neurons[0].voltage, 0.0f * 1.0f + 1.5f + -1.0f);
}

TEST(PartitionTick, ForcedSpikeDuringRefractoryPeriodRestartsIt) {
    Partition partition = two_layers();
    Driver driver(partition);
    driver.run_until(4);
    EXPECT_EQ(driver.tick({4}).spiking_nids, Nids{4});
    EXPECT_EQ(driver.tick({4}).spiking_nids, Nids{4});
    EXPECT_EQ(partition.layers[1].neurons[0].last_update_t, 6u + 2u);
    EXPECT_EQ(partition.layers[1].neurons[0].last_spike_t, 6u);
}

TEST(PartitionTick, SnapshotOnlyOnRequestWithSortedSynapsesAndEmptyRuns) {
    Partition partition = two_layers();
    partition.layers.push_back(make_layer(8, 0));  // a run of no neurons
    PartitionLayer& layer = partition.layers[1];
    // Inserted out of order and left unsorted: the snapshot orders by nid.
    add_group(layer, 3, static_projection(), {{2, 0.25f, 2}, {0, 0.5f, 1}});
    add_group(layer, 1, static_projection(), {{1, 0.75f, 4}});
    layer.delivery_buffer = BatchedRingBuffer<SynapticEvent>(5);
    layer.neurons[3].voltage = -7.0f;
    Driver driver(partition);
    driver.run_until(2, {{1, {3}}});
    EXPECT_FALSE(driver.tick().state_snapshot.has_value());
    const PartitionTickResult r = driver.tick({}, 0.0f, true);  // t = 4
    ASSERT_TRUE(r.state_snapshot.has_value());
    const std::vector<SnapshotSegment>& segments = *r.state_snapshot;
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].first_nid, 0u);
    EXPECT_EQ(segments[0].membrane_voltages.size(), 4u);
    EXPECT_TRUE(segments[0].synapse_states.empty());
    EXPECT_EQ(segments[2].first_nid, 8u);
    EXPECT_TRUE(segments[2].membrane_voltages.empty());
    EXPECT_TRUE(segments[2].synapse_states.empty());
    const SnapshotSegment& s = segments[1];
    ASSERT_EQ(s.synapse_states.size(), 3u);
    EXPECT_EQ(s.synapse_states[0].pre_syn_nid, 1u);
    EXPECT_EQ(s.synapse_states[0].post_syn_nid, 5u);
    EXPECT_EQ(s.synapse_states[0].conduction_delay, 4u);
    EXPECT_EQ(s.synapse_states[1].pre_syn_nid, 3u);
    EXPECT_EQ(s.synapse_states[1].post_syn_nid, 4u);
    EXPECT_EQ(s.synapse_states[1].weight, 0.5f);
    EXPECT_EQ(s.synapse_states[2].post_syn_nid, 6u);
    ASSERT_EQ(s.membrane_voltages.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.membrane_voltages[i],
                  snapshot_voltage(layer.neurons[i], 4, layer.neuron_params));
    }
    // Neuron 0 received 0.5 at tick 2 and is reported decayed by two ticks;
    // neuron 3 is below the floor and reported at the floor, decayed from 0.
    EXPECT_EQ(s.membrane_voltages[0], 0.5f * expf(-2.0f / 10.0f));
    EXPECT_EQ(s.membrane_voltages[3], -1.0f * expf(-4.0f / 10.0f));
    EXPECT_EQ(layer.neurons[3].voltage, -7.0f);
    // A partition without layers still answers, with an empty snapshot.
    Partition empty;
    TickCommand command;
    command.extract_state_snapshot = true;
    const PartitionTickResult e = run_partition_tick(empty, command);
    ASSERT_TRUE(e.state_snapshot.has_value());
    EXPECT_TRUE(e.state_snapshot->empty());
}

TEST(PartitionTick, ShortTermDepressionAndFacilitationShapeSuccessiveInputs) {
    for (const StpParams::Kind kind :
         {StpParams::Kind::Depression, StpParams::Kind::Facilitation}) {
        Partition partition = two_layers();
        ProjectionParams projection = static_projection(2.0f, 0.1f);
        projection.stp_params.kind = kind;
        projection.stp_params.p0 = 0.5f;
        projection.stp_params.factor = 0.5f;
        projection.stp_params.tau = 10.0f;
        add_group(partition.layers[1], 0, projection, {{0, 1.0f, 1}});
        finish_layer(partition.layers[1]);
        Driver driver(partition);
        driver.run_until(21, {{20, {0}}, {21, {0}}});
        const float psp1 = (1.0f * 0.5f + 0.0f) * 0.1f;
        EXPECT_EQ(partition.layers[1].neurons[0].voltage, 0.0f * expf(-21.0f / 10.0f) + psp1);
        driver.tick();
        const float p2 = kind == StpParams::Kind::Depression ? 0.27379066f : 0.7262094f;
        EXPECT_EQ(partition.layers[1].neurons[0].voltage,
                  psp1 * expf(-1.0f / 10.0f) + (1.0f * p2 + 0.0f) * 0.1f);
    }
}

TEST(PartitionTick, ShortTermStdpOffsetEntersLaterEvents) {
    Partition partition = two_layers();
    ProjectionParams projection = static_projection(2.0f, 0.1f);
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.stdp_params.factor_pre_before_post = 0.3f;
    st.tau = 5.0f;
    projection.short_term_stdp_params = st;
    add_group(partition.layers[1], 0, projection, {{0, 0.5f, 1}});
    finish_layer(partition.layers[1]);
    Driver driver(partition);
    // Arrival at 3 and a forced post spike at 3: short-term pairing with dt 0.
    driver.run_until(11, {{2, {0}}, {3, {4}}, {10, {0}}});
    const float s = (0.0f * 1.0f + 0.3f) * expf(-8.0f / 5.0f);
    EXPECT_EQ(partition.layers[1].neurons[0].voltage, 0.0f + (0.5f * 1.0f + s) * 0.1f);
    EXPECT_EQ(synapse_at(partition.layers[1], 0, 0).weight, 0.5f);  // no long-term STDP
}

TEST(PartitionTick, ModulatedLayerChangesWeightsOnlyAtFlush) {
    Partition partition = two_layers();
    ProjectionParams projection = static_projection(2.0f, 0.01f);
    projection.long_term_stdp_params = test_stdp_params();
    add_group(partition.layers[1], 0, projection, {{0, 0.5f, 1}});
    finish_layer(partition.layers[1]);
    PlasticityModulationParams mp;
    mp.tau_eligibility_trace = 4.0f;
    mp.eligibility_trace_delay = 0;
    mp.dopamine_modulation_factor = 1.0f;
    mp.t_cutoff_eligibility_trace = 20;
    mp.dopamine_flush_period = 10;
    mp.dopamine_conflation_period = 5;
    partition.layers[1].plasticity_modulator.emplace(mp);
    Driver driver(partition);
    driver.run_until(9, {{2, {0}}, {3, {4}}}, 1.0f);  // pairing dt 0 at tick 3
    EXPECT_EQ(synapse_at(partition.layers[1], 0, 0).weight, 0.5f);
    ASSERT_EQ(partition.layers[1].plasticity_modulator->eligibility_traces.size(), 1u);
    // The flush at tick 10 comes before propagation, so an event propagated
    // at 10 already carries the new weight.
    const PartitionTickResult r = driver.tick({}, 1.0f, true);
    const float dw = 0.1f;
    const float sum = (0.0f + expf(-2.0f / 4.0f) * dw * 6.0f) + expf(-7.0f / 4.0f) * dw * 5.0f;
    EXPECT_EQ(synapse_at(partition.layers[1], 0, 0).weight, 0.5f + sum);
    EXPECT_EQ(r.state_snapshot->at(1).synapse_states.at(0).weight, 0.5f + sum);
}

/// Two layers of 4 neurons with all-to-all feed-forward synapses and a few
/// recurrent ones, STDP on; `runs` gives each layer's [begin, end) in this
/// partition.
Partition small_network(std::uint64_t begin, std::uint64_t end) {
    Partition partition;
    partition.layers.push_back(make_layer(begin, end - begin));
    partition.layers.push_back(make_layer(4 + begin, end - begin));
    ProjectionParams ff = static_projection(1.5f, 0.6f);
    ff.long_term_stdp_params = test_stdp_params();
    ff.stp_params.kind = StpParams::Kind::Depression;
    ff.stp_params.p0 = 0.8f;
    ff.stp_params.factor = 0.2f;
    ff.stp_params.tau = 6.0f;
    ProjectionParams rec = static_projection(1.0f, 0.4f);
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.tau = 3.0f;
    rec.short_term_stdp_params = st;
    for (std::uint64_t pre = 0; pre < 4; ++pre) {
        std::vector<test::TestSynapse> ffs;
        std::vector<test::TestSynapse> recs;
        for (std::uint64_t post = begin; post < end; ++post) {
            const auto delay = static_cast<std::uint8_t>((pre + 2 * post) % 3 + 1);
            ffs.push_back({post - begin, 0.3f + 0.1f * static_cast<float>(pre), delay});
            if (pre != post) recs.push_back({post - begin, 0.5f, delay});
        }
        add_group(partition.layers[1], pre, ff, ffs);
        if (!recs.empty()) add_group(partition.layers[1], 4 + pre, rec, recs);
    }
    finish_layer(partition.layers[1]);
    return partition;
}

TEST(PartitionTick, SplittingIntoPartitionsChangesNothing) {
    Partition whole = small_network(0, 4);
    Partition part0 = small_network(0, 2);
    Partition part1 = small_network(2, 4);
    Nids previous;
    std::uint64_t total_count = 0;
    for (std::uint64_t t = 0; t < 60; ++t) {
        TickCommand command;
        command.t = t;
        command.forced_nids = {t % 4, (t * 7) % 4};
        if (t % 5 == 0) command.forced_nids.push_back(4 + t % 4);
        command.previous_spiking_nids = previous;
        command.extract_state_snapshot = t % 10 == 9;
        PartitionTickResult a = run_partition_tick(whole, command);
        PartitionTickResult b0 = run_partition_tick(part0, command);
        PartitionTickResult b1 = run_partition_tick(part1, command);
        Nids merged = b0.spiking_nids;
        merged.insert(merged.end(), b1.spiking_nids.begin(), b1.spiking_nids.end());
        std::sort(merged.begin(), merged.end());
        Nids expected = a.spiking_nids;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(merged, expected) << "tick " << t;
        ASSERT_EQ(b0.synaptic_transmission_count + b1.synaptic_transmission_count,
                  a.synaptic_transmission_count);
        total_count += a.synaptic_transmission_count;
        if (command.extract_state_snapshot) {
            const SnapshotSegment& w = a.state_snapshot->at(1);
            const SnapshotSegment& s0 = b0.state_snapshot->at(1);
            const SnapshotSegment& s1 = b1.state_snapshot->at(1);
            std::vector<float> voltages = s0.membrane_voltages;
            voltages.insert(voltages.end(), s1.membrane_voltages.begin(),
                            s1.membrane_voltages.end());
            ASSERT_EQ(voltages, w.membrane_voltages);
            ASSERT_EQ(s0.synapse_states.size() + s1.synapse_states.size(), w.synapse_states.size());
            for (const SynapseState& x : w.synapse_states) {
                const auto& side = x.post_syn_nid < 6 ? s0.synapse_states : s1.synapse_states;
                const auto it = std::find_if(side.begin(), side.end(), [&](const SynapseState& y) {
                    return y.pre_syn_nid == x.pre_syn_nid && y.post_syn_nid == x.post_syn_nid;
                });
                ASSERT_NE(it, side.end());
                ASSERT_EQ(it->weight, x.weight);
            }
        }
        previous = expected;
    }
    EXPECT_GT(total_count, 100u);
}

}  // namespace
}  // namespace synaptor
