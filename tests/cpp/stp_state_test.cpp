#include "partition/stp_state.hpp"

#include <gtest/gtest.h>

#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::test_stp_params;

TEST(StpState, DepressionAndFacilitationKnownAnswers) {
    DepressionState depression(test_stp_params(StpParams::Kind::Depression));
    EXPECT_EQ(depression.on_pre_spike(20), 0.5f);
    EXPECT_EQ(depression.state.efficacy, 0.25f);
    EXPECT_EQ(depression.on_pre_spike(21), 0.27379066f);
    FacilitationState facilitation(test_stp_params(StpParams::Kind::Facilitation));
    EXPECT_EQ(facilitation.on_pre_spike(20), 0.5f);
    EXPECT_EQ(facilitation.state.efficacy, 0.75f);
    EXPECT_EQ(facilitation.on_pre_spike(21), 0.7262094f);
    NoStpState none;
    EXPECT_EQ(none.on_pre_spike(5), 1.0f);
}

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
