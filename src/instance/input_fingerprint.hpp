// The fingerprint of a tick's input: what the caller put into tick t, hashed,
// so that processes holding parts of one network can check in their exchange
// that they were given the same input. A pure function, called by the
// instance's calling thread. Compared between processes of one run, so every
// build must compute the same value.
#pragma once

#include <cstdint>

#include "instance/instance_core.hpp"

namespace synaptor {

/// Hash of `t` and every field of `input` but stop_requested (which processes
/// may differ on: it is combined in the exchange instead).
std::uint64_t input_fingerprint(std::uint64_t t, const TickInput& input);

}  // namespace synaptor
