#include "util/hash.hpp"

// Inlined, so that the module links no xxhash library.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace synaptor {

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) {
    return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

}  // namespace synaptor
