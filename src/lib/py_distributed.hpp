// What the Instance class needs from the companion module for networks spread
// over several processes; compiled into that module only. Python thread only.
#pragma once

#include <cstdint>

#include "instance/instance.hpp"
#include "instance/tick_exchange.hpp"
#include "lib/py_ref.hpp"

namespace synaptor {

/// After a batch that this process did not interrupt: when it ended before
/// `t_end` because another process was interrupted, raises KeyboardInterrupt
/// here too, so that every process's script stays at the same tick.
bool stopped_by_peer(const Instance& instance, std::uint64_t t_end);

}  // namespace synaptor
