#include "params/params_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace synaptor {
namespace {

using namespace std::string_literals;

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string data_path(const char* name) { return std::string(SYNAPTOR_TEST_DATA_DIR) + "/" + name; }

/// `base` with the first occurrence of `from` replaced by `to`.
std::string with(std::string base, const std::string& from, const std::string& to) {
    const std::size_t at = base.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) base.replace(at, from.size(), to);
    return base;
}

const std::string kYaml = R"(layers:
  - num_neurons: 2
    neuron_params:
      tau_membrane: 10.0
      refractory_period: 2
      reset_voltage: 0.0
      t_cutoff_coincidence: 5
      adaptation_threshold: 1.5
      tau_threshold: 20.0
      voltage_floor: -1.0
layer_connections:
  - from_layer_id: 0
    to_layer_id: 0
    projection_params:
      synapse_params: {max_weight: 1.0, weight_scale_factor: 1.0}
      stp_params: NoStp
    connect_density: 1.0
    connect_width: 1.0
    initial_syn_weight: !Constant 0.5
    conduction_delay_max_random_part: 0
    conduction_delay_position_distance_scale_factor: 1.0
    conduction_delay_add_on: 0
    allow_self_innervation: false
technical_params: {pin_threads: false}
)";

const std::string kJson = R"({
 "layers": [
  {"num_neurons": 2,
   "neuron_params": {"tau_membrane": 10.0, "refractory_period": 2, "reset_voltage": 0.0,
    "t_cutoff_coincidence": 5, "adaptation_threshold": 1.5, "tau_threshold": 20.0,
    "voltage_floor": -1.0}}
 ],
 "layer_connections": [
  {"from_layer_id": 0, "to_layer_id": 0,
   "projection_params": {"synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
    "stp_params": "NoStp"},
   "connect_density": 1.0, "connect_width": 1.0, "initial_syn_weight": {"Constant": 0.5},
   "conduction_delay_max_random_part": 0,
   "conduction_delay_position_distance_scale_factor": 1.0,
   "conduction_delay_add_on": 0, "allow_self_innervation": false}
 ],
 "technical_params": {"pin_threads": false}
})";

std::string yaml_error(const std::string& text) {
    const Result<InstanceParams> r = params_from_yaml(text);
    EXPECT_FALSE(r.ok()) << text;
    return r.ok() ? std::string("<no error>") : r.error();
}

std::string json_error(const std::string& text) {
    const Result<InstanceParams> r = params_from_json(text);
    EXPECT_FALSE(r.ok()) << text;
    return r.ok() ? std::string("<no error>") : r.error();
}

InstanceParams yaml_ok(const std::string& text) {
    Result<InstanceParams> r = params_from_yaml(text);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? std::move(r).value() : InstanceParams{};
}

InstanceParams json_ok(const std::string& text) {
    Result<InstanceParams> r = params_from_json(text);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? std::move(r).value() : InstanceParams{};
}

TEST(ParamsReader, FullExampleReadsToIdenticalRecordsInBothFormats) {
    const InstanceParams y = yaml_ok(read_text(data_path("full_network.yaml")));
    const InstanceParams j = json_ok(read_text(data_path("full_network.json")));
    EXPECT_TRUE(y == j);
    ASSERT_EQ(y.layers.size(), 3u);
    ASSERT_EQ(y.layer_connections.size(), 3u);
    // The alias shares the first layer's neuron parameters.
    EXPECT_TRUE(y.layers[2].neuron_params == y.layers[0].neuron_params);
    EXPECT_EQ(y.layers[1].neuron_params.tau_threshold, 40.0f);
    EXPECT_EQ(y.layers[1].neuron_params.reset_voltage, -0.25f);
    ASSERT_TRUE(y.layers[1].plasticity_modulation_params.has_value());
    EXPECT_EQ(y.layers[1].plasticity_modulation_params->dopamine_conflation_period, 5u);
    EXPECT_FALSE(y.layers[2].plasticity_modulation_params.has_value());
    const ProjectionParams& p0 = y.layer_connections[0].projection_params;
    EXPECT_EQ(p0.stp_params.kind, StpParams::Kind::Depression);
    EXPECT_EQ(p0.stp_params.p0, 0.8f);
    EXPECT_EQ(p0.long_term_stdp_params->factor_pre_after_post, -0.012f);
    EXPECT_FALSE(p0.short_term_stdp_params.has_value());
    EXPECT_EQ(y.layer_connections[0].initial_syn_weight.kind, InitialSynWeight::Kind::Randomized);
    EXPECT_EQ(y.layer_connections[0].initial_syn_weight.value, 0.8f);
    EXPECT_EQ(y.layer_connections[1].projection_params.stp_params.kind,
              StpParams::Kind::Facilitation);
    EXPECT_EQ(y.layer_connections[1].projection_params.short_term_stdp_params->tau, 500.0f);
    EXPECT_EQ(y.layer_connections[2].projection_params.stp_params.kind, StpParams::Kind::NoStp);
    EXPECT_EQ(y.layer_connections[2].initial_syn_weight.value, 1.0f);
    EXPECT_EQ(y.layer_connections[2].conduction_delay_position_distance_scale_factor, 5.5);
    EXPECT_EQ(y.technical_params.num_threads, std::optional<std::uint64_t>(1));
    EXPECT_EQ(y.technical_params.seed_override, std::optional<std::uint64_t>(12345));
}

