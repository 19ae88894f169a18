// A cache-line request that the optimiser keeps. A loop whose only effect is
// __builtin_prefetch may be dropped as doing nothing (loops are assumed to
// finish, and a prefetch changes no value); the empty asm statement that
// takes the address as an input is kept, and with it the loop. Never faults.
#pragma once

namespace synaptor {

/// Requests the line of `address`; `Write`: for writing.
template <bool Write = false>
[[gnu::always_inline]] inline void prefetch_line(const void* address) {
    __builtin_prefetch(address, Write ? 1 : 0);
    asm volatile("" : : "r"(address));
}

}  // namespace synaptor
