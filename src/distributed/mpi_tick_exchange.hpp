// The per-tick exchange between the processes that hold one network: every
// process's partitions tick, then two collectives give every process the same
// decision and the same spikes.
//
// 1. MPI_Allgather of a fixed header per process (spike and transmission
//    counts, status with the stop flag, input fingerprint, failure text
//    length, snapshot size). From the same headers every process decides
//    alike: a failure anywhere -> the texts are gathered and every process
//    fails with the first failed rank's; differing fingerprints -> the
//    divergence failure; all rejected -> the usual error, nothing ran.
// 2. MPI_Allgatherv of the spike ids (skipped when nobody spiked); each
//    process merges the sorted runs of the ranks into one ascending list.
// 3. On a tick that samples the recording, MPI_Allgatherv of every process's
//    recorded runs and values, so that each holds the whole sample (room for
//    it was agreed on before the tick with one MPI_Allreduce); on a tick that
//    samples synapse weights, one MPI_Allgatherv of every process's share.
//
// Snapshots are sent to rank 0 point to point in chunks; only it returns one.
// Nothing in floating point is combined across processes: only ids, integer
// counts and the snapshot's bytes travel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "distributed/mpi_communicator.hpp"
#include "instance/tick_exchange.hpp"

namespace synaptor {

class MpiTickExchange : public TickExchange {
public:
    explicit MpiTickExchange(std::shared_ptr<MpiCommunicator> communicator);

    void exchange(const LocalTick& local, std::vector<std::uint64_t>& spiking_nids,
                  GlobalTick& global) override;

    bool prepare_recording(std::uint64_t t, bool room, std::size_t max_runs, std::size_t max_values,
                           std::size_t max_weights) override;
    std::vector<std::uint64_t> gather_words(const std::vector<std::uint64_t>& words) override;
    void gather_bytes_to_first(const void* mine, void* all,
                               const std::vector<std::uint64_t>& sizes) override;
    void gather_items(const void* mine, std::size_t item_size, void* all,
                      const std::vector<std::uint64_t>& counts) override;

    std::uint64_t rank() const override;
    std::uint64_t num_ranks() const override;

    /// The longest failure text sent to the other processes.
    static constexpr std::size_t kMaxFailureText = 4096;
    /// The largest message of a snapshot transfer (MPI counts are int).
    static constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

private:
    void gather_failure(const LocalTick& local, std::uint64_t failed_rank, GlobalTick& global);
    void gather_spikes(std::uint64_t t, std::vector<std::uint64_t>& spiking_nids,
                       GlobalTick& global);
    void gather_snapshot(const LocalTick& local, GlobalTick& global);
    void gather_recorded(std::uint64_t t, GlobalTick& global);
    void gather_weights(const LocalTick& local, GlobalTick& global);

    std::shared_ptr<MpiCommunicator> communicator_;
    std::vector<std::uint64_t> headers_;
    std::vector<std::uint64_t> send_spikes_;
    std::vector<std::uint64_t> received_spikes_;
    std::vector<int> counts_;
    std::vector<int> displacements_;
    std::vector<int> run_counts_;
    std::vector<int> run_displacements_;
    std::vector<std::uint8_t> snapshot_bytes_;
    std::vector<std::uint64_t> send_runs_;  ///< first entry and count of each run
    std::vector<float> send_values_;
    RecordedValues recorded_;              ///< every process's sample of the last sampled tick
    std::vector<float> recorded_weights_;  ///< every process's weights of the last sampled tick
};

/// A process's snapshot segments as bytes, and back. Each segment: first nid,
/// voltage count, synapse count (u64 each), then the voltages (f32 bits), the
/// pre nids, the post nids (u64), the weights (f32 bits) and the delays (u8).
std::vector<std::uint8_t> encode_segments(const std::vector<const SnapshotSegment*>& segments);
/// Appends the decoded segments; panics on bytes that do not decode exactly.
void decode_segments(const std::uint8_t* bytes, std::size_t size,
                     std::vector<SnapshotSegment>& out);

}  // namespace synaptor
