// Many small FIFO queues sharing one pool of fixed-size blocks: a queue is a
// chain of blocks, and a block emptied at the front goes back to the pool for
// any queue to reuse. The pool therefore holds what all queues hold together
// at their busiest moment, not the sum of each queue's own peak. A queue is a
// 16-byte handle kept by its owner; the pool is owned by one thread.
//
// Blocks are named by 32-bit ids. The first chunk of blocks grows by copying
// (ids stay valid) up to 2 MB; further chunks are 2 MB each and huge-page
// backed (see huge_pages.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/cache_line.hpp"
#include "util/huge_pages.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {

template <class T, std::size_t BlockItems>
class BlockQueuePool {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(BlockItems > 0 && BlockItems < 0xFFFF);

public:
    static constexpr std::uint32_t kNoBlock = 0xFFFFFFFFu;
    /// How far ahead of a queue's writes their line is requested.
    static constexpr std::uintptr_t kWriteAhead = 256;

    /// One queue: the first and last block of its chain, the position of the
    /// front item in the first block and the number of items in the last.
    struct Queue {
        std::uint32_t head = kNoBlock;
        std::uint32_t tail = kNoBlock;
        std::uint32_t size = 0;
        std::uint16_t head_pos = 0;
        std::uint16_t tail_used = 0;

        bool empty() const { return size == 0; }
    };

    BlockQueuePool() = default;
    BlockQueuePool(const BlockQueuePool&) = delete;
    BlockQueuePool& operator=(const BlockQueuePool&) = delete;
    BlockQueuePool(BlockQueuePool&& other) noexcept { *this = std::move(other); }
    BlockQueuePool& operator=(BlockQueuePool&& other) noexcept {
        if (this != &other) {
            release();
            chunks_ = std::exchange(other.chunks_, {});
            first_chunk_blocks_ = std::exchange(other.first_chunk_blocks_, 0);
            num_blocks_ = std::exchange(other.num_blocks_, 0);
            free_ = std::exchange(other.free_, kNoBlock);
            free_count_ = std::exchange(other.free_count_, 0);
        }
        return *this;
    }
    ~BlockQueuePool() { release(); }

    void push_back(Queue& q, const T& item) {
        const Room room = tail_room(q);
        // A queue is written in sequence, into blocks last used long ago: the
        // line kWriteAhead bytes on is requested for writing now, so that its
        // miss overlaps with the writes before it (a prefetch never faults;
        // the address is formed as an integer).
        prefetch_line_at<true>(room.begin, kWriteAhead);
        *room.begin = item;
        commit(q, 1);
    }

    /// The room left in q's last block, a new block added when it is full:
    /// [begin, end). Items written there belong to q once commit() counts
    /// them. Valid until the pool's storage moves (see storage_moves()).
    struct Room {
        T* begin;
        T* end;
    };
    Room tail_room(Queue& q) {
        if (q.tail == kNoBlock || q.tail_used == BlockItems) append_block(q);
        T* const items = block(q.tail).items;
        return {items + q.tail_used, items + BlockItems};
    }
    /// Counts the first n items written into q's tail_room() as q's.
    void commit(Queue& q, std::size_t n) {
        q.tail_used = static_cast<std::uint16_t>(q.tail_used + n);
        q.size = static_cast<std::uint32_t>(q.size + n);
    }

    /// push_back for a queue whose front items expire: only when the last
    /// block is full are expired items (`stale(front)` holds) dropped, so a
    /// push touches nothing but its own slot between two such prunes.
    template <class Pred>
    void push_back_pruning_when_full(Queue& q, const T& item, Pred&& stale) {
        if (q.tail != kNoBlock && q.tail_used == BlockItems) pop_front_while(q, stale);
        push_back(q, item);
    }

    T& front(Queue& q) { return block(q.head).items[q.head_pos]; }
    const T& front(const Queue& q) const { return block(q.head).items[q.head_pos]; }
    T& back(Queue& q) { return block(q.tail).items[q.tail_used - 1]; }
    const T& back(const Queue& q) const { return block(q.tail).items[q.tail_used - 1]; }