// Every field carries a value no other field has, so a field read into the
// wrong member shows up as a mismatch.
TEST(ParamsReader, ReadsEachFieldIntoItsOwnMember) {
    const std::string yaml = R"(layers:
  - num_neurons: 1
    neuron_params: {tau_membrane: 2.5, refractory_period: 3, reset_voltage: 4.5,
      t_cutoff_coincidence: 5, adaptation_threshold: 6.5, tau_threshold: 7.5, voltage_floor: 8.5}
    plasticity_modulation_params: {tau_eligibility_trace: 9.5, eligibility_trace_delay: 10,
      dopamine_modulation_factor: 11.5, t_cutoff_eligibility_trace: 12,
      dopamine_flush_period: 13, dopamine_conflation_period: 14}
layer_connections:
  - {from_layer_id: 15, to_layer_id: 16, connect_density: 17.5, connect_width: 18.5,
     initial_syn_weight: !Randomized 19.5, conduction_delay_max_random_part: 20,
     conduction_delay_position_distance_scale_factor: 21.5, conduction_delay_add_on: 22,
     allow_self_innervation: true,
     projection_params: {synapse_params: {max_weight: 23.5, weight_scale_factor: 24.5},
       stp_params: !Facilitation {tau: 25.5, p0: 26.5, factor: 27.5},
       long_term_stdp_params: {factor_pre_before_post: 28.5, tau_pre_before_post: 29.5,
         factor_pre_after_post: 30.5, tau_pre_after_post: 31.5},
       short_term_stdp_params: {tau: 32.5, stdp_params: {factor_pre_before_post: 33.5,
         tau_pre_before_post: 34.5, factor_pre_after_post: 35.5, tau_pre_after_post: 36.5}}}}
technical_params: {num_threads: 37, pin_threads: true, seed_override: 38}
)";
    // The same document in the JSON array form, fields in declaration order.
    const std::string json = R"({"layers": [[1, [2.5, 3, 4.5, 5, 6.5, 7.5, 8.5],
        [9.5, 10, 11.5, 12, 13, 14]]],
      "layer_connections": [[15, 16,
        [[23.5, 24.5], {"Facilitation": [25.5, 26.5, 27.5]}, [28.5, 29.5, 30.5, 31.5],
         [[33.5, 34.5, 35.5, 36.5], 32.5]],
        17.5, 18.5, {"Randomized": 19.5}, 20, 21.5, 22, true]],
      "technical_params": [37, true, 38]})";

    InstanceParams want;
    LayerParams& layer = want.layers.emplace_back();
    layer.num_neurons = 1;
    layer.neuron_params = {2.5f, 3, 4.5f, 5, 6.5f, 7.5f, 8.5f};
    layer.plasticity_modulation_params = PlasticityModulationParams{9.5f, 10, 11.5f, 12, 13, 14};
    LayerConnectionParams& c = want.layer_connections.emplace_back();
    c.from_layer_id = 15;
    c.to_layer_id = 16;
    c.connect_density = 17.5;
    c.connect_width = 18.5;
    c.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 19.5f};
    c.conduction_delay_max_random_part = 20;
    c.conduction_delay_position_distance_scale_factor = 21.5;
    c.conduction_delay_add_on = 22;
    c.allow_self_innervation = true;
    c.projection_params.synapse_params = {23.5f, 24.5f};
    c.projection_params.stp_params = {StpParams::Kind::Facilitation, 25.5f, 26.5f, 27.5f};
    c.projection_params.long_term_stdp_params = StdpParams{28.5f, 29.5f, 30.5f, 31.5f};
    c.projection_params.short_term_stdp_params =
        ShortTermStdpParams{StdpParams{33.5f, 34.5f, 35.5f, 36.5f}, 32.5f};
    want.technical_params = {37, true, 38};

    EXPECT_TRUE(yaml_ok(yaml) == want);
    EXPECT_TRUE(json_ok(json) == want);
}

