#include "params/validate_params.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include "params/params_reader.hpp"
#include "random/chacha_rng.hpp"
#include "util/available_cpus.hpp"

namespace synaptor {
namespace {

LayerParams layer(std::uint64_t num_neurons) {
    LayerParams l;
    l.num_neurons = num_neurons;
    l.neuron_params = NeuronParams{10.0f, 2, 0.0f, 5, 1.5f, 20.0f, -1.0f};
    return l;
}

PlasticityModulationParams modulation() {
    return PlasticityModulationParams{100.0f, 5, 1.0f, 50, 10, 5};
}

LayerConnectionParams connection(std::uint64_t from, std::uint64_t to) {
    LayerConnectionParams c;
    c.from_layer_id = from;
    c.to_layer_id = to;
    c.projection_params.synapse_params = SynapseParams{1.0f, 1.0f};
    c.connect_density = 1.0;
    c.connect_width = 1.0;
    c.initial_syn_weight = InitialSynWeight{InitialSynWeight::Kind::Constant, 0.5f};
    c.conduction_delay_position_distance_scale_factor = 1.0;
    return c;
}

InstanceParams valid() {
    InstanceParams p;
    p.layers = {layer(10), layer(11)};
    p.layers[1].plasticity_modulation_params = modulation();
    p.layer_connections = {connection(0, 1)};
    return p;
}

std::string message_of(const InstanceParams& p) {
    const Status s = validate_params(p);
    return s.ok() ? std::string() : s.error();
}

/// Applies `change` to a valid document and returns the validation message ("" for success).
std::string after(const std::function<void(InstanceParams&)>& change) {
    InstanceParams p = valid();
    change(p);
    return message_of(p);
}

NeuronParams& neuron(InstanceParams& p) { return p.layers[1].neuron_params; }
PlasticityModulationParams& mod(InstanceParams& p) {
    return *p.layers[1].plasticity_modulation_params;
}
LayerConnectionParams& conn(InstanceParams& p) { return p.layer_connections[0]; }
StpParams& stp(InstanceParams& p) { return conn(p).projection_params.stp_params; }

TEST(ValidateParams, AcceptsTheFullExampleDocuments) {
    for (const char* name : {"full_network.yaml", "full_network.json"}) {
        std::ifstream in(std::string(SYNAPTOR_TEST_DATA_DIR) + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        const std::string s = text.str();
        const Result<InstanceParams> p =
            name[13] == 'y' ? params_from_yaml(s) : params_from_json(s);
        ASSERT_TRUE(p.ok()) << name;
        EXPECT_EQ(message_of(p.value()), "") << name;
    }
}

TEST(ValidateParams, AcceptsValidAndEmptyDocuments) {
    EXPECT_EQ(message_of(valid()), "");
    EXPECT_EQ(message_of(InstanceParams{}), "");
    EXPECT_EQ(after([](InstanceParams& p) { p.layers[0].num_neurons = 0; }), "");
}

TEST(ValidateParams, RejectsNeuronCountsBeyondTheIdRange) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::string message =
        "the layers' num_neurons must not add up to more than 18446744073709551615";
    // 2^63 + 2^63 would wrap to 0.
    EXPECT_EQ(after([](auto& p) {
                  p.layers[0].num_neurons = std::uint64_t{1} << 63;
                  p.layers[1].num_neurons = std::uint64_t{1} << 63;
              }),
              message);
    EXPECT_EQ(after([&](auto& p) {
                  p.layers[0].num_neurons = max;
                  p.layers[1].num_neurons = 1;
              }),
              message);
    // Exactly the largest total is a valid count, and an empty layer adds nothing.
    InstanceParams p = valid();
    p.layer_connections.clear();
    p.layers[0].num_neurons = max - 1;
    p.layers[1].num_neurons = 1;
    p.layers.push_back(p.layers[0]);
    p.layers[2].num_neurons = 0;
    EXPECT_EQ(message_of(p), "");
}

TEST(ValidateParams, LayerRulesWithTheirBoundaries) {
    EXPECT_EQ(after([](auto& p) { neuron(p).tau_membrane = 0.0f; }),
              "tau_membrane must be strictly positive");
    EXPECT_EQ(after([](auto& p) { neuron(p).tau_membrane = NAN; }), "") << "NaN compares false";
    EXPECT_EQ(after([](auto& p) { neuron(p).refractory_period = 0; }),
              "refractory_period must be strictly positive");
    EXPECT_EQ(after([](auto& p) { neuron(p).reset_voltage = 1.0f; }),
              "reset_voltage must be less than 1.0");
    EXPECT_EQ(after([](auto& p) { neuron(p).reset_voltage = 0.99f; }), "");
    EXPECT_EQ(after([](auto& p) { neuron(p).reset_voltage = neuron(p).voltage_floor; }), "");
    EXPECT_EQ(after([](auto& p) {
                  neuron(p).voltage_floor = 0.0f;
                  neuron(p).reset_voltage = -0.5f;
              }),
              "reset_voltage must not be less than voltage_floor");
    EXPECT_EQ(after([](auto& p) { neuron(p).adaptation_threshold = 0.0f; }),
              "reset_voltage must be less than adaptation_threshold");
    EXPECT_EQ(after([](auto& p) { neuron(p).tau_threshold = -1.0f; }),
              "tau_threshold must be strictly positive");
    EXPECT_EQ(after([](auto& p) { neuron(p).voltage_floor = 0.0f; }), "");
    // A positive floor is reported before its comparison with the reset voltage,
    // even when the two are equal.
    EXPECT_EQ(after([](auto& p) {
                  neuron(p).voltage_floor = 0.1f;
                  neuron(p).reset_voltage = 0.1f;
              }),
              "voltage_floor must not be greater than zero");
    // The refractory period is checked before the reset voltage.
    EXPECT_EQ(after([](auto& p) {
                  neuron(p).refractory_period = 0;
                  neuron(p).reset_voltage = 2.0f;
              }),
              "refractory_period must be strictly positive");
}

TEST(ValidateParams, ModulationRulesAndZeroConflationPeriod) {
    EXPECT_EQ(after([](auto& p) { mod(p).tau_eligibility_trace = 0.0f; }),
              "tau_eligibility_trace must be strictly positive");
    EXPECT_EQ(after([](auto& p) { mod(p).eligibility_trace_delay = 50; }), "");
    EXPECT_EQ(after([](auto& p) { mod(p).eligibility_trace_delay = 51; }),
              "eligibility_trace_delay must not be greater than t_cutoff_eligibility_trace");
    EXPECT_EQ(after([](auto& p) { mod(p).dopamine_modulation_factor = 0.0f; }),
              "dopamine_modulation_factor must be strictly positive");
    EXPECT_EQ(after([](auto& p) {
                  mod(p).dopamine_flush_period = 10;
                  mod(p).dopamine_conflation_period = 4;
              }),
              "dopamine_flush_period must be a multiple of dopamine_conflation_period");
    // A zero conflation period is rejected instead of dividing by it.
    EXPECT_EQ(after([](auto& p) { mod(p).dopamine_conflation_period = 0; }),
              "dopamine_conflation_period must be strictly positive");
    EXPECT_EQ(after([](auto& p) {
                  mod(p).dopamine_conflation_period = 0;
                  mod(p).dopamine_modulation_factor = 0.0f;
              }),
              "dopamine_modulation_factor must be strictly positive");
    // Modulation rules apply only when present.
    EXPECT_EQ(after([](auto& p) {
                  mod(p).tau_eligibility_trace = 0.0f;
                  p.layers[1].plasticity_modulation_params.reset();
              }),
              "");
}

TEST(ValidateParams, ConnectionRulesWithTheirBoundaries) {
    const auto depression = [](InstanceParams& p) {
        stp(p) = StpParams{StpParams::Kind::Depression, 10.0f, 0.5f, 0.5f};
    };
    EXPECT_EQ(after([&](auto& p) { depression(p); }), "");
    EXPECT_EQ(after([](auto& p) { conn(p).projection_params.synapse_params.max_weight = 0.0f; }),
              "max_weight must be strictly positive");
    for (const auto kind : {StpParams::Kind::Depression, StpParams::Kind::Facilitation}) {
        const auto with_stp = [kind](float tau, float p0, float factor) {
            return after([=](auto& p) { stp(p) = StpParams{kind, tau, p0, factor}; });
        };
        EXPECT_EQ(with_stp(0.0f, 0.5f, 0.5f), "stp_params: tau must be strictly positive");
        EXPECT_EQ(with_stp(1.0f, -0.01f, 0.5f), "stp_params: p0 must be in [0, 1]");
        EXPECT_EQ(with_stp(1.0f, 1.01f, 0.5f), "stp_params: p0 must be in [0, 1]");
        EXPECT_EQ(with_stp(1.0f, 0.0f, 1.0f), "");
        EXPECT_EQ(with_stp(1.0f, 1.0f, 1.0f), "");
        EXPECT_EQ(with_stp(1.0f, 0.5f, 0.0f), "stp_params: factor must be in (0, 1]");
        EXPECT_EQ(with_stp(1.0f, 0.5f, 1.5f), "stp_params: factor must be in (0, 1]");
    }
    // NoStp ignores the payload fields.
    EXPECT_EQ(after([](auto& p) {
                  stp(p) = StpParams{StpParams::Kind::NoStp, -1.0f, 5.0f, 0.0f};
              }),
              "");

    const auto long_term = [&](float before, float after_tau) {
        return after([&](auto& p) {
            conn(p).projection_params.long_term_stdp_params =
                StdpParams{0.1f, before, 0.1f, after_tau};
        });
    };
    EXPECT_EQ(long_term(10.0f, 10.0f), "");
    EXPECT_EQ(long_term(0.0f, 10.0f), "tau_pre_before_post must be strictly positive");
    EXPECT_EQ(long_term(10.0f, 0.0f), "tau_pre_after_post must be strictly positive");
    const auto short_term = [&](float before, float after_tau, float tau) {
        return after([&](auto& p) {
            conn(p).projection_params.short_term_stdp_params =
                ShortTermStdpParams{StdpParams{0.1f, before, 0.1f, after_tau}, tau};
        });
    };
    EXPECT_EQ(short_term(10.0f, 10.0f, 1.0f), "");
    EXPECT_EQ(short_term(-1.0f, 10.0f, 1.0f), "tau_pre_before_post must be strictly positive");
    EXPECT_EQ(short_term(10.0f, -1.0f, 1.0f), "tau_pre_after_post must be strictly positive");
    EXPECT_EQ(short_term(10.0f, 10.0f, 0.0f),
              "short_term_stdp_params: tau must be strictly positive");

    EXPECT_EQ(after([](auto& p) { conn(p).connect_density = 0.0; }),
              "connect_density must be in (0, 1]");
    EXPECT_EQ(after([](auto& p) { conn(p).connect_density = 1.0000001; }),
              "connect_density must be in (0, 1]");
    EXPECT_EQ(after([](auto& p) { conn(p).connect_width = 2.0; }), "");
    EXPECT_EQ(after([](auto& p) { conn(p).connect_width = 0.0; }),
              "connect_width must be in (0, 2]");
    EXPECT_EQ(after([](auto& p) { conn(p).connect_width = 2.0000001; }),
              "connect_width must be in (0, 2]");
    EXPECT_EQ(after([](auto& p) { conn(p).initial_syn_weight.value = 0.0f; }), "");
    EXPECT_EQ(after([](auto& p) { conn(p).initial_syn_weight.value = -0.5f; }),
              "Parameter for constant initial synaptic weight must not be negative");
    EXPECT_EQ(
        after([](auto& p) {
            conn(p).initial_syn_weight = InitialSynWeight{InitialSynWeight::Kind::Randomized, 0.0f};
        }),
        "Parameter for randomized initial synaptic weight must be strictly positive");
    EXPECT_EQ(
        after([](auto& p) { conn(p).conduction_delay_position_distance_scale_factor = -0.5; }),
        "conduction_delay_position_distance_scale_factor must not be negative");
    EXPECT_EQ(after([](auto& p) { conn(p).conduction_delay_position_distance_scale_factor = 0.0; }),
              "");
}

TEST(ValidateParams, ChecksLayerIdsAndDuplicateConnections) {
    EXPECT_EQ(after([](auto& p) { p.layer_connections.push_back(connection(0, 1)); }),
              "duplicate connection from layer 0 to layer 1");
    EXPECT_EQ(after([](auto& p) {
                  p.layer_connections.push_back(connection(1, 0));
                  p.layer_connections.push_back(connection(1, 1));
              }),
              "");
    EXPECT_EQ(after([](auto& p) { p.layer_connections = {connection(0, 7)}; }),
              "invalid to_layer_id: 7");
    EXPECT_EQ(after([](auto& p) { p.layer_connections = {connection(2, 7)}; }),
              "invalid from_layer_id: 2");
    // The first violated rule of the first connection decides.
    EXPECT_EQ(after([](auto& p) {
                  p.layer_connections = {connection(5, 5), connection(5, 5)};
              }),
              "invalid from_layer_id: 5");
}

TEST(ValidateParams, ReportsInDocumentOrderLayersThenConnectionsThenThreads) {
    EXPECT_EQ(after([](auto& p) {
                  neuron(p).tau_threshold = 0.0f;  // last layer
                  conn(p).connect_density = 0.0;   // first connection
                  p.technical_params.num_threads = std::numeric_limits<std::uint64_t>::max();
              }),
              "tau_threshold must be strictly positive");
    EXPECT_EQ(after([](auto& p) {
                  conn(p).connect_density = 0.0;
                  p.technical_params.num_threads = std::numeric_limits<std::uint64_t>::max();
              }),
              "connect_density must be in (0, 1]");
}

TEST(ValidateParams, ThreadCountAgainstAvailableCpus) {
    const std::uint64_t cpus = available_cpu_count();
    ASSERT_GE(cpus, 1u);
    EXPECT_EQ(after([&](auto& p) { p.technical_params.num_threads = cpus; }), "");
    EXPECT_EQ(after([](auto& p) { p.technical_params.num_threads = 0; }), "");
    EXPECT_EQ(after([&](auto& p) { p.technical_params.num_threads = cpus + 1; }),
              "num_threads must not be greater than number of available CPUs");
}

TEST(ValidateParams, RejectsZeroFlushPeriodAfterEveryOtherRule) {
    EXPECT_EQ(after([](auto& p) { mod(p).dopamine_flush_period = 0; }),
              "dopamine_flush_period must be strictly positive");
    // Every other rule keeps its precedence, the thread count and the connection
    // rules included.
    EXPECT_EQ(after([](auto& p) {
                  mod(p).dopamine_flush_period = 0;
                  p.technical_params.num_threads = std::numeric_limits<std::uint64_t>::max();
              }),
              "num_threads must not be greater than number of available CPUs");
    EXPECT_EQ(after([](auto& p) {
                  mod(p).dopamine_flush_period = 0;
                  conn(p).connect_width = 3.0;
              }),
              "connect_width must be in (0, 2]");
}

TEST(ValidateParams, RejectsRandomizedWeightBoundWithoutFiniteScale) {
    const auto randomized = [](float bound) {
        return after([=](auto& p) {
            conn(p).initial_syn_weight =
                InitialSynWeight{InitialSynWeight::Kind::Randomized, bound};
        });
    };
    const std::string message = "Parameter for randomized initial synaptic weight must be finite";
    EXPECT_EQ(randomized(INFINITY), message);
    EXPECT_EQ(randomized(NAN), message);
    EXPECT_EQ(randomized(std::numeric_limits<float>::max()), message);  // the division overflows
    EXPECT_EQ(randomized(1e38f), "");
    // At the edge, validation and the draw agree: the largest accepted bound
    // draws, the next float up is rejected.
    float edge = std::numeric_limits<float>::max();
    while (edge > 1e38f && !randomized(edge).empty()) edge = std::nextafter(edge, 0.0f);
    EXPECT_EQ(randomized(std::nextafter(edge, INFINITY)), message);
    ChaChaRng rng = ChaChaRng::seed_from_u64(7);
    for (int i = 0; i < 1000; ++i) {
        const float w = rng.uniform_f32_inclusive(edge);
        ASSERT_TRUE(w >= 0.0f && w <= edge) << w;
    }
    // A Constant weight is not divided.
    EXPECT_EQ(after([](auto& p) { conn(p).initial_syn_weight.value = INFINITY; }), "");
    EXPECT_EQ(
        after([](auto& p) {
            conn(p).initial_syn_weight = InitialSynWeight{InitialSynWeight::Kind::Randomized, NAN};
            p.technical_params.num_threads = std::numeric_limits<std::uint64_t>::max();
        }),
        "num_threads must not be greater than number of available CPUs");
}

TEST(ValidateParams, RejectsConductionDelaysBeyond255Ticks) {
    const std::string message =
        "conduction delay of connection from layer 0 to layer 1 can exceed 255 ticks";
    const auto delays = [](std::uint64_t random_part, std::uint64_t add_on, double scale,
                           double width = 2.0, double density = 1.0) {
        return after([=](auto& p) {
            conn(p).conduction_delay_max_random_part = random_part;
            conn(p).conduction_delay_add_on = add_on;
            conn(p).conduction_delay_position_distance_scale_factor = scale;
            conn(p).connect_width = width;
            conn(p).connect_density = density;
        });
    };
    EXPECT_EQ(delays(254, 0, 0.0), "");
    EXPECT_EQ(delays(255, 0, 0.0), message);
    EXPECT_EQ(delays(100, 154, 0.0), "");
    EXPECT_EQ(delays(100, 155, 0.0), message);
    // Saturating sums: huge values cannot wrap around to a small delay.
    EXPECT_EQ(delays(std::numeric_limits<std::uint64_t>::max(), 2, 0.0), message);
    EXPECT_EQ(delays(2, std::numeric_limits<std::uint64_t>::max(), 0.0), message);
    // Full-width windows reach distance 1 between the layer ends (10 and 11 neurons).
    EXPECT_EQ(delays(0, 0, 254.0), "");
    EXPECT_EQ(delays(0, 0, 254.5), message) << "254.5 rounds half away from zero";
    EXPECT_EQ(delays(0, 0, INFINITY), message);
    // Narrow windows (0.1 on each side over a spacing of 0.1) limit the distance to 0.1.
    EXPECT_EQ(delays(0, 0, 2540.0, 0.2), "");
    EXPECT_EQ(delays(0, 0, 2550.0, 0.2), message);
    // A density that rounds every window's amount to 0 makes no synapses at all.
    EXPECT_EQ(delays(1000, 0, 0.0, 0.2, 0.1), "");
    // Connections of empty layers make no synapses.
    EXPECT_EQ(after([](auto& p) {
                  p.layers[0].num_neurons = 0;
                  conn(p).conduction_delay_add_on = 1000;
              }),
              "");
    EXPECT_EQ(after([](auto& p) {
                  p.layers[1].num_neurons = 0;
                  conn(p).conduction_delay_add_on = 1000;
              }),
              "");
    // Reported after the thread count.
    EXPECT_EQ(after([](auto& p) {
                  conn(p).conduction_delay_add_on = 1000;
                  p.technical_params.num_threads = std::numeric_limits<std::uint64_t>::max();
              }),
              "num_threads must not be greater than number of available CPUs");
}

TEST(ValidateParams, SelfConnectionOfOneNeuronWithoutSelfInnervationMakesNoSynapse) {
    InstanceParams p = valid();
    p.layers[0].num_neurons = 1;
    p.layer_connections = {connection(0, 0)};
    p.layer_connections[0].conduction_delay_add_on = 1000;
    EXPECT_EQ(message_of(p), "");
    p.layer_connections[0].allow_self_innervation = true;
    EXPECT_EQ(message_of(p),
              "conduction delay of connection from layer 0 to layer 0 can exceed 255 ticks");
}

}  // namespace
}  // namespace synaptor
