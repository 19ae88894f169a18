// Reading and writing the synapses of a network spread over several
// processes. Reading: each process reads its own partitions' synapses
// (already in the documented order within them), every process receives all
// of them through the exchange, and a merge by (post layer, pre-synaptic nid)
// gives the order of one process. Writing: the same merge over the counts of
// each key tells every process where its synapses lie in the whole order;
// each checks its own share, all agree on the first fault, and only then each
// writes its own synapses. Recording: the same merge tells every process
// which process holds each recorded synapse, so that all agree on the order
// in which each tick's exchange brings the recorded weights together.
// Partitions hold disjoint ascending runs of post-synaptic neurons and process
// r holds lower runs than process r + 1, so within one (layer, pre) key the
// synapses of the processes follow each other in rank order.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "instance/instance_core.hpp"
#include "instance/synapse_access.hpp"
#include "instance/tick_exchange.hpp"
#include "util/hash.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

enum AgreementWord : std::uint64_t { kFailed, kNoMemory, kReady, kPanicked };

/// Every process's word; std::bad_alloc on every process when one of them
/// had no memory. An error of the transport ends the instance.
std::vector<std::uint64_t> agree(InstanceCore& core, TickExchange& exchange,
                                 std::vector<std::uint64_t> words) {
    std::vector<std::uint64_t> all;
    try {
        all = exchange.gather_words(words);
    } catch (const std::exception& failure) {
        core.fail(failure.what());
    }
    for (std::size_t r = 0; r < all.size(); r += words.size()) {
        if (all[r] == kPanicked) {
            panic("rank " + std::to_string(r / words.size()) + " could not read its synapses");
        }
    }
    for (std::size_t r = 0; r < all.size(); r += words.size()) {
        if (all[r] == kNoMemory) throw std::bad_alloc();
    }
    return all;
}

void resize_table(SynapseTable& table, std::size_t count) {
    table.pre_syn_nids.resize(count);
    table.post_syn_nids.resize(count);
    table.conduction_delays.resize(count);
    table.weights.resize(count);
}

template <class Array>
void gather_array(InstanceCore& core, TickExchange& exchange, const Array& mine, Array& all,
                  const std::vector<std::uint64_t>& counts) {
    try {
        exchange.gather_items(mine.data(), sizeof(mine[0]), all.data(), counts);
    } catch (const std::exception& failure) {
        core.fail(failure.what());
    }
}

/// Merges the runs of `all` (run r: counts[r] synapses from offset starts[r])
/// into `out` in the documented order.
void merge_runs(const SynapseTable& all, const std::vector<std::uint64_t>& counts,
                const std::vector<std::uint64_t>& layer_first_nids, SynapseTable& out) {
    const std::size_t ranks = counts.size();
    std::vector<std::size_t> head(ranks);
    std::vector<std::size_t> end(ranks);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < ranks; ++r) {
        head[r] = offset;
        offset += counts[r];
        end[r] = offset;
    }
    const auto key = [&](std::size_t i) {
        const auto layer = static_cast<std::uint64_t>(std::upper_bound(layer_first_nids.begin(),
                                                                       layer_first_nids.end(),
                                                                       all.post_syn_nids[i]) -
                                                      layer_first_nids.begin());
        return std::pair{layer, all.pre_syn_nids[i]};
    };
    std::size_t o = 0;
    while (o < out.weights.size()) {
        // The lowest key among the heads, the lowest rank on a tie; then that
        // rank's whole run of the key.
        std::size_t best = ranks;
        std::pair<std::uint64_t, std::uint64_t> best_key{};
        for (std::size_t r = 0; r < ranks; ++r) {
            if (head[r] == end[r]) continue;
            const auto k = key(head[r]);
            if (best == ranks || k < best_key) best = r, best_key = k;
        }
        if (best == ranks) panic("the gathered synapses ended before their count");
        for (std::size_t& i = head[best]; i < end[best] && key(i) == best_key; ++i, ++o) {
            out.pre_syn_nids[o] = all.pre_syn_nids[i];
            out.post_syn_nids[o] = all.post_syn_nids[i];
            out.conduction_delays[o] = all.conduction_delays[i];
            out.weights[o] = all.weights[i];
        }
    }
}

/// Where this process's synapses of a selection lie in the whole order: runs
/// of local positions [local_begin, + length) at [global_begin, + length).
/// And which process holds each: the whole order in runs of one process's
/// synapses, the run from owner_begin[j] held by process owner_rank[j].
struct Placement {
    std::uint64_t total = 0;
    std::vector<std::uint64_t> local_begin;
    std::vector<std::uint64_t> global_begin;
    std::vector<std::uint64_t> length;
    std::vector<std::uint64_t> owner_begin;
    std::vector<std::uint64_t> owner_rank;

