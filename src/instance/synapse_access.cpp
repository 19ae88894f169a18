#include "instance/synapse_access.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "instance/instance_core.hpp"
#include "partition/layer_view.hpp"
#include "partition/partition.hpp"
#include "partition/synaptic_transmission.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

/// The first nid of each layer, then the number of neurons.
std::vector<std::uint64_t> layer_starts(const InstanceCore& core) {
    std::vector<std::uint64_t> starts{0};
    for (std::uint64_t size : core.layer_sizes()) starts.push_back(starts.back() + size);
    return starts;
}

std::string text_of(float value) {
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc{} ? std::string(buffer, end) : std::string("?");
}

/// Why `weight` cannot be written at position i of a synapse of a group with
/// `max_weight`, or nothing.
std::optional<std::string> weight_fault(float weight, std::size_t i, float max_weight) {
    // The test that passes comes first: this runs once per synapse written.
    if (weight >= 0.0f && weight <= max_weight) [[likely]] {
        return std::nullopt;
    }
    const std::string at = "weights[" + std::to_string(i) + "]";
    if (std::isnan(weight)) return at + " is NaN";
    if (weight < 0.0f) return at + " = " + text_of(weight) + " is negative";
    return at + " = " + text_of(weight) + " is above its connection's max_weight " +
           text_of(max_weight);
}

/// The post layers and the pre-synaptic nid range a filter selects.
struct Selection {
    std::uint64_t first_layer = 0;
    std::uint64_t end_layer = 0;
    std::uint64_t pre_begin = 0;
    std::uint64_t pre_end = 0;
};

Result<Selection> select(const std::vector<std::uint64_t>& starts, const SynapseFilter& filter) {
    const std::uint64_t num_layers = starts.size() - 1;
    for (const auto& [name, layer] :
         {std::pair{"from_layer", filter.from_layer}, std::pair{"to_layer", filter.to_layer}}) {
        if (layer && *layer >= num_layers) {
            return error_text(std::string(name) + " " + std::to_string(*layer) +
                              " is out of range: the network has " + std::to_string(num_layers) +
                              (num_layers == 1 ? " layer" : " layers"));
        }
    }
    Selection selection{0, num_layers, 0, starts.back()};
    if (filter.to_layer) selection = {*filter.to_layer, *filter.to_layer + 1, 0, starts.back()};
    if (filter.from_layer) {
        selection.pre_begin = starts[*filter.from_layer];
        selection.pre_end = starts[*filter.from_layer + 1];
    }
    return selection;
}

/// Calls visit(group, pre_syn_nid, first_nid of the part) for each group of the
/// selection, in the documented order: post layer, then pre-synaptic nid (the
/// state file's merge of the parts' groups), then the parts in partition order
/// (the runs of a layer ascend with the partition), whose synapses ascend in
/// post-synaptic nid.
template <class Visit>
void for_each_group(const std::vector<Partition*>& partitions, const Selection& selection,
                    Visit&& visit) {
    std::vector<PartitionLayer*> parts(partitions.size());
    std::vector<std::uint32_t> positions;
    for (std::uint64_t l = selection.first_layer; l < selection.end_layer; ++l) {
        for (std::size_t p = 0; p < partitions.size(); ++p) {
            parts[p] = &partitions[p]->layers.at(l);
            // A no-op once construction sorted them, as for a snapshot.
            sort_pre_syn_groups(*parts[p]);
        }
        GroupMerge merge(parts);
        while (const std::optional<std::uint64_t> key = merge.next(positions)) {
            if (*key < selection.pre_begin) continue;
            if (*key >= selection.pre_end) break;
            for (std::size_t p = 0; p < parts.size(); ++p) {
                if (positions[p] == PreSynGroupMap::kNoIndex) continue;
                visit(parts[p]->pre_syn_groups.group_at(positions[p]), *key, parts[p]->first_nid);
            }
        }
    }
}

