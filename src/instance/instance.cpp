#include "instance/instance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "instance/tick_exchange.hpp"
#include "partition/partition.hpp"
#include "random/poisson.hpp"
#include "util/panic.hpp"
#include "util/projection_geometry.hpp"
#include "util/tick_arithmetic.hpp"

namespace synaptor {

namespace {

// Beyond this mean the rejection method's log-probabilities lose whole units
// of precision, and any network that fits in memory is far smaller, so the
// draw would be capped at num_neurons anyway.
constexpr double kMaxPoissonMean = 0x1.0p40;

void schedule(const std::vector<std::uint64_t>& ts, const std::vector<std::uint64_t>& ids,
              std::uint64_t now, std::vector<PendingQueue>& pending) {
    if (ts.empty()) return;
    PendingQueue queue;
    const std::size_t n = std::min(ts.size(), ids.size());
    queue.entries.reserve(n);
    // A tick beyond the end of time saturates instead of wrapping into the
    // past; either way it is never reached.
    for (std::size_t i = 0; i < n; ++i)
        queue.entries.push_back({saturating_add(now, ts[i]), ids[i]});
    pending.push_back(std::move(queue));
}

void deliver_due(std::vector<PendingQueue>& pending, std::uint64_t t,
                 std::vector<std::uint64_t>& target) {
    for (PendingQueue& queue : pending) {
        while (!queue.empty() && queue.entries[queue.head].t == t) {
            target.push_back(queue.entries[queue.head].id);
            ++queue.head;
        }
    }
    std::erase_if(pending, [](const PendingQueue& queue) { return queue.empty(); });
}

void append_tick_spikes(BatchTickResult& batch, const TickResult& result) {
    batch.out_channel_spikes_ts.insert(batch.out_channel_spikes_ts.end(),
                                       result.spiking_out_channel_ids.size(), result.t);
    batch.out_channel_spikes_ids.insert(batch.out_channel_spikes_ids.end(),
                                        result.spiking_out_channel_ids.begin(),
                                        result.spiking_out_channel_ids.end());
    batch.neuron_spikes_ts.insert(batch.neuron_spikes_ts.end(), result.spiking_nids.size(),
                                  result.t);
    batch.neuron_spikes_ids.insert(batch.neuron_spikes_ids.end(), result.spiking_nids.begin(),
                                   result.spiking_nids.end());
    batch.synaptic_transmission_count += result.synaptic_transmission_count;
    batch.end_t = result.t + 1;
}

}  // namespace

Instance::Instance(std::unique_ptr<InstanceCore> core, std::uint64_t seed)
    : core_(std::move(core)), stimulus_rng_(ChaChaRng::seed_from_u64(seed)) {
    expect(core_ != nullptr, "Instance needs a core");
    all_nids_.resize(core_->num_neurons());
    for (std::uint64_t nid = 0; nid < all_nids_.size(); ++nid) all_nids_[nid] = nid;
}

void Instance::apply_stimulus(const Stimulus& stimulus) {
    const std::uint64_t now = core_->t();
    schedule(stimulus.in_channel_spikes_ts, stimulus.in_channel_spikes_ids, now,
             pending_in_channel_spikes_);
    schedule(stimulus.force_out_channel_spikes_ts, stimulus.force_out_channel_spikes_ids, now,
             pending_force_out_channel_spikes_);
    schedule(stimulus.force_neuron_spikes_ts, stimulus.force_neuron_spikes_ids, now,
             pending_force_neuron_spikes_);
}

void Instance::append_random_spikes(std::vector<std::uint64_t>& force_spiking_nids) {
    const double rate = non_coherent_stimulation_rate;
    if (!(rate > 0.0)) return;  // also NaN
    const std::uint64_t num_neurons = all_nids_.size();
    if (num_neurons == 0) panic("called `Result::unwrap()` on an `Err` value: BadParams");
    const double lambda = rate * static_cast<double>(num_neurons);
    std::uint64_t k = num_neurons;
    // An infinite or huge mean caps at every neuron directly: the rejection
    // method would never end on an infinite mean.
    if (lambda < kMaxPoissonMean) {
        k = std::min(saturating_u64(sample_poisson(stimulus_rng_, lambda)), num_neurons);
    }
    sample_subset(stimulus_rng_, num_neurons, k, subset_scratch_);
    for (std::uint64_t position : subset_scratch_)
        force_spiking_nids.push_back(all_nids_[position]);
}

void Instance::apply_tick_stimulus(TickInput& input) {
    append_random_spikes(input.force_spiking_nids);
    const std::uint64_t t = core_->t();
    deliver_due(pending_in_channel_spikes_, t, input.spiking_in_channel_ids);
    deliver_due(pending_force_out_channel_spikes_, t, input.force_spiking_out_channel_ids);
    deliver_due(pending_force_neuron_spikes_, t, input.force_spiking_nids);
}

void Instance::set_plasticity_enabled(bool enabled) {
    core_->visit_partitions([&](const std::vector<Partition*>& partitions) {
        for (Partition* partition : partitions)
            synaptor::set_plasticity_enabled(*partition, enabled);
    });
    plasticity_enabled_ = enabled;
}

Result<TickResult> Instance::tick(TickInput input) {
    apply_tick_stimulus(input);
    input.caller_fingerprint = std::bit_cast<std::uint64_t>(non_coherent_stimulation_rate);
    input.plasticity_enabled = plasticity_enabled_;
    return core_->tick(input);
}

TickResult Instance::tick_batch_step(bool stop_requested) {
    // The input's lists keep their storage from tick to tick.
    TickInput& input = batch_input_;
    input.spiking_in_channel_ids.clear();
    input.force_spiking_out_channel_ids.clear();
    input.force_spiking_nids.clear();
    input.reward = reward_rate;
    input.stop_requested = stop_requested;
    apply_tick_stimulus(input);
    input.caller_fingerprint = std::bit_cast<std::uint64_t>(non_coherent_stimulation_rate);
    input.plasticity_enabled = plasticity_enabled_;
    Result<TickResult> result = core_->tick(input);
    if (!result) panic("called `Result::unwrap()` on an `Err` value: \"" + result.error() + "\"");
    return std::move(result).value();
}

namespace {

/// Asks a StopCheck at most once per interval of wall time. The clock itself
/// is read every `stride_` calls: the stride doubles while the calls between
/// two reads took under kQuickReads, up to kMaxStride, and falls back to one
/// as soon as they took longer, so that a batch of very short ticks does not
/// pay a clock read for each while a slow tick is never followed by many
/// unchecked ones.
class StopPoll {
public:
    explicit StopPoll(const Instance::StopCheck& stop)
        : stop_(stop),
          last_(std::chrono::steady_clock::now()),
          next_(last_ + Instance::kStopCheckInterval) {}

