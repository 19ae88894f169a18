// The network fingerprint a state file carries: see checkpoint.hpp.
#include <bit>

#include "instance/checkpoint.hpp"
#include "util/byte_writer.hpp"
#include "util/hash.hpp"

namespace synaptor {

namespace {

/// A float by its bits, widened to 64 bits as every value of the input is.
void put_f32(ByteWriter& sink, float v) { sink.u64(std::bit_cast<std::uint32_t>(v)); }

void put_stdp(ByteWriter& sink, const StdpParams& p) {
    put_f32(sink, p.factor_pre_before_post);
    put_f32(sink, p.tau_pre_before_post);
    put_f32(sink, p.factor_pre_after_post);
    put_f32(sink, p.tau_pre_after_post);
}

}  // namespace

std::uint64_t network_fingerprint(const InstanceParams& params) {
    ByteWriter sink;
    sink.u64(params.layers.size());
    for (const LayerParams& layer : params.layers) {
        sink.u64(layer.num_neurons);
        const NeuronParams& n = layer.neuron_params;
        put_f32(sink, n.tau_membrane);
        sink.u8(n.refractory_period);
        put_f32(sink, n.reset_voltage);
        sink.u64(n.t_cutoff_coincidence);
        put_f32(sink, n.adaptation_threshold);
        put_f32(sink, n.tau_threshold);
        put_f32(sink, n.voltage_floor);
        sink.flag(layer.plasticity_modulation_params.has_value());
        if (layer.plasticity_modulation_params) {
            const PlasticityModulationParams& m = *layer.plasticity_modulation_params;
            put_f32(sink, m.tau_eligibility_trace);
            sink.u64(m.eligibility_trace_delay);
            put_f32(sink, m.dopamine_modulation_factor);
            sink.u64(m.t_cutoff_eligibility_trace);
            sink.u64(m.dopamine_flush_period);
            sink.u64(m.dopamine_conflation_period);
        }
    }
    sink.u64(params.layer_connections.size());
    for (const LayerConnectionParams& c : params.layer_connections) {
        sink.u64(c.from_layer_id);
        sink.u64(c.to_layer_id);
        const ProjectionParams& p = c.projection_params;
        put_f32(sink, p.synapse_params.max_weight);
        put_f32(sink, p.synapse_params.weight_scale_factor);
        sink.u8(static_cast<std::uint8_t>(p.stp_params.kind));
        put_f32(sink, p.stp_params.tau);
        put_f32(sink, p.stp_params.p0);
        put_f32(sink, p.stp_params.factor);
        sink.flag(p.long_term_stdp_params.has_value());
        if (p.long_term_stdp_params) put_stdp(sink, *p.long_term_stdp_params);
        sink.flag(p.short_term_stdp_params.has_value());
        if (p.short_term_stdp_params) {
            put_stdp(sink, p.short_term_stdp_params->stdp_params);
            put_f32(sink, p.short_term_stdp_params->tau);
        }
        sink.f64(c.connect_density);
        sink.f64(c.connect_width);
        sink.u8(static_cast<std::uint8_t>(c.initial_syn_weight.kind));
        put_f32(sink, c.initial_syn_weight.value);
        sink.u64(c.conduction_delay_max_random_part);
        sink.f64(c.conduction_delay_position_distance_scale_factor);
        sink.u64(c.conduction_delay_add_on);
        sink.flag(c.allow_self_innervation);
    }
    // The network seed: the one the synapses were drawn with (absent draws
    // with 0). The thread settings are left out: any partitioning reads and
    // writes the same file.
    sink.u64(params.technical_params.seed_override.value_or(0));
    return hash_memory(sink.data(), sink.size());
}

}  // namespace synaptor
