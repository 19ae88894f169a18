// The cache-line size the layout is built around: records aligned so that
// what one step reads is one line, storage aligned so that blocks never share
// a line, line strides of the prefetch requests. 64 bytes on every processor
// the simulator targets; on one with other lines only speed changes, never a
// result. Header only; no state.
#pragma once

#include <cstddef>

namespace synaptor {

inline constexpr std::size_t kCacheLineBytes = 64;

}  // namespace synaptor
