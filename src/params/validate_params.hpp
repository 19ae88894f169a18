// Checks the rules of a parameter document that the schema cannot express.
// Stops at the first violated rule and returns its message alone.
#pragma once

#include <cstdint>

#include "params/params.hpp"
#include "util/result.hpp"

namespace synaptor {

Status validate_params(const InstanceParams& params);

/// CPUs available to this process: the control-group quota (computed once per
/// process, thread-safe) capped by the affinity mask, else the affinity mask or
/// the online processor count, at least 1.
std::uint64_t available_cpu_count();

}  // namespace synaptor
