// Fork guard: tells whether the calling process is still the one in which an
// instance was created. A forked child inherits the instance's memory but
// not its worker threads, so it must neither send them commands nor join
// them. Any thread may use it.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace synaptor {

class ForkGuard {
public:
    /// Remembers the calling process as the owner.
    ForkGuard();

    /// True in the process that made this guard, false in a child forked from it.
    bool in_owner() const;

private:
    pid_t owner_pid_;
    std::uint64_t owner_forks_;
    bool counting_;  ///< whether forks are counted; otherwise the process id is compared
};

}  // namespace synaptor
