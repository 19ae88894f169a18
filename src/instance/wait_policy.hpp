// The choice of how long the threads of an instance stay awake while they
// wait for one another, from the number of threads that tick and the CPUs the
// process may use. A pure function of those two counts (the convenience
// overload reads the CPU count); called on the creating thread.
#pragma once

#include <cstdint>

#include "instance/wait_point.hpp"

namespace synaptor {

/// How long the threads of an instance stay awake while they wait.
struct WaitPolicies {
    SpinPolicy workers;  ///< workers waiting for a command
    SpinPolicy caller;   ///< the calling thread waiting for results
};

/// The policies for `num_ticking_threads` threads that tick (the workers, plus
/// the calling thread unless it runs partition 0 itself) on `cpus` CPUs.
WaitPolicies wait_policies_for(std::uint64_t num_ticking_threads, std::uint64_t cpus);

/// The same on the CPUs available to this process.
WaitPolicies wait_policies_for(std::uint64_t num_ticking_threads);

}  // namespace synaptor