TEST(ParamsReader, MinimalDocumentsAgree) {
    const InstanceParams y = yaml_ok(kYaml);
    EXPECT_TRUE(y == json_ok(kJson));
    EXPECT_FALSE(y.technical_params.num_threads.has_value());
    EXPECT_FALSE(y.technical_params.seed_override.has_value());
    EXPECT_FALSE(y.layer_connections[0].projection_params.long_term_stdp_params.has_value());
    EXPECT_EQ(y.layer_connections[0].initial_syn_weight.kind, InitialSynWeight::Kind::Constant);
    EXPECT_EQ(y.layer_connections[0].initial_syn_weight.value, 0.5f);
}

TEST(ParamsReader, ReportsFirstMissingFieldAtEnclosingStructure) {
    EXPECT_EQ(yaml_error(with(kYaml, "      stp_params: NoStp\n", "")),
              "layer_connections[0].projection_params: missing field `stp_params` at line 15 "
              "column 7");
    EXPECT_EQ(json_error(with(kJson, ",\n    \"stp_params\": \"NoStp\"", "")),
              "missing field `stp_params` at line 10 column 25");
    EXPECT_EQ(yaml_error(with(kYaml, "{pin_threads: false}", "{num_threads: 1}")),
              "technical_params: missing field `pin_threads` at line 24 column 19");
    EXPECT_EQ(json_error(with(kJson, "{\"pin_threads\": false}", "{}")),
              "missing field `pin_threads` at line 17 column 22");
    // Declaration order decides which of several missing fields is named.
    EXPECT_EQ(yaml_error("technical_params: {pin_threads: true}\n"),
              "missing field `layers` at line 1 column 1");
    // ... but a structure inside is consumed, and its own error met, first.
    EXPECT_EQ(yaml_error("technical_params: {}\n"),
              "technical_params: missing field `pin_threads` at line 1 column 19");
    EXPECT_EQ(json_error("{}"), "missing field `layers` at line 1 column 1");
    // A wrong value met while consuming comes before any missing field.
    EXPECT_EQ(yaml_error("layers: 5\n"),
              "layers: invalid type: integer `5`, expected a sequence at line 1 column 9");
    EXPECT_EQ(json_error("{\"layers\": 5}"),
              "invalid type: integer `5`, expected a sequence at line 1 column 12");
    // An empty structure value reads as an empty mapping.
    EXPECT_EQ(
        yaml_error(with(kYaml, "technical_params: {pin_threads: false}", "technical_params:")),
        "technical_params: missing field `pin_threads` at line 24 column 18");
}

TEST(ParamsReader, RejectsDuplicateFields) {
    EXPECT_EQ(yaml_error(with(kYaml, "      tau_membrane: 10.0\n",
                              "      tau_membrane: 10.0\n      tau_membrane: 11.0\n")),
              "layers[0].neuron_params: duplicate field `tau_membrane` at line 5 column 7");
    EXPECT_EQ(json_error(with(kJson, "{\"pin_threads\": false}",
                              "{\"pin_threads\": false, \"pin_threads\": true}")),
              "duplicate field `pin_threads` at line 17 column 45");
}

