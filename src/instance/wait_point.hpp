// WaitPoint: where a thread waits for a condition that another thread makes
// true. The waiter spins briefly, then yields its CPU for a bounded time, then
// sleeps on a futex; the notifier issues a wake system call only when someone
// sleeps. Ticks are short, so most waits end while spinning; an idle instance
// sleeps instead of burning CPU. Shared by the command bus and the result
// channel; any thread may wait or notify.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace synaptor {

/// How long a waiter stays awake before it sleeps.
struct SpinPolicy {
    std::uint32_t pause_spins = 256;  ///< busy checks with a CPU pause in between
    /// Then checks with sched_yield in between, up to this long in all; a
    /// yielding waiter lets the thread it waits for run on its CPU.
    std::uint64_t awake_ns = 100'000;
};

/// Longest a waiter stays awake because the work it waits on is long.
inline constexpr std::uint64_t kMaxStretchedAwakeNs = 2'000'000;

/// `policy` for a wait on the other side of work that took about `work_ns`
/// the last time (a partition's tick): awake for up to that long, so that a
/// thread waiting out the difference between two partitions' ticks is still
/// awake when the other one ends, instead of paying a sleep and a wake-up
/// nearly every tick. Never shorter than `policy`, never longer than
/// kMaxStretchedAwakeNs unless `policy` is; a policy that sleeps at once
/// (awake_ns 0) stays so.
inline SpinPolicy stretched_policy(SpinPolicy policy, std::uint64_t work_ns) {
    if (policy.awake_ns != 0) {
        policy.awake_ns = std::max(policy.awake_ns, std::min(work_ns, kMaxStretchedAwakeNs));
    }
    return policy;
}

/// Nanoseconds of the monotonic clock.
std::uint64_t monotonic_ns();

class WaitPoint {
public:
    /// Returns once `ready()` is true. `ready` must read the state it checks
    /// with sequentially consistent loads, and the notifier must change that
    /// state with sequentially consistent stores before calling notify_all:
    /// together with the sleeper count this guarantees no wake-up is missed.
    template <class Ready>
    void wait_until(Ready ready, const SpinPolicy& policy = SpinPolicy{}) {
        if (ready()) return;
        for (std::uint32_t i = 0; i < policy.pause_spins; ++i) {
            cpu_pause();
            if (ready()) return;
        }
        if (policy.awake_ns != 0) {
            const std::uint64_t deadline = monotonic_ns() + policy.awake_ns;
            do {
                yield_cpu();
                if (ready()) return;
            } while (monotonic_ns() < deadline);
        }
        while (true) {
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            const std::uint32_t key = epoch_.load(std::memory_order_seq_cst);
            if (ready()) {
                sleepers_.fetch_sub(1, std::memory_order_seq_cst);
                return;
            }
            sleep(key);
            sleepers_.fetch_sub(1, std::memory_order_seq_cst);
            if (ready()) return;
        }
    }

    /// Wakes every sleeping waiter; costs no system call when nobody sleeps.
    void notify_all() {
        if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        wake_all();
    }

private:
    static void cpu_pause();
    static void yield_cpu();
    void sleep(std::uint32_t key);
    void wake_all();

    std::atomic<std::uint32_t> epoch_{0};
    std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace synaptor
