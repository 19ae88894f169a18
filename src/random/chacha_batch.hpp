// Generators that hand out only a few words each, seeded four at a time:
// construction gives every synapse its own generator but takes two or three
// words from it. ChaChaBatch4 expands four seeds and computes their first
// blocks side by side; each ChaChaStream then reads its generator's stream,
// word for word the stream of ChaChaRng::seed_from_u64 with the same seed,
// continuing past the first block on demand. Plain values of one thread; a
// stream points into its batch, which must outlive it and stay unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "random/chacha_rng.hpp"

namespace synaptor {

class ChaChaStream {
public:
    std::uint32_t next_u32() {
        if (index_ < 16) return block_[index_++];
        return next_u32_past_first_block();
    }
    /// Two consecutive words of the stream, the first as the low half.
    std::uint64_t next_u64() {
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }
    /// The draws of ChaChaRng, on this stream.
    std::uint64_t uniform_u64_inclusive(std::uint64_t max);
    float uniform_f32_inclusive(float high);

private:
    friend class ChaChaBatch4;
    ChaChaStream(const std::uint32_t* block, const std::array<std::uint32_t, 8>* key)
        : block_(block), key_(key) {}
    std::uint32_t next_u32_past_first_block();

    const std::uint32_t* block_;
    const std::array<std::uint32_t, 8>* key_;
    std::uint32_t index_ = 0;
    std::optional<ChaChaRng> rest_;  ///< from block 1 on, made only when reached
};

class ChaChaBatch4 {
public:
    /// Seeds `n` (1 to 4) generators as seed_from_u64(seeds[i]) and computes
    /// their first blocks. Invalidates streams of an earlier seeding.
    void seed(const std::uint64_t* seeds, std::size_t n);
    /// The stream of the i-th generator of the last seeding.
    ChaChaStream stream(std::size_t i) const;

private:
    std::array<std::array<std::uint32_t, 8>, 4> keys_{};
    std::array<std::uint32_t, 64> blocks_{};
    std::size_t size_ = 0;
};

}  // namespace synaptor