TEST(ParamsReader, ChecksIntegerFieldsAndConvertsIntegersToFloats) {
    const auto neuron_yaml = [](const std::string& field, const std::string& value) {
        return with(kYaml, "      " + field + ": ", "      " + field + ": " + value + " #");
    };
    EXPECT_EQ(yaml_error(neuron_yaml("refractory_period", "256")),
              "layers[0].neuron_params.refractory_period: invalid value: integer `256`, "
              "expected u8 at line 5 column 26");
    EXPECT_EQ(yaml_error(neuron_yaml("refractory_period", "2.5")),
              "layers[0].neuron_params.refractory_period: invalid type: floating point `2.5`, "
              "expected u8 at line 5 column 26");
    EXPECT_EQ(
        yaml_ok(neuron_yaml("refractory_period", "255")).layers[0].neuron_params.refractory_period,
        255);
    EXPECT_EQ(yaml_error(with(kYaml, "num_neurons: 2", "num_neurons: -1")),
              "layers[0].num_neurons: invalid value: integer `-1`, expected usize at line 2 "
              "column 18");
    EXPECT_EQ(yaml_error(with(kYaml, "num_neurons: 2", "num_neurons: 18446744073709551616")),
              "layers[0].num_neurons: invalid value: integer `18446744073709551616`, expected "
              "usize at line 2 column 18");
    EXPECT_EQ(yaml_ok(with(kYaml, "num_neurons: 2", "num_neurons: 18446744073709551615"))
                  .layers[0]
                  .num_neurons,
              18446744073709551615u);
    EXPECT_EQ(yaml_ok(with(kYaml, "num_neurons: 2", "num_neurons: 0x10")).layers[0].num_neurons,
              16u);
    EXPECT_EQ(
        yaml_error(with(kYaml, "{pin_threads: false}", "{pin_threads: false, seed_override: -3}")),
        "technical_params.seed_override: invalid value: integer `-3`, expected u64 at "
        "line 24 column 55");
    EXPECT_EQ(yaml_error(with(kYaml, "num_neurons: 2", "num_neurons: \"2\"")),
              "layers[0].num_neurons: invalid type: string \"2\", expected usize at line 2 "
              "column 18");
    EXPECT_EQ(json_error(with(kJson, "\"num_neurons\": 2", "\"num_neurons\": 2.0")),
              "invalid type: floating point `2.0`, expected usize at line 3 column 19");
    EXPECT_EQ(json_error(with(kJson, "\"num_neurons\": 2", "\"num_neurons\": 1e400")),
              "Number too big to be stored in double. at line 3 column 19");
    EXPECT_EQ(
        json_ok(with(kJson, "\"num_neurons\": 2", "\"num_neurons\": -0")).layers[0].num_neurons,
        0u);

    const InstanceParams p = yaml_ok(neuron_yaml("tau_membrane", "10"));
    EXPECT_EQ(p.layers[0].neuron_params.tau_membrane, 10.0f);
    EXPECT_EQ(yaml_ok(neuron_yaml("tau_membrane", "-.inf")).layers[0].neuron_params.tau_membrane,
              -INFINITY);
    EXPECT_TRUE(std::isnan(
        yaml_ok(neuron_yaml("tau_membrane", ".NaN")).layers[0].neuron_params.tau_membrane));
    // f32 fields round the f64 value once more; beyond the f32 range gives infinity.
    EXPECT_EQ(yaml_ok(neuron_yaml("tau_membrane", "0.1")).layers[0].neuron_params.tau_membrane,
              static_cast<float>(0.1));
    EXPECT_EQ(yaml_ok(neuron_yaml("tau_membrane", "1e39")).layers[0].neuron_params.tau_membrane,
              INFINITY);
    EXPECT_EQ(json_ok(with(kJson, "\"tau_membrane\": 10.0", "\"tau_membrane\": 16777217"))
                  .layers[0]
                  .neuron_params.tau_membrane,
              16777216.0f);
    EXPECT_EQ(yaml_error(neuron_yaml("tau_membrane", "1e400")),
              "layers[0].neuron_params.tau_membrane: invalid value: floating point `1e400`, "
              "expected f32 at line 4 column 21");
    EXPECT_EQ(yaml_error(neuron_yaml("tau_membrane", "ten")),
              "layers[0].neuron_params.tau_membrane: invalid type: string \"ten\", expected f32 "
              "at line 4 column 21");
    EXPECT_EQ(yaml_error(with(kYaml, "connect_density: 1.0", "connect_density: true")),
              "layer_connections[0].connect_density: invalid type: boolean `true`, expected f64 "
              "at line 17 column 22");
}

TEST(ParamsReader, AcceptsOnlyBooleanLiteralsForBooleans) {
    for (const char* word : {"true", "True", "TRUE"}) {
        EXPECT_TRUE(yaml_ok(with(kYaml, "allow_self_innervation: false",
                                 std::string("allow_self_innervation: ") + word))
                        .layer_connections[0]
                        .allow_self_innervation);
    }
    EXPECT_EQ(
        yaml_error(with(kYaml, "allow_self_innervation: false", "allow_self_innervation: yes")),
        "layer_connections[0].allow_self_innervation: invalid type: string \"yes\", "
        "expected a boolean at line 23 column 29");
    EXPECT_EQ(json_error(with(kJson, "\"pin_threads\": false", "\"pin_threads\": 0")),
              "invalid type: integer `0`, expected a boolean at line 17 column 38");
    EXPECT_EQ(yaml_error(with(kYaml, "allow_self_innervation: false", "allow_self_innervation:")),
              "layer_connections[0].allow_self_innervation: invalid type: unit value, expected a "
              "boolean at line 23 column 28");
}