std::size_t name_of(const WeightWrite& how, std::size_t i) {
    return how.names.empty() ? i : static_cast<std::size_t>(how.names[i]);
}

constexpr std::size_t kMappedArrayBytes = std::size_t{1} << 20;

}  // namespace

void* allocate_synapse_array(std::size_t bytes) {
    if (bytes < kMappedArrayBytes) return ::operator new(bytes);
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    return data;
}

void release_synapse_array(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
    if (bytes < kMappedArrayBytes) {
        ::operator delete(data);
    } else {
        munmap(data, bytes);
    }
}

Result<SynapseTable> read_synapses(InstanceCore& core, const SynapseFilter& filter) {
    const std::vector<std::uint64_t> starts = layer_starts(core);
    Result<Selection> selection = select(starts, filter);
    if (!selection) return error_text(selection.error());
    SynapseTable table;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        std::size_t count = 0;
        for_each_group(partitions, selection.value(),
                       [&](const PreSynapticGroup& group, std::uint64_t, std::uint64_t) {
                           count += group.synapses.size();
                       });
        // Sized once, then written in place: no array is copied or regrown.
        table.pre_syn_nids.resize(count);
        table.post_syn_nids.resize(count);
        table.conduction_delays.resize(count);
        table.weights.resize(count);
        std::size_t i = 0;
        for_each_group(partitions, selection.value(),
                       [&](const PreSynapticGroup& group, std::uint64_t pre, std::uint64_t first) {
                           const SynapseHot* hot = group.synapses.hot();
                           const SynapseCold* cold = group.synapses.cold();
                           for (std::size_t k = 0; k < group.synapses.size(); ++k, ++i) {
                               table.pre_syn_nids[i] = pre;
                               table.post_syn_nids[i] = first + cold[k].post_index;
                               table.conduction_delays[i] = hot[k].conduction_delay;
                               table.weights[i] = hot[k].weight;
                           }
                       });
    });
    return table;
}

Result<std::vector<SynapseGroupCount>> count_synapse_groups(InstanceCore& core,
                                                            const SynapseFilter& filter) {
    const std::vector<std::uint64_t> starts = layer_starts(core);
    Result<Selection> selection = select(starts, filter);
    if (!selection) return error_text(selection.error());
    std::vector<SynapseGroupCount> groups;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        for_each_group(
            partitions, selection.value(),
            [&](const PreSynapticGroup& group, std::uint64_t pre, std::uint64_t first) {
                const auto layer = static_cast<std::uint64_t>(
                    std::upper_bound(starts.begin(), starts.end(), first) - starts.begin() - 1);
                if (groups.empty() || groups.back().layer != layer ||
                    groups.back().pre_syn_nid != pre) {
                    groups.push_back({layer, pre, 0});
                }
                groups.back().count += group.synapses.size();
            });
    });
    return groups;
}

Status write_weights(InstanceCore& core, const SynapseFilter& filter,
                     std::span<const float> weights, const WeightWrite& how) {
    const std::vector<std::uint64_t> starts = layer_starts(core);
    Result<Selection> selection = select(starts, filter);
    if (!selection) return error_text(selection.error());
    std::optional<std::string> fault;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        std::size_t count = 0;
        for_each_group(partitions, selection.value(),
                       [&](const PreSynapticGroup& group, std::uint64_t, std::uint64_t) {
                           count += group.synapses.size();
                       });
        if (count != weights.size()) {
            fault = "expected " + std::to_string(count) + " weights (one per synapse selected), " +
                    "got " + std::to_string(weights.size());
            return;
        }
        std::size_t i = 0;
        for_each_group(partitions, selection.value(),
                       [&](const PreSynapticGroup& group, std::uint64_t, std::uint64_t) {
                           for (std::size_t k = 0; k < group.synapses.size() && !fault; ++k) {
                               const std::size_t at = i + k;
                               fault =
                                   weight_fault(weights[at], name_of(how, at), group.max_weight);
                               if (fault && how.fault_at != nullptr) *how.fault_at = at;
                           }
                           i += group.synapses.size();
                       });
        if (fault || !how.write) return;
        i = 0;
        for_each_group(partitions, selection.value(),
                       [&](PreSynapticGroup& group, std::uint64_t, std::uint64_t) {
                           SynapseHot* hot = group.synapses.hot();
                           for (std::size_t k = 0; k < group.synapses.size(); ++k, ++i) {
                               hot[k].weight = weights[i];
                           }
                       });
    });
    if (fault) return error_text(std::move(*fault));
    return ok_status();
}

