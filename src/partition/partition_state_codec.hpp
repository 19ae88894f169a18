// The partitions' share of a state file: per layer its neurons with their
// recent inputs, its dopamine modulation and eligibility traces, its
// pre-synaptic groups with their synapses, and its events in flight, each
// named canonically (see layer_view.hpp) so that the bytes do not depend on
// the partitioning. Run by the thread that holds every partition for a save
// or a restore. The layout is described in docs/checkpoint.md.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "partition/layer_view.hpp"
#include "partition/partition.hpp"
#include "partition/stp_state.hpp"
#include "util/buffered_file.hpp"
#include "util/byte_writer.hpp"

namespace synaptor {

/// Writes the state of every layer as of tick t, after a summary of the
/// layers' sizes.
void write_partition_state(ByteWriter& out, const std::vector<Partition*>& partitions,
                           std::uint64_t t);

/// Reads what write_partition_state wrote at tick t and checks every count
/// and name against the partitions, which it leaves as they are.
void check_partition_state(FileReader& in, const std::vector<Partition*>& partitions,
                           std::uint64_t t);

/// Reads the same again and sets the partitions' state from it. Only a
/// content check_partition_state accepted may be applied.
void apply_partition_state(FileReader& in, const std::vector<Partition*>& partitions,
                           std::uint64_t t);

// The same for a network spread over processes, over views of every layer
// (one per layer, in order) that hold this process's parts.

/// The summary of the layers' sizes that opens the partitions' share.
void write_layer_summary(ByteWriter& out, const std::vector<LayerView>& views);

/// This process's piece of one layer at tick t, to be merged with the other
/// processes' (partition_state_pieces.cpp).
void write_layer_piece(ByteWriter& out, const LayerView& view, std::uint64_t t);

/// Writes one layer as write_partition_state does, from the pieces of every
/// process in rank order; process r must hold lower runs of neurons than
/// process r + 1.
void merge_layer_pieces(ByteWriter& out, const LayerView& view,
                        const std::vector<std::span<const unsigned char>>& pieces);

/// Checks the whole content against the network and applies (Apply) only
/// what falls to the parts held here: every process reads the same file.
/// What the parts held elsewhere must match is checked by their process.
void check_partition_state(FileReader& in, const std::vector<LayerView>& views, std::uint64_t t);
void apply_partition_state(FileReader& in, const std::vector<LayerView>& views, std::uint64_t t);

namespace state_format {

/// How a group's short-term plasticity is written.
enum class StpCode : std::uint8_t { None = 0, Depression = 1, Facilitation = 2 };

inline StpCode stp_code(const StpState& state) {
    switch (state.kind()) {
        case StpParams::Kind::Depression:
            return StpCode::Depression;
        case StpParams::Kind::Facilitation:
            return StpCode::Facilitation;
        case StpParams::Kind::NoStp:
            break;
    }
    return StpCode::None;
}

/// Synapse encodings of a group: the weight alone while no synapse of the
/// group has short-term STDP state, else every field.
enum class SynapseEncoding : std::uint8_t { WeightOnly = 0, Full = 1 };
inline constexpr std::uint64_t kWeightOnlySynapseBytes = 4;
inline constexpr std::uint64_t kFullSynapseBytes = 16;

// The least bytes of each record, by which counts are checked against the
// content left before anything is allocated for them.
inline constexpr std::uint64_t kNeuronBytes = 8 + 9 + 4 + 4 + 1;
inline constexpr std::uint64_t kRecentInputBytes = 3;
inline constexpr std::uint64_t kSampleBytes = 12;
inline constexpr std::uint64_t kTraceBytes = 4 + 4;
inline constexpr std::uint64_t kGroupBytes = 8 + 9 + 9 + 1 + 8 + 4 + 8 + 1;
inline constexpr std::uint64_t kEventBytes = 4 + 4;
inline constexpr std::uint64_t kLayerSummaryBytes = 16;

std::uint64_t count_neurons(const std::vector<Partition*>& partitions, std::size_t l);
std::uint64_t count_synapses(const std::vector<Partition*>& partitions, std::size_t l);

}  // namespace state_format
}  // namespace synaptor
