// A fixed ring of event batches indexed by delay: slot k holds the items that
// fall due k ticks after the current one. One per partition layer, owned by
// its worker thread. Each slot is a queue of 16 KB blocks from one pool, and a
// drained slot hands its blocks back: the ring holds about what is pending in
// all slots together, not a full batch's worth in every slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "util/block_queue_pool.hpp"
#include "util/cache_line.hpp"
#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {

template <class T>
class BatchedRingBuffer {
    // A block holds its link and items in 16 KB: a line is left for the link,
    // so that the block, aligned to lines, rounds up to no more.
    static constexpr std::size_t kBlockItems =
        (std::size_t{16} << 10) / sizeof(T) - kCacheLineBytes / sizeof(T);
    using Pool = BlockQueuePool<T, kBlockItems>;
    using Queue = typename Pool::Queue;
    /// Where a scheduler writes next into a slot's last block; null while
    /// no scheduler has opened the slot.
    struct Cursor {
        T* next = nullptr;
        T* begin = nullptr;
        T* end = nullptr;
    };

public:
    explicit BatchedRingBuffer(std::size_t num_slots = 1)
        : slots_(num_slots), cursors_(num_slots), num_slots_(num_slots) {
        expect(num_slots >= 1, "a batched ring buffer needs at least one slot");
        opened_.reserve(num_slots);
    }

    std::size_t num_slots() const { return num_slots_; }
    std::size_t current_slot() const { return current_slot_; }

    /// Appends `item` to the batch that falls due `offset` ticks after the current one.
    /// An offset of N or more is rejected before the wrap: a huge offset (a
    /// delay of 0 turned into offset - 1) would otherwise wrap around the
    /// addition and land silently in a wrong slot.
    void schedule(std::size_t offset, T item) { scheduler().schedule(offset, std::move(item)); }

    /// Schedules many items from one place: the ring's geometry is read once
    /// instead of per item, and each slot is written through a cursor into
    /// its last block, whose items are counted into the slot when the
    /// scheduler ends (or needs a new block). While one is alive nothing else
    /// may use the ring.
    class Scheduler {
    public:
        Scheduler(const Scheduler&) = delete;
        Scheduler& operator=(const Scheduler&) = delete;
        ~Scheduler() {
            commit_all();
            ring_->scheduling_ = false;
        }

        void schedule(std::size_t offset, const T& item) {
            if (offset >= num_slots_) [[unlikely]] {
                offset_out_of_range(offset, num_slots_);
            }
            // current_slot_ < num_slots_ (checked when the scheduler was
            // made) and offset < num_slots_, so one wrap lands in range.
            std::size_t i = current_slot_ + offset;
            if (i >= num_slots_) i -= num_slots_;  // one wrap, not a modulo
            Cursor& cursor = cursors_[i];
            if (cursor.next == cursor.end) [[unlikely]] {
                open(i);
            }
            // Slots are written in sequence, into blocks last used long ago:
            // the line a little ahead is requested for writing now, so that
            // its miss overlaps with the writes before it (a prefetch never
            // faults; the address is formed as an integer).
            prefetch_line_at<true>(cursor.next, Pool::kWriteAhead);
            *cursor.next++ = item;
        }

    private:
        friend class BatchedRingBuffer;
        explicit Scheduler(BatchedRingBuffer& ring)
            : ring_(&ring),
              cursors_(ring.cursors_.data()),
              num_slots_(ring.num_slots_),
              current_slot_(ring.current_slot_) {
            ring.scheduling_ = true;
        }

        /// Counts the items written through slot i's cursor into the slot
        /// and forgets the cursor (a null one counts none).
        void settle(std::size_t i) noexcept {
            Cursor& cursor = cursors_[i];
            ring_->pool_.commit(ring_->slots_[i],
                                static_cast<std::size_t>(cursor.next - cursor.begin));
            cursor = Cursor{};
        }

        void commit_all() noexcept {
            for (const std::size_t i : ring_->opened_) settle(i);
            ring_->opened_.clear();
        }

        /// Gives slot i room to write: its first, or its last block was full.
        [[gnu::noinline]] void open(std::size_t i) {
            Pool& pool = ring_->pool_;
            if (cursors_[i].next != nullptr) {
                settle(i);  // counted once, even if no room comes
            } else {
                // Holds at most one entry per slot: reserved with the ring.
                ring_->opened_.push_back(i);
            }
            const std::uint64_t moves = pool.storage_moves();
            const typename Pool::Room room = pool.tail_room(ring_->slots_[i]);
            cursors_[i] = Cursor{room.begin, room.begin, room.end};
            if (pool.storage_moves() != moves) [[unlikely]] {
                // The other cursors point into the old storage: their items
                // moved with it and are counted now; they reopen when used.
                for (const std::size_t j : ring_->opened_) {
                    if (j != i) settle(j);
                }
                ring_->opened_.assign(1, i);
            }
        }

