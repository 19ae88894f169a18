// The one generator family of the system: ChaCha with 12 rounds, a 64-bit
// block counter and a zero 64-bit stream, seeded from a u64 by PCG32 key
// expansion. Output is one stream of 32-bit words; the four-block buffer only
// batches the computation. Plain value, owned by one thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace synaptor {

/// Everything that decides a generator's future output, for saving it.
struct ChaChaRngState {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t counter = 0;
    std::array<std::uint32_t, 64> buffer{};
    std::uint32_t index = 64;
    std::uint32_t blocks_per_refill = 4;
};

class ChaChaRng {
public:
    static ChaChaRng seed_from_u64(std::uint64_t seed);
    /// The same stream, but computed one block at a time as it is consumed: for
    /// generators that hand out only a few words (one per synapse).
    static ChaChaRng seed_from_u64_lazy(std::uint64_t seed);
    /// A lazy generator whose stream starts at block `counter` of `key`: the
    /// continuation of a stream whose first blocks were computed elsewhere.
    static ChaChaRng lazy_at_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter);

    ChaChaRngState state() const;
    /// The generator in `state`; nothing when the state is not one a
    /// generator can be in (buffer position or refill size out of range).
    static std::optional<ChaChaRng> from_state(const ChaChaRngState& state);

    std::uint32_t next_u32() {
        if (index_ >= 64) refill();
        return buffer_[index_++];
    }
    /// Two consecutive words of the stream, the first as the low half.
    std::uint64_t next_u64() {
        if (index_ + 2 <= 64) [[likely]] {
            const std::uint64_t lo = buffer_[index_];
            const std::uint64_t hi = buffer_[index_ + 1];
            index_ += 2;
            return (hi << 32) | lo;
        }
        // Straddles a refill: the last word of this buffer is the low half.
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }

    /// Uniform integer in [0, max], both ends included (rejection zone method).
    std::uint64_t uniform_u64_inclusive(std::uint64_t max);
    /// Uniform f32 in [0, high], both ends included; one 32-bit draw per value.
    /// `high` must be at least 0 and high / (1 - 2^-23) a finite f32.
    float uniform_f32_inclusive(float high);

private:
    ChaChaRng() = default;
    void refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 64> buffer_{};
    std::uint32_t index_ = 64;
    /// Blocks computed per refill; they fill the end of the buffer, so the
    /// stream does not depend on this.
    std::uint32_t blocks_per_refill_ = 4;
};

/// `amount` distinct offsets out of 0 .. count-1, every subset of that size
/// equally likely, deterministic in the generator's output, work proportional
/// to `amount`. Requires amount <= count. Offsets are written to `out` (cleared
/// first) in the order drawn. Exactly `amount` uniform integer draws (Floyd's
/// method); `out` doubles as the scratch set, so a reused `out` makes the call
/// free of allocation.
void sample_subset(ChaChaRng& rng, std::uint64_t count, std::uint64_t amount,
                   std::vector<std::uint64_t>& out);

/// SipHash-1-3 with a zero key over three u64 values, little-endian.
std::uint64_t pair_hash(std::uint64_t a, std::uint64_t b, std::uint64_t c);

/// The pair hash with the state after its first word computed once, for
/// hashing many pairs under one network seed.
class PairHashPrefix;

class PairHasher {
public:
    explicit PairHasher(std::uint64_t first);
    std::uint64_t hash(std::uint64_t b, std::uint64_t c) const;
    /// The state after the second word too, for hashing many `c` with one `b`.
    PairHashPrefix with_second(std::uint64_t b) const;

private:
    std::uint64_t v0_, v1_, v2_, v3_;
};

/// The pair hash after its first two words: hash(c) equals pair_hash(a, b, c).
class PairHashPrefix {
public:
    std::uint64_t hash(std::uint64_t c) const;

private:
    friend class PairHasher;
    PairHashPrefix(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3)
        : v0_(v0), v1_(v1), v2_(v2), v3_(v3) {}
    std::uint64_t v0_, v1_, v2_, v3_;
};

}  // namespace synaptor
