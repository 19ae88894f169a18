// Internals of the generator family: the ChaCha block function (one block, or
// four side by side), the PCG32 key expansion, the uniform draws over any word
// source, and the SipHash compression of the pair hash. Block function and
// SipHash are generic over their round counts so that they can be checked
// against published vectors of the 20-round and 2-4 variants; the generator
// always runs 12 rounds and the pair hash 1-3. Pure functions.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "util/panic.hpp"
#include "util/unit_f32.hpp"

namespace synaptor::chacha_detail {

/// Rounds of the generator family.
inline constexpr int kRngRounds = 12;

inline constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                        0x6b206574u};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b;
    d = std::rotl(d ^ a, 16);
    c += d;
    b = std::rotl(b ^ c, 12);
    a += b;
    d = std::rotl(d ^ a, 8);
    c += d;
    b = std::rotl(b ^ c, 7);
}

/// One block in the 64-bit-counter layout: words 12 and 13 hold the counter
/// (low word first), words 14 and 15 the nonce. `Rounds` must be even.
template <int Rounds>
void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint32_t nonce0, std::uint32_t nonce1, std::uint32_t* out) {
    static_assert(Rounds % 2 == 0);
    std::uint32_t in[16] = {kSigma[0],
                            kSigma[1],
                            kSigma[2],
                            kSigma[3],
                            key[0],
                            key[1],
                            key[2],
                            key[3],
                            key[4],
                            key[5],
                            key[6],
                            key[7],
                            static_cast<std::uint32_t>(counter),
                            static_cast<std::uint32_t>(counter >> 32),
                            nonce0,
                            nonce1};
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int r = 0; r < Rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

/// The key of a generator seeded with `seed`: eight PCG32 outputs, each taken
/// as four little-endian bytes, which read back as the output word itself.
inline std::array<std::uint32_t, 8> pcg32_key(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t state = seed;
    for (auto& word : key) {
        state = state * 6364136223846793005ull + 11634580027462260723ull;
        const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        word = std::rotr(x, static_cast<int>(state >> 59));
    }
    return key;
}

/// Four 32-bit lanes; one lane per block, so the four blocks run side by side
/// in vector registers with no shuffles.
typedef std::uint32_t U32x4 __attribute__((vector_size(16)));

inline U32x4 rotl4(U32x4 v, int n) { return (v << n) | (v >> (32 - n)); }

/// Four blocks at once, lane l with key *keys[l] and counter counters[l] and a
/// zero nonce; the 16 words of lane l go to out[16 * l ..]. Equal to four calls
/// of chacha_block.
template <int Rounds>
void chacha_blocks_lanes(const std::array<std::uint32_t, 8>* const keys[4],
                         const std::uint64_t counters[4], std::uint32_t* out) {
    static_assert(Rounds % 2 == 0);
    U32x4 in[16];
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t c = kSigma[static_cast<std::size_t>(i)];
        in[i] = U32x4{c, c, c, c};
    }
    for (int i = 0; i < 8; ++i) {
        const auto w = static_cast<std::size_t>(i);
        in[4 + i] = U32x4{(*keys[0])[w], (*keys[1])[w], (*keys[2])[w], (*keys[3])[w]};
    }
    in[12] =
        U32x4{static_cast<std::uint32_t>(counters[0]), static_cast<std::uint32_t>(counters[1]),
              static_cast<std::uint32_t>(counters[2]), static_cast<std::uint32_t>(counters[3])};
    in[13] = U32x4{static_cast<std::uint32_t>(counters[0] >> 32),
                   static_cast<std::uint32_t>(counters[1] >> 32),
                   static_cast<std::uint32_t>(counters[2] >> 32),
                   static_cast<std::uint32_t>(counters[3] >> 32)};
    in[14] = U32x4{0, 0, 0, 0};
    in[15] = U32x4{0, 0, 0, 0};
    U32x4 x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    auto qr = [&x](int a, int b, int c, int d) {
        x[a] += x[b];
        x[d] = rotl4(x[d] ^ x[a], 16);
        x[c] += x[d];
        x[b] = rotl4(x[b] ^ x[c], 12);
        x[a] += x[b];
        x[d] = rotl4(x[d] ^ x[a], 8);
        x[c] += x[d];
        x[b] = rotl4(x[b] ^ x[c], 7);
    };
    for (int r = 0; r < Rounds; r += 2) {
        qr(0, 4, 8, 12);
        qr(1, 5, 9, 13);
        qr(2, 6, 10, 14);
        qr(3, 7, 11, 15);
        qr(0, 5, 10, 15);
        qr(1, 6, 11, 12);
        qr(2, 7, 8, 13);
        qr(3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
        const U32x4 v = x[i] + in[i];
        for (int l = 0; l < 4; ++l) out[l * 16 + i] = v[l];
    }
}

/// The quarter round on vectors of lanes, in place in `x` (no vector passes
/// by value, so that callers compiled for wider registers keep them).
template <class V>
[[gnu::always_inline]] inline void quarter_round_lanes(V* x, int a, int b, int c, int d) {
    V t;
    x[a] += x[b];
    t = x[d] ^ x[a];
    x[d] = (t << 16) | (t >> 16);
    x[c] += x[d];
    t = x[b] ^ x[c];
    x[b] = (t << 12) | (t >> 20);
    x[a] += x[b];
    t = x[d] ^ x[a];
    x[d] = (t << 8) | (t >> 24);
    x[c] += x[d];
    t = x[b] ^ x[c];
    x[b] = (t << 7) | (t >> 25);
}

/// The first blocks (counter 0, zero nonce) of as many generators as `V` has
/// 32-bit lanes, lane l with key *keys[l], computed side by side. Word w of
/// lane l goes to out[w * row + l]: word by word rather than block by block,
/// so that each vector is stored whole. Generic over the vector width, so that
/// callers compiled for wider registers get them; equal to chacha_block with
/// counter 0 in every lane.
template <int Rounds, class V>
[[gnu::always_inline]] inline void chacha_first_blocks_wordwise(
    const std::array<std::uint32_t, 8>* const* keys, std::uint32_t* out, std::size_t row) {
    static_assert(Rounds % 2 == 0);
    constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(std::uint32_t));
    V in[16]{};
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t c = kSigma[static_cast<std::size_t>(i)];
        in[i] = V{} + c;
    }
    for (int i = 0; i < 8; ++i) {
        std::uint32_t words[kLanes];
        for (int l = 0; l < kLanes; ++l) words[l] = (*keys[l])[static_cast<std::size_t>(i)];
        __builtin_memcpy(&in[4 + i], words, sizeof(V));
    }
    for (int i = 12; i < 16; ++i) in[i] = V{};
    V x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int r = 0; r < Rounds; r += 2) {
        quarter_round_lanes(x, 0, 4, 8, 12);
        quarter_round_lanes(x, 1, 5, 9, 13);
        quarter_round_lanes(x, 2, 6, 10, 14);
        quarter_round_lanes(x, 3, 7, 11, 15);
        quarter_round_lanes(x, 0, 5, 10, 15);
        quarter_round_lanes(x, 1, 6, 11, 12);
        quarter_round_lanes(x, 2, 7, 8, 13);
        quarter_round_lanes(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
        const V v = x[i] + in[i];
        __builtin_memcpy(out + static_cast<std::size_t>(i) * row, &v, sizeof(V));
    }
}

