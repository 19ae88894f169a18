// Assembly of a whole-network state snapshot from the partitions' segments,
// which arrive in any order (from the workers, the calling thread and, spread
// over processes, the other processes). Runs on the instance's calling thread
// once every segment of the tick has arrived; owns nothing.
#pragma once

#include <vector>

#include "instance/instance_core.hpp"
#include "partition/tick_messages.hpp"

namespace synaptor {

/// Voltages and synapses of all `segments`, each voltage at its nid: the
/// segments are sorted by first nid (stable, so equal first nids keep their
/// order) and concatenated. Clears `segments`, keeping its storage.
StateSnapshot assemble_snapshot(std::vector<const SnapshotSegment*>& segments);

}  // namespace synaptor
