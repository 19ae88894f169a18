// State files of a network spread over processes: the same file as one
// process writes, whatever the number of processes and threads on either
// side. Every call is collective and each step ends in an agreement, so that
// a failure on one process (no file, no memory, a bad file) is raised alike
// on every process and none waits for another that gave up.
// Saving: every process learns the shape of every part (its run of neurons,
// its groups' keys and sizes), which names synapses canonically; each writes
// the piece of each layer it holds, and process 0 merges the pieces, layer
// by layer, into the file. Restoring: every process reads and checks the
// whole file, and applies what falls to its own parts.
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "instance/instance.hpp"
#include "instance/state_file.hpp"
#include "instance/tick_exchange.hpp"
#include "partition/layer_view.hpp"
#include "partition/partition_state_codec.hpp"
#include "util/byte_writer.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

/// How one process's share of a step ended.
struct StepOutcome {
    enum Code : std::uint64_t { Ok = 0, FileFailed = 1, NoMemory = 2, Failed = 3 };
    Code code = Ok;
    StateFileError::Kind kind = StateFileError::Kind::Io;
    int error_number = 0;
    std::string text;
};

/// Runs `step` and says how it ended; nothing escapes but the outcome.
template <class Step>
StepOutcome attempt(Step&& step) {
    try {
        step();
        return {};
    } catch (const StateFileError& failure) {
        return {StepOutcome::FileFailed, failure.kind(), failure.error_number(), failure.what()};
    } catch (const std::bad_alloc&) {
        return {StepOutcome::NoMemory, {}, 0, {}};
    } catch (const std::length_error&) {
        return {StepOutcome::NoMemory, {}, 0, {}};
    } catch (const std::exception& failure) {
        return {StepOutcome::Failed, {}, 0, failure.what()};
    }
}

/// Every process's outcome of a step and `payload` word. When any failed,
/// every process raises the failure of the lowest rank that failed: the
/// same StateFileError, std::bad_alloc, or Panic naming that rank.
std::vector<std::uint64_t> settle(TickExchange& exchange, const StepOutcome& mine,
                                  std::uint64_t payload = 0) {
    constexpr std::size_t kWords = 5;
    const std::vector<std::uint64_t> words = exchange.gather_words(
        {mine.code, static_cast<std::uint64_t>(mine.kind),
         static_cast<std::uint64_t>(static_cast<std::int64_t>(mine.error_number)), mine.text.size(),
         payload});
    const std::size_t ranks = words.size() / kWords;
    std::vector<std::uint64_t> payloads(ranks);
    std::size_t first = ranks;
    for (std::size_t r = 0; r < ranks; ++r) {
        payloads[r] = words[r * kWords + 4];
        if (first == ranks && words[r * kWords] != StepOutcome::Ok) first = r;
    }
    if (first == ranks) return payloads;
    const std::uint64_t* failed = &words[first * kWords];
    std::vector<std::uint64_t> counts(ranks, 0);
    counts[first] = failed[3];
    std::string text(static_cast<std::size_t>(failed[3]), '\0');
    exchange.gather_items(mine.text.data(), 1, text.data(), counts);
    switch (failed[0]) {
        case StepOutcome::FileFailed:
            throw StateFileError(static_cast<StateFileError::Kind>(failed[1]), text,
                                 static_cast<int>(static_cast<std::int64_t>(failed[2])));
        case StepOutcome::NoMemory:
            throw std::bad_alloc();
        default:
            panic("rank " + std::to_string(first) + ": " + text);
    }
}

/// Runs `collective(partitions)` while holding this process's partitions.
/// A process that cannot take them (its instance failed) still meets the
/// others at the first agreement, where all raise its failure.
template <class Collective>
void with_partitions(InstanceCore& core, TickExchange& exchange, Collective&& collective) {
    bool entered = false;
    std::exception_ptr refused;
    try {
        core.visit_partitions([&](const std::vector<Partition*>& partitions) {
            entered = true;
            settle(exchange, {});
            collective(partitions);
        });
        return;
    } catch (...) {
        if (entered) throw;
        refused = std::current_exception();
    }
    settle(exchange, attempt([&] { std::rethrow_exception(refused); }));
    std::rethrow_exception(refused);
}

