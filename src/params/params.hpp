// Parameter records of a network document: plain values, owned lists, no
// behaviour. Declaration order is the order in which missing fields are
// reported and the order of the JSON array form. Read by the YAML and JSON
// readers, checked by validate_params, copied into every worker.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace synaptor {

struct NeuronParams {
    float tau_membrane = 0.0f;
    std::uint8_t refractory_period = 0;
    float reset_voltage = 0.0f;
    std::uint64_t t_cutoff_coincidence = 0;
    float adaptation_threshold = 0.0f;
    float tau_threshold = 0.0f;
    float voltage_floor = 0.0f;

    bool operator==(const NeuronParams&) const = default;
};

struct PlasticityModulationParams {
    float tau_eligibility_trace = 0.0f;
    std::uint64_t eligibility_trace_delay = 0;
    float dopamine_modulation_factor = 0.0f;
    std::uint64_t t_cutoff_eligibility_trace = 0;
    std::uint64_t dopamine_flush_period = 0;
    std::uint64_t dopamine_conflation_period = 0;

    bool operator==(const PlasticityModulationParams&) const = default;
};

struct LayerParams {
    std::uint64_t num_neurons = 0;
    NeuronParams neuron_params;
    std::optional<PlasticityModulationParams> plasticity_modulation_params;

    bool operator==(const LayerParams&) const = default;
};

struct SynapseParams {
    float max_weight = 0.0f;
    float weight_scale_factor = 0.0f;

    bool operator==(const SynapseParams&) const = default;
};

/// Short-term plasticity: a tagged choice of NoStp, Depression, Facilitation.
/// `tau`, `p0` and `factor` are meaningful only for Depression and Facilitation.
struct StpParams {
    enum class Kind : std::uint8_t { NoStp, Depression, Facilitation };
    Kind kind = Kind::NoStp;
    float tau = 0.0f;
    float p0 = 0.0f;
    float factor = 0.0f;

    bool operator==(const StpParams&) const = default;
};

struct StdpParams {
    float factor_pre_before_post = 0.0f;
    float tau_pre_before_post = 0.0f;
    float factor_pre_after_post = 0.0f;
    float tau_pre_after_post = 0.0f;

    bool operator==(const StdpParams&) const = default;
};

struct ShortTermStdpParams {
    StdpParams stdp_params;
    float tau = 0.0f;

    bool operator==(const ShortTermStdpParams&) const = default;
};

struct ProjectionParams {
    SynapseParams synapse_params;
    StpParams stp_params;
    std::optional<StdpParams> long_term_stdp_params;
    std::optional<ShortTermStdpParams> short_term_stdp_params;

    bool operator==(const ProjectionParams&) const = default;
};

/// Initial weights: a tagged choice of Randomized (uniform in [0, value]) or Constant.
struct InitialSynWeight {
    enum class Kind : std::uint8_t { Randomized, Constant };
    Kind kind = Kind::Constant;
    float value = 0.0f;

    bool operator==(const InitialSynWeight&) const = default;
};

struct LayerConnectionParams {
    std::uint64_t from_layer_id = 0;
    std::uint64_t to_layer_id = 0;
    ProjectionParams projection_params;
    double connect_density = 0.0;
    double connect_width = 0.0;
    InitialSynWeight initial_syn_weight;
    std::uint64_t conduction_delay_max_random_part = 0;
    double conduction_delay_position_distance_scale_factor = 0.0;
    std::uint64_t conduction_delay_add_on = 0;
    bool allow_self_innervation = false;

    bool operator==(const LayerConnectionParams&) const = default;
};

struct TechnicalParams {
    std::optional<std::uint64_t> num_threads;
    bool pin_threads = false;
    std::optional<std::uint64_t> seed_override;

    bool operator==(const TechnicalParams&) const = default;
};

struct InstanceParams {
    std::vector<LayerParams> layers;
    std::vector<LayerConnectionParams> layer_connections;
    TechnicalParams technical_params;

    bool operator==(const InstanceParams&) const = default;
};

}  // namespace synaptor
