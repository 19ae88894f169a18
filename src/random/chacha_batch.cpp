#include "random/chacha_batch.hpp"

#include "random/chacha_block.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

using Key = std::array<std::uint32_t, 8>;
typedef std::uint32_t U32x8 __attribute__((vector_size(32)));
typedef std::uint32_t U32x16 __attribute__((vector_size(64)));
constexpr std::size_t kRow = ChaChaBatch::kSize;
static_assert(kRow == 16);

using FirstBlocks = void (*)(const Key* const*, std::uint32_t*, std::size_t);

// The same first blocks at three vector widths; the widest the processor
// runs is picked once. Only integer operations, so every width gives the
// same words.
void first_blocks_x4(const Key* const* keys, std::uint32_t* out, std::size_t n) {
    for (std::size_t l = 0; l < n; l += 4) {
        chacha_detail::chacha_first_blocks_wordwise<chacha_detail::kRngRounds,
                                                    chacha_detail::U32x4>(keys + l, out + l, kRow);
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void first_blocks_x8(const Key* const* keys, std::uint32_t* out,
                                                     std::size_t n) {
    for (std::size_t l = 0; l < n; l += 8) {
        chacha_detail::chacha_first_blocks_wordwise<chacha_detail::kRngRounds, U32x8>(
            keys + l, out + l, kRow);
    }
}

__attribute__((target("avx512f"))) void first_blocks_x16(const Key* const* keys, std::uint32_t* out,
                                                         std::size_t) {
    chacha_detail::chacha_first_blocks_wordwise<chacha_detail::kRngRounds, U32x16>(keys, out, kRow);
}

FirstBlocks pick_first_blocks() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return first_blocks_x16;
    if (__builtin_cpu_supports("avx2")) return first_blocks_x8;
    return first_blocks_x4;
}
#else
// Elsewhere the compiler's own vectors of four words.
FirstBlocks pick_first_blocks() { return first_blocks_x4; }
#endif

}  // namespace

std::uint32_t ChaChaStream::next_u32_past_first_block() {
    if (!rest_) rest_ = ChaChaRng::lazy_at_block(*key_, 1);
    return rest_->next_u32();
}

void ChaChaBatch::seed(const std::uint64_t* seeds, std::size_t n) {
    expect(n >= 1 && n <= kSize, "a generator batch seeds one to sixteen generators");
    static const FirstBlocks first_blocks = pick_first_blocks();
    for (std::size_t i = 0; i < n; ++i) keys_[i] = chacha_detail::pcg32_key(seeds[i]);
    // Unused lanes repeat the first key; their blocks are never read.
    const Key* keys[kRow];
    for (std::size_t i = 0; i < kRow; ++i) keys[i] = &keys_[i < n ? i : 0];
    first_blocks(keys, blocks_.data(), n);
    size_ = n;
}

}  // namespace synaptor
