// Result channel: an unbounded first-in-first-out queue with any number of
// senders and one receiver. Receiving blocks until a message is available and
// fails once the queue is empty and no sender is left. A sender whose thread
// ends through an internal failure leaves its failure text here, so the
// receiver fails at once instead of waiting for a message that never comes.
//
// Each sender belongs to one worker thread, the receiver to the instance's
// calling thread. The queue is guarded by a mutex; the receiver spins on an
// atomic count before it takes the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "instance/tick_messages.hpp"
#include "instance/wait_point.hpp"
#include "util/ring_queue.hpp"

namespace synaptor {

namespace channel_detail {

template <class T>
struct ChannelShared {
    explicit ChannelShared(SpinPolicy policy) : spin_policy(policy) {}

    // The receiver spins on the flags below the queue; senders write the
    // queue under the lock. Separate cache lines keep the spinning reads from
    // disturbing the writes.
    const SpinPolicy spin_policy;
    alignas(64) std::mutex mutex;
    RingQueue<T> queue;                ///< guarded by mutex
    std::optional<std::string> failure;  ///< first sender failure; guarded by mutex
    alignas(64) std::atomic<std::uint64_t> queued{0};
    std::atomic<std::uint64_t> senders{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> receiver_alive{true};
    alignas(64) WaitPoint changed;
};

}  // namespace channel_detail

template <class T>
class ChannelSender {
public:
    ChannelSender(const ChannelSender& other) : shared_(other.shared_) {
        shared_->senders.fetch_add(1, std::memory_order_seq_cst);
    }
    ChannelSender(ChannelSender&& other) noexcept : shared_(std::move(other.shared_)) {}
    ChannelSender& operator=(const ChannelSender&) = delete;
    ChannelSender& operator=(ChannelSender&&) = delete;
    ~ChannelSender() {
        if (!shared_) return;
        shared_->senders.fetch_sub(1, std::memory_order_seq_cst);
        shared_->changed.notify_all();
    }

    /// Queues `message`; returns false (discarding it) when the receiver is gone.
    bool send(T message) {
        auto& shared = *shared_;
        if (!shared.receiver_alive.load(std::memory_order_seq_cst)) return false;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.queue.push_back(std::move(message));
        }
        shared.queued.fetch_add(1, std::memory_order_seq_cst);
        shared.changed.notify_all();
        return true;
    }

    /// Records that this sender's thread ended through an internal failure.
    /// The first text recorded is the one the receiver reports.
    void report_failure(std::string text) {
        auto& shared = *shared_;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (!shared.failure) shared.failure = std::move(text);
        }
        shared.failed.store(true, std::memory_order_seq_cst);
        shared.changed.notify_all();
    }

private:
    template <class U>
    friend class ChannelReceiver;

    explicit ChannelSender(std::shared_ptr<channel_detail::ChannelShared<T>> shared)
        : shared_(std::move(shared)) {
        shared_->senders.fetch_add(1, std::memory_order_seq_cst);
    }

    std::shared_ptr<channel_detail::ChannelShared<T>> shared_;
};

template <class T>
class ChannelReceiver {
public:
    explicit ChannelReceiver(SpinPolicy policy = SpinPolicy{})
        : shared_(std::make_shared<channel_detail::ChannelShared<T>>(policy)) {}
    ChannelReceiver(ChannelReceiver&&) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&&) = delete;
    ChannelReceiver(const ChannelReceiver&) = delete;
    ~ChannelReceiver() {
        if (shared_) shared_->receiver_alive.store(false, std::memory_order_seq_cst);
    }

    ChannelSender<T> make_sender() { return ChannelSender<T>(shared_); }

    /// Moves the oldest message into `out` and returns true. Returns false
    /// when the queue is empty and either a sender reported a failure or no
    /// sender is left; failure_text() then tells which. Blocks otherwise.
    bool receive(T& out) {
        auto& shared = *shared_;
        shared.changed.wait_until(
            [&] {
                return shared.queued.load(std::memory_order_seq_cst) != 0 ||
                       shared.failed.load(std::memory_order_seq_cst) ||
                       shared.senders.load(std::memory_order_seq_cst) == 0;
            },
            shared.spin_policy);
        if (shared.queued.load(std::memory_order_seq_cst) == 0) return false;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            out = std::move(shared.queue.front());
            shared.queue.pop_front();
        }
        shared.queued.fetch_sub(1, std::memory_order_seq_cst);
        return true;
    }

    /// The failure text of the first sender that reported one, if any.
    std::optional<std::string> failure_text() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->failure;
    }

    std::uint64_t num_senders() const {
        return shared_->senders.load(std::memory_order_seq_cst);
    }

private:
    std::shared_ptr<channel_detail::ChannelShared<T>> shared_;
};

using ResultSender = ChannelSender<PartitionTickResult>;
using ResultReceiver = ChannelReceiver<PartitionTickResult>;

}  // namespace synaptor
