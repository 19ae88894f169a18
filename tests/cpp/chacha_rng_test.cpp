#include "random/chacha_rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "float_bits.hpp"
#include "random/chacha_block.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

using chacha_detail::siphash;

TEST(PairHash, SipHashMatchesPublishedTwoFourVector) {
    std::uint8_t message[15];
    for (std::uint8_t i = 0; i < 15; ++i) message[i] = i;
    EXPECT_EQ((siphash<2, 4>(0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull, message, 15)),
              0xa129ca6149be45e5ull);
}

TEST(PairHash, IsSipHashOneThreeOfTwentyFourBytes) {
    const std::uint64_t words[3] = {0x0123456789abcdefull, 42, 0xfedcba9876543210ull};
    std::uint8_t bytes[24];
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 8; ++b) {
            bytes[w * 8 + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        }
    const std::uint64_t h = pair_hash(words[0], words[1], words[2]);
    EXPECT_EQ(h, (siphash<1, 3>(0, 0, bytes, 24)));
    EXPECT_EQ(PairHasher(words[0]).hash(words[1], words[2]), h);
    EXPECT_EQ(PairHasher(words[0]).with_second(words[1]).hash(words[2]), h);
    EXPECT_NE(pair_hash(words[0], words[2], words[1]), h);
    // Pinned once verified against the generic form above.
    EXPECT_EQ(pair_hash(0, 0, 0), 0xf9003207cf9e4d4cull);
    EXPECT_EQ(pair_hash(7, 1000, 2000), 0x85a94b2ae17c56f0ull);
}

TEST(ChaChaRng, SeedExpansionAndStreamArePinned) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(0);
    std::vector<std::uint32_t> words;
    for (int i = 0; i < 4; ++i) words.push_back(rng.next_u32());
    const std::vector<std::uint32_t> pinned = {0xcd2c6f7fu, 0xbb2a3fb2u, 0x8e27697bu, 0xc6017c94u};
    EXPECT_EQ(words, pinned);
    ChaChaRng other = ChaChaRng::seed_from_u64(0x123456789abcdef0ull);
    EXPECT_EQ(other.next_u64(), 0x1e0762b2f3ad0112ull);
}

TEST(ChaChaRng, StreamIsIndependentOfBufferingAndSeedsAreReproducible) {
    ChaChaRng full = ChaChaRng::seed_from_u64(99);
    ChaChaRng lazy = ChaChaRng::seed_from_u64_lazy(99);
    ChaChaRng again = ChaChaRng::seed_from_u64(99);
    for (int i = 0; i < 300; ++i) {
        const std::uint32_t w = full.next_u32();
        EXPECT_EQ(lazy.next_u32(), w) << i;
        EXPECT_EQ(again.next_u32(), w) << i;
    }
    // Also the uniform draws, which mix 32- and 64-bit reads across refills.
    ChaChaRng a = ChaChaRng::seed_from_u64_lazy(5);
    ChaChaRng b = ChaChaRng::seed_from_u64(5);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(a.uniform_u64_inclusive(1000), b.uniform_u64_inclusive(1000));
        EXPECT_EQ(test::float_bits(a.uniform_f32_inclusive(2.5f)),
                  test::float_bits(b.uniform_f32_inclusive(2.5f)));
    }
}

TEST(ChaChaRng, NextU64StraddlingARefillTakesTheLastWordAsLowHalf) {
    for (const bool lazy : {false, true}) {
        ChaChaRng words = lazy ? ChaChaRng::seed_from_u64_lazy(3) : ChaChaRng::seed_from_u64(3);
        ChaChaRng pairs = lazy ? ChaChaRng::seed_from_u64_lazy(3) : ChaChaRng::seed_from_u64(3);
        std::vector<std::uint32_t> stream;
        for (int i = 0; i < 140; ++i) stream.push_back(words.next_u32());
        // 63 words, then pairs at odd offsets straddle every 16- and 64-word boundary.
        std::size_t at = 0;
        for (; at < 63; ++at) pairs.next_u32();
        while (at + 2 <= stream.size()) {
            const std::uint64_t expected =
                (static_cast<std::uint64_t>(stream[at + 1]) << 32) | stream[at];
            EXPECT_EQ(pairs.next_u64(), expected) << at;
            at += 2;
        }
    }
}

TEST(ChaChaRng, UniformIntegerEdgeRanges) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    ChaChaRng a = ChaChaRng::seed_from_u64(11);
    ChaChaRng raw = ChaChaRng::seed_from_u64(11);
    // The full range is one raw draw; max 0 is 0 and still consumes one u64.
    EXPECT_EQ(a.uniform_u64_inclusive(kMax), raw.next_u64());
    EXPECT_EQ(a.uniform_u64_inclusive(0), 0u);
    raw.next_u64();
    EXPECT_EQ(a.next_u64(), raw.next_u64());

    // With range 2^63 + 1 about half of the raw draws fall in the rejection
    // zone, so 1000 draws consume clearly more than 1000 u64s.
    const std::uint64_t max = std::uint64_t{1} << 63;
    ChaChaRng b = ChaChaRng::seed_from_u64(12);
    ChaChaRng count = ChaChaRng::seed_from_u64(12);
    for (int i = 0; i < 1000; ++i) EXPECT_LE(b.uniform_u64_inclusive(max), max);
    const std::uint64_t next = b.next_u64();
    int consumed = 0;
    while (count.next_u64() != next) ++consumed;
    EXPECT_GT(consumed, 1500);
    EXPECT_LT(consumed, 2600);
}

