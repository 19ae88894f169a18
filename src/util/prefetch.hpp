// Cache-line requests that the optimiser keeps, the one way hot loops ask for
// memory ahead of its use. A loop whose only effect is __builtin_prefetch may
// be dropped as doing nothing (loops are assumed to finish, and a prefetch
// changes no value); the empty asm statement that takes the address as an
// input is kept, and with it the loop. A request never faults and never
// changes a result. Header only; used by whichever thread owns the memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/cache_line.hpp"

namespace synaptor {

/// Requests the line of `address`; `Write`: for writing.
template <bool Write = false>
[[gnu::always_inline]] inline void prefetch_line(const void* address) {
    __builtin_prefetch(address, Write ? 1 : 0);
    asm volatile("" : : "r"(address));
}

/// prefetch_line for the byte `offset` bytes past `base`. The address is
/// formed as an integer, so it may lie past the end of an array.
template <bool Write = false>
[[gnu::always_inline]] inline void prefetch_line_at(const void* base, std::uintptr_t offset) {
    prefetch_line<Write>(
        reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(base) + offset));
}

/// prefetch_line for `count` addresses a line apart, the first `base`: the
/// first `count` lines of a record that starts on a line, and their
/// neighbours' when it does not. With a constant count the loop unrolls.
template <bool Write = false>
[[gnu::always_inline]] inline void prefetch_lines(const void* base, std::size_t count) {
    for (std::size_t line = 0; line < count; ++line) {
        prefetch_line_at<Write>(base, line * kCacheLineBytes);
    }
}

/// The number of lines a record of `bytes` bytes that starts on a line spans.
constexpr std::size_t lines_spanned(std::size_t bytes) {
    return (bytes + kCacheLineBytes - 1) / kCacheLineBytes;
}

}  // namespace synaptor