TEST(ParamsReader, IgnoresUnknownKeysAtEveryLevel) {
    std::string y = with(kYaml, "layers:\n", "extra: {a: [1, {b: 2}]}\nlayers:\n");
    y = with(y, "      tau_membrane: 10.0\n",
             "      tau_membrane: 10.0\n      Tau_Membrane: [x]\n");
    y = with(y, "stp_params: NoStp", "stp_params: NoStp\n      note: !Weird {deep: [[[]]]}");
    y = with(y, "{pin_threads: false}", "{pin_threads: false, ? [complex, key] : 1}");
    EXPECT_TRUE(yaml_ok(y) == yaml_ok(kYaml));
    std::string j = with(kJson, "\"layers\"", "\"x\": {\"a\": [1, {\"b\": null}]}, \"layers\"");
    j = with(j, "\"pin_threads\": false", "\"pin_threads\": false, \"num_Threads\": \"many\"");
    EXPECT_TRUE(json_ok(j) == json_ok(kJson));
}

TEST(ParamsReader, ReadsOptionalFieldsAsAbsentWhenNullOrMissing) {
    for (const char* null_form : {"~", "null", "Null", "NULL", ""}) {
        const InstanceParams p = yaml_ok(
            with(kYaml, "{pin_threads: false}",
                 std::string("\n  pin_threads: false\n  num_threads: ") + null_form + "\n"));
        EXPECT_FALSE(p.technical_params.num_threads.has_value()) << null_form;
    }
    const InstanceParams p = json_ok(with(kJson, "{\"pin_threads\": false}",
                                          "{\"pin_threads\": true, \"num_threads\": null, "
                                          "\"seed_override\": 7}"));
    EXPECT_FALSE(p.technical_params.num_threads.has_value());
    EXPECT_EQ(p.technical_params.seed_override, std::optional<std::uint64_t>(7));
    EXPECT_TRUE(p.technical_params.pin_threads);
    const InstanceParams q =
        yaml_ok(with(kYaml, "      voltage_floor: -1.0\n",
                     "      voltage_floor: -1.0\n    plasticity_modulation_params:\n"));
    EXPECT_FALSE(q.layers[0].plasticity_modulation_params.has_value());
}

TEST(ParamsReader, ReadsYamlVariantsByTag) {
    const auto stp = [](const std::string& v) {
        return with(kYaml, "stp_params: NoStp", "stp_params: " + v);
    };
    EXPECT_EQ(yaml_ok(stp("!NoStp")).layer_connections[0].projection_params.stp_params.kind,
              StpParams::Kind::NoStp);
    EXPECT_EQ(yaml_ok(stp("!NoStp ~")).layer_connections[0].projection_params.stp_params.kind,
              StpParams::Kind::NoStp);
    EXPECT_EQ(yaml_ok(stp("\"NoStp\"")).layer_connections[0].projection_params.stp_params.kind,
              StpParams::Kind::NoStp);
    const StpParams d = yaml_ok(stp("!Depression {tau: 5, p0: 0.5, factor: 0.25}"))
                            .layer_connections[0]
                            .projection_params.stp_params;
    EXPECT_EQ(d.kind, StpParams::Kind::Depression);
    EXPECT_EQ(d.tau, 5.0f);
    EXPECT_EQ(d.p0, 0.5f);
    EXPECT_EQ(d.factor, 0.25f);
    EXPECT_EQ(yaml_error(stp("{Depression: {tau: 5, p0: 0.5, factor: 0.25}}")),
              "layer_connections[0].projection_params.stp_params: invalid type: map, expected "
              "enum StpParams at line 16 column 19");
    EXPECT_EQ(yaml_error(stp("Depression")),
              "layer_connections[0].projection_params.stp_params: invalid type: unit variant, "
              "expected struct variant StpParams::Depression at line 16 column 19");
    EXPECT_EQ(yaml_error(stp("!Facilitation {tau: 5, p0: 0.5}")),
              "layer_connections[0].projection_params.stp_params: missing field `factor` at line "
              "16 column 19");
    EXPECT_EQ(yaml_error(stp("!Facilitation")),
              "layer_connections[0].projection_params.stp_params: missing field `tau` at line "
              "16 column 19");
    EXPECT_EQ(yaml_error(stp("!Depresion {tau: 5, p0: 0.5, factor: 0.25}")),
              "layer_connections[0].projection_params.stp_params: unknown variant `Depresion`, "
              "expected one of `NoStp`, `Depression`, `Facilitation` at line 16 column 19");
    EXPECT_EQ(yaml_error(stp("Nostp")),
              "layer_connections[0].projection_params.stp_params: unknown variant `Nostp`, "
              "expected one of `NoStp`, `Depression`, `Facilitation` at line 16 column 19");
    EXPECT_EQ(yaml_error(stp("!NoStp 3")),
              "layer_connections[0].projection_params.stp_params: invalid type: integer `3`, "
              "expected unit value at line 16 column 19");
    EXPECT_EQ(yaml_error(stp("[1, 2, 3]")),
              "layer_connections[0].projection_params.stp_params: invalid type: sequence, "
              "expected enum StpParams at line 16 column 19");

    const auto weight = [](const std::string& v) {
        return with(kYaml, "initial_syn_weight: !Constant 0.5", "initial_syn_weight: " + v);
    };
    const InitialSynWeight r =
        yaml_ok(weight("!Randomized 1.0")).layer_connections[0].initial_syn_weight;
    EXPECT_EQ(r.kind, InitialSynWeight::Kind::Randomized);
    EXPECT_EQ(r.value, 1.0f);
    EXPECT_EQ(yaml_error(weight("Randomized")),
              "layer_connections[0].initial_syn_weight: invalid type: unit variant, expected "
              "newtype variant InitialSynWeight::Randomized at line 19 column 25");
    EXPECT_EQ(yaml_error(weight("!Uniform 1.0")),
              "layer_connections[0].initial_syn_weight: unknown variant `Uniform`, expected "
              "`Randomized` or `Constant` at line 19 column 25");
    EXPECT_EQ(yaml_error(weight("!Constant {value: 1}")),
              "layer_connections[0].initial_syn_weight: invalid type: map, expected f32 at line "
              "19 column 25");
    EXPECT_EQ(yaml_error(weight("0.5")),
              "layer_connections[0].initial_syn_weight: invalid type: floating point `0.5`, "
              "expected enum InitialSynWeight at line 19 column 25");
}