    bool should_stop() {
        if (!stop_) return false;
        if (--countdown_ != 0) return false;
        const auto now = std::chrono::steady_clock::now();
        stride_ = now - last_ < kQuickReads ? std::min(stride_ * 2, kMaxStride) : 1;
        countdown_ = stride_;
        last_ = now;
        if (now < next_) return false;
        next_ = now + Instance::kStopCheckInterval;
        return stop_();
    }

private:
    static constexpr std::chrono::microseconds kQuickReads{100};
    static constexpr std::uint32_t kMaxStride = 64;

    const Instance::StopCheck& stop_;
    std::uint32_t stride_ = 1;
    std::uint32_t countdown_ = 1;
    std::chrono::steady_clock::time_point last_;
    std::chrono::steady_clock::time_point next_;
};

}  // namespace

BatchTickResult Instance::tick_until(std::uint64_t t_end, const StopCheck& stop) {
    BatchTickResult batch;
    tick_until_into(t_end, batch, stop);
    return batch;
}

void Instance::tick_until_into(std::uint64_t t_end, BatchTickResult& batch, const StopCheck& stop) {
    batch.start_t = batch.end_t = core_->t();
    StopPoll poll(stop);
    if (core_->exchange() != nullptr) {
        // Spread over several processes, a stop asked for here travels with
        // the next tick, and every process ends its batch after that tick.
        while (core_->t() < t_end) {
            const TickResult result = tick_batch_step(poll.should_stop());
            append_tick_spikes(batch, result);
            if (result.stop_requested) break;
        }
        return;
    }
    while (core_->t() < t_end && !poll.should_stop()) append_tick_spikes(batch, tick_batch_step());
}

bool Instance::tick_until_ignore_output(std::uint64_t t_end, const StopCheck& stop) {
    StopPoll poll(stop);
    if (core_->exchange() != nullptr) {
        while (core_->t() < t_end) {
            if (tick_batch_step(poll.should_stop()).stop_requested) return false;
        }
        return true;
    }
    while (core_->t() < t_end) {
        if (poll.should_stop()) return false;
        tick_batch_step();
    }
    return true;
}

}  // namespace synaptor