/// Four consecutive blocks (counters c .. c+3, zero nonce) into 64 words in
/// block order.
template <int Rounds>
void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                    std::uint32_t* out) {
    const std::array<std::uint32_t, 8>* const keys[4] = {&key, &key, &key, &key};
    const std::uint64_t counters[4] = {counter, counter + 1, counter + 2, counter + 3};
    chacha_blocks_lanes<Rounds>(keys, counters, out);
}

/// Uniform integer in [0, max] from a word source with next_u64(): the
/// rejection-zone method on the 128-bit product.
template <class Words>
std::uint64_t uniform_u64_inclusive(Words& words, std::uint64_t max) {
    __extension__ typedef unsigned __int128 U128;
    const std::uint64_t range = max + 1;  // wraps to 0 for the full range
    if (range == 0) return words.next_u64();
    for (;;) {
        const U128 product = static_cast<U128>(words.next_u64()) * range;
        const auto low = static_cast<std::uint64_t>(product);
        // The zone is 2^64 - 1 - ((2^64 - range) mod range), so never below
        // 2^64 - range: a low half up to there is accepted without the
        // division, which only the last `range` values of the low half need.
        if (low <= 0 - range || low <= ~std::uint64_t{0} - (0 - range) % range) {
            return static_cast<std::uint64_t>(product >> 64);
        }
    }
}

/// Uniform f32 in [0, high] from a word source with next_u32(): one word per
/// value. A bound below 0, NaN, or too large for a finite scale has no sound
/// result and is an internal failure.
template <class Words>
float uniform_f32_inclusive(Words& words, float high) {
    const float max_rand = kMaxUnitF32;
    float scale = high / max_rand;
    if (!(high >= 0.0f) || !(scale <= std::numeric_limits<float>::max())) {
        panic("inclusive f32 draw needs a bound of at least 0 with a finite scale");
    }
    // Shrink the scale until the largest value the draw can produce does not
    // pass `high`.
    while (scale * max_rand + 0.0f > high) {
        scale = std::nextafter(scale, -std::numeric_limits<float>::infinity());
    }
    const std::uint32_t x = words.next_u32();
    const float value = std::bit_cast<float>((x >> 9) | 0x3F800000u) - 1.0f;
    return value * scale + 0.0f;
}

/// SipHash state; `compress` absorbs one little-endian 64-bit word with C
/// rounds, `finish` runs the D finalization rounds.
struct SipState {
    std::uint64_t v0, v1, v2, v3;

    static SipState with_key(std::uint64_t k0, std::uint64_t k1) {
        return {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
                k1 ^ 0x7465646279746573ull};
    }
    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
    template <int C>
    void compress(std::uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }
    template <int D>
    std::uint64_t finish() {
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

/// SipHash-C-D of a byte message.
template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data,
                      std::size_t len) {
    SipState s = SipState::with_key(k0, k1);
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t m = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            m |= static_cast<std::uint64_t>(data[i + b]) << (8 * b);
        }
        s.compress<C>(m);
    }
    std::uint64_t last = static_cast<std::uint64_t>(len & 0xff) << 56;
    for (std::size_t b = 0; i + b < len; ++b) {
        last |= static_cast<std::uint64_t>(data[i + b]) << (8 * b);
    }
    s.compress<C>(last);
    return s.finish<D>();
}

}  // namespace synaptor::chacha_detail
