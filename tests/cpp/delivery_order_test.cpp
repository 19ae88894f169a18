// Delivery of a large batch neuron by neuron must give exactly what delivery
// in batch order gives: every neuron and synapse sees its operations in the
// same order, and the neurons that reach their threshold are listed in batch
// order.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"
#include "random/chacha_rng.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::test_stdp_params;
using test::TestSynapse;

constexpr auto& bits = test::float_bits;

constexpr std::size_t kNeurons = 64;
constexpr std::uint64_t kPre = 40;

/// A layer of kNeurons neurons reached by kPre pre-synaptic neurons over
/// dense synapses with delays 1 to 4: plastic (long- and short-term STDP,
/// depression) for even nids, static for odd ones unless `all_plastic`; with a
/// modulator when asked.
PartitionLayer dense_layer(bool modulated, bool all_plastic = false) {
    PartitionLayer layer = make_layer(0, kNeurons);
    layer.neuron_params.t_cutoff_coincidence = 6;
    if (modulated) {
        PlasticityModulationParams m;
        m.eligibility_trace_delay = 2;
        m.dopamine_conflation_period = 5;
        m.dopamine_flush_period = 10;
        m.t_cutoff_eligibility_trace = 30;
        m.tau_eligibility_trace = 8.0f;
        m.dopamine_modulation_factor = 1.0f;
        layer.plasticity_modulator.emplace(m);
    }
    ProjectionParams plastic = static_projection(1.0f, 0.3f);
    plastic.stp_params.kind = StpParams::Kind::Depression;
    plastic.stp_params.p0 = 0.8f;
    plastic.stp_params.factor = 0.2f;
    plastic.stp_params.tau = 9.0f;
    plastic.long_term_stdp_params = test_stdp_params();
    ShortTermStdpParams st;
    st.stdp_params = test_stdp_params();
    st.tau = 4.0f;
    plastic.short_term_stdp_params = st;
    ChaChaRng rng = ChaChaRng::seed_from_u64(7);
    for (std::uint64_t pre = 0; pre < kPre; ++pre) {
        std::vector<TestSynapse> synapses;
        for (std::uint64_t post = 0; post < kNeurons; ++post) {
            if (rng.next_u64() % 3 == 0) continue;
            synapses.push_back({post, static_cast<float>(rng.next_u64() % 1000) / 1000.0f,
                                static_cast<std::uint8_t>(1 + rng.next_u64() % 4)});
        }
        add_group(layer, 1000 + pre,
                  pre % 2 == 0 || all_plastic ? plastic : static_projection(1.0f, 0.25f), synapses);
    }
    finish_layer(layer);
    return layer;
}

struct Trace {
    std::vector<std::vector<std::uint64_t>> pending;  ///< per tick, in order
    std::vector<std::uint64_t> fired;
};

/// How drive() delivers and fires.
enum class Steps {
    /// As the tick does: each due batch at once, and the pairings of the
    /// tick's firings after all of them.
    Tick,
    /// Event by event, and each firing with its pairings at once.
    OneByOne,
};

