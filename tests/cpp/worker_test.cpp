// The hand-offs of a partition between its worker and the instance's calling
// thread (share and park), tested directly with plain threads.
#include "instance/worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "instance_test_support.hpp"
#include "thread_test_support.hpp"

namespace synaptor {
namespace {

using test::eventually;
using test::spin_until;
using test::ThreadGroup;

TEST(PartitionShare, GrantsEachTickOnceAndOnlyInTurn) {
    PartitionShare share;
    EXPECT_FALSE(share.claim(1)) << "a tick ahead of the next one";
    EXPECT_TRUE(share.claim(0));
    EXPECT_FALSE(share.claim(0)) << "a tick already claimed";
    EXPECT_EQ(share.ticks_claimed.load(), 1u);
    EXPECT_TRUE(share.claim(1));
    EXPECT_FALSE(share.claim(0));
    EXPECT_FALSE(share.claim(1));
    EXPECT_EQ(share.ticks_claimed.load(), 2u);
}

TEST(PartitionShare, ClaimsFollowARestoredTick) {
    // A restored instance puts the claim count at its tick.
    PartitionShare share;
    share.ticks_claimed.store(1'000'000);
    EXPECT_FALSE(share.claim(0));
    EXPECT_FALSE(share.claim(999'999));
    EXPECT_TRUE(share.claim(1'000'000));
    EXPECT_EQ(share.ticks_claimed.load(), 1'000'001u);
}

// The worker and the calling thread both try every tick at once, as when the
// caller has finished its own partition just as the worker takes up the
// command: each tick must be granted to exactly one of them, in tick order.
// A third thread opens a gate before every tick once both wait at it, so
// that neither has a head start, and so orders one tick's run before the
// next tick's claims (as the command bus and the result channel do). The
// partition stand-in is a plain vector: the thread sanitizer also reports
// two runs of one tick.
TEST(PartitionShare, TwoThreadsRacingForEveryTickRunItOnce) {
    // Enough ticks that a claim granted by a check and a separate store (not
    // one exchange) is caught most runs on a loaded machine of two CPUs; the
    // sanitizer, ten times slower, finds such races in far fewer.
#ifdef __SANITIZE_THREAD__
    constexpr std::uint64_t kTicks = 20'000;
#else
    constexpr std::uint64_t kTicks = 200'000;
#endif
    struct Shared {
        PartitionShare share;
        std::atomic<std::uint64_t> arrivals{0};  ///< at the gates so far
        std::atomic<std::uint64_t> open{0};      ///< gates opened so far
        std::atomic<bool> gave_up{false};
        std::vector<std::uint64_t> partition;  ///< the ticks in the order run
        std::uint64_t runs_by[2] = {0, 0};
    };
    auto shared = std::make_shared<Shared>();
    shared->partition.reserve(2 * kTicks);
    auto contender = [shared](int who) {
        Shared& s = *shared;
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            s.arrivals.fetch_add(1, std::memory_order_acq_rel);
            const bool opened = spin_until(
                [&] { return s.open.load(std::memory_order_acquire) > t || s.gave_up.load(); });
            if (!opened || s.gave_up.load()) {
                s.gave_up.store(true);
                return;
            }
            if (!s.share.claim(t)) continue;
            s.partition.push_back(t);
            ++s.runs_by[who];
        }
    };
    std::thread worker(contender, 0);
    std::thread caller(contender, 1);
    for (std::uint64_t t = 0; t < kTicks && !shared->gave_up.load(); ++t) {
        if (!spin_until([&] { return shared->arrivals.load() >= 2 * (t + 1); })) {
            shared->gave_up.store(true);
        }
        shared->open.store(t + 1, std::memory_order_release);
    }
    worker.join();
    caller.join();

    ASSERT_FALSE(shared->gave_up.load()) << "a contender did not reach a gate";
    ASSERT_EQ(shared->partition.size(), kTicks) << "a tick was granted twice or never";
    for (std::uint64_t t = 0; t < kTicks; ++t) ASSERT_EQ(shared->partition[t], t);
    EXPECT_EQ(shared->runs_by[0] + shared->runs_by[1], kTicks);
    EXPECT_EQ(shared->share.ticks_claimed.load(), kTicks);
}

TEST(PartitionPark, ReleaseWakesEveryParkedWorker) {
    constexpr int kWorkers = 4;
    auto park = std::make_shared<PartitionPark>();
    auto waiting = std::make_shared<std::atomic<int>>(0);
    auto left = std::make_shared<std::atomic<int>>(0);
    ThreadGroup workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.start([=] {
            waiting->fetch_add(1);
            // As a worker waits: asleep at once, nothing spent while parked.
            park->changed.wait_until([&] { return park->released.load(std::memory_order_seq_cst); },
                                     SpinPolicy{0, 0});
            left->fetch_add(1);
        });
    }
    ASSERT_TRUE(eventually([&] { return waiting->load() == kWorkers; }));
    EXPECT_EQ(left->load(), 0) << "a worker left an unreleased park";
    park->release();
    EXPECT_TRUE(workers.join_when([&] { return left->load() == kWorkers; }))
        << left->load() << " of " << kWorkers << " parked workers went on";
}

/// A worker of partition 0 of a small two-layer network, over its own bus
/// and channel, with a share or a loan of its partition.
struct OneWorker {
    explicit OneWorker(std::shared_ptr<PartitionShare> share,
                       std::shared_ptr<PartitionLoan> loan = nullptr) {
        InstanceParams params = test::network({4, 3}, 1);
        params.layer_connections.push_back(test::full_connection(0, 1, 0.6f));
        handle = start_worker(std::unique_ptr<WorkerStartBlock>(new WorkerStartBlock{
            std::move(params), 0, 1, 0, bus->add_reader(), results.make_sender(), report,
            WorkerTestHooks{}, false, std::move(loan), std::move(share)}));
    }

