// A fixed ring of event batches indexed by delay: slot k holds the items that
// fall due k ticks after the current one. One per partition layer, owned by
// its worker thread. Batches keep their capacity, so a steady spike rate stops
// allocating once they have grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "util/panic.hpp"

namespace synaptor {

template <class T>
class BatchedRingBuffer {
public:
    explicit BatchedRingBuffer(std::size_t num_slots = 1)
        : slots_(num_slots), num_slots_(num_slots) {
        expect(num_slots >= 1, "a batched ring buffer needs at least one slot");
    }

    std::size_t num_slots() const { return num_slots_; }
    std::size_t current_slot() const { return current_slot_; }

    /// Appends `item` to the batch that falls due `offset` ticks after the current one.
    /// An offset of N or more is rejected before the wrap: a huge offset (a
    /// delay of 0 turned into offset - 1) would otherwise wrap around the
    /// addition and land silently in a wrong slot.
    void schedule(std::size_t offset, T item) { scheduler().schedule(offset, std::move(item)); }

    /// Schedules a run of items from one place: the ring's geometry is read
    /// once instead of per item. Valid until the ring is next advanced.
    class Scheduler {
    public:
        void schedule(std::size_t offset, T item) {
            if (offset >= num_slots_) [[unlikely]] {
                offset_out_of_range(offset, num_slots_);
            }
            // current_slot_ < num_slots_ (checked when the scheduler was
            // made) and offset < num_slots_, so one wrap lands in range.
            std::size_t i = current_slot_ + offset;
            if (i >= num_slots_) i -= num_slots_;  // one wrap, not a modulo
            slots_[i].push_back(std::move(item));
        }

    private:
        friend class BatchedRingBuffer;
        Scheduler(std::vector<T>* slots, std::size_t num_slots, std::size_t current_slot)
            : slots_(slots), num_slots_(num_slots), current_slot_(current_slot) {}
        std::vector<T>* slots_;
        std::size_t num_slots_;
        std::size_t current_slot_;
    };

    Scheduler scheduler() {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        return Scheduler(slots_.data(), num_slots_, current_slot_);
    }

    /// Swaps the current batch into `out` (which must be empty; its old storage
    /// takes the batch's place, so both keep their capacity) and advances the
    /// ring by one slot. Items come out in the order they were scheduled.
    void take_current_batch(std::vector<T>& out) {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        out.clear();
        std::swap(out, slots_[current_slot_]);
        ++current_slot_;
        if (current_slot_ == num_slots_) current_slot_ = 0;
    }

    /// Advances the ring by one slot and hands the batch that fell due to
    /// `deliver` as one list, in scheduling order, without moving it out of its
    /// slot (so every slot keeps its own capacity); the batch is emptied
    /// afterwards. `deliver` must not schedule. Returns the number of items.
    template <class F>
    std::size_t drain_current_batch(F&& deliver) {
        if (current_slot_ >= num_slots_) [[unlikely]] {
            slot_out_of_range();
        }
        std::vector<T>& batch = slots_[current_slot_];
        ++current_slot_;
        if (current_slot_ == num_slots_) current_slot_ = 0;
        const std::vector<T>& items = batch;
        deliver(items);
        const std::size_t n = batch.size();
        batch.clear();
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
        for (std::vector<T>& slot : slots_) {
            for (T& item : slot) f(item);
        }
    }

    /// Total number of items waiting in all slots.
    std::size_t pending_items() const {
        std::size_t n = 0;
        for (const auto& s : slots_) n += s.size();
        return n;
    }

private:
    [[noreturn]] static void offset_out_of_range(std::size_t offset, std::size_t num_slots) {
        panic("delivery offset " + std::to_string(offset) + " out of range for a ring of " +
              std::to_string(num_slots) + " slots");
    }
    [[noreturn]] void slot_out_of_range() const {
        panic("current slot " + std::to_string(current_slot_) + " out of range for a ring of " +
              std::to_string(slots_.size()) + " slots");
    }

    std::vector<std::vector<T>> slots_;
    std::size_t num_slots_;  ///< slots_.size(), kept to spare a division per item
    std::size_t current_slot_ = 0;
};

}  // namespace synaptor
