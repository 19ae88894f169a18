#include "partition/stp_state.hpp"

#include <gtest/gtest.h>

namespace synaptor {
namespace {

TEST(StpState, SaysItsKindAndShowsTheDynamicsItEvolves) {
    EXPECT_EQ(make_stp_state(StpParams{})->kind(), StpParams::Kind::NoStp);
    EXPECT_EQ(make_stp_state(StpParams{})->dynamics(), nullptr);
    for (StpParams::Kind kind : {StpParams::Kind::Depression, StpParams::Kind::Facilitation}) {
        const auto state = make_stp_state(StpParams{kind, 5.0f, 0.6f, 0.3f});
        EXPECT_EQ(state->kind(), kind);
        StpDynamics* dynamics = state->dynamics();
        ASSERT_NE(dynamics, nullptr);
        const float before = dynamics->efficacy;
        state->on_pre_spike(4);
        // The spike moved the state the dynamics show.
        EXPECT_EQ(dynamics->last_update_t, 4u);
        EXPECT_NE(dynamics->efficacy, before);
    }
}

}  // namespace
}  // namespace synaptor
