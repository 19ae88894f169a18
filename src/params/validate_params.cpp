#include "params/validate_params.hpp"

#include <cmath>
#include <string>
#include <unordered_set>

#include "util/available_cpus.hpp"
#include "util/projection_geometry.hpp"
#include "util/tick_arithmetic.hpp"
#include "util/unit_f32.hpp"

namespace synaptor {
namespace {

Status reject(std::string message) { return error_text(std::move(message)); }

struct PairHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& p) const {
        const std::uint64_t h =
            p.first * 0x9E3779B97F4A7C15ULL ^ (p.second + 0x632BE59BD9B4E019ULL);
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

Status check_layer(const LayerParams& layer) {
    const NeuronParams& n = layer.neuron_params;
    if (n.tau_membrane <= 0.0f) return reject("tau_membrane must be strictly positive");
    if (n.refractory_period == 0) return reject("refractory_period must be strictly positive");
    if (n.reset_voltage >= 1.0f) return reject("reset_voltage must be less than 1.0");
    if (n.voltage_floor > n.reset_voltage) {
        return reject("reset_voltage must not be less than voltage_floor");
    }
    if (n.reset_voltage >= n.adaptation_threshold) {
        return reject("reset_voltage must be less than adaptation_threshold");
    }
    if (n.tau_threshold <= 0.0f) return reject("tau_threshold must be strictly positive");
    if (n.voltage_floor > 0.0f) return reject("voltage_floor must not be greater than zero");
    if (!layer.plasticity_modulation_params) return ok_status();
    const PlasticityModulationParams& m = *layer.plasticity_modulation_params;
    if (m.tau_eligibility_trace <= 0.0f) {
        return reject("tau_eligibility_trace must be strictly positive");
    }
    if (m.eligibility_trace_delay > m.t_cutoff_eligibility_trace) {
        return reject(
            "eligibility_trace_delay must not be greater than t_cutoff_eligibility_trace");
    }
    if (m.dopamine_modulation_factor <= 0.0f) {
        return reject("dopamine_modulation_factor must be strictly positive");
    }
    // The multiple test below divides by the conflation period.
    if (m.dopamine_conflation_period == 0) {
        return reject("dopamine_conflation_period must be strictly positive");
    }
    if (m.dopamine_flush_period % m.dopamine_conflation_period != 0) {
        return reject("dopamine_flush_period must be a multiple of dopamine_conflation_period");
    }
    return ok_status();
}

Status check_connection(const LayerConnectionParams& c, std::uint64_t layer_count) {
    const std::string from = std::to_string(c.from_layer_id);
    const std::string to = std::to_string(c.to_layer_id);
    if (c.from_layer_id >= layer_count) return reject("invalid from_layer_id: " + from);
    if (c.to_layer_id >= layer_count) return reject("invalid to_layer_id: " + to);
    const ProjectionParams& p = c.projection_params;
    if (p.synapse_params.max_weight <= 0.0f) return reject("max_weight must be strictly positive");
    if (p.stp_params.kind != StpParams::Kind::NoStp) {
        const StpParams& s = p.stp_params;
        if (s.tau <= 0.0f) return reject("stp_params: tau must be strictly positive");
        if (s.p0 < 0.0f || s.p0 > 1.0f) return reject("stp_params: p0 must be in [0, 1]");
        if (s.factor <= 0.0f || s.factor > 1.0f) {
            return reject("stp_params: factor must be in (0, 1]");
        }
    }
    if (p.long_term_stdp_params) {
        if (p.long_term_stdp_params->tau_pre_before_post <= 0.0f) {
            return reject("tau_pre_before_post must be strictly positive");
        }
        if (p.long_term_stdp_params->tau_pre_after_post <= 0.0f) {
            return reject("tau_pre_after_post must be strictly positive");
        }
    }
    if (p.short_term_stdp_params) {
        const ShortTermStdpParams& s = *p.short_term_stdp_params;
        if (s.stdp_params.tau_pre_before_post <= 0.0f) {
            return reject("tau_pre_before_post must be strictly positive");
        }
        if (s.stdp_params.tau_pre_after_post <= 0.0f) {
            return reject("tau_pre_after_post must be strictly positive");
        }
        if (s.tau <= 0.0f) return reject("short_term_stdp_params: tau must be strictly positive");
    }
    if (c.connect_density <= 0.0 || c.connect_density > 1.0) {
        return reject("connect_density must be in (0, 1]");
    }
    if (c.connect_width <= 0.0 || c.connect_width > 2.0) {
        return reject("connect_width must be in (0, 2]");
    }
    const InitialSynWeight& w = c.initial_syn_weight;
    if (w.kind == InitialSynWeight::Kind::Constant && w.value < 0.0f) {
        return reject("Parameter for constant initial synaptic weight must not be negative");
    }
    if (w.kind == InitialSynWeight::Kind::Randomized && w.value <= 0.0f) {
        return reject("Parameter for randomized initial synaptic weight must be strictly positive");
    }
    if (c.conduction_delay_position_distance_scale_factor < 0.0) {
        return reject("conduction_delay_position_distance_scale_factor must not be negative");
    }
    return ok_status();
}

/// Whether construction can give a synapse of `c` a conduction delay above 255.
/// Mirrors construction's window, amount and delay arithmetic (saturating, so
/// huge values cannot wrap); positions are monotonic, so the farthest candidate
/// of a window is at one of its ends. Connections of an empty layer make no
/// synapses.
bool conduction_delay_can_exceed_255(const LayerConnectionParams& c,
                                     const std::vector<LayerParams>& layers) {
    const std::uint64_t m = layers[c.from_layer_id].num_neurons;
    const std::uint64_t n = layers[c.to_layer_id].num_neurons;
    if (m == 0 || n == 0) return false;
    const double scale = c.conduction_delay_position_distance_scale_factor;
    const std::uint64_t fixed = saturating_add(
        saturating_add(c.conduction_delay_max_random_part, c.conduction_delay_add_on), 1);
    // No window reaches farther than half its width (plus eps) and no two
    // positions are farther apart than 1; with a margin for rounding this bound
    // settles almost every connection without a pass over its neurons.
    const double reach = std::fmin(c.connect_width * 0.5 + kWindowEps, 1.0);
    const double bound_distance = reach * (1.0 + 1e-9) + 1e-9;
    if (saturating_add(fixed, round_to_u64(bound_distance * scale)) <= 255) return false;

    const LayerGeometry pre(m);
    const LayerGeometry post(n);
    const bool self_connection = c.from_layer_id == c.to_layer_id;
    for (std::uint64_t k = 0; k < m; ++k) {
        const double p = pre.position(k);
        const ProjectionWindow w = projection_window(p, c.connect_width, post);
        if (w.empty()) continue;
        const std::uint64_t count = w.count();
        std::uint64_t amount = round_to_u64(static_cast<double>(count) * c.connect_density);
        if (amount > count) amount = count;
        if (amount == 0) continue;
        // A window holding only the neuron itself makes no synapse without self-innervation.
        if (self_connection && !c.allow_self_innervation && count == 1 && w.lo == k) continue;
        const double distance =
            std::fmax(std::fabs(post.position(w.lo) - p), std::fabs(post.position(w.hi) - p));
        if (saturating_add(fixed, round_to_u64(distance * scale)) > 255) return true;
    }
    return false;
}

/// Limits of what construction can build, checked after every other rule so
/// that none of those loses its precedence.
Status check_construction_limits(const InstanceParams& params) {
    // Neuron ids are u64: a total beyond their range would wrap and number
    // no neuron correctly.
    std::uint64_t num_neurons = 0;
    for (const LayerParams& layer : params.layers) {
        if (layer.num_neurons > std::numeric_limits<std::uint64_t>::max() - num_neurons) {
            return reject("the layers' num_neurons must not add up to more than " +
                          std::to_string(std::numeric_limits<std::uint64_t>::max()));
        }
        num_neurons += layer.num_neurons;
    }
    for (const LayerParams& layer : params.layers) {
        if (layer.plasticity_modulation_params &&
            layer.plasticity_modulation_params->dopamine_flush_period == 0) {
            return reject("dopamine_flush_period must be strictly positive");
        }
    }
    for (const LayerConnectionParams& c : params.layer_connections) {
        const InitialSynWeight& w = c.initial_syn_weight;
        // The inclusive f32 draw scales by value / kMaxUnitF32, which must be finite.
        if (w.kind == InitialSynWeight::Kind::Randomized && !std::isfinite(w.value / kMaxUnitF32)) {
            return reject("Parameter for randomized initial synaptic weight must be finite");
        }
        // A delay is stored in 8 bits.
        if (conduction_delay_can_exceed_255(c, params.layers)) {
            return reject("conduction delay of connection from layer " +
                          std::to_string(c.from_layer_id) + " to layer " +
                          std::to_string(c.to_layer_id) + " can exceed 255 ticks");
        }
    }
    return ok_status();
}

}  // namespace

Status validate_params(const InstanceParams& params) {
    for (const LayerParams& layer : params.layers) {
        Status s = check_layer(layer);
        if (!s) return s;
    }
    std::unordered_set<std::pair<std::uint64_t, std::uint64_t>, PairHash> seen;
    seen.reserve(params.layer_connections.size());
    const std::uint64_t layer_count = params.layers.size();
    for (const LayerConnectionParams& c : params.layer_connections) {
        if (!seen.insert({c.from_layer_id, c.to_layer_id}).second) {
            return reject("duplicate connection from layer " + std::to_string(c.from_layer_id) +
                          " to layer " + std::to_string(c.to_layer_id));
        }
        Status s = check_connection(c, layer_count);
        if (!s) return s;
    }
    const std::optional<std::uint64_t>& num_threads = params.technical_params.num_threads;
    if (num_threads && *num_threads > available_cpu_count()) {
        return reject("num_threads must not be greater than number of available CPUs");
    }
    return check_construction_limits(params);
}

}  // namespace synaptor
