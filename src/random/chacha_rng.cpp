#include "random/chacha_rng.hpp"

#include <limits>

#include "random/chacha_block.hpp"
#include "util/panic.hpp"

namespace synaptor {

ChaChaRng ChaChaRng::seed_from_u64(std::uint64_t seed) {
    ChaChaRng rng;
    rng.key_ = chacha_detail::pcg32_key(seed);
    return rng;
}

ChaChaRng ChaChaRng::seed_from_u64_lazy(std::uint64_t seed) {
    ChaChaRng rng = seed_from_u64(seed);
    rng.blocks_per_refill_ = 1;
    return rng;
}

ChaChaRngState ChaChaRng::state() const {
    return ChaChaRngState{key_, counter_, buffer_, index_, blocks_per_refill_};
}

std::optional<ChaChaRng> ChaChaRng::from_state(const ChaChaRngState& state) {
    if (state.index > 64 || (state.blocks_per_refill != 1 && state.blocks_per_refill != 4)) {
        return std::nullopt;
    }
    ChaChaRng rng;
    rng.key_ = state.key;
    rng.counter_ = state.counter;
    rng.buffer_ = state.buffer;
    rng.index_ = state.index;
    rng.blocks_per_refill_ = state.blocks_per_refill;
    return rng;
}

void ChaChaRng::refill() {
    if (blocks_per_refill_ == 4) {
        chacha_detail::chacha_blocks4<chacha_detail::kRngRounds>(key_, counter_, buffer_.data());
        counter_ += 4;
        index_ = 0;
    } else {
        // One block into the last 16 words; the stream is the same.
        chacha_detail::chacha_block<chacha_detail::kRngRounds>(key_, counter_, 0, 0,
                                                               buffer_.data() + 48);
        counter_ += 1;
        index_ = 48;
    }
}

std::uint64_t ChaChaRng::uniform_u64_inclusive(std::uint64_t max) {
    return chacha_detail::uniform_u64_inclusive(*this, max);
}

float ChaChaRng::uniform_f32_inclusive(float high) {
    return chacha_detail::uniform_f32_inclusive(*this, high);
}

ChaChaRng ChaChaRng::lazy_at_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter) {
    ChaChaRng rng;
    rng.key_ = key;
    rng.counter_ = counter;
    rng.blocks_per_refill_ = 1;
    return rng;
}

void sample_subset(ChaChaRng& rng, std::uint64_t count, std::uint64_t amount,
                   std::vector<std::uint64_t>& out) {
    expect(amount <= count, "subset draw of more elements than there are");
    // The scratch set takes up to four slots per element; beyond this the
    // sizing below would overflow instead of failing.
    expect(amount <= (std::numeric_limits<std::size_t>::max() >> 4), "subset draw too large");
    out.clear();
    if (amount == 0) return;
    // Open-addressing set in the tail of `out`, at most half full. Offsets are
    // below count <= 2^64 - 1, so the largest u64 marks an empty slot.
    constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();
    std::size_t table_size = 8;
    int shift = 61;
    while (table_size < 2 * amount) {
        table_size *= 2;
        --shift;
    }
    out.resize(static_cast<std::size_t>(amount) + table_size, kEmpty);
    std::uint64_t* const set = out.data() + amount;
    const std::size_t mask = table_size - 1;
    // Returns true when `v` was newly inserted.
    auto insert = [&](std::uint64_t v) {
        std::size_t i = static_cast<std::size_t>((v * 0x9E3779B97F4A7C15ull) >> shift);
        for (;;) {
            if (set[i] == v) return false;
            if (set[i] == kEmpty) {
                set[i] = v;
                return true;
            }
            i = (i + 1) & mask;
        }
    };
    // Floyd: for each j of the last `amount` values, draw t in [0, j]; take t,
    // or j when t is already taken. Every subset is equally likely.
    std::size_t n = 0;
    for (std::uint64_t j = count - amount; j < count; ++j) {
        const std::uint64_t t = chacha_detail::uniform_u64_inclusive(rng, j);
        if (insert(t)) {
            out[n++] = t;
        } else {
            insert(j);
            out[n++] = j;
        }
    }
    out.resize(static_cast<std::size_t>(amount));
}

namespace {

chacha_detail::SipState absorb_first(std::uint64_t a) {
    chacha_detail::SipState s = chacha_detail::SipState::with_key(0, 0);
    s.compress<1>(a);
    return s;
}

std::uint64_t finish_pair(chacha_detail::SipState s) {
    s.compress<1>(std::uint64_t{24} << 56);  // message length, no tail bytes
    return s.finish<3>();
}

}  // namespace

std::uint64_t pair_hash(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    chacha_detail::SipState s = absorb_first(a);
    s.compress<1>(b);
    s.compress<1>(c);
    return finish_pair(s);
}

PairHasher::PairHasher(std::uint64_t first) {
    const chacha_detail::SipState s = absorb_first(first);
    v0_ = s.v0;
    v1_ = s.v1;
    v2_ = s.v2;
    v3_ = s.v3;
}

std::uint64_t PairHasher::hash(std::uint64_t b, std::uint64_t c) const {
    chacha_detail::SipState s{v0_, v1_, v2_, v3_};
    s.compress<1>(b);
    s.compress<1>(c);
    return finish_pair(s);
}

PairHashPrefix PairHasher::with_second(std::uint64_t b) const {
    chacha_detail::SipState s{v0_, v1_, v2_, v3_};
    s.compress<1>(b);
    return PairHashPrefix(s.v0, s.v1, s.v2, s.v3);
}

std::uint64_t PairHashPrefix::hash(std::uint64_t c) const {
    chacha_detail::SipState s{v0_, v1_, v2_, v3_};
    s.compress<1>(c);
    return finish_pair(s);
}

}  // namespace synaptor
