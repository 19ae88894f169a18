#include "random/chacha_block.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace synaptor {
namespace {

using chacha_detail::chacha_block;
using chacha_detail::chacha_blocks4;

std::array<std::uint32_t, 8> counting_key() {
    std::array<std::uint32_t, 8> key{};
    for (std::uint32_t i = 0; i < 8; ++i) {
        key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    }
    return key;
}

TEST(ChaChaBlock, MatchesPublishedTwentyRoundVector) {
    // Key 00..1f, nonce 00:00:00:09:00:00:00:4a:00:00:00:00, block count 1.
    std::uint32_t out[16];
    chacha_block<20>(counting_key(), 0x0900000000000001ull, 0x4a000000u, 0, out);
    const std::uint8_t expected[64] = {
        0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3,
        0x20, 0x71, 0xc4, 0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22,
        0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e, 0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa,
        0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2, 0xb5, 0x12, 0x9c, 0xd1,
        0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t word = expected[4 * i] | (expected[4 * i + 1] << 8) |
                                   (expected[4 * i + 2] << 16) |
                                   (static_cast<std::uint32_t>(expected[4 * i + 3]) << 24);
        EXPECT_EQ(out[i], word) << "word " << i;
    }
}

TEST(ChaChaBlock, FourBlocksEqualFourSingleBlocks) {
    const std::uint64_t counter = 0xFFFFFFFEull;  // carries into the high counter word
    std::uint32_t four[64];
    chacha_blocks4<12>(counting_key(), counter, four);
    for (std::uint64_t b = 0; b < 4; ++b) {
        std::uint32_t one[16];
        chacha_block<12>(counting_key(), counter + b, 0, 0, one);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(four[b * 16 + i], one[i]);
    }
    // Lanes with keys and counters of their own.
    std::array<std::array<std::uint32_t, 8>, 4> keys{};
    for (std::uint32_t l = 0; l < 4; ++l) keys[l] = chacha_detail::pcg32_key(l * 1000 + 1);
    const std::array<std::uint32_t, 8>* const lane_keys[4] = {&keys[0], &keys[1], &keys[2],
                                                              &keys[3]};
    const std::uint64_t counters[4] = {0, 7, 0x100000000ull, ~std::uint64_t{0}};
    chacha_detail::chacha_blocks_lanes<12>(lane_keys, counters, four);
    for (std::size_t l = 0; l < 4; ++l) {
        std::uint32_t one[16];
        chacha_block<12>(keys[l], counters[l], 0, 0, one);
        for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(four[l * 16 + i], one[i]);
    }
}

}  // namespace
}  // namespace synaptor
