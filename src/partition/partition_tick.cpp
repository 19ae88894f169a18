#include "partition/partition_tick.hpp"

#include "partition/neuron_dynamics.hpp"
#include "partition/neuron_recording.hpp"
#include "partition/synaptic_transmission.hpp"

namespace synaptor {
namespace {

/// One layer's tick, in order: dopamine, propagation of the previous tick's
/// spikes, delivery of the events due now, forced spikes, threshold crossings.
/// The layer's spikes are appended to `spiking_nids` in the order they fire.
std::uint64_t run_layer_tick(PartitionLayer& layer, const TickCommand& command,
                             std::vector<std::uint64_t>& spiking_nids) {
    const std::uint64_t t = command.t;

    // Dopamine, before propagation, so weights changed now shape this
    // tick's events.
    if (layer.plasticity_modulator) {
        PlasticityModulator& modulator = *layer.plasticity_modulator;
        modulator.add_reward(command.reward);
        if (modulator.process_tick(t, layer.dopamine_flush)) {
            apply_dopamine_flush(layer, layer.dopamine_flush);
        }
    }

    // Propagation of the previous tick's spikes, in list order.
    if (t > 0) {
        propagate_spikes(layer, command.previous_spiking_nids, t - 1);
    }

    // Delivery of the batch due now, in batch order.
    const std::uint64_t delivered = deliver_due_events(layer, t);

    // Each firing looks up the neuron's inputs all over its window; those
    // of the neurons a few firings ahead are requested meanwhile (kAhead:
    // where they lie; kAhead / 2: the inputs). The pairings of all the
    // tick's firings follow in one stream, in firing order.
    constexpr std::size_t kAhead = 4;

    // Forced spikes in command order, regardless of threshold and
    // refractoriness; a nid listed twice fires twice.
    const std::vector<std::uint64_t>& forced = command.forced_nids;
    const auto prefetch_forced = [&](std::size_t j, bool first_step) {
        if (j < forced.size() && layer.contains(forced[j])) {
            prefetch_firing(layer, forced[j] - layer.first_nid, first_step);
        }
    };
    for (std::size_t j = 0; j < forced.size(); ++j) {
        prefetch_forced(j + kAhead, true);
        prefetch_forced(j + kAhead / 2, false);
        const std::uint64_t nid = forced[j];
        if (!layer.contains(nid)) continue;
        fire_neuron_deferred(layer, nid - layer.first_nid, t);
        spiking_nids.push_back(nid);
    }

    // Threshold crossings in the order the neurons first became
    // candidates. Repeated entries and neurons already fired fail the test,
    // because firing leaves voltage = reset_voltage below the threshold.
    const std::vector<std::uint64_t>& pending = layer.pending_neurons;
    const auto prefetch_pending = [&](std::size_t j, bool first_step) {
        if (j >= pending.size() || pending[j] >= layer.neurons.size()) return;
        const Neuron& neuron = layer.neurons[pending[j]];
        if (neuron.voltage >= neuron.threshold) prefetch_firing(layer, pending[j], first_step);
    };
    for (std::size_t j = 0; j < pending.size(); ++j) {
        prefetch_pending(j + kAhead, true);
        prefetch_pending(j + kAhead / 2, false);
        const std::uint64_t i = pending[j];
        const Neuron& neuron = layer.neurons[i];
        if (!(neuron.voltage >= neuron.threshold)) continue;
        fire_neuron_deferred(layer, i, t);
        spiking_nids.push_back(layer.first_nid + i);
    }
    layer.pending_neurons.clear();
    pair_fired(layer, t);
    return delivered;
}

SnapshotSegment snapshot_layer(PartitionLayer& layer, std::uint64_t t) {
    SnapshotSegment segment;
    segment.first_nid = layer.first_nid;
    segment.membrane_voltages.reserve(layer.neurons.size());
    for (const Neuron& neuron : layer.neurons) {
        segment.membrane_voltages.push_back(snapshot_voltage(neuron, t, layer.neuron_params));
    }
    // Groups in ascending pre-synaptic nid; a no-op once construction sorted them.
    sort_pre_syn_groups(layer);
    std::size_t num_synapses = 0;
    for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
        num_synapses += layer.pre_syn_groups.group_at(g).synapses.size();
    }
    segment.synapse_states.reserve(num_synapses);
    for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
        const std::uint64_t pre_syn_nid = layer.pre_syn_groups.key_at(g);
        for (const Synapse& synapse : layer.pre_syn_groups.group_at(g).synapses) {
            segment.synapse_states.push_back(
                SynapseState{pre_syn_nid, layer.first_nid + synapse.post_index, synapse.weight,
                             synapse.conduction_delay});
        }
    }
    return segment;
}

}  // namespace

PartitionTickResult run_partition_tick(Partition& partition, const TickCommand& command) {
    PartitionTickResult result;
    std::vector<std::uint64_t>& spikes = partition.spiking_nids_scratch;
    spikes.clear();
    for (PartitionLayer& layer : partition.layers) {
        result.synaptic_transmission_count += run_layer_tick(layer, command, spikes);
    }
    result.spiking_nids.assign(spikes.begin(), spikes.end());
    if (command.extract_state_snapshot) {
        std::vector<SnapshotSegment> segments;
        segments.reserve(partition.layers.size());
        for (PartitionLayer& layer : partition.layers) {
            segments.push_back(snapshot_layer(layer, command.t));
        }
        result.state_snapshot = std::move(segments);
    }
    if (command.recording) {
        result.recorded = sample_recorded_neurons(partition, *command.recording, command.t);
    }
    if (command.synapse_recording) {
        result.recorded_weights =
            copy_recorded_weights(partition, *command.synapse_recording, command.synapse_row);
    }
    return result;
}

}  // namespace synaptor
