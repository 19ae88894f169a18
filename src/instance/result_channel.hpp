// Result channel: an unbounded first-in-first-out queue with any number of
// senders and one receiver. Receiving blocks until a message is available and
// fails once the queue is empty and no sender is left. A sender whose thread
// ends through an internal failure leaves its failure text here. A plain
// receive then fails at once; a receive that expects one message from each
// living sender waits for those still alive and fails once none is left
// that has not answered, so it never waits for a message that never comes.
// Each sender's messages arrive in the order it sent them; messages of
// different senders arrive in no particular order.
//
// Each sender belongs to one worker thread, the receiver to the instance's
// calling thread. In steady ticking a worker sends one message and the
// instance takes it before the worker sends the next, so every sender has a
// one-message mailbox of its own on its own cache line: sending there costs
// no lock and no contention with the other workers. When its mailbox is
// still full the sender falls back to a queue shared under a mutex. The
// receiver spins on one atomic count of messages sent before it looks.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "instance/wait_point.hpp"
#include "partition/tick_messages.hpp"
#include "util/cache_line.hpp"
#include "util/panic.hpp"
#include "util/ring_queue.hpp"

namespace synaptor {

namespace channel_detail {

/// One sender's single-message mailbox.
template <class T>
struct alignas(kCacheLineBytes) Mailbox {
    /// True while `slot` holds a message the receiver has not taken.
    std::atomic<bool> full{false};
    /// This sender's messages in the shared queue that the receiver has not
    /// taken yet. The sender uses its mailbox only when this is zero, so a
    /// message in the mailbox is always older than its sender's queued ones.
    std::atomic<std::uint64_t> in_queue{0};
    T slot;
};

/// Senders beyond this many share the queue only.
inline constexpr std::size_t kMaxMailboxes = 256;

template <class T>
struct QueueEntry {
    Mailbox<T>* sender_mailbox = nullptr;  ///< null for senders without one
    T message;
};

template <class T>
struct ChannelShared {
    explicit ChannelShared(SpinPolicy policy) : spin_policy(policy) {}
    ~ChannelShared() {
        for (auto& mailbox : mailboxes) delete mailbox.load(std::memory_order_relaxed);
    }

    /// A mailbox for a new sender, or null once all are handed out.
    Mailbox<T>* claim_mailbox() {
        const std::size_t index = num_mailboxes.fetch_add(1, std::memory_order_seq_cst);
        if (index >= kMaxMailboxes) return nullptr;
        auto* mailbox = new Mailbox<T>();
        mailboxes[index].store(mailbox, std::memory_order_release);
        return mailbox;
    }

    // The receiver spins on `sent`; senders write their mailboxes, which lie
    // on lines of their own, and rarely the queue. Separate cache lines keep
    // the spinning reads from disturbing the writes.
    const SpinPolicy spin_policy;
    alignas(kCacheLineBytes) std::mutex mutex;
    RingQueue<QueueEntry<T>> queue;      ///< guarded by mutex
    std::optional<std::string> failure;  ///< first sender failure; guarded by mutex
    alignas(kCacheLineBytes) std::atomic<std::uint64_t> sent{0};  ///< messages ever made available
    std::atomic<std::uint64_t> senders{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> receiver_alive{true};
    alignas(kCacheLineBytes) WaitPoint changed;
    /// Claimed in order; an entry stays null for a moment after its claim.
    alignas(kCacheLineBytes) std::atomic<std::size_t> num_mailboxes{0};
    std::array<std::atomic<Mailbox<T>*>, kMaxMailboxes> mailboxes{};
};

}  // namespace channel_detail

template <class T>
class ChannelSender {
public:
    ChannelSender(const ChannelSender& other)
        : shared_(other.shared_), mailbox_(shared_->claim_mailbox()) {
        shared_->senders.fetch_add(1, std::memory_order_seq_cst);
    }
    ChannelSender(ChannelSender&& other) noexcept
        : shared_(std::move(other.shared_)), mailbox_(other.mailbox_) {
        other.mailbox_ = nullptr;
    }
    ChannelSender& operator=(const ChannelSender&) = delete;
    ChannelSender& operator=(ChannelSender&&) = delete;
    ~ChannelSender() {
        if (!shared_) return;
        // A message left in the mailbox stays there for the receiver.
        shared_->senders.fetch_sub(1, std::memory_order_seq_cst);
        shared_->changed.notify_all();
    }

