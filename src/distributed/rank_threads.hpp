// How many worker threads each process of a distributed instance runs when
// the document leaves num_threads unset, and the warning for a node given
// more threads than it has CPUs. Pure functions of the counts, so that the
// rules are tested without MPI; creation (calling thread) applies them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace synaptor {

/// The CPUs a process sees, shared among the processes of its node: at least 1.
inline std::uint64_t default_threads_per_rank(std::uint64_t available_cpus,
                                              std::uint64_t ranks_on_node) {
    return std::max<std::uint64_t>(1, available_cpus / std::max<std::uint64_t>(1, ranks_on_node));
}

/// A text for the user when the node's processes together run more worker
/// threads than it has CPUs: workers then wait for each other's time slices
/// at every tick, which costs orders of magnitude.
inline std::optional<std::string> oversubscription_warning(std::uint64_t ranks_on_node,
                                                           std::uint64_t threads_per_rank,
                                                           std::uint64_t node_cpus,
                                                           bool threads_from_document) {
    if (ranks_on_node * threads_per_rank <= node_cpus) return std::nullopt;
    std::string text = std::to_string(ranks_on_node) + " processes x " +
                       std::to_string(threads_per_rank) +
                       " worker threads on this node exceed its " + std::to_string(node_cpus) +
                       " available CPUs, so every tick waits for time slices; ";
    if (ranks_on_node <= node_cpus) {
        // Only the document's thread count is too high.
        text += "set technical_params.num_threads to " +
                std::to_string(default_threads_per_rank(node_cpus, ranks_on_node)) +
                " or leave it unset";
    } else {
        text += "start at most " + std::to_string(node_cpus) + " processes on this node" +
                (threads_from_document ? " with technical_params.num_threads 1" : "");
    }
    return text;
}

}  // namespace synaptor
