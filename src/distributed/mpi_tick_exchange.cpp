#include "distributed/mpi_tick_exchange.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "util/panic.hpp"

namespace synaptor {

namespace {

// The words of a process's header.
enum HeaderWord : std::size_t {
    kSpikeCount,
    kTransmissionCount,
    kStatus,  ///< LocalTickStatus, with kStopFlag
    kFingerprint,
    kFailureLength,
    kSnapshotSegments,
    kSnapshotBytes,
    kRecordedRuns,
    kRecordedValues,
    kRecordedWeights,
    kHeaderWords,
};

constexpr std::uint64_t kStopFlag = std::uint64_t{1} << 8;
/// The tick samples the recording: must be alike on every process.
constexpr std::uint64_t kSampledFlag = std::uint64_t{1} << 9;
/// The tick samples the synapse recording: must be alike on every process.
constexpr std::uint64_t kWeightsSampledFlag = std::uint64_t{1} << 10;
/// Learning is switched off on the process: must be alike on every process.
constexpr std::uint64_t kPlasticityOffFlag = std::uint64_t{1} << 11;

// Runs travel as pairs of 64-bit words straight into the gathered sample.
static_assert(sizeof(RecordedRun) == 2 * sizeof(std::uint64_t));
static_assert(std::is_trivially_copyable_v<RecordedRun>);
constexpr std::uint64_t kStatusMask = 0xff;

LocalTickStatus status_of(std::uint64_t word) {
    return static_cast<LocalTickStatus>(word & kStatusMask);
}

bool is_failure(LocalTickStatus status) {
    return status == LocalTickStatus::Failed || status == LocalTickStatus::FailedOutOfMemory;
}

template <class T>
void put(std::vector<std::uint8_t>& out, std::size_t& at, const T& value) {
    std::memcpy(out.data() + at, &value, sizeof(T));
    at += sizeof(T);
}

class ByteReader {
public:
    ByteReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    template <class T>
    T get() {
        T value;
        expect(sizeof(T) <= size_ - at_, "snapshot bytes end inside a segment");
        std::memcpy(&value, bytes_ + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    /// Checks that `count` values of `width` bytes remain.
    void need(std::uint64_t count, std::size_t width) const {
        expect(count <= (size_ - at_) / width, "snapshot bytes end inside a segment");
    }
    bool done() const { return at_ == size_; }

private:
    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t at_ = 0;
};

constexpr std::size_t kSynapseBytes = 8 + 8 + 4 + 1;

}  // namespace

std::vector<std::uint8_t> encode_segments(const std::vector<const SnapshotSegment*>& segments) {
    std::size_t size = 0;
    for (const SnapshotSegment* segment : segments) {
        size += 3 * 8 + 4 * segment->membrane_voltages.size() +
                kSynapseBytes * segment->synapse_states.size();
    }
    std::vector<std::uint8_t> out(size);
    std::size_t at = 0;
    for (const SnapshotSegment* segment : segments) {
        put<std::uint64_t>(out, at, segment->first_nid);
        put<std::uint64_t>(out, at, segment->membrane_voltages.size());
        put<std::uint64_t>(out, at, segment->synapse_states.size());
        for (float voltage : segment->membrane_voltages) put(out, at, voltage);
        for (const SynapseState& synapse : segment->synapse_states)
            put(out, at, synapse.pre_syn_nid);
        for (const SynapseState& synapse : segment->synapse_states) {
            put(out, at, synapse.post_syn_nid);
        }
        for (const SynapseState& synapse : segment->synapse_states) put(out, at, synapse.weight);
        for (const SynapseState& synapse : segment->synapse_states) {
            put(out, at, synapse.conduction_delay);
        }
    }
    return out;
}

void decode_segments(const std::uint8_t* bytes, std::size_t size,
                     std::vector<SnapshotSegment>& out) {
    ByteReader reader(bytes, size);
    while (!reader.done()) {
        SnapshotSegment& segment = out.emplace_back();
        segment.first_nid = reader.get<std::uint64_t>();
        const auto num_voltages = reader.get<std::uint64_t>();
        const auto num_synapses = reader.get<std::uint64_t>();
        reader.need(num_voltages, 4);
        segment.membrane_voltages.resize(num_voltages);
        for (float& voltage : segment.membrane_voltages) voltage = reader.get<float>();
        reader.need(num_synapses, kSynapseBytes);
        segment.synapse_states.resize(num_synapses);
        for (SynapseState& synapse : segment.synapse_states) {
            synapse.pre_syn_nid = reader.get<std::uint64_t>();
        }
        for (SynapseState& synapse : segment.synapse_states) {
            synapse.post_syn_nid = reader.get<std::uint64_t>();
        }
        for (SynapseState& synapse : segment.synapse_states) synapse.weight = reader.get<float>();
        for (SynapseState& synapse : segment.synapse_states) {
            synapse.conduction_delay = reader.get<std::uint8_t>();
        }
    }
}

MpiTickExchange::MpiTickExchange(std::shared_ptr<MpiCommunicator> communicator)
    : communicator_(std::move(communicator)) {
    const auto size = static_cast<std::size_t>(communicator_->size());
    headers_.resize(size * kHeaderWords);
    counts_.resize(size);
    displacements_.resize(size);
    run_counts_.resize(size);
    run_displacements_.resize(size);
}

std::uint64_t MpiTickExchange::rank() const {
    return static_cast<std::uint64_t>(communicator_->rank());
}

std::uint64_t MpiTickExchange::num_ranks() const {
    return static_cast<std::uint64_t>(communicator_->size());
}

void MpiTickExchange::exchange(const LocalTick& local, std::vector<std::uint64_t>& spiking_nids,
                               GlobalTick& global) {
    const std::string when = at_tick(local.t);
    LocalTickStatus status = local.status;
    std::string failure_text = local.failure_text;

    // The snapshot bytes are made before the header, so that a process
    // without memory for them says so there rather than leaving the others
    // waiting for a transfer.
    snapshot_bytes_.clear();
    if (status == LocalTickStatus::Ok && local.extract_state_snapshot &&
        communicator_->rank() != 0) {
        try {
            snapshot_bytes_ = encode_segments(local.segments);
        } catch (const std::bad_alloc&) {
            status = LocalTickStatus::FailedOutOfMemory;
            failure_text = "out of memory for the snapshot";
        }
    }
    // The same for the recorded sample: packed here, where a lack of memory
    // can still be told in the header.
    send_runs_.clear();
    send_values_.clear();
    if (status == LocalTickStatus::Ok && local.recording_sampled) {
        try {
            for (const RecordedValues* recorded : local.recorded) {
                for (const RecordedRun& run : recorded->runs) {
                    send_runs_.push_back(run.first_entry);
                    send_runs_.push_back(run.num_entries);
                }
                send_values_.insert(send_values_.end(), recorded->values.begin(),
                                    recorded->values.end());
            }
        } catch (const std::bad_alloc&) {
            status = LocalTickStatus::FailedOutOfMemory;
            failure_text = "out of memory for the recording";
        }
    }
    if (failure_text.size() > kMaxFailureText) failure_text.resize(kMaxFailureText);

    std::uint64_t header[kHeaderWords] = {};
    header[kSpikeCount] = status == LocalTickStatus::Ok ? spiking_nids.size() : 0;
    header[kTransmissionCount] = local.synaptic_transmission_count;
    header[kStatus] = static_cast<std::uint64_t>(status) | (local.stop_requested ? kStopFlag : 0) |
                      (local.recording_sampled ? kSampledFlag : 0) |
                      (local.weights_sampled ? kWeightsSampledFlag : 0) |
                      (local.plasticity_enabled ? 0 : kPlasticityOffFlag);
    header[kFingerprint] = local.input_fingerprint;
    header[kFailureLength] = is_failure(status) ? failure_text.size() : 0;
    header[kSnapshotSegments] = local.segments.size();
    header[kSnapshotBytes] = snapshot_bytes_.size();
    header[kRecordedRuns] = send_runs_.size() / 2;
    header[kRecordedValues] = send_values_.size();
    header[kRecordedWeights] = status == LocalTickStatus::Ok ? local.weights.size() : 0;
    MpiCommunicator::check(MPI_Allgather(header, kHeaderWords, MPI_UINT64_T, headers_.data(),
                                         kHeaderWords, MPI_UINT64_T, communicator_->comm()),
                           "MPI_Allgather", when);

    const std::uint64_t ranks = num_ranks();
    auto word = [&](std::uint64_t rank, HeaderWord w) { return headers_[rank * kHeaderWords + w]; };

    for (std::uint64_t r = 0; r < ranks; ++r) {
        if (is_failure(status_of(word(r, kStatus)))) {
            // Every process gathers the texts: the one of rank r is raised everywhere.
            LocalTick failed = local;
            failed.status = status;
            failed.failure_text = std::move(failure_text);
            gather_failure(failed, r, global);
            return;
        }
    }
    for (std::uint64_t r = 1; r < ranks; ++r) {
        // The switch named, since a rank that missed setting it is an easy
        // slip whose generic text would not point at it.
        if ((word(r, kStatus) & kPlasticityOffFlag) != (word(0, kStatus) & kPlasticityOffFlag)) {
            const auto state = [&](std::uint64_t rank) {
                return (word(rank, kStatus) & kPlasticityOffFlag) != 0 ? "False" : "True";
            };
            global.outcome = GlobalTick::Outcome::Failed;
            global.failure_text = "ranks disagree on plasticity_enabled at tick " +
                                  std::to_string(local.t) + " (rank 0: " + state(0) + ", rank " +
                                  std::to_string(r) + ": " + state(r) +
                                  "): every rank must set it alike";
            return;
        }
    }
    constexpr std::uint64_t kAlike = kStatusMask | kSampledFlag | kWeightsSampledFlag;
    for (std::uint64_t r = 1; r < ranks; ++r) {
        if (word(r, kFingerprint) != word(0, kFingerprint) ||
            (word(r, kStatus) & kAlike) != (word(0, kStatus) & kAlike)) {
            global.outcome = GlobalTick::Outcome::Failed;
            global.failure_text = "ranks disagree on the input of tick " + std::to_string(local.t) +
                                  " (rank 0 and rank " + std::to_string(r) +
                                  "): every rank must make the same calls with the same arguments";
            return;
        }
    }
    if (status_of(word(0, kStatus)) == LocalTickStatus::Rejected) {
        global.outcome = GlobalTick::Outcome::Rejected;
        return;
    }

    global.outcome = GlobalTick::Outcome::Ok;
    global.synaptic_transmission_count = 0;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        global.synaptic_transmission_count += word(r, kTransmissionCount);
        if ((word(r, kStatus) & kStopFlag) != 0) global.stop_requested = true;
    }
    gather_spikes(local.t, spiking_nids, global);
    if (global.outcome == GlobalTick::Outcome::Ok && local.recording_sampled) {
        gather_recorded(local.t, global);
    }
    if (global.outcome == GlobalTick::Outcome::Ok && local.weights_sampled) {
        gather_weights(local, global);
    }
    if (global.outcome == GlobalTick::Outcome::Ok && local.extract_state_snapshot) {
        gather_snapshot(local, global);
    }
}

void MpiTickExchange::gather_failure(const LocalTick& local, std::uint64_t failed_rank,
                                     GlobalTick& global) {
    const std::string when = at_tick(local.t);
    const std::uint64_t ranks = num_ranks();
    int total = 0;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        counts_[r] = static_cast<int>(headers_[r * kHeaderWords + kFailureLength]);
        displacements_[r] = total;
        total += counts_[r];
    }
    std::string texts(static_cast<std::size_t>(total), '\0');
    const std::string& mine = local.failure_text;
    const int my_count = counts_[static_cast<std::size_t>(communicator_->rank())];
    MpiCommunicator::check(
        MPI_Allgatherv(mine.data(), my_count, MPI_CHAR, texts.data(), counts_.data(),
                       displacements_.data(), MPI_CHAR, communicator_->comm()),
        "MPI_Allgatherv", when);
    global.outcome = GlobalTick::Outcome::Failed;
    global.failure_text = "rank " + std::to_string(failed_rank) + ": " +
                          texts.substr(static_cast<std::size_t>(displacements_[failed_rank]),
                                       static_cast<std::size_t>(counts_[failed_rank]));
    global.out_of_memory_here =
        failed_rank == rank() && local.status == LocalTickStatus::FailedOutOfMemory;
}

void MpiTickExchange::gather_spikes(std::uint64_t t, std::vector<std::uint64_t>& spiking_nids,
                                    GlobalTick& global) {
    const std::uint64_t ranks = num_ranks();
    std::uint64_t total = 0;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        const std::uint64_t count = headers_[r * kHeaderWords + kSpikeCount];
        if (count > static_cast<std::uint64_t>(INT_MAX) - total) {
            // Decided alike on every process from the same headers.
            global.outcome = GlobalTick::Outcome::Failed;
            global.failure_text = "more than " + std::to_string(INT_MAX) + " spikes in tick " +
                                  std::to_string(t) + ": too many for one exchange";
            return;
        }
        counts_[r] = static_cast<int>(count);
        displacements_[r] = static_cast<int>(total);
        total += count;
    }
    if (total == 0) {
        spiking_nids.clear();
        return;
    }
    send_spikes_.assign(spiking_nids.begin(), spiking_nids.end());
    received_spikes_.resize(total);
    MpiCommunicator::check(
        MPI_Allgatherv(send_spikes_.data(), static_cast<int>(send_spikes_.size()), MPI_UINT64_T,
                       received_spikes_.data(), counts_.data(), displacements_.data(), MPI_UINT64_T,
                       communicator_->comm()),
        "MPI_Allgatherv", at_tick(t));
    // Each rank's run is ascending; merging them in rank order gives the one
    // ascending list of the whole network.
    for (std::uint64_t r = 1; r < ranks; ++r) {
        const auto end = static_cast<std::ptrdiff_t>(displacements_[r]) + counts_[r];
        std::inplace_merge(received_spikes_.begin(), received_spikes_.begin() + displacements_[r],
                           received_spikes_.begin() + end);
    }
    spiking_nids.swap(received_spikes_);
}

