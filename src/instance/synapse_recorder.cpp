#include "instance/synapse_recorder.hpp"

#include <algorithm>
#include <utility>

namespace synaptor {

namespace {

/// Grows `v` geometrically so that it can hold `needed` elements.
template <class T>
void reserve_for(std::vector<T>& v, std::size_t needed) {
    if (v.capacity() < needed) v.reserve(std::max(needed, 2 * v.capacity()));
}

}  // namespace

std::optional<RecordedWeights> SynapseRecorder::start(
    std::shared_ptr<const SynapseRecordingPlan> plan, std::vector<std::uint64_t> indices,
    std::uint64_t every, std::uint64_t t, std::optional<SpreadWeights> spread) {
    RecordedWeights samples;
    samples.indices = std::move(indices);
    samples.every = every;
    std::optional<RecordedWeights> replaced = stop();
    plan_ = std::move(plan);
    start_t_ = t;
    every_ = every;
    samples_ = std::move(samples);
    spread_ = std::move(spread);
    return replaced;
}

RecordedWeights SynapseRecorder::complete_samples() {
    samples_.weights.resize(samples_.ts.size() * samples_.indices.size());
    return std::move(samples_);
}

std::optional<RecordedWeights> SynapseRecorder::take() {
    if (!active()) return std::nullopt;
    RecordedWeights fresh;
    fresh.indices = samples_.indices;
    fresh.every = samples_.every;
    RecordedWeights taken = complete_samples();
    samples_ = std::move(fresh);
    return taken;
}

std::optional<RecordedWeights> SynapseRecorder::stop() {
    if (!active()) return std::nullopt;
    plan_.reset();
    spread_.reset();
    sampling_ = false;
    RecordedWeights taken = complete_samples();
    samples_ = RecordedWeights{};
    return taken;
}

SynapseRecorder::TickSample SynapseRecorder::plan_for_tick(std::uint64_t t) {
    sampling_ = samples(t);
    if (!sampling_) return {};
    const std::size_t columns = samples_.indices.size();
    const std::size_t rows = samples_.ts.size() + 1;
    // A failure here leaves the samples as they were (a vector that cannot
    // grow keeps its contents), and the tick does not run.
    reserve_for(samples_.ts, rows);
    reserve_for(samples_.weights, rows * columns);
    // Sized from the completed samples, so that the row of a tick that never
    // completed is filled again rather than kept.
    samples_.weights.resize(rows * columns);
    // Spread over several processes the partitions fill this process's
    // share, and collect_gathered the row.
    if (spread_) return TickSample{plan_, spread_->here.data()};
    return TickSample{plan_, samples_.weights.data() + (rows - 1) * columns};
}

bool SynapseRecorder::collect(std::uint64_t t, std::uint64_t written) {
    if (!sampling_) return true;
    sampling_ = false;
    if (written != samples_.indices.size()) return false;
    // Room was reserved by plan_for_tick, so this does not allocate.
    samples_.ts.push_back(t);
    return true;
}

bool SynapseRecorder::collect_gathered(std::uint64_t t, std::span<const float> gathered) {
    if (!sampling_) return true;
    sampling_ = false;
    if (!spread_ || gathered.size() != spread_->columns.size() ||
        gathered.size() != samples_.indices.size()) {
        return false;
    }
    // Room was made by plan_for_tick: the row after the completed samples.
    float* row = samples_.weights.data() + samples_.ts.size() * samples_.indices.size();
    for (std::size_t k = 0; k < gathered.size(); ++k) row[spread_->columns[k]] = gathered[k];
    samples_.ts.push_back(t);
    return true;
}

}  // namespace synaptor
