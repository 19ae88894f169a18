// The bounds of the unit f32 draw, shared by the generator that makes the
// draws and by the validation that must accept exactly the bounds the draws
// can scale to. Compile-time constants, any thread.
#pragma once

#include <bit>
#include <cstdint>

namespace synaptor {

/// The largest value of the unit f32 draw, 1 - 2^-23: the draw fills the 23
/// mantissa bits of a float in [1, 2) and subtracts 1.
inline constexpr float kMaxUnitF32 = std::bit_cast<float>(std::uint32_t{0x3F7FFFFE});

}  // namespace synaptor
