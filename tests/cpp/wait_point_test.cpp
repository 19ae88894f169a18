#include "instance/wait_point.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "thread_test_support.hpp"

namespace synaptor {
namespace {

using test::eventually;
using test::ThreadGroup;

/// A policy that goes to sleep after `pause_spins` checks, without yielding.
SpinPolicy sleep_after(std::uint32_t pause_spins) { return SpinPolicy{pause_spins, 0}; }

/// One waiter on its own thread, waiting until `flag` is set. Everything it
/// touches is shared, so that a waiter that never wakes can be left behind
/// once the test has failed, without touching freed memory.
struct Waiter {
    struct State {
        WaitPoint point;
        std::atomic<bool> flag{false};
        std::atomic<std::uint32_t> checks{0};  ///< calls of the condition so far
        std::atomic<bool> returned{false};
    };

    explicit Waiter(SpinPolicy policy) : state(std::make_shared<State>()) {
        thread.start([s = state, policy] {
            s->point.wait_until(
                [&] {
                    s->checks.fetch_add(1, std::memory_order_seq_cst);
                    return s->flag.load(std::memory_order_seq_cst);
                },
                policy);
            s->returned.store(true, std::memory_order_seq_cst);
        });
    }

    /// Sets the flag as the notifier must (seq_cst store, then notify_all).
    void set_and_notify() {
        state->flag.store(true, std::memory_order_seq_cst);
        state->point.notify_all();
    }

    /// Joins once the waiter has returned; false for one that did not return
    /// in time, which is left behind instead of hanging the test.
    bool finish() {
        return thread.join_when([&] { return state->returned.load(); });
    }

    std::shared_ptr<State> state;
    ThreadGroup thread;
};

TEST(WaitPoint, ReturnsAtOnceWhenTheConditionHolds) {
    WaitPoint point;
    std::uint32_t checks = 0;
    point.wait_until(
        [&] {
            ++checks;
            return true;
        },
        sleep_after(0));
    EXPECT_EQ(checks, 1u);
}

// The notifier may change the condition after any of the waiter's checks:
// while it spins, just before it counts itself as a sleeper, or between its
// last check and the futex wait. Every one of these must end the wait, the
// last one without a lost wake-up. A waiter with three pause spins checks
// once, three times while spinning, then once as a sleeper before sleeping.
TEST(WaitPoint, WakesWhicheverCheckTheConditionChangesAfter) {
    constexpr std::uint32_t kChecksBeforeSleep = 5;
    for (int round = 0; round < 40; ++round) {
        for (std::uint32_t after = 1; after <= kChecksBeforeSleep; ++after) {
            Waiter waiter(sleep_after(3));
            ASSERT_TRUE(eventually([&] { return waiter.state->checks.load() >= after; }));
            waiter.set_and_notify();
            ASSERT_TRUE(waiter.finish())
                << "condition changed after " << after << " checks: the waiter did not return";
        }
    }
}

// The narrowest window: the waiter has counted itself as a sleeper and read
// the epoch, checked the condition and found it false, and is about to sleep
// when the notifier changes it. Repeated, so that the notification lands
// both before and after the futex wait starts.
TEST(WaitPoint, NoWakeUpIsLostBetweenTheLastCheckAndTheSleep) {
    for (int round = 0; round < 300; ++round) {
        Waiter waiter(sleep_after(0));
        ASSERT_TRUE(eventually([&] { return waiter.state->checks.load() >= 2; }));
        waiter.set_and_notify();
        ASSERT_TRUE(waiter.finish())
            << "notified right after the sleeper's check: the waiter did not return";
    }
}

TEST(WaitPoint, OneNotificationWakesEverySleeper) {
    constexpr int kWaiters = 6;
    auto point = std::make_shared<WaitPoint>();
    auto flag = std::make_shared<std::atomic<bool>>(false);
    auto checks = std::make_shared<std::vector<std::atomic<std::uint32_t>>>(kWaiters);
    auto returned = std::make_shared<std::atomic<int>>(0);
    ThreadGroup threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.start([=] {
            point->wait_until(
                [&] {
                    (*checks)[static_cast<std::size_t>(i)].fetch_add(1);
                    return flag->load(std::memory_order_seq_cst);
                },
                sleep_after(0));
            returned->fetch_add(1);
        });
    }
    // Each waiter has checked as a sleeper: it is asleep or about to be.
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_TRUE(eventually([&] { return (*checks)[static_cast<std::size_t>(i)].load() >= 2; }));
    }
    flag->store(true, std::memory_order_seq_cst);
    point->notify_all();
    EXPECT_TRUE(threads.join_when([&] { return returned->load() == kWaiters; }))
        << returned->load() << " of " << kWaiters << " waiters woke";
}

