// A partition's input and output for one tick: the TickCommand that every
// partition receives and the PartitionTickResult each one returns. Plain
// values, moved or copied whole across the thread boundary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace synaptor {

struct Partition;
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
    /// The answer to a park: the worker's partition, which it leaves alone
    /// until the park is released, and its index.
    Partition* parked = nullptr;
    std::uint64_t partition_index = 0;
};

}  // namespace synaptor