/// 60 ticks of random spikes, deliveries, threshold crossings and a few
/// forced spikes, with dopamine when the layer has a modulator.
Trace drive(PartitionLayer& layer, Steps steps = Steps::Tick) {
    Trace trace;
    ChaChaRng rng = ChaChaRng::seed_from_u64(11);
    for (std::uint64_t t = 0; t < 60; ++t) {
        if (layer.plasticity_modulator) {
            layer.plasticity_modulator->add_reward(t % 7 == 0 ? 1.0f : 0.0f);
            if (layer.plasticity_modulator->process_tick(t, layer.dopamine_flush)) {
                apply_dopamine_flush(layer, layer.dopamine_flush);
            }
        }
        if (t > 0) {
            std::vector<std::uint64_t> spikes;
            for (std::uint64_t pre = 0; pre < kPre; ++pre) {
                if (rng.next_u64() % 4 == 0) spikes.push_back(1000 + pre);
            }
            propagate_spikes(layer, spikes, t - 1);
        }
        if (steps == Steps::Tick) {
            deliver_due_events(layer, t);
        } else {
            layer.delivery_buffer.drain_current_batch(
                [&](const BatchedRingBuffer<SynapticEvent>::Batch& batch) {
                    batch.for_each_run([&](const SynapticEvent* events, std::size_t count) {
                        for (std::size_t i = 0; i < count; ++i) deliver_event(layer, events[i], t);
                    });
                });
        }
        trace.pending.push_back(layer.pending_neurons);
        const auto fire_now = [&](std::uint64_t i) {
            if (steps == Steps::Tick) {
                fire_neuron_deferred(layer, i, t);
            } else {
                fire_neuron(layer, i, t);
            }
            trace.fired.push_back(i);
        };
        if (rng.next_u64() % 3 == 0) fire_now(rng.next_u64() % kNeurons);
        for (const std::uint64_t i : layer.pending_neurons) {
            if (layer.neurons[i].voltage >= layer.neurons[i].threshold) fire_now(i);
        }
        layer.pending_neurons.clear();
        if (steps == Steps::Tick) pair_fired(layer, t);
    }
    return trace;
}

void expect_same_state(const PartitionLayer& a, const PartitionLayer& b) {
    for (std::size_t i = 0; i < kNeurons; ++i) {
        const Neuron& x = a.neurons[i];
        const Neuron& y = b.neurons[i];
        EXPECT_EQ(bits(x.voltage), bits(y.voltage)) << i;
        EXPECT_EQ(bits(x.threshold), bits(y.threshold)) << i;
        EXPECT_EQ(x.last_update_t, y.last_update_t) << i;
        const std::vector<RecentInput> wx = test::window(a, i);
        const std::vector<RecentInput> wy = test::window(b, i);
        ASSERT_EQ(wx.size(), wy.size()) << i;
        for (std::size_t j = 0; j < wx.size(); ++j) {
            EXPECT_EQ(wx[j].arrival_t, wy[j].arrival_t);
            EXPECT_EQ(wx[j].group_index, wy[j].group_index);
            EXPECT_EQ(wx[j].synapse_index, wy[j].synapse_index);
        }
    }
    for (std::size_t g = 0; g < a.pre_syn_groups.size(); ++g) {
        const PreSynapticGroup& x = a.pre_syn_groups.group_at(g);
        const PreSynapticGroup& y = b.pre_syn_groups.group_at(g);
        ASSERT_EQ(x.synapses.size(), y.synapses.size());
        for (std::size_t k = 0; k < x.synapses.size(); ++k) {
            EXPECT_EQ(bits(x.synapses[k].weight), bits(y.synapses[k].weight)) << g << " " << k;
            EXPECT_EQ(bits(x.synapses[k].short_term_weight), bits(y.synapses[k].short_term_weight));
            EXPECT_EQ(x.synapses[k].short_term_update_t, y.synapses[k].short_term_update_t);
        }
    }
    if (a.plasticity_modulator) {
        // Traces of one tick may be queued in another order across synapses
        // (a flush applies each trace to its own synapse only); per synapse
        // the sequence is the same, and the queue stays ordered by tick.
        using PerSynapse = std::map<std::pair<std::uint64_t, std::uint64_t>,
                                    std::vector<std::pair<std::uint64_t, std::uint32_t>>>;
        const auto per_synapse = [](const EligibilityTraceQueue& traces) {
            PerSynapse m;
            std::uint64_t previous_t = 0;
            traces.for_each_span([&](const EligibilityTraceSpan& span) {
                EXPECT_LE(previous_t, span.t);
                previous_t = span.t;
                for (std::size_t i = 0; i < span.size; ++i) {
                    m[{span.group_position(i), span.synapse_index(i)}].emplace_back(
                        span.t, bits(span.values[i]));
                }
            });
            return m;
        };
        const EligibilityTraceQueue& x = a.plasticity_modulator->eligibility_traces;
        const EligibilityTraceQueue& y = b.plasticity_modulator->eligibility_traces;
        EXPECT_EQ(x.size(), y.size());
        EXPECT_EQ(per_synapse(x), per_synapse(y));
    }
}

