// A pinned run of a three-layer partition through every kind of plasticity:
// short-term depression and facilitation, long- and short-term STDP (one
// short-term time constant too long for a complete decay table, one window
// wider than the memoised kernels), and a plasticity modulator driven by
// rewards. The digest of every tick's spikes and of the final state was
// recorded from the plain implementation before any exponential was
// memoised or the coincidence windows were restructured; the tick code must
// reproduce it bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "partition/partition_tick.hpp"
#include "partition/stp_state.hpp"
#include "splitmix.hpp"

namespace synaptor {
namespace {

using Generator = test::SplitMix64;

class Digest {
public:
    void mix(std::uint64_t v) { h_ = (h_ ^ v) * 0x100000001B3ull; }
    void mix(float x) {
        std::uint32_t b;
        std::memcpy(&b, &x, sizeof b);
        mix(std::uint64_t{b});
    }
    std::uint64_t value() const { return h_; }

private:
    std::uint64_t h_ = 0xCBF29CE484222325ull;
};

NeuronParams neuron_params(std::uint64_t t_cutoff) {
    NeuronParams p;
    p.tau_membrane = 8.0f;
    p.refractory_period = 2;
    p.reset_voltage = 0.0f;
    p.t_cutoff_coincidence = t_cutoff;
    p.adaptation_threshold = 1.3f;
    p.tau_threshold = 25.0f;
    p.voltage_floor = -0.5f;
    return p;
}

StdpParams stdp(float before, float after) {
    StdpParams p;
    p.factor_pre_before_post = before;
    p.tau_pre_before_post = 12.0f;
    p.factor_pre_after_post = after;
    p.tau_pre_after_post = 17.0f;
    return p;
}

StpParams stp(StpParams::Kind kind, float p0, float factor, float tau) {
    StpParams p;
    p.kind = kind;
    p.p0 = p0;
    p.factor = factor;
    p.tau = tau;
    return p;
}

/// Groups from every nid in [pre_first, pre_first + pre_count) onto `layer`,
/// `fan_out` distinct targets each, delays 1..max_delay.
void connect(PartitionLayer& layer, std::uint64_t pre_first, std::uint64_t pre_count,
             std::uint64_t fan_out, int max_delay, float max_initial_weight,
             const ProjectionParams& projection, Generator& rng) {
    const std::uint64_t n = layer.neurons.size();
    for (std::uint64_t pre = pre_first; pre < pre_first + pre_count; ++pre) {
        std::vector<bool> taken(n, false);
        std::vector<Synapse> synapses;
        while (synapses.size() < fan_out) {
            const std::uint64_t post = rng.below(n);
            if (taken[post]) continue;
            taken[post] = true;
            Synapse s;
            s.post_index = post;
            s.weight = rng.unit() * max_initial_weight;
            const auto delays = static_cast<std::uint64_t>(max_delay);
            s.conduction_delay = static_cast<std::uint8_t>(1 + rng.below(delays));
            synapses.push_back(s);
        }
        std::vector<Synapse> ordered;
        for (std::uint64_t post = 0; post < n; ++post) {
            for (const Synapse& s : synapses) {
                if (s.post_index == post) ordered.push_back(s);
            }
        }
        layer.pre_syn_groups.insert(pre, make_pre_synaptic_group(projection, std::move(ordered)));
    }
}

struct PinnedRun {
    std::uint64_t digest = 0;
    std::uint64_t unforced_spikes = 0;  ///< threshold crossings
    std::uint64_t changed_weights[3] = {0, 0, 0};
    std::uint64_t short_term_updates[3] = {0, 0, 0};
};

PinnedRun run_pinned_network() {
    PinnedRun run;
    Generator rng{2024};
    Partition partition;
    partition.layers.resize(3);
    const std::uint64_t sizes[3] = {120, 120, 60};
    std::uint64_t first = 0;
    for (int l = 0; l < 3; ++l) {
        PartitionLayer& layer = partition.layers[static_cast<std::size_t>(l)];
        layer.first_nid = first;
        layer.neuron_params = neuron_params(l == 1 ? 600 : 20);
        layer.neurons.resize(sizes[l]);
        first += sizes[l];
    }
    // Layer 0 from layer 1: depression, long- and short-term STDP.
    ProjectionParams back;
    back.synapse_params.max_weight = 1.5f;
    back.synapse_params.weight_scale_factor = 0.25f;
    back.stp_params = stp(StpParams::Kind::Depression, 0.6f, 0.3f, 8.0f);
    back.long_term_stdp_params = stdp(0.02f, -0.025f);
    back.short_term_stdp_params = ShortTermStdpParams{stdp(0.05f, -0.04f), 5.0f};
    connect(partition.layers[0], 120, 120, 30, 20, 1.0f, back, rng);
    // Layer 1 from layer 0: facilitation and long-term STDP under dopamine;
    // within layer 1: short-term STDP with a long time constant.
    ProjectionParams forward;
    forward.synapse_params.max_weight = 2.0f;
    forward.synapse_params.weight_scale_factor = 0.35f;
    forward.stp_params = stp(StpParams::Kind::Facilitation, 0.3f, 0.2f, 10.0f);
    forward.long_term_stdp_params = stdp(0.03f, -0.02f);
    connect(partition.layers[1], 0, 120, 30, 12, 1.2f, forward, rng);
    ProjectionParams recurrent;
    recurrent.synapse_params.max_weight = 1.0f;
    recurrent.synapse_params.weight_scale_factor = 0.1f;
    recurrent.short_term_stdp_params = ShortTermStdpParams{stdp(0.1f, -0.08f), 100.0f};
    connect(partition.layers[1], 120, 120, 10, 5, 0.8f, recurrent, rng);
    PlasticityModulationParams modulation;
    modulation.tau_eligibility_trace = 30.0f;
    modulation.eligibility_trace_delay = 3;
    modulation.dopamine_modulation_factor = 0.5f;
    modulation.t_cutoff_eligibility_trace = 200;
    modulation.dopamine_flush_period = 25;
    modulation.dopamine_conflation_period = 5;
    partition.layers[1].plasticity_modulator.emplace(modulation);
    // Layer 2 from layer 1: static.
    ProjectionParams out;
    out.synapse_params.max_weight = 1.0f;
    out.synapse_params.weight_scale_factor = 0.4f;
    connect(partition.layers[2], 120, 120, 15, 3, 1.0f, out, rng);
    const int max_delays[3] = {20, 12, 3};
    for (int l = 0; l < 3; ++l) {
        PartitionLayer& layer = partition.layers[static_cast<std::size_t>(l)];
        layer.pre_syn_groups.sort_by_key();
        layer.delivery_buffer =
            BatchedRingBuffer<SynapticEvent>(static_cast<std::size_t>(max_delays[l]) + 1);
    }

    std::vector<std::vector<float>> initial(3);
    for (std::size_t l = 0; l < 3; ++l) {
        const PreSynGroupMap& groups = partition.layers[l].pre_syn_groups;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            for (const Synapse& s : groups.group_at(g).synapses) initial[l].push_back(s.weight);
        }
    }