// A notification whose condition is still false (another waiter's, or a
// spurious return of the futex) sends the waiter back to sleep.
TEST(WaitPoint, AWakeUpWithTheConditionFalseSleepsAgain) {
    Waiter waiter(sleep_after(0));
    ASSERT_TRUE(eventually([&] { return waiter.state->checks.load() >= 2; }));
    // Notify until the waiter has woken, re-checked and counted itself as a
    // sleeper again (two more checks); it must not have returned.
    ASSERT_TRUE(eventually([&] {
        waiter.state->point.notify_all();
        return waiter.state->checks.load() >= 4;
    }));
    EXPECT_FALSE(waiter.state->returned.load());
    waiter.set_and_notify();
    ASSERT_TRUE(waiter.finish())
        << "notified after a wake-up with the condition false: the waiter did not return";
}

// While spinning or yielding the waiter sees the condition change by itself;
// neither phase may depend on a notification. The bounds are far beyond the
// hang limit, so the waiter is still awake when the flag is set.
TEST(WaitPoint, AwakeWaitersNeedNoNotification) {
    for (const SpinPolicy policy : {SpinPolicy{std::numeric_limits<std::uint32_t>::max(), 0},
                                    SpinPolicy{0, std::numeric_limits<std::uint64_t>::max() / 4}}) {
        Waiter waiter(policy);
        ASSERT_TRUE(eventually([&] { return waiter.state->checks.load() >= 2; }));
        waiter.state->flag.store(true, std::memory_order_seq_cst);
        ASSERT_TRUE(waiter.finish()) << "an awake waiter: the waiter did not return";
    }
}

TEST(StretchedPolicy, StaysAwakeAboutAsLongAsTheWorkUpToTheBound) {
    const SpinPolicy base{100, 100'000};
    EXPECT_EQ(stretched_policy(base, 0).awake_ns, 100'000u);
    EXPECT_EQ(stretched_policy(base, 99'999).awake_ns, 100'000u);
    EXPECT_EQ(stretched_policy(base, 750'000).awake_ns, 750'000u);
    EXPECT_EQ(stretched_policy(base, kMaxStretchedAwakeNs).awake_ns, kMaxStretchedAwakeNs);
    EXPECT_EQ(stretched_policy(base, kMaxStretchedAwakeNs + 1).awake_ns, kMaxStretchedAwakeNs);
    EXPECT_EQ(stretched_policy(base, std::numeric_limits<std::uint64_t>::max()).awake_ns,
              kMaxStretchedAwakeNs);
    EXPECT_EQ(stretched_policy(base, 750'000).pause_spins, 100u);
}

TEST(StretchedPolicy, KeepsALongerOwnBoundAndAnImmediateSleep) {
    const SpinPolicy long_awake{0, 5 * kMaxStretchedAwakeNs};
    EXPECT_EQ(stretched_policy(long_awake, 1'000'000).awake_ns, 5 * kMaxStretchedAwakeNs);
    const SpinPolicy sleeps_at_once{7, 0};
    EXPECT_EQ(stretched_policy(sleeps_at_once, 1'000'000).awake_ns, 0u);
    EXPECT_EQ(stretched_policy(sleeps_at_once, 1'000'000).pause_spins, 7u);
}

}  // namespace
}  // namespace synaptor
