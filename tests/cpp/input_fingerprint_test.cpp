#include "instance/input_fingerprint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace synaptor {
namespace {

TickInput sample_input() {
    TickInput input;
    input.spiking_in_channel_ids = {0, 3};
    input.force_spiking_out_channel_ids = {1};
    input.force_spiking_nids = {5, 8, 13};
    input.reward = 0.5f;
    input.extract_state_snapshot = true;
    input.caller_fingerprint = 0x1234;
    return input;
}

// Processes of one run compare these values, and a build must agree with
// every other build that may run beside it: the value is pinned.
TEST(InputFingerprint, IsPinned) {
    EXPECT_EQ(input_fingerprint(0, TickInput{}), 0x09bb71fb54596258u);
    EXPECT_EQ(input_fingerprint(17, sample_input()), 0x5d5de1555cb794dbu);
}

TEST(InputFingerprint, CoversTheTickAndEveryComparedField) {
    const TickInput base = sample_input();
    const std::uint64_t reference = input_fingerprint(17, base);
    EXPECT_NE(input_fingerprint(18, base), reference);
    const std::vector<std::function<void(TickInput&)>> changes = {
        [](TickInput& i) { i.spiking_in_channel_ids.push_back(4); },
        [](TickInput& i) {
            i.spiking_in_channel_ids = {3, 0};
        },
        [](TickInput& i) { i.force_spiking_out_channel_ids.clear(); },
        [](TickInput& i) { i.force_spiking_nids[2] = 14; },
        [](TickInput& i) { i.reward = 0.25f; },
        [](TickInput& i) { i.extract_state_snapshot = false; },
        [](TickInput& i) { i.caller_fingerprint = 0x1235; },
        // A nid moved from one list to the next: the lengths tell them apart.
        [](TickInput& i) {
            i.force_spiking_out_channel_ids.push_back(5);
            i.force_spiking_nids.erase(i.force_spiking_nids.begin());
        },
    };
    for (std::size_t k = 0; k < changes.size(); ++k) {
        TickInput changed = base;
        changes[k](changed);
        EXPECT_NE(input_fingerprint(17, changed), reference) << "change " << k;
    }
}

TEST(InputFingerprint, TellsTheRewardsBitsApart) {
    TickInput plus;
    TickInput minus;
    minus.reward = -0.0f;
    EXPECT_NE(input_fingerprint(0, plus), input_fingerprint(0, minus));
}

// Processes may differ on whether their batch wants to stop; that is
// combined in the exchange, not compared.
TEST(InputFingerprint, LeavesOutTheStopRequest) {
    TickInput stop = sample_input();
    stop.stop_requested = true;
    EXPECT_EQ(input_fingerprint(17, stop), input_fingerprint(17, sample_input()));
}

}  // namespace
}  // namespace synaptor
