#include "instance/fork_guard.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace synaptor {

namespace {

// The number of forks this process descends through, counted by a handler
// the C library runs in every child. The count is process-wide by nature:
// a fork copies the whole process. Reading it costs a load, where asking
// for the process id would cost a system call per tick.
std::atomic<std::uint64_t> fork_count{0};

void count_fork_in_child() { fork_count.fetch_add(1, std::memory_order_relaxed); }

bool forks_counted() {
    static const bool registered = pthread_atfork(nullptr, nullptr, &count_fork_in_child) == 0;
    return registered;
}

}  // namespace

ForkGuard::ForkGuard()
    : owner_pid_(getpid()),
      owner_forks_(fork_count.load(std::memory_order_relaxed)),
      counting_(forks_counted()) {}

bool ForkGuard::in_owner() const {
    if (counting_) return fork_count.load(std::memory_order_relaxed) == owner_forks_;
    return getpid() == owner_pid_;
}

}  // namespace synaptor
