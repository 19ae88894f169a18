// An append-only store of trivially copyable items in large chunks: a run of
// items appended together stays contiguous and never moves, so callers keep
// pointers into it. Chunks grow geometrically from 256 KB; from 2 MB on they
// are huge-page backed (see huge_pages.hpp). Nothing is freed before the
// arena itself. Owned by one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/huge_pages.hpp"

namespace synaptor {

template <class T>
class ChunkArena {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ChunkArena() = default;
    ChunkArena(const ChunkArena&) = delete;
    ChunkArena& operator=(const ChunkArena&) = delete;
    ChunkArena(ChunkArena&& other) noexcept : chunks_(std::move(other.chunks_)) {
        other.chunks_.clear();
    }
    ChunkArena& operator=(ChunkArena&& other) noexcept {
        if (this != &other) {
            release();
            chunks_ = std::move(other.chunks_);
            other.chunks_.clear();
        }
        return *this;
    }
    ~ChunkArena() { release(); }

    /// Copies `count` items to contiguous storage that stays put until the
    /// arena is destroyed, and returns where.
    T* append(const T* items, std::size_t count) {
        T* to = append_uninitialized(count);
        if (count != 0) std::memcpy(static_cast<void*>(to), items, count * sizeof(T));
        return to;
    }

    /// Contiguous storage for `count` items, to be written by the caller,
    /// that stays put until the arena is destroyed.
    T* append_uninitialized(std::size_t count) {
        if (count == 0) return nullptr;
        if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < count) {
            add_chunk(count);
        }
        Chunk& chunk = chunks_.back();
        T* to = chunk.data + chunk.used;
        chunk.used += count;
        return to;
    }

    /// Bytes held, used or not (for memory reports).
    std::size_t bytes_reserved() const {
        std::size_t n = 0;
        for (const Chunk& chunk : chunks_) n += chunk.bytes;
        return n;
    }

private:
    struct Chunk {
        T* data;
        std::size_t capacity;
        std::size_t used;
        std::size_t bytes;
        bool huge;
    };
    static constexpr std::size_t kFirstChunkBytes = std::size_t{256} << 10;
    static constexpr std::size_t kLargestChunkBytes = std::size_t{32} << 20;

    void add_chunk(std::size_t at_least) {
        std::size_t bytes =
            chunks_.empty() ? kFirstChunkBytes
                            : std::min(kLargestChunkBytes, 2 * chunks_.back().capacity * sizeof(T));
        if (at_least > (std::size_t(-1) - kHugePageBytes) / sizeof(T)) throw std::bad_alloc();
        bytes = std::max(bytes, at_least * sizeof(T));
        chunks_.reserve(chunks_.size() + 1);
        Chunk chunk{nullptr, bytes / sizeof(T), 0, bytes, bytes >= kHugePageBytes};
        chunk.data =
            static_cast<T*>(chunk.huge ? allocate_huge_page_backed(bytes) : ::operator new(bytes));
        chunks_.push_back(chunk);
    }

    void release() noexcept {
        for (const Chunk& chunk : chunks_) {
            if (chunk.huge) {
                release_huge_page_backed(chunk.data, chunk.bytes);
            } else {
                ::operator delete(chunk.data);
            }
        }
        chunks_.clear();
    }

    std::vector<Chunk> chunks_;
};

}  // namespace synaptor
