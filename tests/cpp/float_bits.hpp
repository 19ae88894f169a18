// The bits of a float, for the tests that compare results exactly: equal
// bits tell NaN payloads and signed zeros apart, where == would not. Pure
// functions, any thread.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace synaptor::test {

constexpr std::uint32_t float_bits(float x) { return std::bit_cast<std::uint32_t>(x); }

/// Equal bit for bit, or both NaN: which of two NaN operands a product
/// passes on is the compiler's choice of operand order, not the formula's.
inline bool same_value(float a, float b) {
    return float_bits(a) == float_bits(b) || (std::isnan(a) && std::isnan(b));
}

}  // namespace synaptor::test