TEST(ChaChaRng, UniformIntegerIsRoughlyUniform) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(21);
    std::array<int, 7> counts{};
    const int n = 70000;
    for (int i = 0; i < n; ++i) ++counts[rng.uniform_u64_inclusive(6)];
    double chi2 = 0.0;
    for (const int c : counts) chi2 += (c - n / 7.0) * (c - n / 7.0) / (n / 7.0);
    EXPECT_LT(chi2, 30.0);  // 6 degrees of freedom; p < 1e-4 above this
}

TEST(ChaChaRng, UniformFloatStaysWithinItsBoundsAndUsesOneWord) {
    ChaChaRng zero = ChaChaRng::seed_from_u64(31);
    ChaChaRng raw = ChaChaRng::seed_from_u64(31);
    EXPECT_EQ(test::float_bits(zero.uniform_f32_inclusive(0.0f)), 0u);
    raw.next_u32();
    EXPECT_EQ(zero.next_u32(), raw.next_u32());

    // With high = 1 - 2^-23 the scale is exactly 1: the value is the mantissa draw.
    const float max_rand = std::bit_cast<float>(0x3F7FFFFEu);
    ChaChaRng unit = ChaChaRng::seed_from_u64(32);
    ChaChaRng words = ChaChaRng::seed_from_u64(32);
    for (int i = 0; i < 100; ++i) {
        const float expected = std::bit_cast<float>((words.next_u32() >> 9) | 0x3F800000u) - 1.0f;
        EXPECT_EQ(test::float_bits(unit.uniform_f32_inclusive(max_rand)),
                  test::float_bits(expected));
    }

    ChaChaRng rng = ChaChaRng::seed_from_u64(33);
    for (const float high : {1.0f, 0.3f, 1e-30f, 3.0e38f, 7.0f}) {
        float largest = 0.0f;
        for (int i = 0; i < 2000; ++i) {
            const float v = rng.uniform_f32_inclusive(high);
            EXPECT_GE(v, 0.0f);
            EXPECT_LE(v, high);
            largest = std::max(largest, v);
        }
        EXPECT_GT(largest, high * 0.99f);
    }
}

TEST(ChaChaRng, UniformFloatRejectsABoundWithoutFiniteScale) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(1);
    EXPECT_THROW(rng.uniform_f32_inclusive(std::numeric_limits<float>::infinity()), Panic);
    EXPECT_THROW(rng.uniform_f32_inclusive(std::numeric_limits<float>::max()), Panic);
    EXPECT_THROW(rng.uniform_f32_inclusive(-1.0f), Panic);
}

TEST(SampleSubset, EverySubsetIsEquallyLikely) {
    // All 10 subsets of 2 out of 5, and all 20 of 3 out of 6.
    for (const auto [count, amount, subsets] : {std::array<int, 3>{5, 2, 10}, {6, 3, 20}}) {
        ChaChaRng rng = ChaChaRng::seed_from_u64(static_cast<std::uint64_t>(count));
        std::map<std::vector<std::uint64_t>, int> seen;
        std::vector<std::uint64_t> out;
        const int n = 2000 * subsets;
        for (int i = 0; i < n; ++i) {
            sample_subset(rng, static_cast<std::uint64_t>(count),
                          static_cast<std::uint64_t>(amount), out);
            std::sort(out.begin(), out.end());
            ++seen[out];
        }
        ASSERT_EQ(seen.size(), static_cast<std::size_t>(subsets));
        double chi2 = 0.0;
        for (const auto& [subset, c] : seen) chi2 += (c - 2000.0) * (c - 2000.0) / 2000.0;
        EXPECT_LT(chi2, 3.0 * subsets) << count << " choose " << amount;
    }
}

TEST(SampleSubset, DistinctInRangeDeterministicAndReusesStorage) {
    ChaChaRng a = ChaChaRng::seed_from_u64(8);
    ChaChaRng b = ChaChaRng::seed_from_u64(8);
    std::vector<std::uint64_t> out;
    std::vector<std::uint64_t> twin;
    using Case = std::pair<std::uint64_t, std::uint64_t>;
    const std::uint64_t all = std::numeric_limits<std::uint64_t>::max();
    const std::vector<Case> cases = {{1000, 100}, {100, 100}, {1, 1},  {7, 0},
                                     {0, 0},      {300, 299}, {all, 5}};
    for (const auto& [count, amount] : cases) {
        sample_subset(a, count, amount, out);
        sample_subset(b, count, amount, twin);
        EXPECT_EQ(out, twin);
        ASSERT_EQ(out.size(), amount);
        EXPECT_EQ(std::set<std::uint64_t>(out.begin(), out.end()).size(), amount);
        for (const std::uint64_t o : out) EXPECT_LT(o, count);
    }
    // Exactly one uniform draw per element: the generators stay in step.
    EXPECT_EQ(a.next_u64(), b.next_u64());

    sample_subset(a, 5000, 500, out);
    const std::uint64_t* storage = out.data();
    sample_subset(a, 5000, 500, out);
    EXPECT_EQ(out.data(), storage);
    EXPECT_THROW(sample_subset(a, 3, 4, out), Panic);
    const std::uint64_t huge = std::uint64_t{1} << 62;
    EXPECT_THROW(sample_subset(a, huge, huge, out), Panic);
}

}  // namespace
}  // namespace synaptor
