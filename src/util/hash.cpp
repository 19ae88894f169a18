#include "util/hash.hpp"

#include <new>

#include "util/byte_writer.hpp"

// Inlined, so that the module links no xxhash library.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace synaptor {

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) {
    return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

struct StreamHash::State {
    XXH3_state_t* xxh;
};

StreamHash::StreamHash() : state_(std::make_unique<State>(State{XXH3_createState()})) {
    if (state_->xxh == nullptr) throw std::bad_alloc();
    XXH3_64bits_reset(state_->xxh);
}

StreamHash::~StreamHash() { XXH3_freeState(state_->xxh); }

void StreamHash::update(const void* data, std::size_t size) {
    XXH3_64bits_update(state_->xxh, data, size);
}

std::uint64_t StreamHash::digest() const { return XXH3_64bits_digest(state_->xxh); }

std::uint64_t head_and_content_checksum(const unsigned char* head, std::size_t head_size,
                                        std::uint64_t content_hash) {
    StreamHash checked;
    checked.update(head, head_size);
    unsigned char digest_bytes[8];
    put_le(digest_bytes, content_hash, 8);
    checked.update(digest_bytes, 8);
    return checked.digest();
}

}  // namespace synaptor
