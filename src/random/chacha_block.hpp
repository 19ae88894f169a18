// The ChaCha block function and the SipHash compression used by the generator
// and the pair hash, generic over their round counts so that they can be
// checked against published vectors of the 20-round and 2-4 variants. The
// generator itself always runs 12 rounds and the pair hash 1-3. Pure functions.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace synaptor::chacha_detail {

inline constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                        0x6b206574u};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
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
    std::uint32_t in[16] = {kSigma[0], kSigma[1], kSigma[2], kSigma[3], key[0], key[1],
                            key[2],    key[3],    key[4],    key[5],    key[6], key[7],
                            static_cast<std::uint32_t>(counter),
                            static_cast<std::uint32_t>(counter >> 32), nonce0, nonce1};
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

/// Four consecutive blocks (counters c .. c+3, zero nonce) into 64 words in
/// block order. Computed lane by lane, one lane per block, so the compiler can
/// keep the four blocks in vector registers; the result equals four calls of
/// chacha_block.
template <int Rounds>
void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                    std::uint32_t* out) {
    static_assert(Rounds % 2 == 0);
    std::uint32_t in[16][4];
    for (int l = 0; l < 4; ++l) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(l);
        for (int i = 0; i < 4; ++i) in[i][l] = kSigma[static_cast<std::size_t>(i)];
        for (int i = 0; i < 8; ++i) in[4 + i][l] = key[static_cast<std::size_t>(i)];
        in[12][l] = static_cast<std::uint32_t>(c);
        in[13][l] = static_cast<std::uint32_t>(c >> 32);
        in[14][l] = 0;
        in[15][l] = 0;
    }
    std::uint32_t x[16][4];
    for (int i = 0; i < 16; ++i)
        for (int l = 0; l < 4; ++l) x[i][l] = in[i][l];
    auto qr = [&x](int a, int b, int c, int d) {
        for (int l = 0; l < 4; ++l) {
            x[a][l] += x[b][l];
            x[d][l] = std::rotl(x[d][l] ^ x[a][l], 16);
            x[c][l] += x[d][l];
            x[b][l] = std::rotl(x[b][l] ^ x[c][l], 12);
            x[a][l] += x[b][l];
            x[d][l] = std::rotl(x[d][l] ^ x[a][l], 8);
            x[c][l] += x[d][l];
            x[b][l] = std::rotl(x[b][l] ^ x[c][l], 7);
        }
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
    for (int l = 0; l < 4; ++l)
        for (int i = 0; i < 16; ++i) out[l * 16 + i] = x[i][l] + in[i][l];
}

/// SipHash state; `compress` absorbs one little-endian 64-bit word with C
/// rounds, `finish` runs the D finalization rounds.
struct SipState {
    std::uint64_t v0, v1, v2, v3;

    static SipState with_key(std::uint64_t k0, std::uint64_t k1) {
        return {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
                k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
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
        for (std::size_t b = 0; b < 8; ++b) m |= static_cast<std::uint64_t>(data[i + b]) << (8 * b);
        s.compress<C>(m);
    }
    std::uint64_t last = static_cast<std::uint64_t>(len & 0xff) << 56;
    for (std::size_t b = 0; i + b < len; ++b) last |= static_cast<std::uint64_t>(data[i + b]) << (8 * b);
    s.compress<C>(last);
    return s.finish<D>();
}

}  // namespace synaptor::chacha_detail
