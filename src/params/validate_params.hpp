// Checks the rules of a parameter document that the schema cannot express.
// Stops at the first violated rule and returns its message alone.
#pragma once

#include <cstdint>

#include "params/params.hpp"
#include "util/result.hpp"

namespace synaptor {

Status validate_params(const InstanceParams& params);

}  // namespace synaptor