    /// Queues `message`; returns false (discarding it) when the receiver is gone.
    bool send(T message) {
        auto& shared = *shared_;
        if (!shared.receiver_alive.load(std::memory_order_seq_cst)) return false;
        if (mailbox_ != nullptr && !mailbox_->full.load(std::memory_order_acquire) &&
            mailbox_->in_queue.load(std::memory_order_acquire) == 0) {
            mailbox_->slot = std::move(message);
            mailbox_->full.store(true, std::memory_order_release);
        } else {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.queue.push_back({mailbox_, std::move(message)});
            if (mailbox_ != nullptr) mailbox_->in_queue.fetch_add(1, std::memory_order_relaxed);
        }
        shared.sent.fetch_add(1, std::memory_order_seq_cst);
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
        : shared_(std::move(shared)), mailbox_(shared_->claim_mailbox()) {
        shared_->senders.fetch_add(1, std::memory_order_seq_cst);
    }

    std::shared_ptr<channel_detail::ChannelShared<T>> shared_;
    channel_detail::Mailbox<T>* mailbox_;  ///< owned by shared_; null without one
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

    /// Moves the oldest message of some sender into `out` and returns true.
    /// Returns false when nothing is waiting and either a sender reported a
    /// failure or no sender is left; failure_text() then tells which. Blocks
    /// otherwise.
    bool receive(T& out) {
        auto& shared = *shared_;
        shared.changed.wait_until(
            [&] {
                return shared.sent.load(std::memory_order_seq_cst) != taken_ ||
                       shared.failed.load(std::memory_order_seq_cst) ||
                       shared.senders.load(std::memory_order_seq_cst) == 0;
            },
            shared.spin_policy);
        // Every message counted in `sent` is complete: in a mailbox or queued.
        if (shared.sent.load(std::memory_order_seq_cst) == taken_) return false;
        take(out);
        return true;
    }

    /// Moves the oldest message of some sender into `out` and returns true.
    /// Unlike receive(), a reported failure does not end the wait: it goes on
    /// while more than `answered` senders are left, for callers that expect
    /// one message from each living sender and have `answered` of them.
    /// Returns false once nothing is waiting and at most `answered` senders
    /// remain, so that a sender that ended without answering never leaves
    /// the receiver waiting.
    bool receive_from_living(T& out, std::uint64_t answered) {
        return receive_from_living(out, answered, shared_->spin_policy);
    }

    /// receive_from_living() waiting as `policy` says instead of the
    /// channel's own policy.
    bool receive_from_living(T& out, std::uint64_t answered, const SpinPolicy& policy) {
        auto& shared = *shared_;
        shared.changed.wait_until(
            [&] {
                return shared.sent.load(std::memory_order_seq_cst) != taken_ ||
                       shared.senders.load(std::memory_order_seq_cst) <= answered;
            },
            policy);
        if (shared.sent.load(std::memory_order_seq_cst) == taken_) return false;
        take(out);
        return true;
    }

    /// How the channel's waits spin by default.
    const SpinPolicy& spin_policy() const { return shared_->spin_policy; }

    /// The failure text of the first sender that reported one, if any.
    std::optional<std::string> failure_text() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->failure;
    }

    std::uint64_t num_senders() const { return shared_->senders.load(std::memory_order_seq_cst); }

private:
    /// Takes one message that `sent` has counted and this receiver has not.
    void take(T& out) {
        auto& shared = *shared_;
        ++taken_;
        if (take_from_a_mailbox(out)) return;
        // No mailbox was full, so the message is queued. A sender with queued
        // messages does not use its mailbox, so none of them can be older.
        std::lock_guard<std::mutex> lock(shared.mutex);
        expect(!shared.queue.empty(), "result channel counted a message it does not hold");
        channel_detail::QueueEntry<T>& entry = shared.queue.front();
        out = std::move(entry.message);
        if (entry.sender_mailbox != nullptr) {
            entry.sender_mailbox->in_queue.fetch_sub(1, std::memory_order_release);
        }
        shared.queue.pop_front();
    }

    /// Takes a message from a full mailbox, looking round from where the last
    /// search ended so that no sender is passed over for long.
    bool take_from_a_mailbox(T& out) {
        auto& shared = *shared_;
        const std::size_t count = std::min(shared.num_mailboxes.load(std::memory_order_acquire),
                                           channel_detail::kMaxMailboxes);
        for (std::size_t n = 0; n < count; ++n) {
            const std::size_t index = next_mailbox_ < count ? next_mailbox_ : 0;
            next_mailbox_ = index + 1;
            channel_detail::Mailbox<T>* mailbox =
                shared.mailboxes[index].load(std::memory_order_acquire);
            if (mailbox == nullptr || !mailbox->full.load(std::memory_order_acquire)) continue;
            out = std::move(mailbox->slot);
            mailbox->full.store(false, std::memory_order_release);
            return true;
        }
        return false;
    }

    std::shared_ptr<channel_detail::ChannelShared<T>> shared_;
    std::uint64_t taken_ = 0;       ///< messages this receiver has taken
    std::size_t next_mailbox_ = 0;  ///< where the next mailbox search starts
};

using ResultSender = ChannelSender<PartitionTickResult>;
using ResultReceiver = ChannelReceiver<PartitionTickResult>;

}  // namespace synaptor
