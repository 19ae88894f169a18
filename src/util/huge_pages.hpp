// Storage for large arrays read at random: anonymous memory aligned to 2 MB
// and advised to the kernel as a candidate for huge pages, so that random
// accesses over tens or hundreds of MB do not each miss the TLB. Falls back
// to ordinary pages where the advice is not honoured; results never depend
// on it.
#pragma once

#include <cstddef>
#include <new>

namespace synaptor {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

/// `bytes` of zeroed memory, 2 MB aligned when `bytes` is at least 2 MB.
/// Throws std::bad_alloc when the memory cannot be had.
void* allocate_huge_page_backed(std::size_t bytes);

/// Gives back memory from allocate_huge_page_backed with the same `bytes`.
void release_huge_page_backed(void* data, std::size_t bytes) noexcept;

/// A standard allocator that takes arrays of at least kMinBytes from
/// allocate_huge_page_backed, and smaller ones from operator new: for
/// containers of a few MB or more whose elements are read at random.
template <class T, std::size_t kMinBytes = std::size_t{1} << 20>
struct HugePageAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = HugePageAllocator<U, kMinBytes>;
    };

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U, kMinBytes>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= kMinBytes) return static_cast<T*>(allocate_huge_page_backed(bytes));
        return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= kMinBytes) {
            release_huge_page_backed(p, bytes);
        } else {
            ::operator delete (p, std::align_val_t{alignof(T)});
        }
    }
    template <class U>
    bool operator==(const HugePageAllocator<U, kMinBytes>&) const noexcept {
        return true;
    }
};

}  // namespace synaptor
