// A growable ring-buffer FIFO: push at the back, pop at the front, keeps its
// storage once grown. Used for a neuron's recent inputs and a modulator's
// eligibility traces, where dropping from the front must cost nothing per
// remaining entry. Owned by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "util/panic.hpp"
#include "util/prefetch.hpp"

namespace synaptor {

template <class T>
class RingQueue {
public:
    RingQueue() = default;
    explicit RingQueue(std::size_t initial_capacity) { reserve(initial_capacity); }

    RingQueue(const RingQueue& other) { *this = other; }
    RingQueue& operator=(const RingQueue& other) {
        if (this == &other) return *this;
        clear();
        reserve(other.capacity_);
        for (std::size_t i = 0; i < other.size_; ++i) push_back(other[i]);
        return *this;
    }
    RingQueue(RingQueue&&) noexcept = default;
    RingQueue& operator=(RingQueue&&) noexcept = default;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

    T& front() { return data_[head_]; }
    const T& front() const { return data_[head_]; }

    /// i-th entry from the front (i below the capacity).
    T& operator[](std::size_t i) { return data_[wrap(head_ + i)]; }
    const T& operator[](std::size_t i) const { return data_[wrap(head_ + i)]; }

    void push_back(T value) {
        if (size_ == capacity_) grow(grown_capacity());
        data_[wrap(head_ + size_)] = std::move(value);
        ++size_;
    }

    /// Requests the cache line of the slot the next push_back writes (or of
    /// the front, where a full queue would be pruned); no effect on the contents.
    void prefetch_back() const {
        if (capacity_ == 0) return;
        const std::size_t slot = size_ == capacity_ ? head_ : wrap(head_ + size_);
        prefetch_line<true>(data_.get() + slot);
    }

    void pop_front() {
        expect(size_ != 0, "pop_front on an empty queue");
        head_ = wrap(head_ + 1);
        --size_;
    }

    /// Removes entries from the front for as long as `stale(front)` holds;
    /// the position is kept in registers and stored once at the end.
    template <class Pred>
    void pop_front_while(Pred&& stale) {
        std::size_t head = head_;
        std::size_t size = size_;
        const std::size_t capacity = capacity_;
        while (size != 0 && stale(static_cast<const T&>(data_[head]))) {
            ++head;
            if (head == capacity) head = 0;
            --size;
        }
        head_ = head;
        size_ = size;
    }

    /// push_back for a queue whose front entries expire: only when the queue
    /// is full are the expired entries (`stale(front)` holds) dropped, and
    /// only when that frees nothing does the storage grow (by half). Between
    /// two such prunes a push touches nothing but its own slot, and the
    /// capacity stays within twice the largest number of live entries (1.5
    /// times, once past a few entries).
    template <class Pred>
    void push_back_pruning_when_full(T value, Pred&& stale) {
        if (size_ == capacity_) {
            pop_front_while(stale);
            if (size_ == capacity_) grow(grown_capacity());
        }
        data_[wrap(head_ + size_)] = std::move(value);
        ++size_;
    }

    void clear() {
        head_ = 0;
        size_ = 0;
    }

    /// Makes room for at least `capacity` entries.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        grow(capacity);
    }

    /// Gives back storage of an empty queue that holds more than
    /// `4 * max(live, 16)` slots, keeping `2 * max(live, 16)`: `live` is what
    /// the caller expects to hold, such as the number of entries just
    /// drained, so that one burst does not leave the storage at its peak.
    void shrink_if_oversized(std::size_t live) {
        const std::size_t keep = 2 * (live < 16 ? 16 : live);
        if (size_ != 0 || capacity_ <= 2 * keep) return;
        std::unique_ptr<T[]> data(new T[keep]());
        data_ = std::move(data);
        capacity_ = keep;
        head_ = 0;
    }

private:
    /// Positions run below twice the capacity: one subtraction wraps them.
    std::size_t wrap(std::size_t i) const { return i >= capacity_ ? i - capacity_ : i; }
    std::size_t grown_capacity() const {
        return capacity_ == 0 ? 8 : capacity_ + (capacity_ + 1) / 2;
    }

    void grow(std::size_t new_capacity) {
        std::unique_ptr<T[]> data(new T[new_capacity]());  // every slot initialised
        for (std::size_t i = 0; i < size_; ++i) data[i] = std::move((*this)[i]);
        data_ = std::move(data);
        capacity_ = new_capacity;
        head_ = 0;
    }

    std::unique_ptr<T[]> data_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace synaptor
