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

std::optional<RecordedWeights> SynapseRecorder::start(SynapseRecordingPlan plan,
                                                      std::vector<std::uint64_t> indices,
                                                      std::uint64_t every, std::uint64_t t) {
    RecordedWeights samples;
    samples.indices = std::move(indices);
    samples.every = every;
    auto shared_plan = std::make_shared<const SynapseRecordingPlan>(std::move(plan));
    // Nothing can fail from here on.
    std::optional<RecordedWeights> replaced = stop();
    plan_ = std::move(shared_plan);
    start_t_ = t;
    every_ = every;
    samples_ = std::move(samples);
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
    sampling_ = false;
    RecordedWeights taken = complete_samples();
    samples_ = RecordedWeights{};
    return taken;
}

SynapseRecorder::TickSample SynapseRecorder::plan_for_tick(std::uint64_t t) {
    sampling_ = plan_ != nullptr && t >= start_t_ && (t - start_t_) % every_ == 0;
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

}  // namespace synaptor
