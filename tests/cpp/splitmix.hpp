// The seeded generator of the tests and fuzzers: the splitmix64 sequence, a
// fixed integer recipe, so that a network or a mutation drawn from a seed is
// the same on every machine and compiler. Each generator belongs to the one
// thread that draws from it.
#pragma once

#include <cstdint>

#include "util/hash.hpp"

namespace synaptor::test {

struct SplitMix64 {
    std::uint64_t state = 0;

    std::uint64_t next() {
        const std::uint64_t z = mix64(state);
        state += 0x9e3779b97f4a7c15ULL;  // the step that mix64 adds first
        return z;
    }
    /// Below `n` by the remainder (slightly uneven, and fixed); 0 for n = 0.
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    /// In [0, 1), from the top 24 bits of a draw.
    float unit() { return static_cast<float>(next() >> 40) / 16777216.0f; }
};

}  // namespace synaptor::test
