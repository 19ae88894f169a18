#include "random/chacha_batch.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "float_bits.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

TEST(ChaChaBatch, StreamsEqualSingleGeneratorsPastTheFirstBlock) {
    // Every batch size, so that every vector width's partial last group of
    // lanes is read.
    std::uint64_t seeds[ChaChaBatch::kSize] = {0, 1, 0xdeadbeefull, ~std::uint64_t{0}};
    for (std::size_t i = 4; i < ChaChaBatch::kSize; ++i) seeds[i] = 0x9e3779b97f4a7c15ull * i;
    ChaChaBatch batch;
    for (std::size_t n = 1; n <= ChaChaBatch::kSize; ++n) {
        batch.seed(seeds, n);
        for (std::size_t i = 0; i < n; ++i) {
            ChaChaStream stream = batch.stream(i);
            ChaChaRng rng = ChaChaRng::seed_from_u64(seeds[i]);
            // 15 words, then a u64 across the block boundary, then block 1 and 2.
            for (int w = 0; w < 15; ++w) EXPECT_EQ(stream.next_u32(), rng.next_u32());
            EXPECT_EQ(stream.next_u64(), rng.next_u64());
            for (int w = 0; w < 40; ++w) EXPECT_EQ(stream.next_u32(), rng.next_u32());
        }
    }
}

TEST(ChaChaBatch, DrawsEqualThoseOfTheGenerator) {
    const std::uint64_t seeds[3] = {5, 6, 7};
    ChaChaBatch batch;
    batch.seed(seeds, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        ChaChaStream stream = batch.stream(i);
        ChaChaRng rng = ChaChaRng::seed_from_u64(seeds[i]);
        for (int d = 0; d < 30; ++d) {
            // A range of 2^63 + 1 rejects about half the raw draws.
            EXPECT_EQ(stream.uniform_u64_inclusive(std::uint64_t{1} << 63),
                      rng.uniform_u64_inclusive(std::uint64_t{1} << 63));
            EXPECT_EQ(test::float_bits(stream.uniform_f32_inclusive(3.5f)),
                      test::float_bits(rng.uniform_f32_inclusive(3.5f)));
        }
    }
    EXPECT_THROW(batch.stream(3), Panic);
    EXPECT_THROW(batch.seed(seeds, 0), Panic);
    EXPECT_THROW(batch.seed(seeds, ChaChaBatch::kSize + 1), Panic);
}

}  // namespace
}  // namespace synaptor
