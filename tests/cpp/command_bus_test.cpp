#include "instance/command_bus.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace synaptor {
namespace {

TickCommand command_for(std::uint64_t t) {
    TickCommand command;
    command.t = t;
    command.forced_nids = {t, t};  // duplicates are kept
    command.previous_spiking_nids = {t + 1};
    command.reward = static_cast<float>(t) * 0.5f;
    command.extract_state_snapshot = t % 2 == 1;
    return command;
}

TEST(CommandBus, EveryReaderReceivesEveryCommandInOrder) {
    constexpr std::uint64_t kCommands = 500;
    constexpr int kReaders = 3;
    CommandBusSender sender;
    std::vector<CommandBusReader> readers;
    for (int r = 0; r < kReaders; ++r) readers.push_back(sender.add_reader());
    std::vector<std::vector<TickCommand>> received(kReaders);
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            TickCommand command;
            while (readers[static_cast<std::size_t>(r)].receive(command)) {
                received[static_cast<std::size_t>(r)].push_back(command);
            }
        });
    }
    for (std::uint64_t t = 0; t < kCommands; ++t) {
        TickCommand command = command_for(t);
        sender.send(command);
    }
    { CommandBusSender closing = std::move(sender); }
    for (auto& thread : threads) thread.join();
    for (const auto& list : received) {
        ASSERT_EQ(list.size(), kCommands);
        for (std::uint64_t t = 0; t < kCommands; ++t) {
            const TickCommand expected = command_for(t);
            EXPECT_EQ(list[t].t, expected.t);
            EXPECT_EQ(list[t].forced_nids, expected.forced_nids);
            EXPECT_EQ(list[t].previous_spiking_nids, expected.previous_spiking_nids);
            EXPECT_EQ(list[t].reward, expected.reward);
            EXPECT_EQ(list[t].extract_state_snapshot, expected.extract_state_snapshot);
        }
    }
}

TEST(CommandBus, SendWaitsUntilEveryReaderTookThePreviousCommand) {
    CommandBusSender sender;
    CommandBusReader fast = sender.add_reader();
    CommandBusReader slow = sender.add_reader();
    TickCommand first = command_for(0);
    sender.send(first);  // room for one unread command: does not block
    TickCommand out;
    ASSERT_TRUE(fast.receive(out));

    std::atomic<bool> second_sent{false};
    std::thread producer([&] {
        TickCommand second = command_for(1);
        sender.send(second);
        second_sent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_sent.load());  // `slow` has not taken the first one
    ASSERT_TRUE(slow.receive(out));
    EXPECT_EQ(out.t, 0u);
    producer.join();
    EXPECT_TRUE(second_sent.load());
    ASSERT_TRUE(slow.receive(out));
    EXPECT_EQ(out.t, 1u);
    ASSERT_TRUE(fast.receive(out));
    EXPECT_EQ(out.t, 1u);
}

TEST(CommandBus, ClosingDeliversWhatWasSentThenReportsClosed) {
    auto sender = std::make_unique<CommandBusSender>();
    CommandBusReader reader = sender->add_reader();
    TickCommand command = command_for(7);
    sender->send(command);
    sender.reset();
    TickCommand out;
    ASSERT_TRUE(reader.receive(out));
    EXPECT_EQ(out.t, 7u);
    EXPECT_FALSE(reader.receive(out));
    EXPECT_FALSE(reader.receive(out));  // stays closed, never blocks
}

TEST(CommandBus, ClosingWakesABlockedReader) {
    auto sender = std::make_unique<CommandBusSender>();
    CommandBusReader reader = sender->add_reader();
    std::atomic<bool> result{true};
    std::thread thread([&] {
        TickCommand out;
        result = reader.receive(out);
    });
    // Long enough for the reader to go to sleep on the futex.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sender.reset();
    thread.join();
    EXPECT_FALSE(result.load());
}

TEST(CommandBus, AWaitStaysAwakeAboutAsLongAsTheWorkItWaitsOnUpToABound) {
    const SpinPolicy normal{100, 100'000};
    EXPECT_EQ(stretched_policy(normal, 40'000).awake_ns, 100'000u);  // never shorter
    EXPECT_EQ(stretched_policy(normal, 700'000).awake_ns, 700'000u);
    EXPECT_EQ(stretched_policy(normal, 60'000'000'000).awake_ns, kMaxStretchedAwakeNs);
    EXPECT_EQ(stretched_policy(normal, 700'000).pause_spins, 100u);
    // A policy that sleeps at once, or one already awake longer, is kept.
    EXPECT_EQ(stretched_policy(SpinPolicy{0, 0}, 700'000).awake_ns, 0u);
    EXPECT_EQ(stretched_policy(SpinPolicy{0, 5'000'000}, 700'000).awake_ns, 5'000'000u);
    EXPECT_EQ(stretched_policy(SpinPolicy{0, 5'000'000}, 9'000'000).awake_ns, 5'000'000u);

    // A reader waiting on a stretched policy still takes what is sent, and
    // learns of the closing, after sleeping past its awake time.
    auto sender = std::make_unique<CommandBusSender>();
    CommandBusReader reader = sender->add_reader();
    const SpinPolicy wait = stretched_policy(reader.spin_policy(), 60'000'000'000);
    std::atomic<int> received{0};
    std::atomic<bool> closed_seen{false};
    std::thread thread([&] {
        TickCommand out;
        while (reader.receive(out, wait)) received = static_cast<int>(out.t) + 1;
        closed_seen = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    TickCommand command = command_for(4);
    sender->send(command);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(received.load(), 5);
    sender.reset();
    thread.join();
    EXPECT_TRUE(closed_seen.load());
}

TEST(CommandBus, AReaderThatWentAwayNeverBlocksTheSender) {
    CommandBusSender sender;
    CommandBusReader live = sender.add_reader();
    auto gone = std::make_unique<CommandBusReader>(sender.add_reader());
    TickCommand out;
    TickCommand command = command_for(0);
    sender.send(command);
    gone.reset();  // ended without taking command 0
    ASSERT_TRUE(live.receive(out));
    for (std::uint64_t t = 1; t < 4; ++t) {
        command = command_for(t);
        sender.send(command);
        ASSERT_TRUE(live.receive(out));
        EXPECT_EQ(out.t, t);
    }
}

TEST(CommandBus, ReadersMustRegisterBeforeTheFirstSend) {
    CommandBusSender sender;
    CommandBusReader reader = sender.add_reader();
    TickCommand command = command_for(0);
    sender.send(command);
    EXPECT_THROW((void)sender.add_reader(), Panic);
}

TEST(CommandBus, ReceivedCommandIsAnIndependentCopy) {
    CommandBusSender sender;
    CommandBusReader a = sender.add_reader();
    CommandBusReader b = sender.add_reader();
    TickCommand command = command_for(3);
    sender.send(command);
    TickCommand out_a;
    TickCommand out_b;
    ASSERT_TRUE(a.receive(out_a));
    out_a.forced_nids.push_back(99);
    ASSERT_TRUE(b.receive(out_b));
    EXPECT_EQ(out_b.forced_nids, (std::vector<std::uint64_t>{3, 3}));
}

}  // namespace
}  // namespace synaptor
