#include "instance/result_channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace synaptor {
namespace {

PartitionTickResult result_with(std::uint64_t sender, std::uint64_t index) {
    PartitionTickResult result;
    result.spiking_nids = {sender, index};
    result.synaptic_transmission_count = index;
    return result;
}

TEST(ResultChannel, KeepsEachSendersOrderAndLosesNothing) {
    constexpr std::uint64_t kSenders = 3;
    constexpr std::uint64_t kPerSender = 2000;  // far more than are ever received at once
    ResultReceiver receiver;
    std::vector<std::thread> threads;
    for (std::uint64_t s = 0; s < kSenders; ++s) {
        threads.emplace_back([s, sender = receiver.make_sender()]() mutable {
            for (std::uint64_t i = 0; i < kPerSender; ++i) {
                EXPECT_TRUE(sender.send(result_with(s, i)));
            }
        });
    }
    std::vector<std::uint64_t> next(kSenders, 0);
    PartitionTickResult out;
    for (std::uint64_t n = 0; n < kSenders * kPerSender; ++n) {
        ASSERT_TRUE(receiver.receive(out));
        ASSERT_EQ(out.spiking_nids.size(), 2u);
        const std::uint64_t s = out.spiking_nids[0];
        EXPECT_EQ(out.spiking_nids[1], next[s]);
        ++next[s];
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(next, std::vector<std::uint64_t>(kSenders, kPerSender));
    EXPECT_FALSE(receiver.receive(out));  // empty and every sender gone
    EXPECT_FALSE(receiver.failure_text().has_value());
}

TEST(ResultChannel, DeliversQueuedMessagesBeforeReportingNoSenders) {
    ResultReceiver receiver;
    {
        ResultSender sender = receiver.make_sender();
        EXPECT_TRUE(sender.send(result_with(0, 1)));
        EXPECT_TRUE(sender.send(result_with(0, 2)));
    }
    PartitionTickResult out;
    ASSERT_TRUE(receiver.receive(out));
    EXPECT_EQ(out.synaptic_transmission_count, 1u);
    ASSERT_TRUE(receiver.receive(out));
    EXPECT_EQ(out.synaptic_transmission_count, 2u);
    EXPECT_FALSE(receiver.receive(out));
}

TEST(ResultChannel, ReceiveBlocksUntilAMessageArrives) {
    ResultReceiver receiver;
    ResultSender sender = receiver.make_sender();
    std::atomic<bool> received{false};
    std::thread thread([&] {
        PartitionTickResult out;
        EXPECT_TRUE(receiver.receive(out));
        EXPECT_EQ(out.synaptic_transmission_count, 5u);
        received = true;
    });
    // Long enough for the receiver to stop spinning and sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(received.load());
    EXPECT_TRUE(sender.send(result_with(0, 5)));
    thread.join();
    EXPECT_TRUE(received.load());
}

TEST(ResultChannel, LastSenderGoingAwayWakesABlockedReceiver) {
    ResultReceiver receiver;
    auto first = std::make_unique<ResultSender>(receiver.make_sender());
    auto second = std::make_unique<ResultSender>(*first);  // copies count as senders
    std::atomic<int> outcome{-1};
    std::thread thread([&] {
        PartitionTickResult out;
        outcome = receiver.receive(out) ? 1 : 0;
    });
    first.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(outcome.load(), -1);  // one sender is still there
    second.reset();
    thread.join();
    EXPECT_EQ(outcome.load(), 0);
}

TEST(ResultChannel, ASenderFailureEndsTheWaitWithItsText) {
    ResultReceiver receiver;
    ResultSender healthy = receiver.make_sender();
    ResultSender failing = receiver.make_sender();
    std::atomic<int> outcome{-1};
    std::thread thread([&] {
        PartitionTickResult out;
        outcome = receiver.receive(out) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    failing.report_failure("first failure");
    failing.report_failure("second failure");
    thread.join();
    EXPECT_EQ(outcome.load(), 0);  // although `healthy` is still there
    EXPECT_EQ(receiver.failure_text(), std::optional<std::string>("first failure"));
    // A message queued after the failure is still delivered first.
    EXPECT_TRUE(healthy.send(result_with(1, 9)));
    PartitionTickResult out;
    ASSERT_TRUE(receiver.receive(out));
    EXPECT_EQ(out.synaptic_transmission_count, 9u);
    EXPECT_FALSE(receiver.receive(out));
}

TEST(ResultChannel, ReceivingFromTheLivingWaitsPastAFailureForTheOthers) {
    ResultReceiver receiver;
    std::optional<ResultSender> healthy(receiver.make_sender());
    std::optional<ResultSender> failing(receiver.make_sender());
    failing->report_failure("one sender failed");
    failing.reset();
    std::thread thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(healthy->send(result_with(1, 7)));
    });
    // One sender is left and none has answered yet: the wait goes on until
    // the healthy one answers, the failure notwithstanding.
    PartitionTickResult out;
    ASSERT_TRUE(receiver.receive_from_living(out, 0));
    EXPECT_EQ(out.synaptic_transmission_count, 7u);
    thread.join();
    // Every living sender has answered: no further wait.
    EXPECT_FALSE(receiver.receive_from_living(out, 1));
    EXPECT_EQ(receiver.failure_text(), std::optional<std::string>("one sender failed"));
}

TEST(ResultChannel, ReceivingFromTheLivingEndsWhenTheLastOneGoes) {
    // The channel's own policy, one that sleeps at once, and one stretched
    // for long ticks: each falls asleep within the 50 ms and is woken.
    const std::optional<SpinPolicy> policies[] = {std::nullopt, SpinPolicy{0, 0},
                                                  stretched_policy(SpinPolicy{}, 1'000'000'000)};
    for (const std::optional<SpinPolicy>& policy : policies) {
        ResultReceiver receiver;
        std::optional<ResultSender> sender(receiver.make_sender());
        std::atomic<int> outcome{-1};
        std::thread thread([&] {
            PartitionTickResult out;
            const bool received = policy ? receiver.receive_from_living(out, 0, *policy)
                                         : receiver.receive_from_living(out, 0);
            outcome = received ? 1 : 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(outcome.load(), -1);
        sender.reset();
        thread.join();
        EXPECT_EQ(outcome.load(), 0);
        EXPECT_EQ(receiver.num_senders(), 0u);
    }
}

TEST(ResultChannel, SendingWithoutReceiverDiscardsTheMessage) {
    auto receiver = std::make_unique<ResultReceiver>();
    ResultSender sender = receiver->make_sender();
    EXPECT_TRUE(sender.send(result_with(0, 0)));
    receiver.reset();
    EXPECT_FALSE(sender.send(result_with(0, 1)));
}

// A sender whose mailbox is still full queues its messages; it must not go back
// to the mailbox while queued ones are waiting, or a newer message would
// overtake them.
TEST(ResultChannel, KeepsOrderWhenASenderSwitchesBetweenMailboxAndQueue) {
    ResultReceiver receiver;
    ResultSender sender = receiver.make_sender();
    PartitionTickResult out;
    std::vector<std::uint64_t> received;
    auto take = [&] {
        ASSERT_TRUE(receiver.receive(out));
        received.push_back(out.synaptic_transmission_count);
    };
    EXPECT_TRUE(sender.send(result_with(0, 1)));
    take();
    EXPECT_TRUE(sender.send(result_with(0, 2)));
    EXPECT_TRUE(sender.send(result_with(0, 3)));  // mailbox still holds 2
    take();                                       // empties the mailbox, 3 still queued
    EXPECT_TRUE(sender.send(result_with(0, 4)));
    EXPECT_TRUE(sender.send(result_with(0, 5)));
    take();
    take();
    EXPECT_TRUE(sender.send(result_with(0, 6)));  // queue drained: mailbox again
    take();
    take();
    EXPECT_EQ(received, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
    PartitionTickResult none = result_with(9, 9);
    EXPECT_TRUE(sender.send(std::move(none)));
    { ResultSender gone = std::move(sender); }
    ASSERT_TRUE(receiver.receive(out));  // left in the mailbox by a sender that went away
    EXPECT_EQ(out.spiking_nids, (std::vector<std::uint64_t>{9, 9}));
    EXPECT_FALSE(receiver.receive(out));
}

// More senders than there are mailboxes: the rest share the queue, and every
// sender's messages still arrive, each sender's in order.
TEST(ResultChannel, SendersWithoutMailboxLoseNothing) {
    constexpr std::uint64_t kSenders = 300;
    constexpr std::uint64_t kPerSender = 3;
    ResultReceiver receiver;
    std::vector<std::thread> threads;
    {
        ResultSender first = receiver.make_sender();
        std::vector<ResultSender> senders;
        senders.reserve(kSenders);
        senders.push_back(std::move(first));
        while (senders.size() < kSenders) senders.push_back(senders.front());  // copies
        for (std::uint64_t s = 0; s < kSenders; s += 100) {
            threads.emplace_back([&senders, s] {
                for (std::uint64_t i = 0; i < kPerSender; ++i) {
                    for (std::uint64_t k = s; k < s + 100; ++k) {
                        EXPECT_TRUE(senders[k].send(result_with(k, i)));
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }
    std::vector<std::uint64_t> next(kSenders, 0);
    PartitionTickResult out;
    for (std::uint64_t n = 0; n < kSenders * kPerSender; ++n) {
        ASSERT_TRUE(receiver.receive(out));
        const std::uint64_t s = out.spiking_nids[0];
        ASSERT_LT(s, kSenders);
        EXPECT_EQ(out.spiking_nids[1], next[s]);
        ++next[s];
    }
    EXPECT_EQ(next, std::vector<std::uint64_t>(kSenders, kPerSender));
    EXPECT_FALSE(receiver.receive(out));
}

// The instance's pattern: every sender answers each round once, and the
// receiver takes one answer per sender before the next round starts.
TEST(ResultChannel, LockstepRoundsDeliverOneMessagePerSenderPerRound) {
    constexpr std::uint64_t kSenders = 3;
    constexpr std::uint64_t kRounds = 3000;
    ResultReceiver receiver;
    std::atomic<std::uint64_t> round{0};
    std::vector<std::thread> threads;
    for (std::uint64_t s = 0; s < kSenders; ++s) {
        threads.emplace_back([s, &round, sender = receiver.make_sender()]() mutable {
            for (std::uint64_t r = 0; r < kRounds; ++r) {
                while (round.load() != r) std::this_thread::yield();
                EXPECT_TRUE(sender.send(result_with(s, r)));
            }
        });
    }
    PartitionTickResult out;
    for (std::uint64_t r = 0; r < kRounds; ++r) {
        std::vector<int> seen(kSenders, 0);
        for (std::uint64_t n = 0; n < kSenders; ++n) {
            ASSERT_TRUE(receiver.receive(out));
            ASSERT_EQ(out.spiking_nids.size(), 2u);
            ASSERT_EQ(out.spiking_nids[1], r);
            ++seen[out.spiking_nids[0]];
        }
        ASSERT_EQ(seen, std::vector<int>(kSenders, 1));
        round.store(r + 1);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(receiver.receive(out));
}

TEST(ResultChannel, CarriesSnapshotPresenceDistinctFromEmptySnapshot) {
    ResultReceiver receiver;
    ResultSender sender = receiver.make_sender();
    PartitionTickResult without = result_with(0, 0);
    PartitionTickResult with_empty = result_with(0, 1);
    with_empty.state_snapshot.emplace();
    EXPECT_TRUE(sender.send(std::move(without)));
    EXPECT_TRUE(sender.send(std::move(with_empty)));
    PartitionTickResult out;
    ASSERT_TRUE(receiver.receive(out));
    EXPECT_FALSE(out.state_snapshot.has_value());
    ASSERT_TRUE(receiver.receive(out));
    ASSERT_TRUE(out.state_snapshot.has_value());
    EXPECT_TRUE(out.state_snapshot->empty());
}

}  // namespace
}  // namespace synaptor
