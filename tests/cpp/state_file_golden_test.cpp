// A pinned state file: a small fixed network with every kind of plasticity,
// run to a fixed tick with fixed inputs and saved. Its size and digest are
// pinned together with the format version, so that a change of the layout,
// even one made the same way in the writer and the reader (which every
// round-trip test accepts), fails here unless the version changes with it:
// files of the old layout would otherwise be read as the new one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "instance/checkpoint.hpp"
#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "params/params_reader.hpp"
#include "partition/layer_view.hpp"
#include "partition/partition_state_codec.hpp"
#include "util/buffered_file.hpp"
#include "util/byte_writer.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// Depression, facilitation, long- and short-term STDP, recurrence, delays of
// several ticks and a dopamine-modulated layer, so that every section of the
// file (recent inputs, samples, traces, full and weight-only synapse
// encodings, events in flight) holds something at the save tick.
constexpr const char* kDocument = R"({
  "layers": [
    {"num_neurons": 16,
     "neuron_params": {"tau_membrane": 10.0, "refractory_period": 2, "reset_voltage": 0.0,
                       "t_cutoff_coincidence": 20, "adaptation_threshold": 1.0,
                       "tau_threshold": 50.0, "voltage_floor": -1.0}},
    {"num_neurons": 20,
     "neuron_params": {"tau_membrane": 12.0, "refractory_period": 2, "reset_voltage": -0.25,
                       "t_cutoff_coincidence": 15, "adaptation_threshold": 0.5,
                       "tau_threshold": 40.0, "voltage_floor": -2.0},
     "plasticity_modulation_params": {
       "tau_eligibility_trace": 8.0, "eligibility_trace_delay": 2,
       "dopamine_modulation_factor": 0.5, "t_cutoff_eligibility_trace": 30,
       "dopamine_flush_period": 6, "dopamine_conflation_period": 3}},
    {"num_neurons": 8,
     "neuron_params": {"tau_membrane": 10.0, "refractory_period": 3, "reset_voltage": 0.0,
                       "t_cutoff_coincidence": 20, "adaptation_threshold": 1.0,
                       "tau_threshold": 50.0, "voltage_floor": 0.0}}
  ],
  "layer_connections": [
    {"from_layer_id": 0, "to_layer_id": 1,
     "projection_params": {
       "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
       "stp_params": "NoStp",
       "long_term_stdp_params": {"factor_pre_before_post": 0.05, "tau_pre_before_post": 6.0,
                                 "factor_pre_after_post": -0.04, "tau_pre_after_post": 7.0}},
     "connect_density": 0.8, "connect_width": 0.7,
     "initial_syn_weight": {"Randomized": 0.7},
     "conduction_delay_max_random_part": 3,
     "conduction_delay_position_distance_scale_factor": 4.0,
     "conduction_delay_add_on": 0, "allow_self_innervation": true},
    {"from_layer_id": 1, "to_layer_id": 1,
     "projection_params": {
       "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
       "stp_params": {"Depression": {"tau": 5.0, "p0": 0.8, "factor": 0.5}},
       "short_term_stdp_params": {
         "stdp_params": {"factor_pre_before_post": 0.05, "tau_pre_before_post": 6.0,
                         "factor_pre_after_post": -0.04, "tau_pre_after_post": 7.0},
         "tau": 4.0}},
     "connect_density": 0.5, "connect_width": 2.0,
     "initial_syn_weight": {"Randomized": 0.5},
     "conduction_delay_max_random_part": 0,
     "conduction_delay_position_distance_scale_factor": 0.0,
     "conduction_delay_add_on": 1, "allow_self_innervation": true},
    {"from_layer_id": 1, "to_layer_id": 2,
     "projection_params": {
       "synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
       "stp_params": {"Facilitation": {"tau": 4.0, "p0": 0.3, "factor": 0.4}},
       "long_term_stdp_params": {"factor_pre_before_post": 0.05, "tau_pre_before_post": 6.0,
                                 "factor_pre_after_post": -0.04, "tau_pre_after_post": 7.0}},
     "connect_density": 1.0, "connect_width": 2.0,
     "initial_syn_weight": {"Randomized": 0.9},
     "conduction_delay_max_random_part": 2,
     "conduction_delay_position_distance_scale_factor": 0.0,
     "conduction_delay_add_on": 0, "allow_self_innervation": true},
    {"from_layer_id": 2, "to_layer_id": 1,
     "projection_params": {
       "synapse_params": {"max_weight": 1.0, "weight_scale_factor": -1.0},
       "stp_params": "NoStp"},
     "connect_density": 1.0, "connect_width": 2.0,
     "initial_syn_weight": {"Constant": 0.3},
     "conduction_delay_max_random_part": 0,
     "conduction_delay_position_distance_scale_factor": 0.0,
     "conduction_delay_add_on": 0, "allow_self_innervation": true}
  ],
  "technical_params": {"num_threads": 1, "pin_threads": false, "seed_override": 31}
})";

