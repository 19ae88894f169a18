// Reading and validating a large parameter document in both formats: a
// network of many layers with a connection between neighbours.

#include <chrono>
#include <cstdio>
#include <string>

#include "params/params_reader.hpp"
#include "params/validate_params.hpp"

namespace {

std::string neuron_fields(const char* open, const char* close) {
    return std::string(open) +
           "\"tau_membrane\": 10.0, \"refractory_period\": 2, \"reset_voltage\": 0.0, "
           "\"t_cutoff_coincidence\": 5, \"adaptation_threshold\": 1.5, \"tau_threshold\": 20.0, "
           "\"voltage_floor\": -1.0" +
           close;
}

/// JSON flow syntax is also YAML, apart from the variant tags.
std::string document(int layers, bool yaml) {
    std::string d = "{\"layers\": [";
    for (int i = 0; i < layers; ++i) {
        d += (i ? ", " : "") + std::string("{\"num_neurons\": 100, \"neuron_params\": ") +
             neuron_fields("{", "}") + "}\n";
    }
    d += "], \"layer_connections\": [";
    for (int i = 0; i + 1 < layers; ++i) {
        d += (i ? ", " : "") + std::string("{\"from_layer_id\": ") + std::to_string(i) +
             ", \"to_layer_id\": " + std::to_string(i + 1) +
             ", \"projection_params\": {\"synapse_params\": {\"max_weight\": 1.0, "
             "\"weight_scale_factor\": 1.0}, \"stp_params\": " +
             (yaml ? "!Depression {\"tau\": 5, \"p0\": 0.5, \"factor\": 0.5}"
                   : "{\"Depression\": {\"tau\": 5, \"p0\": 0.5, \"factor\": 0.5}}") +
             "}, \"connect_density\": 0.5, \"connect_width\": 0.5, \"initial_syn_weight\": " +
             (yaml ? "!Constant 0.5" : "{\"Constant\": 0.5}") +
             ", \"conduction_delay_max_random_part\": 3, "
             "\"conduction_delay_position_distance_scale_factor\": 10.0, "
             "\"conduction_delay_add_on\": 1, \"allow_self_innervation\": false}\n";
    }
    d += "], \"technical_params\": {\"pin_threads\": false}}";
    return d;
}

template <class F>
double best_ms(F&& f) {
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        if (ms < best) best = ms;
    }
    return best;
}

}  // namespace

int main() {
    const int layers = 5000;
    for (const bool yaml : {false, true}) {
        const std::string text = document(layers, yaml);
        bool ok = true;
        const double read_ms = best_ms([&] {
            const auto r =
                yaml ? synaptor::params_from_yaml(text) : synaptor::params_from_json(text);
            ok = ok && r.ok();
        });
        const auto params =
            yaml ? synaptor::params_from_yaml(text) : synaptor::params_from_json(text);
        if (!ok || !params.ok()) {
            std::printf("read failed: %s\n", params.ok() ? "" : params.error().c_str());
            return 1;
        }
        const double validate_ms =
            best_ms([&] { (void)synaptor::validate_params(params.value()); });
        std::printf(
            "%s: %d layers, %d connections, %.1f MB: read %.1f ms (%.1f MB/s), validate %.2f ms\n",
            yaml ? "YAML" : "JSON", layers, layers - 1, static_cast<double>(text.size()) / 1e6,
            read_ms, static_cast<double>(text.size()) / 1e3 / read_ms, validate_ms);
    }
    return 0;
}
