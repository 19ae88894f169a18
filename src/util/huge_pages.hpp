// Storage for large arrays read at random: anonymous memory aligned to 2 MB
// and advised to the kernel as a candidate for huge pages, so that random
// accesses over tens or hundreds of MB do not each miss the TLB. Falls back
// to ordinary pages where the advice is not honoured; results never depend
// on it.
#pragma once

#include <cstddef>

namespace synaptor {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

/// `bytes` of zeroed memory, 2 MB aligned when `bytes` is at least 2 MB.
/// Throws std::bad_alloc when the memory cannot be had.
void* allocate_huge_page_backed(std::size_t bytes);

/// Gives back memory from allocate_huge_page_backed with the same `bytes`.
void release_huge_page_backed(void* data, std::size_t bytes) noexcept;

}  // namespace synaptor
