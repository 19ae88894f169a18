#include "instance/neuron_recorder.hpp"

#include <algorithm>
#include <utility>

namespace synaptor {

namespace {

/// Grows `v` geometrically so that it can hold `needed` elements.
template <class T>
void reserve_for(std::vector<T>& v, std::size_t needed) {
    if (v.capacity() < needed) v.reserve(std::max(needed, 2 * v.capacity()));
}

std::string known_variables() {
    std::string out;
    for (std::string_view name : kRecordedVariableNames) {
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

}  // namespace

std::string_view recorded_variable_name(RecordedVariable variable) {
    return kRecordedVariableNames[static_cast<std::size_t>(variable)];
}

Result<std::optional<RecordedTraces>> NeuronRecorder::start(const RecordingRequest& request,
                                                            std::uint64_t num_neurons,
                                                            std::uint64_t t) {
    Result<PreparedRecording> prepared = prepare(request, num_neurons);
    if (!prepared) return error_text(prepared.error());
    return begin(std::move(prepared).value(), t);
}

Result<PreparedRecording> NeuronRecorder::prepare(const RecordingRequest& request,
                                                  std::uint64_t num_neurons) const {
    for (std::uint64_t nid : request.nids) {
        if (nid >= num_neurons) {
            return error_text("Invalid neuron id for recording: " + std::to_string(nid));
        }
    }
    // Entries of the plan: nids ascending, each with its column.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    entries.reserve(request.nids.size());
    for (std::uint64_t column = 0; column < request.nids.size(); ++column) {
        entries.emplace_back(request.nids[column], column);
    }
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].first == entries[i - 1].first) {
            return error_text("Neuron id listed twice for recording: " +
                              std::to_string(entries[i].first));
        }
    }

    if (request.variables.empty()) return error_text("No variable to record");
    std::vector<RecordedVariable> variables;
    for (const std::string& name : request.variables) {
        const auto* found =
            std::find(std::begin(kRecordedVariableNames), std::end(kRecordedVariableNames), name);
        if (found == std::end(kRecordedVariableNames)) {
            return error_text("Unknown variable to record: '" + name +
                              "' (known: " + known_variables() + ")");
        }
        const auto variable =
            static_cast<RecordedVariable>(found - std::begin(kRecordedVariableNames));
        if (std::find(variables.begin(), variables.end(), variable) != variables.end()) {
            return error_text("Variable listed twice for recording: '" + name + "'");
        }
        variables.push_back(variable);
    }

    if (request.every < 1) {
        return error_text("Recording period must be at least 1 tick, got " +
                          std::to_string(request.every));
    }

    auto plan = std::make_shared<RecordingPlan>();
    std::vector<std::uint64_t> columns;
    plan->nids.reserve(entries.size());
    columns.reserve(entries.size());
    for (const auto& [nid, column] : entries) {
        plan->nids.push_back(nid);
        columns.push_back(column);
    }
    plan->variables = variables;
    PreparedRecording prepared;
    prepared.traces.nids = request.nids;
    prepared.traces.variables = std::move(variables);
    prepared.traces.every = static_cast<std::uint64_t>(request.every);
    prepared.traces.values.resize(prepared.traces.variables.size());
    prepared.plan = std::move(plan);
    prepared.columns = std::move(columns);
    return prepared;
}

std::optional<RecordedTraces> NeuronRecorder::begin(PreparedRecording prepared, std::uint64_t t) {
    // Nothing can fail from here on.
    std::optional<RecordedTraces> replaced = stop();
    plan_ = std::move(prepared.plan);
    columns_ = std::move(prepared.columns);
    start_t_ = t;
    every_ = prepared.traces.every;
    traces_ = std::move(prepared.traces);
    return replaced;
}

RecordedTraces NeuronRecorder::fresh_traces() const {
    RecordedTraces traces;
    traces.nids = traces_.nids;
    traces.variables = traces_.variables;
    traces.every = traces_.every;
    traces.values.resize(traces.variables.size());
    return traces;
}

std::optional<RecordedTraces> NeuronRecorder::take() {
    if (!active()) return std::nullopt;
    RecordedTraces fresh = fresh_traces();
    return std::exchange(traces_, std::move(fresh));
}

std::optional<RecordedTraces> NeuronRecorder::stop() {
    if (!active()) return std::nullopt;
    plan_.reset();
    columns_.clear();
    sampling_ = false;
    return std::exchange(traces_, RecordedTraces{});
}

std::shared_ptr<const RecordingPlan> NeuronRecorder::plan_for_tick(std::uint64_t t) {
    sampling_ = samples(t);
    if (!sampling_) return nullptr;
    const std::size_t rows = traces_.ts.size() + 1;
    reserve_for(traces_.ts, rows);
    for (std::vector<float>& matrix : traces_.values) reserve_for(matrix, rows * columns_.size());
    covered_.resize(columns_.size());
    return plan_;
}

template <class Piece>
bool NeuronRecorder::collect_pieces(std::uint64_t t, std::size_t count, Piece&& piece) {
    if (!sampling_) return true;
    sampling_ = false;
    const std::size_t num_entries = columns_.size();
    const std::size_t num_variables = traces_.variables.size();

    // Checked whole before anything is stored: every entry exactly once.
    std::fill(covered_.begin(), covered_.end(), 0);
    std::size_t num_covered = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const RecordedValues* recorded = piece(i);
        if (recorded == nullptr) return false;
        std::size_t num_values = 0;
        for (const RecordedRun& run : recorded->runs) {
            if (run.first_entry > num_entries || run.num_entries > num_entries - run.first_entry) {
                return false;
            }
            for (std::uint64_t e = run.first_entry; e < run.first_entry + run.num_entries; ++e) {
                if (covered_[e]++ != 0) return false;
            }
            num_covered += run.num_entries;
            num_values += run.num_entries * num_variables;
        }
        if (num_values != recorded->values.size()) return false;
    }
    if (num_covered != num_entries) return false;

    // Room was reserved by plan_for_tick, so nothing below allocates.
    const std::size_t row = traces_.ts.size();
    traces_.ts.push_back(t);
    for (std::vector<float>& matrix : traces_.values) matrix.resize((row + 1) * num_entries);
    for (std::size_t i = 0; i < count; ++i) {
        const RecordedValues& recorded = *piece(i);
        const std::vector<float>& values = recorded.values;
        std::size_t k = 0;
        for (const RecordedRun& run : recorded.runs) {
            for (std::uint64_t e = run.first_entry; e < run.first_entry + run.num_entries; ++e) {
                const std::size_t cell = row * num_entries + columns_[e];
                for (std::size_t v = 0; v < num_variables; ++v) {
                    traces_.values[v][cell] = values[k++];
                }
            }
        }
    }
    return true;
}

bool NeuronRecorder::collect(std::uint64_t t, const std::vector<PartitionTickResult>& results) {
    return collect_pieces(t, results.size(), [&](std::size_t i) -> const RecordedValues* {
        return results[i].recorded ? &*results[i].recorded : nullptr;
    });
}

bool NeuronRecorder::collect(std::uint64_t t, std::span<const RecordedValues* const> pieces) {
    return collect_pieces(t, pieces.size(), [&](std::size_t i) { return pieces[i]; });
}

}  // namespace synaptor
