// Generators that hand out only a few words each, seeded sixteen at a time:
// construction gives every synapse its own generator but takes two or three
// words from it. ChaChaBatch expands up to sixteen seeds and computes their
// first blocks side by side, in the widest vector registers the processor has; each ChaChaStream
// then reads its generator's stream, word for word the stream of ChaChaRng::seed_from_u64 with the
// same seed, continuing past the first block on demand. Plain values of one thread; a stream points
// into its batch, which must outlive it and stay unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "random/chacha_block.hpp"
#include "random/chacha_rng.hpp"
#include "util/panic.hpp"

namespace synaptor {

class ChaChaBatch;

class ChaChaStream {
public:
    std::uint32_t next_u32() {
        if (index_ < 16) return block_[kRow * index_++];
        return next_u32_past_first_block();
    }
    /// Two consecutive words of the stream, the first as the low half.
    std::uint64_t next_u64() {
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }
    /// The draws of ChaChaRng, on this stream; inline, as construction
    /// makes a few per synapse.
    std::uint64_t uniform_u64_inclusive(std::uint64_t max) {
        return chacha_detail::uniform_u64_inclusive(*this, max);
    }
    float uniform_f32_inclusive(float high) {
        return chacha_detail::uniform_f32_inclusive(*this, high);
    }

private:
    friend class ChaChaBatch;
    /// Distance between consecutive words of a first block (see ChaChaBatch).
    static constexpr std::size_t kRow = 16;
    ChaChaStream(const std::uint32_t* block, const std::array<std::uint32_t, 8>* key)
        : block_(block), key_(key) {}
    std::uint32_t next_u32_past_first_block();

    const std::uint32_t* block_;
    const std::array<std::uint32_t, 8>* key_;
    std::uint32_t index_ = 0;
    std::optional<ChaChaRng> rest_;  ///< from block 1 on, made only when reached
};

class ChaChaBatch {
public:
    /// Generators per seeding.
    static constexpr std::size_t kSize = ChaChaStream::kRow;

    /// Seeds `n` (1 to kSize) generators as seed_from_u64(seeds[i]) and
    /// computes their first blocks. Invalidates streams of an earlier seeding.
    void seed(const std::uint64_t* seeds, std::size_t n);
    /// The stream of the i-th generator of the last seeding.
    ChaChaStream stream(std::size_t i) const {
        expect(i < size_, "generator batch has no stream of that index");
        return ChaChaStream(blocks_.data() + i, &keys_[i]);
    }

private:
    std::array<std::array<std::uint32_t, 8>, kSize> keys_{};
    /// The first blocks word by word: word w of generator i at [w * kSize + i].
    alignas(64) std::array<std::uint32_t, 16 * kSize> blocks_{};
    std::size_t size_ = 0;
};

}  // namespace synaptor