SynapseLocator::SynapseLocator(const std::vector<Partition*>& partitions, std::size_t num_layers) {
    views_.reserve(num_layers);
    layer_begin_.push_back(0);
    group_begin_.resize(num_layers);
    for (std::size_t l = 0; l < num_layers; ++l) {
        for (Partition* partition : partitions) sort_pre_syn_groups(partition->layers.at(l));
        const LayerView& view = views_.emplace_back(partitions, l);
        std::vector<std::uint64_t>& begins = group_begin_[l];
        begins.resize(view.num_groups);
        std::uint64_t index = layer_begin_.back();
        for (std::uint64_t o = 0; o < view.num_groups; ++o) {
            begins[o] = index;
            for (const std::vector<GroupSlot>& slots : view.slots) index += slots[o].size;
        }
        layer_begin_.push_back(index);
    }
}

std::optional<std::string> synapse_index_fault(std::size_t i, std::int64_t index,
                                               std::uint64_t num_synapses) {
    if (index >= 0 && static_cast<std::uint64_t>(index) < num_synapses) [[likely]] {
        return std::nullopt;
    }
    const std::string named = "indices[" + std::to_string(i) + "] = " + std::to_string(index);
    if (index < 0) return named + " is negative";
    return named + " is out of range: the network has " + std::to_string(num_synapses) +
           " synapses";
}

std::optional<std::string> SynapseLocator::index_fault(std::size_t i, std::int64_t index) const {
    return synapse_index_fault(i, index, num_synapses());
}

SynapseLocator::Found SynapseLocator::locate(std::uint64_t index) const {
    if (index >= num_synapses()) panic("a synapse index out of range was not refused");
    const std::size_t l =
        static_cast<std::size_t>(std::upper_bound(layer_begin_.begin(), layer_begin_.end(), index) -
                                 layer_begin_.begin() - 1);
    const std::vector<std::uint64_t>& begins = group_begin_[l];
    const std::size_t o = static_cast<std::size_t>(
        std::upper_bound(begins.begin(), begins.end(), index) - begins.begin() - 1);
    const std::uint64_t k = index - begins[o];
    for (std::size_t p = 0; p < views_[l].parts.size(); ++p) {
        if (const std::optional<SynapseLocation> at = find_in_part(views_[l], p, o, k)) {
            PreSynapticGroup& group = at->layer->pre_syn_groups.group_at(at->group);
            return Found{p, &group, group.synapses.hot() + at->index};
        }
    }
    panic("a synapse index within range names no synapse");
}

Status write_weights_at(InstanceCore& core, std::span<const std::int64_t> indices,
                        std::span<const float> weights, const WeightWrite& how) {
    if (indices.size() != weights.size()) {
        return error_text("expected one weight per index: " + std::to_string(indices.size()) +
                          " indices, " + std::to_string(weights.size()) + " weights");
    }
    std::optional<std::string> fault;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        const SynapseLocator locator(partitions, core.layer_sizes().size());
        std::vector<SynapseHot*> targets(indices.size());
        for (std::size_t i = 0; i < indices.size(); ++i) {
            fault = locator.index_fault(name_of(how, i), indices[i]);
            if (!fault) {
                const SynapseLocator::Found found =
                    locator.locate(static_cast<std::uint64_t>(indices[i]));
                fault = weight_fault(weights[i], name_of(how, i), found.group->max_weight);
                targets[i] = found.hot;
            }
            if (fault) {
                if (how.fault_at != nullptr) *how.fault_at = i;
                return;
            }
        }
        if (!how.write) return;
        for (std::size_t i = 0; i < indices.size(); ++i) targets[i]->weight = weights[i];
    });
    if (fault) return error_text(std::move(*fault));
    return ok_status();
}

