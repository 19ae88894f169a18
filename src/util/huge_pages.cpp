#include "util/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace synaptor {
namespace {

std::size_t mapped_bytes(std::size_t bytes) {
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

}  // namespace

void* allocate_huge_page_backed(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    const std::size_t length = mapped_bytes(bytes);
    if (length < bytes) throw std::bad_alloc();
    // Map one huge page more than needed and cut the unaligned ends off.
    const std::size_t padded = length + kHugePageBytes;
    if (padded < length) throw std::bad_alloc();
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + padded;
    if (end > aligned + length)
        munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
    void* data = reinterpret_cast<void*>(aligned);
    // Advice only: a kernel without transparent huge pages refuses it.
    (void)madvise(data, length, MADV_HUGEPAGE);
    return data;
}

void release_huge_page_backed(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
    munmap(data, mapped_bytes(bytes == 0 ? 1 : bytes));
}

}  // namespace synaptor
