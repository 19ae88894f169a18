// Tick arithmetic shared by the simulation code: sums of a tick and a
// user-chosen span (a cut-off, a period, a delay) saturate at the largest tick
// instead of wrapping, so a very long cut-off means "never expires" rather than
// "already expired". Pure functions, any thread.
#pragma once

#include <cstdint>
#include <limits>

namespace synaptor {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

/// `a - b` as a signed tick difference, saturating at the limits of i64.
inline std::int64_t signed_tick_difference(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t max_i64 =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (a >= b) {
        const std::uint64_t d = a - b;
        return d > max_i64 ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(d);
    }
    const std::uint64_t d = b - a;
    return d > max_i64 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(d);
}

}  // namespace synaptor