    void pop_front(Queue& q) {
        expect(q.size != 0, "pop_front on an empty queue");
        ++q.head_pos;
        --q.size;
        if (q.size == 0) {
            free_block(q.head);
            q = Queue{};
        } else if (q.head_pos == BlockItems) {
            const std::uint32_t next = block(q.head).next;
            free_block(q.head);
            q.head = next;
            q.head_pos = 0;
        }
    }

    /// Removes items from the front for as long as `stale(front)` holds.
    template <class Pred>
    void pop_front_while(Queue& q, Pred&& stale) {
        while (q.size != 0 && stale(static_cast<const T&>(front(q)))) pop_front(q);
    }

    /// Calls `f(item)` on every item, front to back; `f` may modify items in place.
    template <class F>
    void for_each(Queue& q, F&& f) {
        visit(q, [&](std::uint32_t b, std::size_t i) { f(block(b).items[i]); });
    }
    template <class F>
    void for_each(const Queue& q, F&& f) const {
        const_cast<BlockQueuePool*>(this)->visit(q, [&](std::uint32_t b, std::size_t i) {
            f(static_cast<const T&>(block(b).items[i]));
        });
    }

    /// Calls `f(items, count)` for each run of contiguous items, front to back.
    template <class F>
    void for_each_run(const Queue& q, F&& f) const {
        std::uint32_t b = q.head;
        std::size_t from = q.head_pos;
        for (std::size_t left = q.size; left != 0;) {
            const std::size_t n = BlockItems - from < left ? BlockItems - from : left;
            if (n < left) prefetch_block(block(b).next);
            f(static_cast<const T*>(block(b).items + from), n);
            left -= n;
            if (left != 0) b = block(b).next;
            from = 0;
        }
    }

    /// The items, front to back (a copy, for inspection).
    std::vector<T> items(const Queue& q) const {
        std::vector<T> out;
        out.reserve(q.size);
        for_each(q, [&](const T& item) { out.push_back(item); });
        return out;
    }

    /// Removes every item, handing its blocks back to the pool.
    void clear(Queue& q) {
        if (q.tail != kNoBlock) {
            for (std::uint32_t b = q.head;;) {
                const std::uint32_t next = block(b).next;
                free_block(b);
                if (b == q.tail) break;
                b = next;
            }
        }
        q = Queue{};
    }

    /// How often the blocks have moved so far: the first chunk moves while it
    /// grows, which invalidates every pointer into it.
    std::uint64_t storage_moves() const { return storage_moves_; }

    /// Blocks handed out to queues and blocks held in all (for memory reports).
    std::size_t blocks_in_use() const { return num_blocks_ - free_count_; }
    std::size_t blocks_held() const { return num_blocks_; }
    static constexpr std::size_t block_bytes() { return sizeof(Block); }

private:
    /// The link comes first: a walk along a chain reads it as it enters a
    /// block and requests the next block while it reads this one's items.
    struct alignas(kCacheLineBytes) Block {
        std::uint32_t next;
        T items[BlockItems];
    };
    static constexpr std::size_t kChunkBlocks = kHugePageBytes / sizeof(Block);
    static constexpr std::size_t kFirstBlocks = 64;

    Block& block(std::uint32_t b) { return chunks_[b / kChunkBlocks][b % kChunkBlocks]; }
    const Block& block(std::uint32_t b) const {
        return chunks_[b / kChunkBlocks][b % kChunkBlocks];
    }

    /// Requests the cache lines of block b, its first 16 at most (a prefetch
    /// never faults).
    void prefetch_block(std::uint32_t b) const {
        if (b == kNoBlock) return;
        constexpr std::size_t kMaxLines = 16;
        prefetch_lines(&block(b), std::min(lines_spanned(sizeof(Block)), kMaxLines));
    }

