#include "util/huge_pages.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace synaptor {
namespace {

struct alignas(64) Wide {
    std::uint64_t value = 0;
};

TEST(HugePages, LargeArraysAreAlignedAndZeroed) {
    const std::size_t bytes = 3 * kHugePageBytes + 123;
    auto* data = static_cast<unsigned char*>(allocate_huge_page_backed(bytes));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % kHugePageBytes, 0u);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; i += 4096) nonzero += data[i] != 0 ? 1 : 0;
    EXPECT_EQ(nonzero, 0u);
    data[bytes - 1] = 7;  // the whole range is writable
    release_huge_page_backed(data, bytes);
}

TEST(HugePages, VectorsKeepTheirElementsAcrossTheThreshold) {
    // Grown element by element from ordinary storage past the threshold into
    // huge-page backed storage, then shrunk back below it by a swap.
    std::vector<Wide, HugePageAllocator<Wide, 4096>> v;
    for (std::uint64_t i = 0; i < 20000; ++i) {
        v.push_back(Wide{i * 3});
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % alignof(Wide), 0u);
    }
    for (std::uint64_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i].value, i * 3);
    decltype(v)(v.begin(), v.begin() + 10).swap(v);
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[9].value, 27u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % alignof(Wide), 0u);
}

}  // namespace
}  // namespace synaptor