constexpr std::uint64_t kSaveTick = 120;

// Recorded from this network at kSaveTick. A change of the state format must
// bump kStateFileVersion; update these two values only together with it.
constexpr std::uint32_t kGoldenVersion = 2;
constexpr std::uint64_t kGoldenSize = 27940;
constexpr std::uint64_t kGoldenDigest = 0x2e18f2fdbb130cf8ull;

// The same file as version 1 wrote it, before the plasticity switch was
// saved: data/state_file_v1.state. Files of that version must go on restoring.
constexpr std::uint64_t kVersion1Size = 27939;
constexpr std::uint64_t kVersion1Digest = 0x7ef92867121edcd6ull;

std::unique_ptr<Instance> make_instance(std::uint64_t threads) {
    Result<InstanceParams> params = params_from_json(kDocument);
    if (!params.ok()) panic(params.error());
    InstanceParams p = std::move(params).value();
    p.technical_params.num_threads = threads;
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    auto core = create_instance_core(std::move(p), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), 3);
    instance->non_coherent_stimulation_rate = 0.03;
    instance->reward_rate = 0.25f;
    return instance;
}

/// Ticks until t_end with inputs that are a function of the tick alone:
/// channels, a forced neuron now and then, rewards of either sign, and a
/// stimulus reaching past the save tick. A snapshot every 20 ticks after it.
std::vector<TickResult> run_until(Instance& instance, std::uint64_t t_end) {
    std::vector<TickResult> results;
    while (instance.t() < t_end) {
        const std::uint64_t t = instance.t();
        if (t == 90) {
            Stimulus stimulus;
            stimulus.in_channel_spikes_ts = {5, 20, 45};
            stimulus.in_channel_spikes_ids = {1, 2, 3};
            stimulus.force_neuron_spikes_ts = {10, 60};
            stimulus.force_neuron_spikes_ids = {25, 40};
            instance.apply_stimulus(stimulus);
        }
        TickInput input;
        for (std::uint64_t c = 0; c < 16; ++c) {
            if ((t * 7 + c * 3) % 5 == 0) input.spiking_in_channel_ids.push_back(c);
        }
        if (t % 9 == 4) input.force_spiking_nids.push_back((t * 11) % instance.num_neurons());
        input.reward = static_cast<float>(static_cast<int>(t % 5) - 2) * 0.25f;
        input.extract_state_snapshot = t > kSaveTick && t % 20 == 0;
        Result<TickResult> result = instance.tick(input);
        if (!result.ok()) panic(result.error());
        results.push_back(std::move(result).value());
    }
    return results;
}

void run_to_save_tick(Instance& instance) { run_until(instance, kSaveTick); }

