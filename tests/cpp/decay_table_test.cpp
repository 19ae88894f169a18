#include "partition/decay_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "float_bits.hpp"
#include "util/decay.hpp"

namespace synaptor {
namespace {

using test::same_value;

// A table answers like decay_factor for every difference: inside it, past a
// zero tail (clamped lookups), and past the end of a table without one. Time
// constants around the largest with a zero tail (about 39.4) and of every
// special kind.
TEST(DecayTable, EveryLookupIsTheDirectFormula) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float taus[] = {5.0f,   1.0f, 1e-30f, 39.0f, 39.38f, 39.4f, 40.0f, 1000.0f,
                          1e-45f, 0.0f, -0.0f,  -5.0f, inf,    -inf,  nan};
    for (const float tau : taus) {
        DecayTable table;
        table.build(tau);
        ASSERT_TRUE(table.built_for(tau));
        if (tau > 0.0f && tau <= 39.0f) {
            EXPECT_TRUE(table.covers_every_difference()) << tau;
        }
        if (!(tau > 0.0f) || tau >= 40.0f) {
            EXPECT_FALSE(table.covers_every_difference()) << tau;
        }
        for (std::uint64_t dt = 0; dt < 2 * DecayTable::kMaxSize; ++dt) {
            const float direct = decay_factor(dt, tau);
            ASSERT_TRUE(same_value(table.get_built(dt, tau), direct)) << tau << " " << dt;
            ASSERT_TRUE(same_value(table.get(dt, tau), direct)) << tau << " " << dt;
            if (table.covers_every_difference()) {
                ASSERT_TRUE(same_value(table.get_clamped(dt), direct)) << tau << " " << dt;
            }
        }
        for (const std::uint64_t dt : {std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
            ASSERT_TRUE(same_value(table.get_built(dt, tau), decay_factor(dt, tau)));
        }
        // Not used for another time constant, nor before it is built.
        EXPECT_FALSE(table.built_for(tau == 2.0f ? 3.0f : 2.0f));
        EXPECT_TRUE(same_value(table.get(7, 2.5f), decay_factor(7, 2.5f)));
    }
    EXPECT_FALSE(DecayTable{}.built_for(0.0f));
}

}  // namespace
}  // namespace synaptor