TEST(ParamsReader, ReadsJsonVariantsByExternalTag) {
    const auto stp = [](const std::string& v) {
        return with(kJson, "\"stp_params\": \"NoStp\"", "\"stp_params\": " + v);
    };
    EXPECT_EQ(
        json_ok(stp("{\"NoStp\": null}")).layer_connections[0].projection_params.stp_params.kind,
        StpParams::Kind::NoStp);
    const StpParams f = json_ok(stp("{\"Facilitation\": {\"tau\": 5, \"p0\": 0.5, \"factor\": 1}}"))
                            .layer_connections[0]
                            .projection_params.stp_params;
    EXPECT_EQ(f.kind, StpParams::Kind::Facilitation);
    EXPECT_EQ(f.factor, 1.0f);
    EXPECT_EQ(json_error(stp("\"Depression\"")),
              "invalid type: unit variant, expected struct variant StpParams::Depression at line "
              "11 column 19");
    EXPECT_EQ(json_error(stp("{\"NoStp\": 1}")),
              "invalid type: integer `1`, expected unit value at line 11 column 29");
    EXPECT_EQ(json_error(stp("{\"Other\": null}")),
              "unknown variant `Other`, expected one of `NoStp`, `Depression`, `Facilitation` at "
              "line 11 column 20");
    EXPECT_EQ(json_error(stp("{\"Depression\": [1, 0.5]}")),
              "invalid length 2, expected struct variant StpParams::Depression with 3 elements at "
              "line 11 column 34");
    EXPECT_EQ(json_error(stp("{\"NoStp\": null, \"Depression\": null}")),
              "invalid type: map with more than one key, expected enum StpParams at line 11 "
              "column 35");
    EXPECT_EQ(json_error(stp("{}")),
              "invalid type: empty map, expected enum StpParams at line 11 column 19");

    const auto weight = [](const std::string& v) { return with(kJson, "{\"Constant\": 0.5}", v); };
    EXPECT_EQ(json_ok(weight("{\"Randomized\": 2}")).layer_connections[0].initial_syn_weight.value,
              2.0f);
    EXPECT_EQ(json_error(weight("\"Constant\"")),
              "invalid type: unit variant, expected newtype variant InitialSynWeight::Constant at "
              "line 12 column 72");
    EXPECT_EQ(json_error(weight("{\"Fixed\": 1}")),
              "unknown variant `Fixed`, expected `Randomized` or `Constant` at line 12 column 73");
    EXPECT_EQ(json_error(weight("{\"Constant\": null}")),
              "invalid type: unit value, expected f32 at line 12 column 85");
}