Bytes saved_file(std::uint64_t threads) {
    const fs::path file =
        fs::temp_directory_path() / ("synaptor-golden-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(threads) + ".state");
    auto instance = make_instance(threads);
    run_to_save_tick(*instance);
    instance->save_state(file.string());
    std::ifstream in(file, std::ios::binary);
    Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    fs::remove(file);
    return bytes;
}

std::uint64_t stored_u64(const Bytes& bytes, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{bytes.at(at + i)} << (8 * i);
    return v;
}

TEST(StateFileGolden, FileOfAFixedNetworkIsPinnedWithTheFormatVersion) {
    const Bytes file = saved_file(1);
    ASSERT_GE(file.size(), kStateFileHeaderSize);
    // The digest covers the whole file: header bytes 0-31 and, through its
    // hash, the content; the header carries it at bytes 32-39.
    const std::uint64_t digest = state_file_checksum(file.data(), file.size());
    EXPECT_EQ(stored_u64(file, 32), digest);
    const bool same = kStateFileVersion == kGoldenVersion && file.size() == kGoldenSize &&
                      digest == kGoldenDigest;
    EXPECT_TRUE(same)
        << "the state file of the fixed network changed: version " << kStateFileVersion << ", size "
        << file.size() << ", digest 0x" << std::hex << digest
        << ". A changed layout must bump kStateFileVersion (old files would otherwise be "
           "misread); update the golden digest only together with a format version bump.";
}

TEST(StateFileGolden, FileIsTheSameForAnyNumberOfWorkerThreads) {
    const Bytes one = saved_file(1);
    for (std::uint64_t threads : {2, 3}) {
        SCOPED_TRACE(threads);
        EXPECT_TRUE(saved_file(threads) == one);
    }
}

TEST(StateFileGolden, PinnedFileRestoresAndSavesAgainUnchanged) {
    const Bytes file = saved_file(1);
    const fs::path path =
        fs::temp_directory_path() / ("synaptor-golden-again-" + std::to_string(::getpid()));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
    }
    auto other = make_instance(2);
    other->restore_state(path.string());
    EXPECT_EQ(other->t(), kSaveTick);
    other->save_state(path.string());
    std::ifstream in(path, std::ios::binary);
    const Bytes again{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    fs::remove(path);
    EXPECT_TRUE(again == file);
}

Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Spikes, transmissions and snapshots (voltages and weights by their bits,
/// synapses in a partitioning-free order) of two runs, tick by tick.
void expect_same_ticks(const std::vector<TickResult>& actual,
                       const std::vector<TickResult>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TickResult& a = actual[i];
        const TickResult& e = expected[i];
        ASSERT_EQ(a.t, e.t);
        ASSERT_EQ(a.spiking_nids, e.spiking_nids) << "tick " << e.t;
        ASSERT_EQ(a.synaptic_transmission_count, e.synaptic_transmission_count) << "tick " << e.t;
        ASSERT_EQ(a.state_snapshot.has_value(), e.state_snapshot.has_value()) << "tick " << e.t;
        if (!e.state_snapshot) continue;
        const auto bits = [](const StateSnapshot& s) {
            std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> set;
            for (std::size_t k = 0; k < s.weights.size(); ++k) {
                set.emplace_back(s.pre_syn_nids[k], s.post_syn_nids[k],
                                 std::bit_cast<std::uint32_t>(s.weights[k]));
            }
            std::sort(set.begin(), set.end());
            return set;
        };
        std::vector<std::uint32_t> va;
        std::vector<std::uint32_t> ve;
        for (float v : a.state_snapshot->membrane_voltages)
            va.push_back(std::bit_cast<std::uint32_t>(v));
        for (float v : e.state_snapshot->membrane_voltages)
            ve.push_back(std::bit_cast<std::uint32_t>(v));
        ASSERT_EQ(va, ve) << "tick " << e.t;
        ASSERT_EQ(bits(*a.state_snapshot), bits(*e.state_snapshot)) << "tick " << e.t;
    }
}

TEST(StateFileGolden, VersionOneFileRestoresWithLearningOnAndContinuesAsTheNetworkWould) {
    const fs::path path = fs::path(SYNAPTOR_TEST_DATA_DIR) / "state_file_v1.state";
    const Bytes v1 = read_bytes(path);
    ASSERT_EQ(v1.size(), kVersion1Size);
    EXPECT_EQ(v1.at(8), 1u);  // the version's low byte
    EXPECT_EQ(state_file_checksum(v1.data(), v1.size()), kVersion1Digest);

    auto reference = make_instance(1);
    run_to_save_tick(*reference);
    const std::vector<TickResult> expected = run_until(*reference, kSaveTick + 100);
    ASSERT_TRUE(reference->plasticity_enabled());

    for (std::uint64_t threads : {1, 3}) {
        SCOPED_TRACE(threads);
        auto restored = make_instance(threads);
        // Off before the restore: the old file, which knows no switch, turns it on.
        restored->set_plasticity_enabled(false);
        restored->restore_state(path.string());
        EXPECT_EQ(restored->t(), kSaveTick);
        EXPECT_TRUE(restored->plasticity_enabled());
        expect_same_ticks(run_until(*restored, kSaveTick + 100), expected);
    }
}

TEST(StateFileGolden, VersionOneFileIsReadAsVersionOneOnly) {
    // The same bytes labelled version 2 lack the switch's byte: the reader
    // must not take them for a file of the current layout.
    Bytes relabelled = read_bytes(fs::path(SYNAPTOR_TEST_DATA_DIR) / "state_file_v1.state");
    ASSERT_EQ(relabelled.size(), kVersion1Size);
    relabelled[8] = 2;
    const std::uint64_t checksum = state_file_checksum(relabelled.data(), relabelled.size());
    for (int i = 0; i < 8; ++i)
        relabelled[32 + i] = static_cast<unsigned char>(checksum >> (8 * i));
    const fs::path path =
        fs::temp_directory_path() / ("synaptor-golden-relabelled-" + std::to_string(::getpid()));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(relabelled.data()),
                  static_cast<std::streamsize>(relabelled.size()));
    }
    auto instance = make_instance(1);
    try {
        instance->restore_state(path.string());
        ADD_FAILURE() << "a version 1 content labelled version 2 was accepted";
    } catch (const StateFileError& error) {
        EXPECT_NE(std::string(error.what()).find("damaged"), std::string::npos) << error.what();
    }
    fs::remove(path);
    EXPECT_EQ(instance->t(), 0u);
}

// A network spread over processes: each holds a run of the partitions and
// writes the pieces of its parts; the merge of the pieces must be the bytes
// one process writes, and every process reading the whole content into its
// own parts must rebuild the same state.

