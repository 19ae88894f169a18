#include "random/chacha_block.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace synaptor {
namespace {

using chacha_detail::chacha_block;
using chacha_detail::chacha_blocks4;
using chacha_detail::chacha_first_blocks_wordwise;

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

/// The first blocks of 16 generators at vector width V against chacha_block.
template <class V>
void expect_wordwise_first_blocks() {
    std::array<std::array<std::uint32_t, 8>, 16> keys{};
    const std::array<std::uint32_t, 8>* lanes[16];
    for (std::size_t l = 0; l < 16; ++l) {
        keys[l] = chacha_detail::pcg32_key(1000 + l);
        lanes[l] = &keys[l];
    }
    constexpr std::size_t kLanes = sizeof(V) / sizeof(std::uint32_t);
    std::uint32_t out[16 * 16] = {};
    for (std::size_t l = 0; l < 16; l += kLanes) {
        chacha_first_blocks_wordwise<12, V>(lanes + l, out + l, 16);
    }
    for (std::size_t l = 0; l < 16; ++l) {
        std::uint32_t block[16];
        chacha_block<12>(keys[l], 0, 0, 0, block);
        for (std::size_t w = 0; w < 16; ++w) {
            EXPECT_EQ(out[w * 16 + l], block[w]) << kLanes << " lanes, lane " << l << " word " << w;
        }
    }
}

TEST(ChaChaBlock, WordwiseFirstBlocksEqualSingleBlocksAtEveryWidth) {
    typedef std::uint32_t U32x8 __attribute__((vector_size(32)));
    typedef std::uint32_t U32x16 __attribute__((vector_size(64)));
    expect_wordwise_first_blocks<chacha_detail::U32x4>();
    expect_wordwise_first_blocks<U32x8>();
    expect_wordwise_first_blocks<U32x16>();
}

/// Hands out given u64 words, then fails the test.
struct ScriptedWords {
    const std::uint64_t* words;
    std::size_t size;
    std::size_t used = 0;
    std::uint64_t next_u64() {
        if (used >= size) {
            ADD_FAILURE() << "draw took more words than scripted";
            return 0;
        }
        return words[used++];
    }
};

/// The rejection-zone draw as first written, with the zone computed before
/// every draw: the result and the words taken must not change.
std::uint64_t reference_uniform(ScriptedWords& words, std::uint64_t max) {
    __extension__ typedef unsigned __int128 U128;
    const std::uint64_t range = max + 1;
    if (range == 0) return words.next_u64();
    const std::uint64_t zone = ~std::uint64_t{0} - (0 - range) % range;
    for (;;) {
        const U128 product = static_cast<U128>(words.next_u64()) * range;
        if (static_cast<std::uint64_t>(product) <= zone) {
            return static_cast<std::uint64_t>(product >> 64);
        }
    }
}

TEST(ChaChaBlock, UniformDrawAcceptsAndRejectsExactlyAsTheZoneSays) {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    // Ranges with a large rejection zone (2^63 + 1, 3 * 2^62), a tiny one,
    // and none (powers of two), up to the largest below the full range.
    const std::uint64_t maxima[] = {0,
                                    1,
                                    6,
                                    999,
                                    (std::uint64_t{1} << 32) - 1,
                                    std::uint64_t{1} << 63,
                                    3 * (std::uint64_t{1} << 62) - 1,
                                    (std::uint64_t{1} << 62) + 12345,
                                    kTop - 1};
    for (const std::uint64_t max : maxima) {
        const std::uint64_t range = max + 1;
        // Words whose low product lands just below, on and above the two
        // bounds the draw compares with: 2^64 - range and the zone itself.
        std::vector<std::uint64_t> candidates = {0, 1, kTop, kTop - 1, 0x0123456789abcdefull};
        const std::uint64_t zone = kTop - (0 - range) % range;
        for (const std::uint64_t low : {0 - range, zone}) {
            for (std::uint64_t d = 0; d < 3; ++d) {
                const std::uint64_t target = low - 1 + d;
                // A word w with w * range = target (mod 2^64) exists when
                // range is odd (w = target times the inverse of range);
                // otherwise take the nearest words below and above.
                if (range % 2 == 1) {
                    std::uint64_t inverse = 1;
                    for (int i = 0; i < 6; ++i) inverse *= 2 - range * inverse;
                    candidates.push_back(target * inverse);
                } else {
                    candidates.push_back(target / range);
                    candidates.push_back(target / range + 1);
                }
            }
        }
        // Every candidate first, each followed by words that are accepted.
        for (const std::uint64_t first : candidates) {
            const std::uint64_t script[] = {first, first ^ 0x5555555555555555ull, 0, 1, 2, 3};
            ScriptedWords fast{script, 6};
            ScriptedWords slow{script, 6};
            EXPECT_EQ(chacha_detail::uniform_u64_inclusive(fast, max), reference_uniform(slow, max))
                << "max " << max << " first word " << first;
            EXPECT_EQ(fast.used, slow.used) << "max " << max << " first word " << first;
        }
    }
}

}  // namespace
}  // namespace synaptor
