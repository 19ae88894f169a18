// Coincidence windows: the boundaries of a window, compared with the
// saturating sum arrival + t_cutoff_coincidence against the current tick
// (pruning of recent inputs and the pre-after-post pairing at delivery,
// including cut-offs and ticks where the sum saturates), and the store of
// the windows against a plain model.
#include "partition/coincidence_window.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "partition/neuron_dynamics.hpp"
#include "partition/synaptic_transmission.hpp"
#include "partition_test_support.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {
namespace {

using test::add_group;
using test::finish_layer;
using test::make_layer;
using test::static_projection;
using test::test_neuron_params;
using test::test_stdp_params;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const std::vector<std::uint64_t> kCutoffs = {0, 1, 3, 20, kMax - 5, kMax};
const std::vector<std::uint64_t> kBases = {0, 7, 1000, kMax - 30};

TEST(CoincidenceWindow, FiringSeesExactlyTheEntriesWhoseSumIsNotBelowTheTick) {
    for (const std::uint64_t cutoff : kCutoffs) {
        for (const std::uint64_t base : kBases) {
            CoincidenceWindows windows;
            for (std::uint64_t a = 0; a < 8; ++a) {
                windows.record(base + 3 * a, 0, static_cast<std::uint32_t>(a), 0);
                windows.seal(1, 0);
            }
            for (std::uint64_t dt = 0; dt < 30; ++dt) {
                const std::uint64_t t = base + dt;
                const std::vector<RecentInput> seen =
                    windows.inputs_of(0, first_unpaired_arrival(std::nullopt, t, cutoff));
                std::size_t kept = 0;
                for (std::uint64_t a = 0; a < 8; ++a) {
                    if (!(saturating_add(base + 3 * a, cutoff) < t)) ++kept;
                }
                ASSERT_EQ(seen.size(), kept) << cutoff << " " << base << " " << dt;
                if (kept > 0) {
                    EXPECT_EQ(seen.front().arrival_t, base + 3 * (8 - kept));
                }
            }
            // Filing forgets exactly the ticks that left the window.
            const std::uint64_t t = base + 20;
            const std::uint64_t oldest = oldest_recent_arrival(t, cutoff);
            windows.seal(1, oldest);
            const std::vector<RecentInput> held = windows.inputs_of(0, 0);
            ASSERT_FALSE(held.size() > 8);
            for (const RecentInput& input : held) EXPECT_GE(input.arrival_t, oldest);
            EXPECT_EQ(held, windows.inputs_of(0, oldest));
        }
    }
}

TEST(CoincidenceWindow, DeliveryPairsWithASpikeInsideTheWindowOnly) {
    ProjectionParams projection = static_projection(10.0f, 1.0f);
    projection.long_term_stdp_params = test_stdp_params();
    int pairings = 0;
    int checks = 0;
    for (const std::uint64_t cutoff : kCutoffs) {
        for (const std::uint64_t base : kBases) {
            for (std::uint64_t dt = 1; dt < 6; ++dt) {
                NeuronParams params = test_neuron_params();
                params.t_cutoff_coincidence = cutoff;
                PartitionLayer layer = make_layer(0, 1, params);
                add_group(layer, 9, projection, {{0, 1.0f, 1}});
                finish_layer(layer);
                const std::uint64_t ts = base;
                const std::uint64_t t = base + dt;
                layer.neurons[0].last_spike_t = ts;
                layer.neurons[0].last_update_t = ts;
                propagate_spike(layer, 9, t - 1);
                deliver_due_events(layer, t);
                const float w = layer.pre_syn_groups.find(9)->synapses[0].weight;
                const bool expected = saturating_add(ts, cutoff) >= t;
                const float want =
                    expected
                        ? clamp_weight(
                              1.0f, stdp_value(static_cast<std::int64_t>(dt), test_stdp_params()),
                              10.0f)
                        : 1.0f;
                EXPECT_EQ(w, want) << cutoff << " " << base << " " << dt;
                pairings += expected ? 1 : 0;
                ++checks;
            }
        }
    }
    // Both outcomes occur.
    EXPECT_GT(pairings, 0);
    EXPECT_LT(pairings, checks);
}

// The tick-by-tick store of coincidence windows against a plain model that
// keeps each neuron's inputs in a list: dense and sparse ticks, inputs noted
// in and out of neuron order, a second delivery at a tick already filed,
// forgetting, renumbering, rebuilding from a listing, and storage that
// shrinks after a burst.

using Model = std::map<std::uint32_t, std::vector<RecentInput>>;

std::vector<RecentInput> model_inputs(const Model& model, std::uint32_t post, std::uint64_t from) {
    std::vector<RecentInput> inputs;
    const auto it = model.find(post);
    if (it == model.end()) return inputs;
    for (const RecentInput& input : it->second) {
        if (input.arrival_t >= from) inputs.push_back(input);
    }
    return inputs;
}

TEST(CoincidenceWindows, MatchesPerNeuronListsForDenseSparseAndUnorderedTicks) {
    constexpr std::uint32_t kNeurons = 64;
    std::mt19937_64 rng(5);
    CoincidenceWindows windows;
    Model model;
    std::uint64_t t = 100;
    for (int step = 0; step < 300; ++step) {
        t += 1 + rng() % 3;
        // From a few inputs (a sparse tick) to several per neuron (dense).
        const std::size_t n = rng() % 4 == 0 ? rng() % 5 : rng() % 300;
        const bool ordered = rng() % 2 == 0;
        std::vector<std::uint32_t> posts(n);
        for (std::uint32_t& post : posts) post = static_cast<std::uint32_t>(rng() % kNeurons);
        if (ordered) std::sort(posts.begin(), posts.end());
        for (std::size_t i = 0; i < n; ++i) {
            const RecentInput input{t, static_cast<std::uint32_t>(rng() % 1000),
                                    static_cast<std::uint32_t>(i)};
            windows.record(t, posts[i], input.group_index, input.synapse_index);
            model[posts[i]].push_back(input);
        }
        // Now and then a second delivery at the tick just filed.
        const bool again = rng() % 10 == 0;
        windows.seal(kNeurons, 0);
        if (again) {
            const std::uint32_t post = static_cast<std::uint32_t>(rng() % kNeurons);
            windows.record(t, post, 7, 99);
            windows.seal(kNeurons, 0);
            model[post].push_back(RecentInput{t, 7, 99});
        }
        if (step % 37 == 0) {
            for (std::uint32_t post = 0; post < kNeurons; ++post) {
                const std::uint64_t from = t - rng() % 40;
                ASSERT_EQ(windows.inputs_of(post, from), model_inputs(model, post, from))
                    << step << " " << post;
            }
        }
    }
    std::size_t total = 0;
    for (const auto& [post, inputs] : model) total += inputs.size();
    EXPECT_EQ(windows.size(), total);

    // Rebuilt from the listing that a saved state holds, neurons in any order.
    std::vector<std::uint32_t> posts;
    std::vector<RecentInput> listing;
    for (auto it = model.rbegin(); it != model.rend(); ++it) {
        for (const RecentInput& input : it->second) {
            posts.push_back(it->first);
            listing.push_back(input);
        }
    }
    CoincidenceWindows rebuilt;
    rebuilt.assign(posts, listing, kNeurons);
    for (std::uint32_t post = 0; post < kNeurons; ++post) {
        ASSERT_EQ(rebuilt.inputs_of(post, 0), model_inputs(model, post, 0)) << post;
    }

    // Forgetting drops whole ticks before the bound and nothing after it.
    const std::uint64_t oldest = t - 50;
    windows.seal(kNeurons, oldest);
    for (std::uint32_t post = 0; post < kNeurons; ++post) {
        ASSERT_EQ(windows.inputs_of(post, 0), model_inputs(model, post, oldest)) << post;
    }

    // Renumbered to positions that no longer fit beside the synapse index in
    // one word, and back.
    constexpr std::uint32_t kHigh = 0x7FFF0000u;
    for (const std::uint32_t now : {kHigh, 0u}) {
        windows.renumber_groups([&](std::uint32_t g) { return g ^ kHigh; });
        for (std::uint32_t post = 0; post < kNeurons; ++post) {
            std::vector<RecentInput> want = model_inputs(model, post, oldest);
            for (RecentInput& input : want) input.group_index ^= now;
            ASSERT_EQ(windows.inputs_of(post, 0), want) << post;
        }
    }
    // Inputs whose fields do not fit one word together are kept whole.
    CoincidenceWindows wide;
    wide.record(1, 0, 0x7FFFFFFEu, 0xFFFFFFFFu);
    wide.record(1, 0, 3, 0xFFFFFFF0u);
    wide.seal(1, 0);
    EXPECT_EQ(wide.inputs_of(0, 0),
              (std::vector<RecentInput>{{1, 0x7FFFFFFEu, 0xFFFFFFFFu}, {1, 3, 0xFFFFFFF0u}}));
}

TEST(CoincidenceWindows, LongWindowsDropInputsThatFiringHasPaired) {
    constexpr std::uint32_t kNeurons = 16;
    std::mt19937_64 rng(9);
    CoincidenceWindows windows;
    std::vector<std::optional<std::uint64_t>> last_spike(kNeurons);
    Model model;
    std::size_t recorded = 0;
    for (std::uint64_t t = 1; t <= 700; ++t) {
        for (std::uint32_t post = 0; post < kNeurons; ++post) {
            windows.record(t, post, post, static_cast<std::uint32_t>(t));
            model[post].push_back(RecentInput{t, post, static_cast<std::uint32_t>(t)});
            ++recorded;
        }
        windows.seal(kNeurons, 0);
        windows.drop_paired(t, kNeurons, [&](std::uint32_t post, std::uint64_t tick) {
            return last_spike[post] && *last_spike[post] >= tick;
        });
        // Firing after delivery; neuron 0 never fires.
        for (std::uint32_t post = 1; post < kNeurons; ++post) {
            if (rng() % (4 * post) == 0) last_spike[post] = t;
        }
    }
    for (std::uint32_t post = 0; post < kNeurons; ++post) {
        const std::uint64_t from = last_spike[post] ? *last_spike[post] + 1 : 0;
        ASSERT_EQ(windows.inputs_of(post, from), model_inputs(model, post, from)) << post;
    }
    // Neuron 0 keeps all 700; the others keep far less than they received.
    EXPECT_EQ(windows.inputs_of(0, 0).size(), 700u);
    EXPECT_LT(windows.size(), recorded / 4);
}

TEST(CoincidenceWindows, NeuronsBeyondTheLayerAndEmptyTicksFindNothing) {
    CoincidenceWindows windows;
    windows.seal(10, 0);  // nothing noted
    EXPECT_EQ(windows.size(), 0u);
    windows.record(3, 2, 1, 1);
    windows.seal(10, 0);
    EXPECT_TRUE(windows.inputs_of(9, 0).empty());
    EXPECT_TRUE(windows.inputs_of(123456, 0).empty());
    EXPECT_TRUE(windows.inputs_of(2, 4).empty());
    EXPECT_EQ(windows.inputs_of(2, 3).size(), 1u);
    windows.clear();
    EXPECT_TRUE(windows.inputs_of(2, 0).empty());
}

TEST(CoincidenceWindows, StorageShrinksAfterABurst) {
    constexpr std::size_t kNeurons = 1000;
    CoincidenceWindows windows;
    for (std::uint32_t i = 0; i < 400000; ++i) windows.record(0, i % kNeurons, 1, i);
    windows.seal(kNeurons, 0);
    const std::size_t at_peak = windows.bytes_held();
    EXPECT_GT(at_peak, 400000 * sizeof(WindowInput));
    for (std::uint64_t t = 1; t < 1000; ++t) {
        for (std::uint32_t i = 0; i < 50; ++i) windows.record(t, i, 1, i);
        windows.seal(kNeurons, t > 30 ? t - 30 : 0);
    }
    EXPECT_LT(windows.bytes_held(), at_peak / 4);
    EXPECT_EQ(windows.size(), 31u * 50u);
}

}  // namespace
}  // namespace synaptor
