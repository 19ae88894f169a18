#include "instance/wait_policy.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace synaptor {
namespace {

TEST(WaitPoliciesFor, SpinsOnlyWithACpuToSpare) {
    // Three ticking threads: a fourth CPU lets a waiter spin without taking
    // the CPU of the thread it waits for.
    EXPECT_EQ(wait_policies_for(3, 4).workers.pause_spins, 100u);
    EXPECT_EQ(wait_policies_for(3, 4).caller.pause_spins, 100u);
    EXPECT_EQ(wait_policies_for(3, 3).workers.pause_spins, 0u);
    EXPECT_EQ(wait_policies_for(3, 2).caller.pause_spins, 0u);
    EXPECT_EQ(wait_policies_for(2, 64).workers.pause_spins, 100u);
}

TEST(WaitPoliciesFor, ALoneThreadNeverSpins) {
    EXPECT_EQ(wait_policies_for(1, 64).workers.pause_spins, 0u);
    EXPECT_EQ(wait_policies_for(1, 64).caller.pause_spins, 0u);
    EXPECT_EQ(wait_policies_for(1).caller.pause_spins, 0u);
}

TEST(WaitPoliciesFor, EveryWaiterSleepsAfterABoundedTime) {
    for (std::uint64_t threads : {1u, 2u, 8u}) {
        for (std::uint64_t cpus : {1u, 4u, 16u}) {
            const WaitPolicies policies = wait_policies_for(threads, cpus);
            EXPECT_EQ(policies.workers.awake_ns, 100'000u);
            EXPECT_EQ(policies.caller.awake_ns, 100'000u);
        }
    }
}

}  // namespace
}  // namespace synaptor
