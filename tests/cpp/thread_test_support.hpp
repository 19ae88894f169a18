// Bounded waits for the tests of thread hand-offs: a test that waits for
// another thread gives up after a generous limit and fails with a message
// instead of hanging the whole test binary. The limit is a hang guard, not a
// timing assertion: every wait it guards ends within microseconds when the
// code under test is right. Used on the test's own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

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

/// Threads that a test joins once they have finished, or leaves behind
/// (detached) when they have not within the hang limit or the test stopped
/// early, so that a failing test ends instead of hanging. Whatever the
/// threads use must be shared with them, not on the test's stack.
class ThreadGroup {
public:
    ThreadGroup() = default;
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    ~ThreadGroup() {
        for (std::thread& thread : threads_) thread.detach();
    }

    template <class Body>
    void start(Body body) {
        threads_.emplace_back(std::move(body));
    }

    /// Joins every thread once `done()`; false, leaving them behind, when
    /// that took longer than the hang limit.
    template <class Done>
    bool join_when(Done done) {
        const bool finished = eventually(done);
        for (std::thread& thread : threads_) {
            if (finished) {
                thread.join();
            } else {
                thread.detach();
            }
        }
        threads_.clear();
        return finished;
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace synaptor::test