bool MpiTickExchange::prepare_recording(std::uint64_t t, bool room, std::size_t max_runs,
                                        std::size_t max_values, std::size_t max_weights) {
    // Room for the largest sample any process can send or receive, so that
    // the exchange of a sampled tick allocates nothing.
    if (room) {
        try {
            send_runs_.reserve(2 * max_runs);
            send_values_.reserve(max_values);
            recorded_.runs.reserve(max_runs);
            recorded_.values.reserve(max_values);
            recorded_weights_.reserve(max_weights);
        } catch (const std::bad_alloc&) {
            room = false;
        } catch (const std::length_error&) {
            room = false;
        }
    }
    int mine = room ? 1 : 0;
    int everyone = 0;
    MpiCommunicator::check(
        MPI_Allreduce(&mine, &everyone, 1, MPI_INT, MPI_MIN, communicator_->comm()),
        "MPI_Allreduce", at_tick(t));
    return everyone == 1;
}

std::vector<std::uint64_t> MpiTickExchange::gather_words(const std::vector<std::uint64_t>& words) {
    std::vector<std::uint64_t> all(words.size() * num_ranks());
    MpiCommunicator::check(
        MPI_Allgather(words.data(), static_cast<int>(words.size()), MPI_UINT64_T, all.data(),
                      static_cast<int>(words.size()), MPI_UINT64_T, communicator_->comm()),
        "MPI_Allgather", "between ticks");
    return all;
}

