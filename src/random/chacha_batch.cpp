#include "random/chacha_batch.hpp"

#include "random/chacha_block.hpp"
#include "util/panic.hpp"

namespace synaptor {

std::uint32_t ChaChaStream::next_u32_past_first_block() {
    if (!rest_) rest_ = ChaChaRng::lazy_at_block(*key_, 1);
    return rest_->next_u32();
}

std::uint64_t ChaChaStream::uniform_u64_inclusive(std::uint64_t max) {
    return chacha_detail::uniform_u64_inclusive(*this, max);
}

float ChaChaStream::uniform_f32_inclusive(float high) {
    return chacha_detail::uniform_f32_inclusive(*this, high);
}

void ChaChaBatch4::seed(const std::uint64_t* seeds, std::size_t n) {
    expect(n >= 1 && n <= 4, "a generator batch seeds one to four generators");
    for (std::size_t i = 0; i < n; ++i) keys_[i] = chacha_detail::pcg32_key(seeds[i]);
    // Unused lanes repeat the first key; their blocks are never read.
    const std::array<std::uint32_t, 8>* const keys[4] = {
        &keys_[0], &keys_[n > 1 ? 1 : 0], &keys_[n > 2 ? 2 : 0], &keys_[n > 3 ? 3 : 0]};
    const std::uint64_t counters[4] = {0, 0, 0, 0};
    chacha_detail::chacha_blocks_lanes<chacha_detail::kRngRounds>(keys, counters, blocks_.data());
    size_ = n;
}

ChaChaStream ChaChaBatch4::stream(std::size_t i) const {
    expect(i < size_, "generator batch has no stream of that index");
    return ChaChaStream(blocks_.data() + 16 * i, &keys_[i]);
}

}  // namespace synaptor
