// NeuronRecorder: the recording of chosen state variables of chosen neurons
// while the instance ticks. It decides which ticks are sampled, hands the
// partitions the plan of what to sample in the TickCommand of those ticks, and
// gathers their answers into one row per sample, in the caller's order of
// neurons. Samples accumulate here until taken. Owned by InstanceCore and used
// on its calling thread only; the partitions see nothing but the shared,
// read-only plan.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "partition/tick_messages.hpp"
#include "util/result.hpp"

namespace synaptor {

/// The names by which callers choose variables, in RecordedVariable order.
inline constexpr std::string_view kRecordedVariableNames[] = {"voltage", "threshold", "spike",
                                                              "refractory"};

std::string_view recorded_variable_name(RecordedVariable variable);

/// What to record: neurons in the caller's order (distinct), variable names
/// (distinct, at least one), and the sampling period in ticks (at least 1).
struct RecordingRequest {
    std::vector<std::uint64_t> nids;
    std::vector<std::string> variables;
    std::int64_t every = 1;
};

/// Samples of a recording. Sample i was taken at the end of tick ts[i]; the
/// values of variable v form a row-major ts.size() x nids.size() matrix
/// values[v], whose column j belongs to nids[j].
struct RecordedTraces {
    std::vector<std::uint64_t> nids;
    std::vector<RecordedVariable> variables;
    std::uint64_t every = 1;
    std::vector<std::uint64_t> ts;
    std::vector<std::vector<float>> values;  ///< one matrix per variable
};

/// A checked request, ready to replace the recording.
struct PreparedRecording {
    std::shared_ptr<const RecordingPlan> plan;
    std::vector<std::uint64_t> columns;
    RecordedTraces traces;  ///< empty, with the request's neurons and variables
};

class NeuronRecorder {
public:
    /// Starts recording from tick `t` (sampled are t, t + every, ...), replacing
    /// any recording; returns the samples of the replaced one not yet taken.
    /// A bad request is an error text and changes nothing.
    Result<std::optional<RecordedTraces>> start(const RecordingRequest& request,
                                                std::uint64_t num_neurons, std::uint64_t t);
    /// start() in two steps, for processes that agree on a request before
    /// any of them acts on it: the check, which changes nothing, ...
    Result<PreparedRecording> prepare(const RecordingRequest& request,
                                      std::uint64_t num_neurons) const;
    /// ... and the replacement, which cannot fail.
    std::optional<RecordedTraces> begin(PreparedRecording prepared, std::uint64_t t);
    /// The samples so far, which are then dropped here; recording goes on.
    /// None when nothing is recorded.
    std::optional<RecordedTraces> take();
    /// Ends the recording and returns its samples not yet taken; none when
    /// nothing was recorded.
    std::optional<RecordedTraces> stop();

    bool active() const { return plan_ != nullptr; }
    /// Whether tick t is sampled.
    bool samples(std::uint64_t t) const {
        return plan_ != nullptr && t >= start_t_ && (t - start_t_) % every_ == 0;
    }
    /// Neurons and variables of the recording (zero when inactive).
    std::size_t num_entries() const { return columns_.size(); }
    std::size_t num_variables() const { return traces_.variables.size(); }
    std::uint64_t num_samples() const { return traces_.ts.size(); }

    /// Before tick t: the plan when tick t is sampled, with room for its
    /// sample already reserved (so running out of memory happens here, before
    /// the tick, and throws std::bad_alloc); null otherwise.
    std::shared_ptr<const RecordingPlan> plan_for_tick(std::uint64_t t);

    /// After tick t: stores the sample that the partitions' results carry when
    /// plan_for_tick asked for one. False, storing nothing, when the results do
    /// not cover every planned neuron exactly once.
    bool collect(std::uint64_t t, const std::vector<PartitionTickResult>& results);
    /// The same from samples given as pieces, each any runs of the plan with
    /// their values (those of several processes gathered into one, say).
    bool collect(std::uint64_t t, std::span<const RecordedValues* const> pieces);

private:
    /// `piece(i)` for i < count: a sample's runs and values, or null.
    template <class Piece>
    bool collect_pieces(std::uint64_t t, std::size_t count, Piece&& piece);

    RecordedTraces fresh_traces() const;

    std::shared_ptr<const RecordingPlan> plan_;
    std::vector<std::uint64_t> columns_;  ///< per plan entry: its column in traces_
    std::uint64_t start_t_ = 0;
    std::uint64_t every_ = 1;
    bool sampling_ = false;               ///< whether the tick in flight is sampled
    std::vector<std::uint64_t> covered_;  ///< scratch of collect: plan entries seen
    RecordedTraces traces_;
};

}  // namespace synaptor