void MpiTickExchange::gather_items(const void* mine, std::size_t item_size, void* all,
                                   const std::vector<std::uint64_t>& counts) {
    // One broadcast per process, straight into its place in `all`, in
    // messages of at most kMaxChunk bytes: a whole network's synapses exceed
    // the int counts of one collective.
    auto* out = static_cast<std::uint8_t*>(all);
    const int me = communicator_->rank();
    std::size_t at = 0;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        const std::size_t bytes = counts[r] * item_size;
        if (static_cast<int>(r) == me && bytes > 0) std::memcpy(out + at, mine, bytes);
        for (std::size_t sent = 0; sent < bytes; sent += kMaxChunk) {
            const std::size_t chunk = std::min(kMaxChunk, bytes - sent);
            MpiCommunicator::check(MPI_Bcast(out + at + sent, static_cast<int>(chunk), MPI_BYTE,
                                             static_cast<int>(r), communicator_->comm()),
                                   "MPI_Bcast", "between ticks");
        }
        at += bytes;
    }
}

void MpiTickExchange::gather_bytes_to_first(const void* mine, void* all,
                                            const std::vector<std::uint64_t>& sizes) {
    // Each process in turn sends to process 0 in messages of at most
    // kMaxChunk bytes; no process holds more than its own share but the first.
    constexpr int kGatherTag = 2;
    const int me = communicator_->rank();
    std::size_t at = 0;
    for (std::size_t r = 0; r < sizes.size(); ++r) {
        const std::size_t bytes = sizes[r];
        if (r == 0) {
            if (me == 0 && bytes > 0) std::memcpy(all, mine, bytes);
        } else if (me == 0 || static_cast<int>(r) == me) {
            for (std::size_t sent = 0; sent < bytes; sent += kMaxChunk) {
                const int chunk = static_cast<int>(std::min(kMaxChunk, bytes - sent));
                if (me == 0) {
                    MpiCommunicator::check(
                        MPI_Recv(static_cast<std::uint8_t*>(all) + at + sent, chunk, MPI_BYTE,
                                 static_cast<int>(r), kGatherTag, communicator_->comm(),
                                 MPI_STATUS_IGNORE),
                        "MPI_Recv", "between ticks");
                } else {
                    MpiCommunicator::check(
                        MPI_Send(static_cast<const std::uint8_t*>(mine) + sent, chunk, MPI_BYTE, 0,
                                 kGatherTag, communicator_->comm()),
                        "MPI_Send", "between ticks");
                }
            }
        }
        at += bytes;
    }
}