    Digest digest;
    TickCommand command;
    for (std::uint64_t t = 0; t < 600; ++t) {
        command.t = t;
        command.forced_nids.clear();
        for (std::uint64_t nid = 0; nid < 240; ++nid) {
            if (rng.below(100) < 2) command.forced_nids.push_back(nid);
        }
        command.reward = t % 7 == 0 ? 1.0f : (t % 11 == 0 ? -0.5f : 0.0f);
        PartitionTickResult result = run_partition_tick(partition, command);
        run.unforced_spikes += result.spiking_nids.size() - command.forced_nids.size();
        digest.mix(result.synaptic_transmission_count);
        for (const std::uint64_t nid : result.spiking_nids) digest.mix(nid);
        digest.mix(~std::uint64_t{0});
        command.previous_spiking_nids = result.spiking_nids;
        std::sort(command.previous_spiking_nids.begin(), command.previous_spiking_nids.end());
    }
    for (std::size_t l = 0; l < 3; ++l) {
        const PartitionLayer& layer = partition.layers[l];
        for (const Neuron& neuron : layer.neurons) {
            digest.mix(neuron.voltage);
            digest.mix(neuron.threshold);
            digest.mix(neuron.last_update_t);
        }
        std::size_t k = 0;
        for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
            for (const Synapse& s : layer.pre_syn_groups.group_at(g).synapses) {
                run.changed_weights[l] += s.weight != initial[l][k++] ? 1 : 0;
                digest.mix(s.weight);
                digest.mix(s.short_term_weight);
                digest.mix(s.short_term_update_t);
                run.short_term_updates[l] += s.short_term_update_t != 0 ? 1 : 0;
            }
        }
    }
    run.digest = digest.value();
    return run;
}

TEST(TickGolden, EveryPlasticityKindReproducesThePinnedRun) {
    const PinnedRun run = run_pinned_network();
    EXPECT_EQ(run.digest, 6641036468529867140ull);
    // The run is worth pinning: neurons cross threshold on their own, and
    // every plastic projection changed (layer 1's long-term weights only
    // through dopamine flushes).
    EXPECT_GT(run.unforced_spikes, 500u);
    EXPECT_GT(run.changed_weights[0], 1000u);
    EXPECT_GT(run.changed_weights[1], 1000u);
    EXPECT_EQ(run.changed_weights[2], 0u);
    EXPECT_GT(run.short_term_updates[0], 1000u);
    EXPECT_GT(run.short_term_updates[1], 1000u);
    EXPECT_EQ(run.short_term_updates[2], 0u);
}

}  // namespace
}  // namespace synaptor