    /// The run of this process's own that holds synapse `index`, if any.
    std::optional<std::size_t> own_run(std::uint64_t index) const {
        const auto run = std::upper_bound(global_begin.begin(), global_begin.end(), index);
        if (run == global_begin.begin()) return std::nullopt;
        const auto r = static_cast<std::size_t>(run - global_begin.begin() - 1);
        if (index - global_begin[r] >= length[r]) return std::nullopt;
        return r;
    }
    /// The process that holds synapse `index` (below total).
    std::uint64_t owner(std::uint64_t index) const {
        const auto run = std::upper_bound(owner_begin.begin(), owner_begin.end(), index);
        return owner_rank[static_cast<std::size_t>(run - owner_begin.begin() - 1)];
    }
};

Result<Placement> place(InstanceCore& core, TickExchange& exchange, const SynapseFilter& filter) {
    std::optional<Result<std::vector<SynapseGroupCount>>> local;
    std::uint64_t state = kNoMemory;
    try {
        local.emplace(count_synapse_groups(core, filter));
        state = local->ok() ? kReady : kFailed;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    } catch (const Panic&) {
        state = kPanicked;
    }
    const std::uint64_t mine = state == kReady ? local->value().size() : 0;
    const std::vector<std::uint64_t> words = agree(core, exchange, {state, mine});
    if (state == kFailed) return error_text(local->error());

    std::vector<std::uint64_t> counts;
    std::uint64_t total_groups = 0;
    for (std::size_t r = 0; r < words.size(); r += 2) {
        counts.push_back(words[r + 1]);
        total_groups += words[r + 1];
    }
    std::vector<SynapseGroupCount> all;
    state = kReady;
    try {
        all.resize(total_groups);
    } catch (const std::bad_alloc&) {
        state = kNoMemory;
    } catch (const std::length_error&) {
        state = kNoMemory;
    }
    agree(core, exchange, {state});
    static_assert(std::is_trivially_copyable_v<SynapseGroupCount>);
    try {
        exchange.gather_items(local->value().data(), sizeof(SynapseGroupCount), all.data(), counts);
    } catch (const std::exception& failure) {
        core.fail(failure.what());
    }

    // The merge of every process's keys, lowest rank first on a tie.
    const std::size_t ranks = counts.size();
    const auto me = static_cast<std::size_t>(exchange.rank());
    std::vector<std::size_t> head(ranks);
    std::vector<std::size_t> end(ranks);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < ranks; ++r) {
        head[r] = offset;
        offset += counts[r];
        end[r] = offset;
    }
    Placement placement;
    std::uint64_t local_position = 0;
    for (std::size_t done = 0; done < total_groups; ++done) {
        std::size_t best = ranks;
        for (std::size_t r = 0; r < ranks; ++r) {
            if (head[r] == end[r]) continue;
            const SynapseGroupCount& g = all[head[r]];
            if (best == ranks ||
                std::pair{g.layer, g.pre_syn_nid} <
                    std::pair{all[head[best]].layer, all[head[best]].pre_syn_nid}) {
                best = r;
            }
        }
        const SynapseGroupCount& group = all[head[best]++];
        if (group.count > 0 &&
            (placement.owner_rank.empty() || placement.owner_rank.back() != best)) {
            placement.owner_begin.push_back(placement.total);
            placement.owner_rank.push_back(best);
        }
        if (best == me && group.count > 0) {
            placement.local_begin.push_back(local_position);
            placement.global_begin.push_back(placement.total);
            placement.length.push_back(group.count);
            local_position += group.count;
        }
        placement.total += group.count;
    }
    return placement;
}

/// Every process's first fault (its position in the whole selection, or
/// none) and text; all return the text of the lowest position, or go on
/// when there is none. A lack of memory on any process is std::bad_alloc on
/// every one.
Status settle(InstanceCore& core, TickExchange& exchange, bool no_memory,
              std::optional<std::uint64_t> fault_position, const std::string& fault_text) {
    constexpr std::uint64_t kNone = ~std::uint64_t{0};
    const std::vector<std::uint64_t> words =
        agree(core, exchange,
              {no_memory ? kNoMemory : kReady, fault_position.value_or(kNone),
               fault_position ? fault_text.size() : 0});
    std::size_t winner = words.size();
    for (std::size_t at = 0; at < words.size(); at += 3) {
        if (words[at + 1] != kNone &&
            (winner == words.size() || words[at + 1] < words[winner + 1])) {
            winner = at;
        }
    }
    if (winner == words.size()) return ok_status();
    std::vector<std::uint64_t> counts(words.size() / 3, 0);
    counts[winner / 3] = words[winner + 2];
    std::string text(static_cast<std::size_t>(words[winner + 2]), '\0');
    try {
        exchange.gather_items(fault_text.data(), 1, text.data(), counts);
    } catch (const std::exception& failure) {
        core.fail(failure.what());
    }
    return error_text(std::move(text));
}

}  // namespace

