// A cache-line request that the optimiser keeps. A loop whose only effect is
// __builtin_prefetch may be dropped as doing nothing (loops are assumed to
// finish, and a prefetch changes no value); the empty asm statement that
// takes the address as an input is kept, and with it the loop. Never faults.
#pragma once

#include <cstdint>

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

}  // namespace synaptor
