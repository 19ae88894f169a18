#include "util/decay.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "float_bits.hpp"

namespace synaptor {
namespace {

using test::same_value;

// decay_factor returns +0.0 without calling expf far below zero; it must still
// be expf's own value everywhere, above all across the underflow into
// subnormals and zero, for time constants of every kind.
TEST(DecayFactor, IsExpfOfTheQuotientAcrossUnderflow) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float taus[] = {1.0f, 5.0f, 0.37f, 1e-30f, 1e30f, 0.0f, -0.0f, -5.0f, inf, -inf, nan};
    const auto check = [](std::uint64_t dt, float tau) {
        const float direct = expf(-static_cast<float>(dt) / tau);
        ASSERT_TRUE(same_value(decay_factor(dt, tau), direct)) << "tau " << tau << " dt " << dt;
    };
    for (const float tau : taus) {
        for (std::uint64_t dt = 0; dt < 2000; ++dt) check(dt, tau);
        for (const std::uint64_t dt : {std::uint64_t{1} << 24, (std::uint64_t{1} << 24) + 1,
                                       std::numeric_limits<std::uint64_t>::max()}) {
            check(dt, tau);
        }
    }
    // Quotients through every float from -103 to -105: with tau = 2^17, dt
    // steps by one ulp of that range and converts exactly.
    const float tau = 131072.0f;
    for (std::uint64_t dt = 103 * 131072; dt <= 105 * 131072; ++dt) check(dt, tau);
}

}  // namespace
}  // namespace synaptor