/// Views of every layer over every process's parts, holding this process's.
std::vector<LayerView> spread_views(TickExchange& exchange,
                                    const std::vector<Partition*>& partitions) {
    const std::size_t num_layers = partitions.front()->layers.size();
    // This process's shapes, layer by layer: the number of parts, then per
    // part its first nid, neurons, groups, and the groups' keys and sizes.
    std::vector<std::uint64_t> mine;
    StepOutcome outcome = attempt([&] {
        for (std::size_t l = 0; l < num_layers; ++l) {
            mine.push_back(partitions.size());
            for (const PartShape& shape : part_shapes(partitions, l)) {
                mine.push_back(shape.first_nid);
                mine.push_back(shape.num_neurons);
                mine.push_back(shape.keys.size());
                mine.insert(mine.end(), shape.keys.begin(), shape.keys.end());
                mine.insert(mine.end(), shape.sizes.begin(), shape.sizes.end());
            }
        }
    });
    const std::vector<std::uint64_t> counts = settle(exchange, outcome, mine.size());
    std::vector<std::uint64_t> all;
    std::vector<std::vector<PartShape>> shapes(num_layers);
    std::vector<std::vector<PartitionLayer*>> held(num_layers);
    std::vector<LayerView> views;
    outcome = attempt([&] {
        std::uint64_t total = 0;
        for (std::uint64_t count : counts) total += count;
        all.resize(total);
    });
    settle(exchange, outcome);
    exchange.gather_items(mine.data(), sizeof(std::uint64_t), all.data(), counts);
    outcome = attempt([&] {
        std::size_t at = 0;
        const auto next = [&]() {
            if (at >= all.size()) panic("the processes' part shapes end early");
            return all[at++];
        };
        for (std::uint64_t r = 0; r < counts.size(); ++r) {
            for (std::size_t l = 0; l < num_layers; ++l) {
                const std::uint64_t num_parts = next();
                for (std::uint64_t p = 0; p < num_parts; ++p) {
                    PartShape& shape = shapes[l].emplace_back();
                    shape.first_nid = next();
                    shape.num_neurons = next();
                    const std::uint64_t num_groups = next();
                    if (num_groups > all.size() - at) panic("a part shape runs past its end");
                    shape.keys.assign(all.begin() + at, all.begin() + at + num_groups);
                    at += num_groups;
                    if (num_groups > all.size() - at) panic("a part shape runs past its end");
                    shape.sizes.assign(all.begin() + at, all.begin() + at + num_groups);
                    at += num_groups;
                    held[l].push_back(r == exchange.rank() ? &partitions.at(p)->layers.at(l)
                                                           : nullptr);
                }
            }
        }
        std::vector<std::uint64_t>().swap(all);
        for (std::size_t l = 0; l < num_layers; ++l) {
            views.emplace_back(shapes[l], held[l]);
            std::vector<PartShape>().swap(shapes[l]);
        }
    });
    settle(exchange, outcome);
    return views;
}

}  // namespace

void Instance::save_state_spread(const std::string& path, TickExchange& exchange) {
    const bool first = exchange.rank() == 0;
    with_partitions(*core_, exchange, [&](const std::vector<Partition*>& partitions) {
        const std::vector<LayerView> views = spread_views(exchange, partitions);
        // Process 0 writes the file; every process's stimulus state is the
        // same, as every process runs the same calls.
        std::unique_ptr<StateFileSave> save;
        settle(exchange, attempt([&] {
                   if (!first) return;
                   save = std::make_unique<StateFileSave>(path);
                   write_instance_section(save->out());
                   write_layer_summary(save->out(), views);
               }));
        for (const LayerView& view : views) {
            ByteWriter piece;
            const StepOutcome written =
                attempt([&] { write_layer_piece(piece, view, core_->t()); });
            const std::vector<std::uint64_t> sizes = settle(exchange, written, piece.size());
            std::vector<unsigned char> pieces;
            settle(exchange, attempt([&] {
                       if (!first) return;
                       std::uint64_t total = 0;
                       for (std::uint64_t size : sizes) total += size;
                       pieces.resize(total);
                   }));
            exchange.gather_bytes_to_first(piece.data(), pieces.data(), sizes);
            piece = ByteWriter();
            settle(exchange, attempt([&] {
                       if (!first) return;
                       std::vector<std::span<const unsigned char>> spans;
                       std::size_t at = 0;
                       for (std::uint64_t size : sizes) {
                           spans.emplace_back(pieces.data() + at, size);
                           at += size;
                       }
                       merge_layer_pieces(save->out(), view, spans);
                       save->flush();
                   }));
        }
        settle(exchange, attempt([&] {
                   if (first) save->finish(core_->fingerprint());
               }));
    });
}

void Instance::restore_state_spread(const std::string& path, TickExchange& exchange) {
    // Every process reads the whole file, so every one checks all of it.
    std::unique_ptr<CheckedStateFile> file;
    settle(exchange, attempt([&] { file = open_state_file(path, core_->fingerprint()); }));
    with_partitions(*core_, exchange, [&](const std::vector<Partition*>& partitions) {
        const std::vector<LayerView> views = spread_views(exchange, partitions);
        settle(exchange, attempt([&] {
                   check_state_content(*core_, *file, [&](FileReader& in, std::uint64_t t) {
                       check_partition_state(in, views, t);
                   });
               }));
        // Every process has accepted the whole file; a failure now fails this
        // process's instance, and every process learns of it in the next
        // tick's exchange.
        apply_state_content(
            *core_, *file,
            [&](FileReader& in, std::uint64_t t) { apply_partition_state(in, views, t); },
            [&](InstanceSection section) {
                apply_instance_section(std::move(section), partitions);
            });
    });
}

}  // namespace synaptor
