// Bounded waits for the tests of thread hand-offs: a test that waits for
// another thread gives up after a generous limit and fails with a message
// instead of hanging the whole test binary. The limit is a hang guard, not a
// timing assertion: every wait it guards ends within microseconds when the
// code under test is right. Used on the test's own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace synaptor::test {

/// Long enough for any scheduler, sanitizer or loaded machine.
inline constexpr std::chrono::seconds kHangLimit{60};

/// Yields until `done()` is true; false when kHangLimit passed first.
template <class Done>
bool eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

/// Like `eventually`, but checks in a tight loop and yields only now and
/// then: two threads released together stay close enough together to race.
template <class Done>
bool spin_until(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    for (std::uint32_t spins = 1;; ++spins) {
        if (done()) return true;
        if (spins % 1024 == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::yield();
        }
    }
}

}  // namespace synaptor::test
