// Reading the synapses of a network spread over several processes: each
// process reads its own partitions' synapses (already in the documented order
// within them), every process receives all of them through the exchange, and
// a merge by (post layer, pre-synaptic nid) gives the order of one process.
// Partitions hold disjoint ascending runs of post-synaptic neurons and process
// r holds lower runs than process r + 1, so within one (layer, pre) key the
// synapses of the processes follow each other in rank order.
#include <algorithm>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "instance/instance_core.hpp"
#include "instance/synapse_access.hpp"
#include "instance/tick_exchange.hpp"
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

}  // namespace

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

}  // namespace synaptor