SynapseRecordingPlan plan_recorded_weights(const std::vector<Partition*>& partitions,
                                           const SynapseLocator& locator,
                                           std::span<const std::int64_t> indices) {
    std::vector<SynapseRecordingPart> parts(partitions.size());
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const SynapseLocator::Found found = locator.locate(static_cast<std::uint64_t>(indices[i]));
        SynapseRecordingPart& part = parts[found.partition];
        part.weights.push_back(&found.hot->weight);
        part.columns.push_back(i);
    }
    SynapseRecordingPlan plan;
    for (std::size_t p = 0; p < partitions.size(); ++p) {
        if (parts[p].weights.empty()) continue;
        parts[p].partition = partitions[p];
        plan.parts.push_back(std::move(parts[p]));
    }
    return plan;
}

std::optional<std::string> synapse_recording_fault(std::span<const std::int64_t> indices,
                                                   std::int64_t every, std::uint64_t num_synapses) {
    if (every < 1) return "Recording period must be at least 1 tick, got " + std::to_string(every);
    // The first position listed before, by index then position.
    std::vector<std::pair<std::int64_t, std::size_t>> sorted(indices.size());
    for (std::size_t i = 0; i < indices.size(); ++i) sorted[i] = {indices[i], i};
    std::sort(sorted.begin(), sorted.end());
    std::optional<std::size_t> repeat;
    std::size_t first_seen = 0;
    for (std::size_t j = 1; j < sorted.size(); ++j) {
        if (sorted[j].first != sorted[j - 1].first) continue;
        // The second occurrence of a run is its first repeat.
        if (j >= 2 && sorted[j - 2].first == sorted[j].first) continue;
        if (!repeat || sorted[j].second < *repeat) {
            repeat = sorted[j].second;
            first_seen = sorted[j - 1].second;
        }
    }
    const std::size_t end = repeat ? *repeat : indices.size();
    for (std::size_t i = 0; i < end; ++i) {
        if (std::optional<std::string> fault = synapse_index_fault(i, indices[i], num_synapses)) {
            return fault;
        }
    }
    if (!repeat) return std::nullopt;
    return "indices[" + std::to_string(*repeat) + "] = " + std::to_string(indices[*repeat]) +
           " is listed twice (also indices[" + std::to_string(first_seen) + "])";
}

Result<std::optional<RecordedWeights>> record_synapses(InstanceCore& core,
                                                       std::span<const std::int64_t> indices,
                                                       std::int64_t every) {
    // Refused before the partitions are reached, even by a failed instance.
    if (every < 1) return error_text(*synapse_recording_fault({}, every, 0));

    std::optional<std::string> fault;
    SynapseRecordingPlan plan;
    core.visit_partitions([&](const std::vector<Partition*>& partitions) {
        const SynapseLocator locator(partitions, core.layer_sizes().size());
        fault = synapse_recording_fault(indices, every, locator.num_synapses());
        if (fault) return;
        plan = plan_recorded_weights(partitions, locator, indices);
    });
    if (fault) return error_text(std::move(*fault));
    auto shared_plan = std::make_shared<const SynapseRecordingPlan>(std::move(plan));
    std::vector<std::uint64_t> columns(indices.begin(), indices.end());
    return core.synapse_recorder().start(std::move(shared_plan), std::move(columns),
                                         static_cast<std::uint64_t>(every), core.t());
}

}  // namespace synaptor
