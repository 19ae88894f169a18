// SynapseRecorder: the recording of chosen synapses' weights while the
// instance ticks. It decides which ticks are sampled, hands the partitions the
// plan (resolved once, when the recording starts, into the place of each
// weight in its partition) and the row their sample fills, and keeps the rows
// until taken. Owned by InstanceCore and used on its calling thread only; the
// partitions see the shared, read-only plan and write only their own columns
// of the row of the tick in flight. Spread over several processes, the
// partitions fill this process's share of the sample instead, and the row is
// put together from every process's share after the exchange.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "partition/tick_messages.hpp"

namespace synaptor {

/// Samples of a synapse recording. Sample i was taken at the end of tick
/// ts[i]; the weights form a row-major ts.size() x indices.size() matrix
/// whose column j belongs to the synapse of index indices[j].
struct RecordedWeights {
    std::vector<std::uint64_t> indices;
    std::uint64_t every = 1;
    std::vector<std::uint64_t> ts;
    std::vector<float> weights;
};

/// Where the weights of a recording spread over several processes come
/// from: the recorded columns in the order of every process's share, rank
/// after rank (`columns[k]` is the column of the k-th weight gathered), and
/// room for this process's own share, which its partitions fill.
struct SpreadWeights {
    std::vector<std::uint64_t> columns;
    std::vector<float> here;
};

class SynapseRecorder {
public:
    /// Starts recording the synapses `indices` (whose weights `plan` locates,
    /// column j for indices[j]) from tick `t`: sampled are t, t + every, ...
    /// (every at least 1). Replaces any recording and returns the samples of
    /// the replaced one not yet taken. Cannot fail (it allocates nothing):
    /// checking is the caller's.
    /// Spread over several processes, `spread` tells where the weights come
    /// from and the plan's columns are places in spread->here.
    std::optional<RecordedWeights> start(std::shared_ptr<const SynapseRecordingPlan> plan,
                                         std::vector<std::uint64_t> indices, std::uint64_t every,
                                         std::uint64_t t,
                                         std::optional<SpreadWeights> spread = std::nullopt);
    /// The samples so far, which are then dropped here; recording goes on.
    /// None when nothing is recorded.
    std::optional<RecordedWeights> take();
    /// Ends the recording and returns its samples not yet taken; none when
    /// nothing was recorded.
    std::optional<RecordedWeights> stop();

    bool active() const { return plan_ != nullptr; }
    std::uint64_t num_samples() const { return samples_.ts.size(); }
    /// Whether tick t is sampled.
    bool samples(std::uint64_t t) const {
        return plan_ != nullptr && t >= start_t_ && (t - start_t_) % every_ == 0;
    }
    /// The synapses recorded: the columns of a sample.
    std::uint64_t num_columns() const { return samples_.indices.size(); }
    /// The weights this process's partitions write on a sampled tick.
    std::uint64_t num_written_here() const {
        return spread_ ? spread_->here.size() : samples_.indices.size();
    }
    /// This process's share of the sample of the tick in flight (spread
    /// over several processes only).
    std::span<const float> share_here() const {
        return spread_ ? std::span<const float>(spread_->here) : std::span<const float>();
    }

    /// What the command of a tick carries: the plan and the row to fill, or
    /// nothing when the tick is not sampled.
    struct TickSample {
        std::shared_ptr<const SynapseRecordingPlan> plan;
        float* row = nullptr;
    };
    /// Before tick t: when tick t is sampled, room for its sample is made
    /// (so running out of memory happens here, before the tick, and throws
    /// std::bad_alloc with the samples so far kept) and the plan and row
    /// returned; otherwise nothing.
    TickSample plan_for_tick(std::uint64_t t);

    /// After tick t: counts the sample when plan_for_tick made room for one.
    /// False, counting nothing, when the partitions did not write every
    /// column (`written` is the sum of their counts).
    bool collect(std::uint64_t t, std::uint64_t written);
    /// After tick t, spread over several processes: puts every process's
    /// share (`gathered`, in the order of SpreadWeights::columns) into the
    /// row plan_for_tick made room for and counts the sample. False,
    /// counting nothing, when the shares do not make one row.
    bool collect_gathered(std::uint64_t t, std::span<const float> gathered);

private:
    /// The samples, with any row of a tick that never completed dropped.
    RecordedWeights complete_samples();

    std::shared_ptr<const SynapseRecordingPlan> plan_;
    std::uint64_t start_t_ = 0;
    std::uint64_t every_ = 1;
    bool sampling_ = false;  ///< whether the tick in flight is sampled
    RecordedWeights samples_;
    std::optional<SpreadWeights> spread_;
};

}  // namespace synaptor