Status write_all_weights(InstanceCore& core, const SynapseFilter& filter,
                         std::span<const float> weights) {
    TickExchange* exchange = core.exchange_for_calls();
    if (exchange == nullptr) return write_weights(core, filter, weights);
    Result<Placement> placed = place(core, *exchange, filter);
    if (!placed) return error_text(placed.error());
    const Placement& placement = placed.value();
    if (weights.size() != placement.total) {
        return error_text("expected " + std::to_string(placement.total) +
                          " weights (one per synapse selected), got " +
                          std::to_string(weights.size()));
    }
    std::vector<float> mine;
    std::vector<std::uint64_t> names;
    bool no_memory = false;
    std::optional<std::uint64_t> fault_position;
    std::string fault_text;
    try {
        for (std::size_t run = 0; run < placement.length.size(); ++run) {
            for (std::uint64_t k = 0; k < placement.length[run]; ++k) {
                mine.push_back(weights[placement.global_begin[run] + k]);
                names.push_back(placement.global_begin[run] + k);
            }
        }
        std::size_t fault_at = 0;
        const Status checked = write_weights(core, filter, mine, {false, names, &fault_at});
        if (!checked) {
            fault_position = names.at(fault_at);
            fault_text = checked.error();
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Status agreed = settle(core, *exchange, no_memory, fault_position, fault_text);
    if (!agreed) return agreed;
    return write_weights(core, filter, mine);
}

Status write_all_weights_at(InstanceCore& core, std::span<const std::int64_t> indices,
                            std::span<const float> weights) {
    TickExchange* exchange = core.exchange_for_calls();
    if (exchange == nullptr || indices.size() != weights.size()) {
        return write_weights_at(core, indices, weights);
    }
    Result<Placement> placed = place(core, *exchange, SynapseFilter{});
    if (!placed) return error_text(placed.error());
    const Placement& placement = placed.value();
    std::vector<std::int64_t> local_indices;
    std::vector<float> mine;
    std::vector<std::uint64_t> names;
    bool no_memory = false;
    std::optional<std::uint64_t> fault_position;
    std::string fault_text;
    try {
        // A bad index is found alike everywhere; items before it are checked
        // by the process that holds their synapse.
        for (std::size_t i = 0; i < indices.size(); ++i) {
            if (std::optional<std::string> fault =
                    synapse_index_fault(i, indices[i], placement.total)) {
                fault_position = i;
                fault_text = std::move(*fault);
                break;
            }
            const auto index = static_cast<std::uint64_t>(indices[i]);
            const std::optional<std::size_t> run = placement.own_run(index);
            if (!run) continue;
            const std::size_t r = *run;
            local_indices.push_back(static_cast<std::int64_t>(placement.local_begin[r] + index -
                                                              placement.global_begin[r]));
            mine.push_back(weights[i]);
            names.push_back(i);
        }
        std::size_t fault_at = 0;
        const Status checked =
            write_weights_at(core, local_indices, mine, {false, names, &fault_at});
        if (!checked) {
            fault_position = names.at(fault_at);
            fault_text = checked.error();
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Status agreed = settle(core, *exchange, no_memory, fault_position, fault_text);
    if (!agreed) return agreed;
    return write_weights_at(core, local_indices, mine);
}

Result<SynapseTable> read_all_synapses(InstanceCore& core, const SynapseFilter& filter) {
    TickExchange* exchange = core.exchange_for_calls();
    if (exchange == nullptr) return read_synapses(core, filter);

    // A layer out of range is found alike on every process before any
    // communication: the filter and the layers are the same everywhere.
    std::optional<Result<SynapseTable>> local;
    std::uint64_t state = kNoMemory;
    try {
        local.emplace(read_synapses(core, filter));
        state = local->ok() ? kReady : kFailed;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    } catch (const Panic&) {
        // A failed instance on this process alone: the others must not wait.
        state = kPanicked;
    }
    const std::uint64_t count = state == kReady ? local->value().weights.size() : 0;
    const std::vector<std::uint64_t> words = agree(core, *exchange, {state, count});
    if (state == kFailed) return error_text(local->error());

    std::vector<std::uint64_t> counts;
    std::uint64_t total = 0;
    for (std::size_t r = 0; r < words.size(); r += 2) {
        counts.push_back(words[r + 1]);
        total += words[r + 1];
    }
    SynapseTable all;
    SynapseTable out;
    state = kReady;
    try {
        resize_table(all, total);
        resize_table(out, total);
    } catch (const std::bad_alloc&) {
        state = kNoMemory;
    } catch (const std::length_error&) {
        state = kNoMemory;
    }
    agree(core, *exchange, {state});

    const SynapseTable& mine = local->value();
    gather_array(core, *exchange, mine.pre_syn_nids, all.pre_syn_nids, counts);
    gather_array(core, *exchange, mine.post_syn_nids, all.post_syn_nids, counts);
    gather_array(core, *exchange, mine.conduction_delays, all.conduction_delays, counts);
    gather_array(core, *exchange, mine.weights, all.weights, counts);
    local.reset();

    std::vector<std::uint64_t> layer_first_nids;
    std::uint64_t first = 0;
    for (std::uint64_t size : core.layer_sizes()) {
        layer_first_nids.push_back(first);
        first += size;
    }
    merge_runs(all, counts, layer_first_nids, out);
    return out;
}

namespace {

/// Hash of everything a synapse recording request asks for.
std::uint64_t request_fingerprint(std::span<const std::int64_t> indices, std::int64_t every) {
    std::uint64_t hash = mix64(indices.size());
    for (std::int64_t index : indices) hash = mix64(hash ^ static_cast<std::uint64_t>(index));
    return mix64(hash ^ static_cast<std::uint64_t>(every));
}

/// This process's share of a synapse recording of the whole network.
struct SpreadRecording {
    std::shared_ptr<const SynapseRecordingPlan> plan;
    SpreadWeights spread;
    std::vector<std::uint64_t> columns;
};

/// Resolves a valid request: every process gathers its recorded weights in
/// the order of `indices`, rank after rank, and this process's partitions
/// write its own share.
SpreadRecording share_recording(InstanceCore& core, const Placement& placement, std::uint64_t me,
                                std::uint64_t ranks, std::span<const std::int64_t> indices) {
    SpreadRecording out;
    std::vector<std::uint64_t> owners(indices.size());
    std::vector<std::uint64_t> next(ranks + 1, 0);
    std::vector<std::int64_t> local_indices;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const auto index = static_cast<std::uint64_t>(indices[i]);
        owners[i] = placement.owner(index);
        ++next[owners[i] + 1];
        if (owners[i] != me) continue;
        const std::optional<std::size_t> run = placement.own_run(index);
        expect(run.has_value(), "a synapse of this process lies in none of its runs");
        local_indices.push_back(static_cast<std::int64_t>(placement.local_begin[*run] + index -
                                                          placement.global_begin[*run]));
    }
    for (std::uint64_t r = 0; r < ranks; ++r) next[r + 1] += next[r];
    out.spread.columns.resize(indices.size());
    for (std::size_t i = 0; i < indices.size(); ++i) out.spread.columns[next[owners[i]]++] = i;
    out.spread.here.resize(local_indices.size());
    SynapseRecordingPlan plan;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        const SynapseLocator locator(partitions, core.layer_sizes().size());
        plan = plan_recorded_weights(partitions, locator, local_indices);
    });
    out.plan = std::make_shared<const SynapseRecordingPlan>(std::move(plan));
    out.columns.assign(indices.begin(), indices.end());
    return out;
}

}  // namespace

Result<std::optional<RecordedWeights>> record_all_synapses(InstanceCore& core,
                                                           std::span<const std::int64_t> indices,
                                                           std::int64_t every) {
    TickExchange* exchange = core.exchange_for_calls();
    if (exchange == nullptr) return record_synapses(core, indices, every);
    // Where every synapse lies, which any request needs to be checked.
    Result<Placement> placed = place(core, *exchange, SynapseFilter{});
    if (!placed) return error_text(placed.error());

    // Everything that can fail or allocate happens before the agreement, so
    // that every process acts on it alike.
    std::optional<std::string> fault;
    std::optional<SpreadRecording> recording;
    std::uint64_t state = kNoMemory;
    try {
        fault = synapse_recording_fault(indices, every, placed.value().total);
        if (!fault) {
            recording = share_recording(core, placed.value(), exchange->rank(),
                                        exchange->num_ranks(), indices);
        }
        state = fault ? kFailed : kReady;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    } catch (const Panic&) {
        state = kPanicked;
    }
    const std::vector<std::uint64_t> words =
        agree(core, *exchange, {state, request_fingerprint(indices, every), core.t()});
    for (std::size_t at = 3; at < words.size(); at += 3) {
        if (!std::equal(words.begin(), words.begin() + 3, words.begin() + at)) {
            return error_text("ranks disagree on the synapse recording request (rank 0 and rank " +
                              std::to_string(at / 3) +
                              "): every rank must make the same calls with the same arguments");
        }
    }
    if (fault) return error_text(std::move(*fault));
    return core.synapse_recorder().start(std::move(recording->plan), std::move(recording->columns),
                                         static_cast<std::uint64_t>(every), core.t(),
                                         std::move(recording->spread));
}

}  // namespace synaptor
