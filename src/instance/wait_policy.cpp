#include "instance/wait_policy.hpp"

#include "util/available_cpus.hpp"

namespace synaptor {

/// With a spare CPU beyond the ticking threads a busy spin catches the next
/// message without giving up the CPU; with just one CPU each, a spin measured
/// slower than yielding at once on a shared machine (two partitions of a tiny
/// network: 12.7 against 5.9 us per tick). With fewer CPUs some thread shares
/// its CPU with the very thread it waits for: the caller that has just
/// broadcast shares with a worker that has the tick to run, and that worker,
/// once it has answered, shares with the caller that has the answers to
/// merge. Any spin there only delays the other thread, so waiters yield at
/// once; a waiter that happens to have a CPU to itself loses little, since a
/// yield with nobody else to run returns straight away. Either way a waiter
/// sleeps after a bounded time, so an idle instance costs no CPU. A pause
/// costs tens of nanoseconds under virtualisation, so 100 of them cover a
/// small network's round trip of a microsecond or two.
WaitPolicies wait_policies_for(std::uint64_t num_ticking_threads, std::uint64_t cpus) {
    SpinPolicy policy;
    // A single ticking thread has nobody to wait for on another CPU.
    if (num_ticking_threads <= 1) cpus = 1;
    policy.pause_spins = num_ticking_threads < cpus ? 100 : 0;
    policy.awake_ns = 100'000;
    return WaitPolicies{policy, policy};
}

WaitPolicies wait_policies_for(std::uint64_t num_ticking_threads) {
    // The CPU count is read only when it can matter.
    return wait_policies_for(num_ticking_threads,
                             num_ticking_threads <= 1 ? 1 : available_cpu_count());
}

}  // namespace synaptor
