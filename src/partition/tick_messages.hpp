// A partition's input and output for one tick: the TickCommand that every
// partition receives and the PartitionTickResult each one returns. Plain
// values, moved or copied whole across the thread boundary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace synaptor {

/// A state variable of a neuron that can be recorded while ticking.
enum class RecordedVariable : std::uint8_t {
    Voltage,     ///< the membrane voltage a state snapshot reports
    Threshold,   ///< the firing threshold, decayed to the tick like the voltage
    Spike,       ///< 1.0 when the neuron spiked in the tick, else 0.0
    Refractory,  ///< 1.0 while inputs leave the membrane untouched, else 0.0
};

/// What the partitions sample on a recorded tick: the recorded neurons in
/// ascending nid order, distinct, and the variables in the caller's order.
/// Built once per recording and shared, read only, by every partition.
struct RecordingPlan {
    std::vector<std::uint64_t> nids;
    std::vector<RecordedVariable> variables;
};

/// The entries [first_entry, first_entry + num_entries) of a plan's nids that
/// one layer run of a partition holds.
struct RecordedRun {
    std::uint64_t first_entry = 0;
    std::uint64_t num_entries = 0;
};

/// One partition's sample of a recorded tick: its runs of the plan, and for
/// each of their entries in order the value of every planned variable.
struct RecordedValues {
    std::vector<RecordedRun> runs;
    std::vector<float> values;
};

struct Partition;

/// One partition's share of a recording of synapse weights: where its
/// recorded weights lie in its own synapse storage (which never moves once
/// built) and the column of each in a sample's row.
struct SynapseRecordingPart {
    const Partition* partition = nullptr;
    std::vector<const float*> weights;
    std::vector<std::uint64_t> columns;
};

/// What the partitions copy on a tick whose synapse weights are recorded:
/// the parts that hold recorded synapses, each column in exactly one part.
/// Built once per recording and shared, read only, by every partition.
struct SynapseRecordingPlan {
    std::vector<SynapseRecordingPart> parts;
};

/// Defined where workers are run: see PartitionPark in instance/worker.hpp.
struct PartitionPark;

struct TickCommand {
    std::uint64_t t = 0;
    /// Input-channel spikes, then forced neurons, then forced output channels
    /// as nids; duplicates kept.
    std::vector<std::uint64_t> forced_nids;
    /// Every nid of the network that spiked in the previous tick, ascending.
    std::vector<std::uint64_t> previous_spiking_nids;
    float reward = 0.0f;
    bool extract_state_snapshot = false;
    /// Set only on the ticks whose state is recorded.
    std::shared_ptr<const RecordingPlan> recording;
    /// Set only on the ticks whose synapse weights are recorded, with the
    /// row that their sample fills: each partition writes its own columns
    /// there before it sends its result, and reads nothing of it.
    std::shared_ptr<const SynapseRecordingPlan> synapse_recording;
    float* synapse_row = nullptr;
    /// When set, the command is no tick: the worker hands its partition to
    /// the sender and waits until the park is released.
    std::shared_ptr<PartitionPark> park;
};

struct SynapseState {
    std::uint64_t pre_syn_nid = 0;
    std::uint64_t post_syn_nid = 0;
    float weight = 0.0f;
    std::uint8_t conduction_delay = 0;
};

/// One layer's run of a partition: voltages in nid order and the synapses onto
/// the run.
struct SnapshotSegment {
    std::uint64_t first_nid = 0;
    std::vector<float> membrane_voltages;
    std::vector<SynapseState> synapse_states;
};

struct PartitionTickResult {
    std::vector<std::uint64_t> spiking_nids;
    /// Present exactly when the command asked for a snapshot.
    std::optional<std::vector<SnapshotSegment>> state_snapshot;
    std::uint64_t synaptic_transmission_count = 0;
    /// Present exactly when the command carried a recording plan.
    std::optional<RecordedValues> recorded;
    /// The weights this partition wrote into the command's synapse_row.
    std::uint64_t recorded_weights = 0;
    /// The answer to a park: the worker's partition, which it leaves alone
    /// until the park is released, and its index.
    Partition* parked = nullptr;
    std::uint64_t partition_index = 0;
};

}  // namespace synaptor
