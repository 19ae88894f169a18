#include "instance/snapshot_assembly.hpp"

#include <algorithm>
#include <cstddef>

namespace synaptor {

StateSnapshot assemble_snapshot(std::vector<const SnapshotSegment*>& segments) {
    std::stable_sort(segments.begin(), segments.end(),
                     [](const SnapshotSegment* a, const SnapshotSegment* b) {
                         return a->first_nid < b->first_nid;
                     });
    StateSnapshot snapshot;
    std::size_t num_voltages = 0;
    std::size_t num_synapses = 0;
    for (const SnapshotSegment* segment : segments) {
        num_voltages += segment->membrane_voltages.size();
        num_synapses += segment->synapse_states.size();
    }
    snapshot.membrane_voltages.reserve(num_voltages);
    snapshot.pre_syn_nids.reserve(num_synapses);
    snapshot.post_syn_nids.reserve(num_synapses);
    snapshot.conduction_delays.reserve(num_synapses);
    snapshot.weights.reserve(num_synapses);
    for (const SnapshotSegment* segment : segments) {
        snapshot.membrane_voltages.insert(snapshot.membrane_voltages.end(),
                                          segment->membrane_voltages.begin(),
                                          segment->membrane_voltages.end());
        for (const SynapseState& synapse : segment->synapse_states) {
            snapshot.pre_syn_nids.push_back(synapse.pre_syn_nid);
            snapshot.post_syn_nids.push_back(synapse.post_syn_nid);
            snapshot.conduction_delays.push_back(synapse.conduction_delay);
            snapshot.weights.push_back(synapse.weight);
        }
    }
    segments.clear();
    return snapshot;
}

}  // namespace synaptor
