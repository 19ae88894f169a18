// The two hashes of the simulator that are not checksums of a file: a 64-bit
// mixer for folding words into a running value, and a byte hash (XXH3, the
// same function that checks the state files) for texts. Pure functions, used
// by any thread. The mixer's values are compared between the processes that
// hold parts of one network, so they must not change between builds.
#pragma once

#include <cstdint>
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

}  // namespace synaptor