    /// Closes the bus, so that the worker ends, and joins it.
    void stop() {
        bus.reset();
        join_worker(handle);
    }

    std::optional<CommandBusSender> bus{std::in_place};
    ResultReceiver results;
    std::shared_ptr<BuildReport> report = std::make_shared<BuildReport>();
    pthread_t handle{};
};

TickCommand command_for(std::uint64_t t) {
    TickCommand command;
    command.t = t;
    command.forced_nids = {0, 1, 2, 3};
    return command;
}

// The worker publishes its partition before it reports the build, and then
// answers only the ticks whose claim it wins: a tick claimed by the calling
// thread has no answer from the worker.
TEST(Worker, AnswersOnlyTheTicksItClaims) {
    auto share = std::make_shared<PartitionShare>();
    OneWorker worker(share);
    ASSERT_FALSE(worker.report->wait(1).has_value());
    Partition* const partition = share->partition.load();
    ASSERT_NE(partition, nullptr);

    ASSERT_TRUE(share->claim(0));  // as the calling thread would
    TickCommand command = command_for(0);
    worker.bus->send(command);
    command = command_for(1);
    worker.bus->send(command);
    PartitionTickResult answer;
    ASSERT_TRUE(worker.results.receive(answer));
    EXPECT_EQ(share->ticks_claimed.load(), 2u);
    // Tick 1 ran on the worker: the forced input neurons spiked there.
    EXPECT_EQ(answer.spiking_nids, (std::vector<std::uint64_t>{0, 1, 2, 3}));

    worker.stop();
    // The worker has ended, so a second answer would be waiting now.
    EXPECT_FALSE(worker.results.receive(answer)) << "the worker answered a tick claimed here";
}

// A lent partition stays with its worker, which takes no commands, until the
// instance releases it; only then does the worker end.
TEST(Worker, KeepsALentPartitionUntilReleased) {
    auto loan = std::make_shared<PartitionLoan>();
    OneWorker worker(nullptr, loan);
    ASSERT_TRUE(eventually([&] { return loan->state.load() != PartitionLoan::kBuilding; }));
    ASSERT_EQ(loan->state.load(), PartitionLoan::kLent);
    ASSERT_NE(loan->partition, nullptr);
    ASSERT_FALSE(worker.report->wait(1).has_value());

    // The worker dropped its bus reader: a send does not wait for it.
    TickCommand command = command_for(0);
    worker.bus->send(command);
    worker.bus->send(command);
    EXPECT_EQ(worker.results.num_senders(), 1u) << "the lending worker ended while lent";

    loan->released.store(true, std::memory_order_seq_cst);
    loan->changed.notify_all();
    EXPECT_TRUE(eventually([&] { return worker.results.num_senders() == 0; }))
        << "a released lending worker did not end";
    worker.stop();
    PartitionTickResult answer;
    EXPECT_FALSE(worker.results.receive(answer)) << "the lending worker answered a command";
}

}  // namespace
}  // namespace synaptor