        BatchedRingBuffer* ring_;
        Cursor* cursors_;
        std::size_t num_slots_;
        std::size_t current_slot_;
    };

    Scheduler scheduler() {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        if (scheduling_) [[unlikely]] {
            panic("a ring of events was scheduled into from two places at once");
        }
        return Scheduler(*this);
    }

    /// A batch that fell due: its items in scheduling order, as runs of
    /// contiguous items.
    class Batch {
    public:
        std::size_t size() const { return queue_->size; }
        bool empty() const { return queue_->size == 0; }
        /// Calls `f(items, count)` for each run, in order.
        template <class F>
        void for_each_run(F&& f) const {
            pool_->for_each_run(*queue_, f);
        }
        /// The items, copied into one vector.
        std::vector<T> items() const { return pool_->items(*queue_); }

    private:
        friend class BatchedRingBuffer;
        Batch(const Pool* pool, const Queue* queue) : pool_(pool), queue_(queue) {}
        const Pool* pool_;
        const Queue* queue_;
    };

    /// Copies the current batch into `out` (replacing its contents), empties
    /// the slot and advances the ring by one slot. Items come out in the
    /// order they were scheduled.
    void take_current_batch(std::vector<T>& out) {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        Queue& slot = slots_[current_slot_];
        out = pool_.items(slot);
        pool_.clear(slot);
        ++current_slot_;
        if (current_slot_ == num_slots_) current_slot_ = 0;
    }

    /// Advances the ring by one slot and hands the batch that fell due to
    /// `deliver` (as a Batch), in scheduling order; the slot is emptied
    /// afterwards and its storage goes back to the pool. `deliver` must not
    /// schedule. Returns the number of items.
    template <class F>
    std::size_t drain_current_batch(F&& deliver) {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        Queue& slot = slots_[current_slot_];
        ++current_slot_;
        if (current_slot_ == num_slots_) current_slot_ = 0;
        const std::size_t n = slot.size;
        struct Emptied {
            Pool& pool;
            Queue& slot;
            ~Emptied() { pool.clear(slot); }
        } emptied{pool_, slot};
        deliver(Batch(&pool_, &slot));
        return n;
    }

    /// Convenience form that returns the batch by value (allocates; for tests).
    std::vector<T> take_current_batch() {
        std::vector<T> out;
        take_current_batch(out);
        return out;
    }

    /// Calls `f(item)` on every item waiting in any slot, which it may modify
    /// in place (not add or remove).
    template <class F>
    void for_each_pending(F&& f) {
        for (Queue& slot : slots_) pool_.for_each(slot, f);
    }

    /// The items waiting `offset` ticks after the current one, in scheduling
    /// order (a copy).
    std::vector<T> batch_at(std::size_t offset) const {
        if (offset >= num_slots_ || current_slot_ >= num_slots_) [[unlikely]] {
            offset_out_of_range(offset, num_slots_);
        }
        std::size_t i = current_slot_ + offset;
        if (i >= num_slots_) i -= num_slots_;
        return pool_.items(slots_[i]);
    }

    /// Empties every slot, handing their storage back to the pool.
    void clear() {
        for (Queue& slot : slots_) pool_.clear(slot);
    }

    /// Total number of items waiting in all slots.
    std::size_t pending_items() const {
        std::size_t n = 0;
        for (const Queue& s : slots_) n += s.size;
        return n;
    }

    /// Bytes held for items, pending or free (for memory reports).
    std::size_t bytes_held() const { return pool_.blocks_held() * Pool::block_bytes(); }

private:
    [[noreturn]] static void offset_out_of_range(std::size_t offset, std::size_t num_slots) {
        panic("delivery offset " + std::to_string(offset) + " out of range for a ring of " +
              std::to_string(num_slots) + " slots");
    }
    [[noreturn]] void slot_out_of_range() const {
        panic("current slot " + std::to_string(current_slot_) + " out of range for a ring of " +
              std::to_string(slots_.size()) + " slots");
    }

    Pool pool_;
    std::vector<Queue> slots_;
    std::vector<Cursor> cursors_;
    std::vector<std::size_t> opened_;  ///< slots with an open cursor
    bool scheduling_ = false;
    std::size_t num_slots_;  ///< slots_.size(), kept to spare a division per item
    std::size_t current_slot_ = 0;
};

}  // namespace synaptor
