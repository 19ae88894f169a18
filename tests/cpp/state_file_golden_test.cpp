// A pinned state file: a small fixed network with every kind of plasticity,
// run to a fixed tick with fixed inputs and saved. Its size and digest are
// pinned together with the format version, so that a change of the layout,
// even one made the same way in the writer and the reader (which every
// round-trip test accepts), fails here unless the version changes with it:
// files of the old layout would otherwise be read as the new one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "instance/checkpoint.hpp"
#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "params/params_reader.hpp"
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
constexpr std::uint32_t kGoldenVersion = 1;
constexpr std::uint64_t kGoldenSize = 27939;
constexpr std::uint64_t kGoldenDigest = 0x7ef92867121edcd6ull;

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

/// Inputs that are a function of the tick alone: channels, a forced neuron
/// now and then, rewards of either sign, and a stimulus reaching past the
/// save tick.
void run_to_save_tick(Instance& instance) {
    while (instance.t() < kSaveTick) {
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
        Result<TickResult> result = instance.tick(input);
        if (!result.ok()) panic(result.error());
    }
}

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

}  // namespace
}  // namespace synaptor