TEST(ParamsReader, ReadsJsonArrayFormOfStructures) {
    const InstanceParams p = json_ok(with(kJson, "{\"pin_threads\": false}", "[4, true, null]"));
    EXPECT_EQ(p.technical_params.num_threads, std::optional<std::uint64_t>(4));
    EXPECT_TRUE(p.technical_params.pin_threads);
    EXPECT_FALSE(p.technical_params.seed_override.has_value());
    EXPECT_EQ(json_error(with(kJson, "{\"pin_threads\": false}", "[4, true]")),
              "invalid length 2, expected struct TechnicalParams with 3 elements at line 17 "
              "column 22");
    EXPECT_EQ(json_error(with(kJson, "{\"pin_threads\": false}", "[4, true, null, 1]")),
              "invalid length 4, expected struct TechnicalParams with 3 elements at line 17 "
              "column 22");
    EXPECT_EQ(json_error(with(kJson, "{\"pin_threads\": false}", "[]")),
              "invalid length 0, expected struct TechnicalParams with 3 elements at line 17 "
              "column 22");
    // The array form is a JSON feature only.
    EXPECT_EQ(yaml_error(with(kYaml, "{pin_threads: false}", "[4, true, null]")),
              "technical_params: invalid type: sequence, expected struct TechnicalParams at line "
              "24 column 19");
}

TEST(ParamsReader, AcceptsExactlyOneDocumentOrRootValue) {
    EXPECT_EQ(yaml_error(""), "EOF while parsing a value");
    EXPECT_EQ(params_from_yaml(std::string_view()).error(), "EOF while parsing a value");
    EXPECT_EQ(params_from_json(std::string_view()).error(),
              "The document is empty. at line 1 column 1");
    EXPECT_EQ(yaml_error("# only a comment\n"), "EOF while parsing a value");
    EXPECT_EQ(yaml_error(kYaml + "---\n" + kYaml),
              "deserializing from YAML containing more than one document is not supported");
    EXPECT_EQ(yaml_error("a: 1\n---\nb: 2\n"),
              "deserializing from YAML containing more than one document is not supported");
    EXPECT_EQ(yaml_error("- 1\n"),
              "invalid type: sequence, expected struct InstanceParams at line 1 column 1");
    EXPECT_EQ(json_error(kJson + " {}"), "trailing characters at line 18 column 3");
    EXPECT_TRUE(json_ok(kJson + "\n\t ") == json_ok(kJson)) << "whitespace may follow";
    EXPECT_EQ(json_error(""), "The document is empty. at line 1 column 1");
    EXPECT_EQ(json_error("[1, 2"),
              "Missing a comma or ']' after an array element. at line 1 column 6");
}

TEST(ParamsReader, YamlAcceptsALeadingByteOrderMarkWithPositionsUnchanged) {
    const std::string bom = "\xEF\xBB\xBF";
    EXPECT_TRUE(yaml_ok(bom + kYaml) == yaml_ok(kYaml));
    // Later messages name the same positions as without the mark, both a
    // schema error and a syntax error on the first line.
    const std::string bad_value = with(kYaml, "refractory_period: 2", "refractory_period: 256");
    EXPECT_EQ(yaml_error(bom + bad_value), yaml_error(bad_value));
    const std::string bad_first_line = "layers: [\n" + kYaml;
    EXPECT_EQ(yaml_error(bom + bad_first_line), yaml_error(bad_first_line));
    // Only one mark, and only at the start.
    EXPECT_NE(yaml_error(bom + bom + kYaml), "<no error>");
    // JSON does not take a mark.
    EXPECT_NE(json_error(bom + kJson), "<no error>");
}

TEST(ParamsReader, ResolvesAnchorsAndBoundsAliasExpansion) {
    EXPECT_EQ(yaml_error("layers: *missing\n"), "unknown anchor `missing` at line 1 column 9");
    EXPECT_EQ(yaml_error("layers: &a [*a]\n"), "recursive alias `a` at line 1 column 13");
    // Nine levels of ten aliases each would expand to a billion nodes.
    std::string bomb = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i < 10; ++i) {
        std::string line = "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
        for (int k = 0; k < 10; ++k) line += (k ? ", *a" : "*a") + std::to_string(i - 1);
        bomb += line + "]\n";
    }
    const std::string error = yaml_error(bomb + "layers: *a9\n");
    EXPECT_NE(error.find("alias expansion limit exceeded"), std::string::npos) << error;
    // The same bomb under an unknown key is bounded too.
    const std::string hidden = yaml_error(bomb + "unused: *a9\n" + kYaml);
    EXPECT_NE(hidden.find("alias expansion limit exceeded"), std::string::npos) << hidden;
}