void MpiTickExchange::gather_recorded(std::uint64_t t, GlobalTick& global) {
    const std::uint64_t ranks = num_ranks();
    std::uint64_t total_runs = 0;
    std::uint64_t total_values = 0;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        const std::uint64_t runs = headers_[r * kHeaderWords + kRecordedRuns];
        const std::uint64_t values = headers_[r * kHeaderWords + kRecordedValues];
        if (runs > (static_cast<std::uint64_t>(INT_MAX) / 2) - total_runs ||
            values > static_cast<std::uint64_t>(INT_MAX) - total_values) {
            // Decided alike on every process from the same headers.
            global.outcome = GlobalTick::Outcome::Failed;
            global.failure_text = "more than " + std::to_string(INT_MAX) +
                                  " recorded values in tick " + std::to_string(t) +
                                  ": too many for one exchange";
            return;
        }
        run_counts_[r] = static_cast<int>(2 * runs);
        run_displacements_[r] = static_cast<int>(2 * total_runs);
        counts_[r] = static_cast<int>(values);
        displacements_[r] = static_cast<int>(total_values);
        total_runs += runs;
        total_values += values;
    }
    // Within the room prepare_recording made: no allocation here.
    recorded_.runs.resize(total_runs);
    recorded_.values.resize(total_values);
    const std::string when = at_tick(t);
    MpiCommunicator::check(
        MPI_Allgatherv(send_runs_.data(), static_cast<int>(send_runs_.size()), MPI_UINT64_T,
                       recorded_.runs.data(), run_counts_.data(), run_displacements_.data(),
                       MPI_UINT64_T, communicator_->comm()),
        "MPI_Allgatherv", when);
    MpiCommunicator::check(
        MPI_Allgatherv(send_values_.data(), static_cast<int>(send_values_.size()), MPI_FLOAT,
                       recorded_.values.data(), counts_.data(), displacements_.data(), MPI_FLOAT,
                       communicator_->comm()),
        "MPI_Allgatherv", when);
    global.recorded = &recorded_;
}

