// Command bus: a single-producer broadcast queue with room for one unread
// message. Every reader receives every message, in the order sent, as its own
// copy. A send waits until every reader has taken the previous message.
// Destroying the sender closes the bus: readers still receive what was sent
// before, then learn that it is closed. A reader that goes away counts as
// having taken everything, so a worker that ended never blocks the sender.
//
// The sender belongs to the instance's calling thread, each reader to one
// worker thread. Readers are registered before the first send.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "instance/wait_point.hpp"
#include "partition/tick_messages.hpp"
#include "util/cache_line.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace bus_detail {

/// What one reader has taken; on a cache line of its own because the reader
/// writes it and the sender polls it.
struct alignas(kCacheLineBytes) ReaderProgress {
    std::atomic<std::uint64_t> taken{0};  ///< number of messages taken
};

template <class T>
struct BusShared {
    explicit BusShared(SpinPolicy policy) : spin_policy(policy) {}

    // Readers spin on `published` while the sender writes the slot and polls
    // the readers' progress: separate cache lines keep them from disturbing
    // each other.
    const SpinPolicy spin_policy;
    /// The latest message; written only when every reader has taken the one before.
    alignas(kCacheLineBytes) T slot;
    alignas(kCacheLineBytes) std::atomic<std::uint64_t> published{0};  ///< number of messages sent
    std::atomic<bool> closed{false};
    alignas(kCacheLineBytes) WaitPoint message_sent;
    alignas(kCacheLineBytes) WaitPoint message_taken;
    /// Touched by the sender's thread only; the entries are stable.
    std::vector<std::unique_ptr<ReaderProgress>> readers;
};

}  // namespace bus_detail

template <class T>
class BusReader {
public:
    BusReader(BusReader&& other) noexcept
        : shared_(std::move(other.shared_)), progress_(other.progress_), next_(other.next_) {
        other.progress_ = nullptr;
    }
    BusReader& operator=(BusReader&&) = delete;
    BusReader(const BusReader&) = delete;
    ~BusReader() { release(); }

    /// Copies the next message into `out` (reusing its storage) and returns
    /// true; returns false once the bus is closed and everything sent before
    /// has been taken. Blocks while there is nothing new.
    bool receive(T& out) { return receive(out, shared_->spin_policy); }

    /// receive() waiting as `policy` says instead of the bus's own policy.
    bool receive(T& out, const SpinPolicy& policy) {
        auto& shared = *shared_;
        shared.message_sent.wait_until(
            [&] {
                return shared.published.load(std::memory_order_seq_cst) > next_ ||
                       shared.closed.load(std::memory_order_seq_cst);
            },
            policy);
        // The sender publishes before it closes, so a message sent before the
        // closing is visible here even when the closing woke us.
        if (shared.published.load(std::memory_order_seq_cst) <= next_) return false;
        out = shared.slot;
        ++next_;
        progress_->taken.store(next_, std::memory_order_seq_cst);
        shared.message_taken.notify_all();
        return true;
    }

    /// How the bus's waits spin by default.
    const SpinPolicy& spin_policy() const { return shared_->spin_policy; }

private:
    template <class U>
    friend class BusSender;

    BusReader(std::shared_ptr<bus_detail::BusShared<T>> shared,
              bus_detail::ReaderProgress* progress)
        : shared_(std::move(shared)), progress_(progress) {}

    void release() {
        if (progress_ == nullptr) return;
        progress_->taken.store(std::numeric_limits<std::uint64_t>::max(),
                               std::memory_order_seq_cst);
        shared_->message_taken.notify_all();
        progress_ = nullptr;
    }

    std::shared_ptr<bus_detail::BusShared<T>> shared_;
    bus_detail::ReaderProgress* progress_;
    std::uint64_t next_ = 0;  ///< number of messages this reader has taken
};

template <class T>
class BusSender {
public:
    explicit BusSender(SpinPolicy policy = SpinPolicy{})
        : shared_(std::make_shared<bus_detail::BusShared<T>>(policy)) {}
    BusSender(BusSender&&) noexcept = default;
    BusSender& operator=(BusSender&&) = delete;
    BusSender(const BusSender&) = delete;
    ~BusSender() { close(); }

    /// Registers a reader; it will receive every message sent from now on.
    BusReader<T> add_reader() {
        expect(sent_ == 0, "command bus readers must be registered before the first send");
        shared_->readers.push_back(std::make_unique<bus_detail::ReaderProgress>());
        return BusReader<T>(shared_, shared_->readers.back().get());
    }

    /// Broadcasts `message`. Waits until every reader has taken the previous
    /// one. The bus takes the contents of `message`; on return it holds
    /// storage of an earlier message, cleared of meaning, for reuse.
    void send(T& message) {
        auto& shared = *shared_;
        const std::uint64_t sent = sent_;
        shared.message_taken.wait_until(
            [&] {
                for (const auto& reader : shared.readers) {
                    if (reader->taken.load(std::memory_order_seq_cst) < sent) return false;
                }
                return true;
            },
            shared.spin_policy);
        using std::swap;
        swap(shared.slot, message);
        sent_ = sent + 1;
        shared.published.store(sent_, std::memory_order_seq_cst);
        shared.message_sent.notify_all();
    }

    std::uint64_t num_readers() const { return shared_->readers.size(); }

private:
    void close() {
        if (!shared_) return;  // moved from
        shared_->closed.store(true, std::memory_order_seq_cst);
        shared_->message_sent.notify_all();
    }

    std::shared_ptr<bus_detail::BusShared<T>> shared_;
    std::uint64_t sent_ = 0;
};

using CommandBusSender = BusSender<TickCommand>;
using CommandBusReader = BusReader<TickCommand>;

}  // namespace synaptor