TEST(ParamsReader, BoundsNestingDepth) {
    const std::string deep_yaml = "layers: " + std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(yaml_error(deep_yaml),
              "recursion limit exceeded: more than 128 nested levels at line 1 column 136");
    const std::string deep_json =
        "{\"layers\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(json_error(deep_json),
              "recursion limit exceeded: more than 128 nested levels at line 1 column 139");
    // 128 levels are fine as far as nesting goes (the array form of LayerParams
    // then meets a sequence for `num_neurons`).
    const std::string ok_depth =
        "{\"layers\": " + std::string(127, '[') + std::string(127, ']') + "}";
    EXPECT_EQ(json_error(ok_depth), "invalid type: sequence, expected usize at line 1 column 14");
}

TEST(ParamsReader, RejectsInvalidUtf8AndNulBytes) {
    EXPECT_EQ(json_error(with(kJson, "\"NoStp\"",
                              "\"No\xff"
                              "Stp\"")),
              "Invalid encoding in string. at line 11 column 22");
    const std::string y = yaml_error(with(kYaml, "NoStp", "No\xc3Stp"));
    EXPECT_NE(y.find("at line 16 column"), std::string::npos) << y;
    // A NUL byte never ends the text early.
    EXPECT_EQ(json_error(kJson + std::string("\0", 1) + "garbage"),
              "trailing characters at line 18 column 2");
    EXPECT_EQ(json_error(std::string("{\"layers\"\0: []}", 15)),
              "Missing a colon after a name of object member. at line 1 column 10");
    const std::string nul_yaml = yaml_error(kYaml + std::string("\0", 1) + "x: 1\n");
    EXPECT_NE(nul_yaml.find("control characters are not allowed"), std::string::npos) << nul_yaml;
    // Escaped NUL characters are ordinary string content.
    EXPECT_EQ(json_error(with(kJson, "\"NoStp\"", "\"No\\u0000Stp\"")),
              "unknown variant `No\0Stp`, expected one of `NoStp`, `Depression`, `Facilitation` "
              "at line 11 column 19"s);
}

TEST(ParamsReader, BrokenCorpusYieldsErrorsInBothReaders) {
    const std::filesystem::path dir = std::filesystem::path(SYNAPTOR_TEST_DATA_DIR) / "broken";
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string text = read_text(entry.path());
        ++files;
        const Result<InstanceParams> y = params_from_yaml(text);
        const Result<InstanceParams> j = params_from_json(text);
        EXPECT_FALSE(y.ok()) << entry.path();
        EXPECT_FALSE(j.ok()) << entry.path();
        if (!y.ok()) {
            EXPECT_FALSE(y.error().empty()) << entry.path();
        }
        if (!j.ok()) {
            EXPECT_FALSE(j.error().empty()) << entry.path();
        }
    }
    EXPECT_GE(files, 20u);
}

/// Mutated copies of the example documents (bytes replaced, inserted, removed,
/// or a span duplicated) must read or fail cleanly in both readers.
TEST(ParamsReader, SurvivesMutatedDocuments) {
    std::uint64_t state = 0x243F6A8885A308D3ULL;
    const auto next = [&state](std::uint64_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (state >> 33) % bound;
    };
    const char alphabet[] = "{}[],:\"'!&*-#\n \t0.5e-~|>?\x00\xff\xc3NoStp";
    std::size_t own_format_errors = 0;
    std::size_t own_format_reads = 0;
    for (const char* name : {"full_network.yaml", "full_network.json"}) {
        const std::string original = read_text(data_path(name));
        for (int round = 0; round < 300; ++round) {
            std::string text = original;
            for (std::uint64_t m = 1 + next(4); m > 0; --m) {
                const std::size_t at = next(text.size());
                const char c = alphabet[next(sizeof alphabet - 1)];
                switch (next(4)) {
                    case 0:
                        text[at] = c;
                        break;
                    case 1:
                        text.insert(at, 1, c);
                        break;
                    case 2:
                        text.erase(at, 1 + next(8));
                        break;
                    default:
                        text.insert(at, text.substr(at, next(64)));
                        break;
                }
                if (text.empty()) text = "x";
            }
            const bool yaml = name[13] == 'y';
            const Result<InstanceParams> own =
                yaml ? params_from_yaml(text) : params_from_json(text);
            const Result<InstanceParams> other =
                yaml ? params_from_json(text) : params_from_yaml(text);
            for (const Result<InstanceParams>* r : {&own, &other}) {
                if (!r->ok()) {
                    EXPECT_FALSE(r->error().empty());
                }
            }
            ++(own.ok() ? own_format_reads : own_format_errors);
        }
    }
    // The mutations exercise both outcomes: broken documents and harmless edits.
    EXPECT_GT(own_format_errors, 0u);
    EXPECT_GT(own_format_reads, 0u);
}

}  // namespace
}  // namespace synaptor
