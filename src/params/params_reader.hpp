// The two readers of a parameter document. Pure functions of their input:
// they return a complete InstanceParams or the error message, nothing else.
#pragma once

#include <string_view>

#include "params/params.hpp"
#include "util/result.hpp"

namespace synaptor {

Result<InstanceParams> params_from_yaml(std::string_view text);
Result<InstanceParams> params_from_json(std::string_view text);

}  // namespace synaptor
