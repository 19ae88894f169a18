// The single mapping from positioned value events onto the parameter records.
// Both readers hand it their events, so field matching, duplicates, missing
// fields, number conversion and the messages are the same for YAML and JSON;
// only the written form of variants, the JSON array form and the YAML error
// path differ by format. Runs on the calling thread, holds no state between calls.
#pragma once

#include <cstdint>

#include "params/params.hpp"
#include "params/value_event.hpp"
#include "util/result.hpp"

namespace synaptor {

enum class DocumentFormat : std::uint8_t { Yaml, Json };

/// Alias expansions may replay at most this many events in total; beyond it a
/// document is rejected (a few nested aliases can otherwise expand exponentially).
inline constexpr std::uint64_t kMaxReplayedEvents = std::uint64_t{1} << 22;

/// Maps the single root node of `list` (events from index 0) onto an InstanceParams.
Result<InstanceParams> map_instance_params(const ValueEventList& list, DocumentFormat format);

}  // namespace synaptor
