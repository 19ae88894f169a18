// The prefetch helpers: every hot loop relies on a request never faulting,
// also for addresses past the end of an array or in memory it may not touch,
// and on the line count of a record.
#include "util/prefetch.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

namespace synaptor {
namespace {

TEST(Prefetch, RequestsIntoMemoryThatMayNotBeReadNeverFault) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* mapped =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* const base = static_cast<char*>(mapped);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    // The last line that may be read, then lines of the guard page: read or
    // write requests, by line count and by offset.
    const char* const last_line = base + page - kCacheLineBytes;
    prefetch_lines(last_line, 8);
    prefetch_lines<true>(last_line, 8);
    prefetch_line_at(base, page + kCacheLineBytes);
    prefetch_line_at<true>(base, 2 * page + kCacheLineBytes);
    prefetch_line(nullptr);
    // A request that read or wrote would have ended the process by now.
    EXPECT_EQ(munmap(mapped, 2 * page), 0);
}

TEST(Prefetch, LinesSpannedRoundsUpToWholeLines) {
    EXPECT_EQ(lines_spanned(0), 0u);
    EXPECT_EQ(lines_spanned(1), 1u);
    EXPECT_EQ(lines_spanned(kCacheLineBytes), 1u);
    EXPECT_EQ(lines_spanned(kCacheLineBytes + 1), 2u);
    EXPECT_EQ(lines_spanned(16 * kCacheLineBytes), 16u);
    EXPECT_EQ(lines_spanned(16 << 10), (16u << 10) / kCacheLineBytes);
}

}  // namespace
}  // namespace synaptor