/// Views of every layer holding parts [begin, end) only.
std::vector<LayerView> views_holding(const std::vector<Partition*>& partitions, std::size_t begin,
                                     std::size_t end) {
    std::vector<LayerView> views;
    for (std::size_t l = 0; l < partitions.front()->layers.size(); ++l) {
        std::vector<PartitionLayer*> held(partitions.size(), nullptr);
        for (std::size_t p = begin; p < end; ++p) held[p] = &partitions[p]->layers.at(l);
        views.emplace_back(part_shapes(partitions, l), held);
    }
    return views;
}

/// The partitions' share of the file as one process writes it, and as
/// "processes" holding the runs [0, splits[0]), [splits[0], splits[1]), ...
/// merge it.
std::pair<Bytes, Bytes> written_whole_and_merged(Instance& instance,
                                                 const std::vector<std::size_t>& splits) {
    Bytes whole;
    Bytes merged;
    instance.core().visit_partitions([&](const std::vector<Partition*>& partitions) {
        ByteWriter one;
        write_partition_state(one, partitions, instance.t());
        whole.assign(one.data(), one.data() + one.size());

        std::vector<std::vector<LayerView>> ranks;
        std::size_t begin = 0;
        for (std::size_t end : splits) {
            ranks.push_back(views_holding(partitions, begin, end));
            begin = end;
        }
        ByteWriter out;
        write_layer_summary(out, ranks.front());
        for (std::size_t l = 0; l < ranks.front().size(); ++l) {
            std::vector<ByteWriter> pieces(ranks.size());
            std::vector<std::span<const unsigned char>> spans;
            for (std::size_t r = 0; r < ranks.size(); ++r) {
                write_layer_piece(pieces[r], ranks[r][l], instance.t());
                spans.emplace_back(pieces[r].data(), pieces[r].size());
            }
            merge_layer_pieces(out, ranks.front()[l], spans);
        }
        merged.assign(out.data(), out.data() + out.size());
    });
    return {whole, merged};
}

TEST(StateFilePieces, PiecesOfAnyRunsOfPartsMergeIntoTheBytesOfOneProcess) {
    auto instance = make_instance(4);
    run_to_save_tick(*instance);
    for (const std::vector<std::size_t>& splits :
         {std::vector<std::size_t>{4}, {1, 4}, {3, 4}, {1, 2, 4}, {1, 2, 3, 4}}) {
        const auto [whole, merged] = written_whole_and_merged(*instance, splits);
        EXPECT_EQ(merged, whole) << "split after part " << splits.front();
    }

    // A group whose synapses have short-term state in one part only is
    // written in full, the others' synapses with zeros.
    instance->core().visit_partitions([](const std::vector<Partition*>& partitions) {
        for (PartitionLayer& layer : partitions[3]->layers) {
            for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
                for (SynapseRef synapse : layer.pre_syn_groups.group_at(g).synapses) {
                    synapse.short_term_weight = 0.0f;
                    synapse.short_term_update_t = 0;
                }
            }
        }
        for (PartitionLayer& layer : partitions[0]->layers) {
            for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
                layer.pre_syn_groups.group_at(g).synapses[0].short_term_update_t = 7;
            }
        }
    });
    const auto [whole, merged] = written_whole_and_merged(*instance, {1, 3, 4});
    EXPECT_EQ(merged, whole);
}

TEST(StateFilePieces, EachProcessAppliesItsOwnPartsOfTheWholeContent) {
    auto saved = make_instance(3);
    run_to_save_tick(*saved);
    const Bytes whole = written_whole_and_merged(*saved, {3}).first;
    const fs::path path =
        fs::temp_directory_path() / ("synaptor-pieces-" + std::to_string(::getpid()));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(whole.data()),
                  static_cast<std::streamsize>(whole.size()));
    }
    auto restored = make_instance(3);
    restored->core().visit_partitions([&](const std::vector<Partition*>& partitions) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        // Two "processes", one holding part 0 and one parts 1 and 2: each
        // checks the whole content and applies its own parts.
        for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 3}}) {
            const std::vector<LayerView> views = views_holding(partitions, begin, end);
            FileReader check(fd, path.string(), "state file", 0, whole.size());
            check_partition_state(check, views, kSaveTick);
            EXPECT_EQ(check.remaining(), 0u);
            FileReader apply(fd, path.string(), "state file", 0, whole.size());
            apply_partition_state(apply, views, kSaveTick);
        }
        ::close(fd);
    });
    fs::remove(path);
    // Only the partitions' state was read (the instance's own is not part of
    // this test), so their bytes are compared as the partitions write them.
    Bytes again;
    restored->core().visit_partitions([&](const std::vector<Partition*>& partitions) {
        ByteWriter out;
        write_partition_state(out, partitions, kSaveTick);
        again.assign(out.data(), out.data() + out.size());
    });
    EXPECT_EQ(again, whole);
}

}  // namespace
}  // namespace synaptor
