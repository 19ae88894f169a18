// Bytes of every kind a ByteWriter encodes, for the tests of the encoder and
// of its decoding twin, which read the same bytes back. Pure, any thread.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "util/byte_writer.hpp"

namespace synaptor::test {

using Bytes = std::vector<unsigned char>;

/// Varints of one to ten bytes, on both sides of the boundaries between lengths.
inline constexpr std::uint64_t kVarints[] = {0,
                                             1,
                                             127,
                                             128,
                                             16383,
                                             16384,
                                             0xFFFFFFFFull,
                                             1ull << 63,
                                             std::numeric_limits<std::uint64_t>::max()};

/// One value of each kind, then the varints above.
inline Bytes every_kind() {
    ByteWriter out;
    out.u8(0xAB);
    out.u32(0x01020304u);
    out.u64(0x0102030405060708ull);
    out.f32(-0.0f);
    out.f64(1.5);
    out.flag(true);
    out.optional_u64(std::nullopt);
    out.optional_u64(42);
    for (std::uint64_t v : kVarints) out.varint(v);
    return Bytes(out.data(), out.data() + out.size());
}

}  // namespace synaptor::test
