// The simulator's hashes, all in one place: a 64-bit mixer for folding words
// into a running value, and the byte hash (XXH3, 64 bits) of texts and of the
// state files, whole or fed in pieces, with the rule of a file's checksum over
// its head and its content. The functions are pure and used by any thread; a
// StreamHash belongs to the thread that feeds it. The mixer's values are
// compared between the processes that hold parts of one network and the byte
// hash's are stored in files, so neither may change between builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace synaptor {

/// The finaliser of splitmix64: every input bit moves about half the output
/// bits, so `mix64(hash ^ word)` folds a word into a running hash.
constexpr std::uint64_t mix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

/// XXH3 (64 bits) of `bytes` under `seed`; a running hash passed as the seed
/// chains several texts.
std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed = 0);

/// The hash of `size` bytes at once (seed 0).
inline std::uint64_t hash_memory(const void* data, std::size_t size) {
    return hash_bytes(std::string_view(static_cast<const char*>(data), size));
}

/// The same hash over bytes that arrive in pieces.
class StreamHash {
public:
    StreamHash();
    ~StreamHash();
    StreamHash(const StreamHash&) = delete;
    StreamHash& operator=(const StreamHash&) = delete;
    void update(const void* data, std::size_t size);
    std::uint64_t digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// The checksum of a head of `head_size` bytes and a content whose hash is
/// `content_hash`: the hash of the head's bytes followed by the content's
/// hash, little-endian. Damage anywhere changes it, and the content is read
/// once, in pieces, without being held.
std::uint64_t head_and_content_checksum(const unsigned char* head, std::size_t head_size,
                                        std::uint64_t content_hash);

}  // namespace synaptor