TEST(DeliveryOrder, NeuronByNeuronEqualsBatchOrder) {
    // Every synapse plastic: the sorted batch is filed in the windows whole.
    for (const auto& [modulated, all_plastic] :
         {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
        PartitionLayer in_batch_order = dense_layer(modulated, all_plastic);
        in_batch_order.delivery_scratch.min_sorted_batch = std::numeric_limits<std::size_t>::max();
        PartitionLayer by_neuron = dense_layer(modulated, all_plastic);
        by_neuron.delivery_scratch.min_sorted_batch = 0;
        by_neuron.delivery_scratch.min_sorted_neurons = 0;

        // The same with every sorted batch spread into buckets first.
        PartitionLayer by_bucket = dense_layer(modulated, all_plastic);
        by_bucket.delivery_scratch.min_sorted_batch = 0;
        by_bucket.delivery_scratch.min_sorted_neurons = 0;
        by_bucket.delivery_scratch.min_bucketed_batch = 0;

        const Trace a = drive(in_batch_order);
        const Trace b = drive(by_neuron);
        EXPECT_EQ(a.pending, b.pending);
        EXPECT_EQ(a.fired, b.fired);
        const Trace c = drive(by_bucket);
        EXPECT_EQ(a.pending, c.pending);
        EXPECT_EQ(a.fired, c.fired);
        expect_same_state(in_batch_order, by_bucket);
        // The run did exercise crossings, repeated candidates and pairing.
        std::size_t candidates = 0;
        for (const auto& p : a.pending) candidates += p.size();
        EXPECT_GT(candidates, 20u);
        EXPECT_GT(a.fired.size(), 20u);
        expect_same_state(in_batch_order, by_neuron);
        if (modulated) {
            EXPECT_GT(in_batch_order.plasticity_modulator->eligibility_traces.size(), 0u);
        }
    }
}

/// The traces of the queue in queue order.
std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t>> traces_of(
    const PartitionLayer& layer) {
    std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t>> all;
    layer.plasticity_modulator->eligibility_traces.for_each_span(
        [&](const EligibilityTraceSpan& span) {
            for (std::size_t i = 0; i < span.size; ++i) {
                all.emplace_back(span.t, span.group_position(i), span.synapse_index(i),
                                 bits(span.values[i]));
            }
        });
    return all;
}

TEST(DeliveryOrder, PairingsMadeLaterEqualPairingsMadeAtOnce) {
    // The tick makes the pairings found by delivery and by firing a while
    // after finding them (tens at a time here); made one at a time instead,
    // every synapse and the trace queue must come out the same, in order.
    for (const bool modulated : {false, true}) {
        PartitionLayer later = dense_layer(modulated, true);
        PartitionLayer at_once = dense_layer(modulated, true);
        const Trace a = drive(later, Steps::Tick);
        const Trace b = drive(at_once, Steps::OneByOne);
        EXPECT_EQ(a.pending, b.pending);
        EXPECT_EQ(a.fired, b.fired);
        EXPECT_GT(a.fired.size(), 20u);
        expect_same_state(later, at_once);
        if (modulated) {
            const auto traces = traces_of(later);
            EXPECT_GT(traces.size(), 500u);
            EXPECT_EQ(traces, traces_of(at_once));
        }
    }
}

TEST(DeliveryOrder, AnEventForANeuronOutsideTheRunIsStillAPanic) {
    PartitionLayer layer = dense_layer(false);
    layer.delivery_scratch.min_sorted_batch = 0;
    layer.delivery_scratch.min_sorted_neurons = 0;
    layer.delivery_buffer.schedule(
        0, SynapticEvent{kNeurons, 0, 0.1f, SynapticEvent::make_tag(0, true)});
    EXPECT_THROW(deliver_due_events(layer, 0), Panic);
}

}  // namespace
}  // namespace synaptor
