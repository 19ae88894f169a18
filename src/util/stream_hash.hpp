// The 64-bit hash of bytes (XXH3) that files carry as their checksum, whole
// or fed in pieces, and the rule of a checksum over a file's head and its
// content. A StreamHash belongs to the thread that feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace synaptor {

/// The hash of `size` bytes at once.
std::uint64_t hash_bytes(const void* data, std::size_t size);

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
