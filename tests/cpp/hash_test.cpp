#include "util/hash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace synaptor {
namespace {

// The mixer is the splitmix64 step: from state s the generator returns
// mix64(s) and moves to s + 0x9e3779b97f4a7c15, so its published outputs
// are known answers for the mixer.
TEST(Mix64, MatchesTheSplitmix64Sequence) {
    EXPECT_EQ(mix64(0), 0xe220a8397b1dcdafULL);
    // The reference generator seeded with 1234567: its first three outputs.
    std::uint64_t state = 1234567;
    EXPECT_EQ(mix64(state), 6457827717110365317ULL);
    state += 0x9e3779b97f4a7c15ULL;
    EXPECT_EQ(mix64(state), 3203168211198807973ULL);
    state += 0x9e3779b97f4a7c15ULL;
    EXPECT_EQ(mix64(state), 9817491932198370423ULL);
}

TEST(Mix64, IsUsableAtCompileTime) {
    static_assert(mix64(1) == 0x910a2dec89025cc1ULL);
    static_assert(mix64(~0ULL) == 0xe4d971771b652c20ULL);
    SUCCEED();
}

TEST(HashBytes, IsXxh3OfTheBytes) {
    // Known answers first, so that a change of the library's version that
    // changed its values would show.
    EXPECT_EQ(hash_bytes(""), 0x2d06800538d394c2ULL);
    EXPECT_EQ(hash_bytes("synaptor"), 0x42514e66f093c9f1ULL);
    EXPECT_EQ(hash_bytes("synaptor", 7), 0x127e8c63e6107cc3ULL);
    const std::string_view fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(hash_bytes(fox), 0xce7d19a5418fb365ULL);
    EXPECT_EQ(hash_bytes(fox), XXH3_64bits(fox.data(), fox.size()));
    // Lengths around the function's internal block sizes take other paths.
    for (std::size_t length : {1u, 3u, 4u, 8u, 9u, 16u, 17u, 128u, 129u, 240u, 241u, 1000u}) {
        std::string text(length, '\0');
        for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i * 31 + 7);
        EXPECT_EQ(hash_bytes(text), XXH3_64bits(text.data(), text.size())) << length;
        EXPECT_EQ(hash_bytes(text, 42), XXH3_64bits_withSeed(text.data(), text.size(), 42))
            << length;
    }
}

TEST(HashBytes, SeesEveryByteAndTheSeed) {
    const std::string base = "a text of a network document";
    const std::uint64_t reference = hash_bytes(base);
    for (std::size_t i = 0; i < base.size(); ++i) {
        std::string changed = base;
        changed[i] = static_cast<char>(changed[i] ^ 1);
        EXPECT_NE(hash_bytes(changed), reference) << i;
    }
    EXPECT_NE(hash_bytes(base + '\0'), reference);
    EXPECT_NE(hash_bytes(base, 1), reference);
    // Chaining depends on the order of the texts.
    EXPECT_NE(hash_bytes("b", hash_bytes("a")), hash_bytes("a", hash_bytes("b")));
}

TEST(StreamHash, PiecesHashAsTheWholeAndTheChecksumCoversHeadAndContent) {
    std::vector<unsigned char> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    StreamHash pieces;
    for (std::size_t at = 0; at < data.size(); at += 37) {
        pieces.update(data.data() + at, std::min<std::size_t>(37, data.size() - at));
    }
    EXPECT_EQ(pieces.digest(), hash_memory(data.data(), data.size()));
    EXPECT_NE(hash_memory(data.data(), 999), hash_memory(data.data(), 1000));

    const std::uint64_t content = hash_memory(data.data() + 32, data.size() - 32);
    const std::uint64_t sum = head_and_content_checksum(data.data(), 32, content);
    EXPECT_NE(head_and_content_checksum(data.data(), 32, content ^ 1), sum);
    data[31] ^= 1;
    EXPECT_NE(head_and_content_checksum(data.data(), 32, content), sum);
}

}  // namespace
}  // namespace synaptor