    template <class F>
    void visit(const Queue& q, F&& f) {
        std::uint32_t b = q.head;
        std::size_t i = q.head_pos;
        if (q.size != 0 && q.head != q.tail) prefetch_block(block(b).next);
        for (std::size_t left = q.size; left != 0; --left) {
            if (i == BlockItems) {
                b = block(b).next;
                i = 0;
                if (b != q.tail) prefetch_block(block(b).next);
            }
            f(b, i);
            ++i;
        }
    }

    void append_block(Queue& q) {
        const std::uint32_t b = take_block();
        block(b).next = kNoBlock;
        if (q.tail == kNoBlock) {
            q.head = b;
            q.head_pos = 0;
        } else {
            block(q.tail).next = b;
        }
        q.tail = b;
        q.tail_used = 0;
    }

    std::uint32_t take_block() {
        if (free_ != kNoBlock) {
            const std::uint32_t b = free_;
            free_ = block(b).next;
            --free_count_;
            return b;
        }
        if (num_blocks_ == capacity()) add_storage();
        return static_cast<std::uint32_t>(num_blocks_++);
    }

    void free_block(std::uint32_t b) {
        block(b).next = free_;
        free_ = b;
        ++free_count_;
    }

    std::size_t capacity() const {
        if (chunks_.empty()) return 0;
        return chunks_.size() == 1 ? first_chunk_blocks_ : chunks_.size() * kChunkBlocks;
    }

    static Block* allocate(std::size_t blocks) {
        if (blocks == kChunkBlocks) {
            return static_cast<Block*>(allocate_huge_page_backed(kChunkBlocks * sizeof(Block)));
        }
        return static_cast<Block*>(
            ::operator new (blocks * sizeof(Block), std::align_val_t{kCacheLineBytes}));
    }
    static void deallocate(Block* chunk, std::size_t blocks) noexcept {
        if (blocks == kChunkBlocks) {
            release_huge_page_backed(chunk, kChunkBlocks * sizeof(Block));
        } else {
            ::operator delete (chunk, std::align_val_t{kCacheLineBytes});
        }
    }

    void add_storage() {
        if (chunks_.empty()) {
            chunks_.reserve(1);
            chunks_.push_back(allocate(kFirstBlocks));
            first_chunk_blocks_ = kFirstBlocks;
            return;
        }
        if (chunks_.size() == 1 && first_chunk_blocks_ < kChunkBlocks) {
            // Ids are positions, so the first chunk may move while it grows.
            std::size_t grown = first_chunk_blocks_ * 2;
            if (grown > kChunkBlocks) grown = kChunkBlocks;
            Block* moved = allocate(grown);
            std::memcpy(static_cast<void*>(moved), chunks_[0], first_chunk_blocks_ * sizeof(Block));
            deallocate(chunks_[0], first_chunk_blocks_);
            chunks_[0] = moved;
            first_chunk_blocks_ = grown;
            ++storage_moves_;
            return;
        }
        if ((chunks_.size() + 1) * kChunkBlocks > kNoBlock) throw std::bad_alloc();
        chunks_.reserve(chunks_.size() + 1);
        chunks_.push_back(allocate(kChunkBlocks));
    }

    void release() noexcept {
        for (std::size_t c = 0; c < chunks_.size(); ++c) {
            deallocate(chunks_[c], c == 0 ? first_chunk_blocks_ : kChunkBlocks);
        }
        chunks_.clear();
        first_chunk_blocks_ = 0;
        num_blocks_ = 0;
        free_ = kNoBlock;
        free_count_ = 0;
    }

    std::vector<Block*> chunks_;
    std::size_t first_chunk_blocks_ = 0;  ///< blocks of chunks_[0]
    std::size_t num_blocks_ = 0;          ///< blocks handed out at least once
    std::uint32_t free_ = kNoBlock;       ///< first block of the free list
    std::size_t free_count_ = 0;
    std::uint64_t storage_moves_ = 0;
};

}  // namespace synaptor
