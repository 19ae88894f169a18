#include "instance/wait_point.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace synaptor {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit integer");

void WaitPoint::cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void WaitPoint::yield_cpu() { sched_yield(); }

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void WaitPoint::sleep(std::uint32_t key) {
    // Returns at once when the epoch moved on since `key` was read, so a
    // notification between reading the key and sleeping is never lost.
    // Interruptions and spurious returns are fine: the caller re-checks.
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&epoch_), FUTEX_WAIT_PRIVATE, key, nullptr,
            nullptr, 0);
}

void WaitPoint::wake_all() {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&epoch_), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
}

}  // namespace synaptor