void MpiTickExchange::gather_weights(const LocalTick& local, GlobalTick& global) {
    const std::uint64_t ranks = num_ranks();
    std::uint64_t total = 0;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        const std::uint64_t count = headers_[r * kHeaderWords + kRecordedWeights];
        if (count > static_cast<std::uint64_t>(INT_MAX) - total) {
            // Decided alike on every process from the same headers.
            global.outcome = GlobalTick::Outcome::Failed;
            global.failure_text = "more than " + std::to_string(INT_MAX) +
                                  " recorded synapses in tick " + std::to_string(local.t) +
                                  ": too many for one exchange";
            return;
        }
        counts_[r] = static_cast<int>(count);
        displacements_[r] = static_cast<int>(total);
        total += count;
    }
    // Within the room prepare_recording made: no allocation here.
    recorded_weights_.resize(total);
    if (total > 0) {
        MpiCommunicator::check(
            MPI_Allgatherv(local.weights.data(), static_cast<int>(local.weights.size()), MPI_FLOAT,
                           recorded_weights_.data(), counts_.data(), displacements_.data(),
                           MPI_FLOAT, communicator_->comm()),
            "MPI_Allgatherv", at_tick(local.t));
    }
    global.recorded_weights = recorded_weights_;
}

void MpiTickExchange::gather_snapshot(const LocalTick& local, GlobalTick& global) {
    const std::string when = at_tick(local.t);
    const std::uint64_t ranks = num_ranks();
    MPI_Comm comm = communicator_->comm();
    const bool root = communicator_->rank() == 0;

    // Rank 0 makes room for every part first and tells the others whether it could.
    std::vector<std::vector<std::uint8_t>> parts;
    int room = 1;
    if (root) {
        try {
            parts.resize(ranks);
            for (std::uint64_t r = 1; r < ranks; ++r) {
                parts[r].resize(headers_[r * kHeaderWords + kSnapshotBytes]);
            }
        } catch (const std::bad_alloc&) {
            parts.clear();
            room = 0;
        }
    }
    MpiCommunicator::check(MPI_Bcast(&room, 1, MPI_INT, 0, comm), "MPI_Bcast", when);
    if (room == 0) {
        global.outcome = GlobalTick::Outcome::Failed;
        global.failure_text = "rank 0: out of memory for the snapshot";
        global.out_of_memory_here = root;
        return;
    }

    constexpr int kTag = 1;
    if (!root) {
        for (std::size_t at = 0; at < snapshot_bytes_.size(); at += kMaxChunk) {
            const std::size_t chunk = std::min(kMaxChunk, snapshot_bytes_.size() - at);
            MpiCommunicator::check(MPI_Send(snapshot_bytes_.data() + at, static_cast<int>(chunk),
                                            MPI_BYTE, 0, kTag, comm),
                                   "MPI_Send", when);
        }
        snapshot_bytes_.clear();
        snapshot_bytes_.shrink_to_fit();
        return;
    }
    for (std::uint64_t r = 1; r < ranks; ++r) {
        std::vector<std::uint8_t>& part = parts[r];
        for (std::size_t at = 0; at < part.size(); at += kMaxChunk) {
            const std::size_t chunk = std::min(kMaxChunk, part.size() - at);
            MpiCommunicator::check(MPI_Recv(part.data() + at, static_cast<int>(chunk), MPI_BYTE,
                                            static_cast<int>(r), kTag, comm, MPI_STATUS_IGNORE),
                                   "MPI_Recv", when);
        }
    }
    global.holds_snapshot = true;
    for (std::uint64_t r = 1; r < ranks; ++r) {
        decode_segments(parts[r].data(), parts[r].size(), global.remote_segments);
        parts[r] = {};
    }
}

}  // namespace synaptor
