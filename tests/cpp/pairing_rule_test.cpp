#include "partition/pairing_rule.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "float_bits.hpp"
#include "partition_test_support.hpp"
#include "util/decay.hpp"

namespace synaptor {
namespace {

using test::same_value;
using test::test_stdp_params;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// A layer's rules are found by the parameters' exact bits; past the memoised
// count they compute directly, and every rule gives the direct formulas.
TEST(PairingRuleSet, RulesAreFoundByExactParametersAndMatchTheFormulas) {
    PairingRuleSet rules;
    const std::size_t count = PairingRuleSet::kMaxMemoised + 3;
    std::vector<std::optional<StdpParams>> long_terms;
    for (std::size_t i = 0; i < count; ++i) {
        StdpParams p = test_stdp_params();
        p.tau_pre_after_post = 5.0f + static_cast<float>(i);
        long_terms.emplace_back(p);
        ShortTermStdpParams st;
        st.stdp_params = p;
        st.tau = 2.0f + static_cast<float>(i);
        ASSERT_EQ(rules.resolve(st, p, 20), i);
        ASSERT_EQ(rules.resolve(st, p, 20), i);  // found again, not added
        const PairingRule& rule = rules.at(static_cast<std::uint32_t>(i));
        EXPECT_EQ(rule.short_term_decay_table() != nullptr, i < PairingRuleSet::kMaxMemoised);
        for (std::int64_t dt = -30; dt <= 30; ++dt) {
            ASSERT_TRUE(same_value(rule.short_term_value(dt), stdp_value(dt, p))) << i << " " << dt;
            ASSERT_TRUE(same_value(rule.long_term_value(dt), stdp_value(dt, p))) << i << " " << dt;
        }
        for (std::uint64_t dt : {0ull, 1ull, 77ull, 5000ull}) {
            ASSERT_TRUE(same_value(rule.short_term_decay(dt), decay_factor(dt, st.tau)))
                << i << " " << dt;
        }
    }
    EXPECT_EQ(rules.size(), count);
    // Presence and bits both distinguish rules: no short-term part, a -0.0
    // where a rule has +0.0, and NaN parameters that still match themselves.
    const std::uint32_t without_short_term = rules.resolve(std::nullopt, long_terms[0], 20);
    EXPECT_EQ(without_short_term, count);
    EXPECT_FALSE(rules.at(without_short_term).short_term().has_value());
    StdpParams zero{0.0f, 1.0f, 0.0f, 1.0f};
    StdpParams negative_zero{-0.0f, 1.0f, 0.0f, 1.0f};
    EXPECT_NE(rules.resolve(std::nullopt, zero, 20),
              rules.resolve(std::nullopt, negative_zero, 20));
    StdpParams nan_params{kNaN, kNaN, kNaN, kNaN};
    EXPECT_EQ(rules.resolve(std::nullopt, nan_params, 20),
              rules.resolve(std::nullopt, nan_params, 20));
    EXPECT_FALSE(rules.at(rules.resolve(std::nullopt, std::nullopt, 20)).has_timing_plasticity());
}

}  // namespace
}  // namespace synaptor
