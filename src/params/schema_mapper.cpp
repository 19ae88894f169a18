#include "params/schema_mapper.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/panic.hpp"

namespace synaptor {
namespace {

struct FieldSpec {
    const char* name;
    bool required;
};

/// One step of the path to a node: a field name, or a list position when `key` is null.
struct PathSegment {
    const char* key;
    std::uint64_t index;
};

std::string format_float(double v) {
    std::array<char, 64> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    std::string s(buf.data(), res.ptr);
    if (s.find_first_not_of("-0123456789") == std::string::npos) s += ".0";
    return s;
}

std::string quote_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7f) {
            static const char* hex = "0123456789abcdef";
            out += "\\u{";
            if (u >= 0x10) out += hex[u >> 4];
            out += hex[u & 0xf];
            out += '}';
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

/// f64 to f32 as the IEEE conversion rounds (to nearest, ties to even), written
/// out for values beyond the f32 range, whose bare cast is undefined in C++.
float to_f32(double d) {
    const double max = static_cast<double>(std::numeric_limits<float>::max());
    if (std::isnan(d) || std::fabs(d) <= max) return static_cast<float>(d);
    const double overflow_threshold = 0x1.ffffffp127;  // max + half an ulp rounds to infinity
    const float mag = std::fabs(d) >= overflow_threshold ? std::numeric_limits<float>::infinity()
                                                         : std::numeric_limits<float>::max();
    return d < 0.0 ? -mag : mag;
}

const char* const kStpVariants[] = {"NoStp", "Depression", "Facilitation"};
const char* const kWeightVariants[] = {"Randomized", "Constant"};

class SchemaMapper {
public:
    SchemaMapper(const ValueEventList& list, DocumentFormat format)
        : list_(list), json_(format == DocumentFormat::Json) {
        frames_.push_back(Frame{0, list.events.size()});
    }

    Result<InstanceParams> run() {
        InstanceParams params;
        if (!advance() || !read_instance(params)) return error_text(std::move(error_));
        return params;
    }

private:
    struct Frame {
        std::uint64_t pos;
        std::uint64_t end;
    };

    // ---- event cursor -------------------------------------------------------

    /// Moves to the next event, replaying the anchored events of an alias in its place.
    bool advance() {
        for (;;) {
            expect(!frames_.empty(), "value events ended inside a value");
            Frame& frame = frames_.back();
            if (frame.pos == frame.end) {
                frames_.pop_back();
                continue;
            }
            const ValueEvent& e = list_.events[frame.pos++];
            if (frames_.size() > 1 && ++replayed_ > kMaxReplayedEvents) {
                return fail(e,
                            "alias expansion limit exceeded: the document expands to more than " +
                                std::to_string(kMaxReplayedEvents) + " replayed nodes");
            }
            if (e.kind == EventKind::Alias) {
                frames_.push_back(Frame{e.begin, e.begin + e.size});
                continue;
            }
            ev_ = &e;
            return true;
        }
    }

    /// Consumes the value starting at the current event, whatever its shape.
    bool skip_value() {
        std::uint64_t depth = 0;
        for (;;) {
            const EventKind k = ev_->kind;
            if (k == EventKind::MapStart || k == EventKind::SeqStart) ++depth;
            if (k == EventKind::MapEnd || k == EventKind::SeqEnd) --depth;
            if (depth == 0) return true;
            if (!advance()) return false;
        }
    }

    std::string_view text(const ValueEvent& e) const { return list_.scalar_text(e); }

    bool is_null(const ValueEvent& e) const {
        return e.kind == EventKind::Scalar && e.scalar == ScalarKind::Null;
    }
    bool is_string(const ValueEvent& e) const {
        return e.kind == EventKind::Scalar && e.scalar == ScalarKind::String;
    }

    // ---- messages ------------------------------------------------------------

    bool fail(const ValueEvent& at, const std::string& message) {
        std::string prefix;
        if (!json_ && !path_.empty()) {
            for (const PathSegment& s : path_) {
                if (s.key == nullptr) {
                    prefix += "[" + std::to_string(s.index) + "]";
                } else {
                    if (!prefix.empty()) prefix += '.';
                    prefix += s.key;
                }
            }
            prefix += ": ";
        }
        error_ = prefix + message + position_suffix(at.line, at.column);
        return false;
    }

    std::string describe(const ValueEvent& e) const {
        switch (e.kind) {
            case EventKind::MapStart:
                return "map";
            case EventKind::SeqStart:
                return "sequence";
            case EventKind::Scalar:
                break;
            default:
                return "end of a structure";
        }
        switch (e.scalar) {
            case ScalarKind::Null:
                return "unit value";
            case ScalarKind::Bool:
                return e.bool_value ? "boolean `true`" : "boolean `false`";
            case ScalarKind::Int: {
                const IntegerLiteral lit = parse_integer_literal(text(e));
                if (lit.overflow || !lit.valid) return "integer `" + std::string(text(e)) + "`";
                return std::string("integer `") + (lit.negative && lit.magnitude ? "-" : "") +
                       std::to_string(lit.magnitude) + "`";
            }
            case ScalarKind::Float: {
                const FloatLiteral lit = parse_float_literal(text(e));
                if (lit.out_of_range || !lit.valid) {
                    return "floating point `" + std::string(text(e)) + "`";
                }
                return "floating point `" + format_float(lit.value) + "`";
            }
            case ScalarKind::String:
                return "string " + quote_string(text(e));
        }
        return "value";
    }

    bool type_error(const ValueEvent& e, const std::string& expected) {
        return fail(e, "invalid type: " + describe(e) + ", expected " + expected);
    }
    bool value_error(const ValueEvent& e, const std::string& expected) {
        return fail(e, "invalid value: " + describe(e) + ", expected " + expected);
    }

    // ---- scalars -------------------------------------------------------------

    bool read_unsigned(std::uint64_t& out, std::uint64_t max, const char* expected) {
        const ValueEvent& e = *ev_;
        if (e.kind != EventKind::Scalar || e.scalar != ScalarKind::Int) {
            return type_error(e, expected);
        }
        const IntegerLiteral lit = parse_integer_literal(text(e));
        if (!lit.valid || lit.overflow || (lit.negative && lit.magnitude != 0) ||
            lit.magnitude > max) {
            return value_error(e, expected);
        }
        out = lit.magnitude;
        return true;
    }

    bool read_u64(std::uint64_t& out, const char* expected = "usize") {
        return read_unsigned(out, std::numeric_limits<std::uint64_t>::max(), expected);
    }

    bool read_u8(std::uint8_t& out) {
        std::uint64_t v = 0;
        if (!read_unsigned(v, 255, "u8")) return false;
        out = static_cast<std::uint8_t>(v);
        return true;
    }

    /// A number as f64; integer literals beyond 64 bits go through their decimal text.
    bool read_number(double& out, const char* expected) {
        const ValueEvent& e = *ev_;
        if (e.kind != EventKind::Scalar ||
            (e.scalar != ScalarKind::Int && e.scalar != ScalarKind::Float)) {
            return type_error(e, expected);
        }
        if (e.scalar == ScalarKind::Int) {
            const IntegerLiteral lit = parse_integer_literal(text(e));
            if (lit.valid && !lit.overflow) {
                const double mag = static_cast<double>(lit.magnitude);
                out = lit.negative && lit.magnitude != 0 ? -mag : mag;
                return true;
            }
        }
        const FloatLiteral lit = parse_float_literal(text(e));
        if (!lit.valid || lit.out_of_range) return value_error(e, expected);
        out = lit.value;
        return true;
    }

    bool read_f64(double& out) { return read_number(out, "f64"); }

    bool read_f32(float& out) {
        const ValueEvent& e = *ev_;
        if (e.kind == EventKind::Scalar && e.scalar == ScalarKind::Int) {
            // Integers convert straight to f32, rounding once.
            const IntegerLiteral lit = parse_integer_literal(text(e));
            if (lit.valid && !lit.overflow) {
                const float mag = static_cast<float>(lit.magnitude);
                out = lit.negative && lit.magnitude != 0 ? -mag : mag;
                return true;
            }
        }
        double d = 0.0;
        if (!read_number(d, "f32")) return false;
        out = to_f32(d);
        return true;
    }

    bool read_bool(bool& out) {
        const ValueEvent& e = *ev_;
        if (e.kind != EventKind::Scalar || e.scalar != ScalarKind::Bool) {
            return type_error(e, "a boolean");
        }
        out = e.bool_value;
        return true;
    }

    // ---- structures ----------------------------------------------------------

    /// Reads a structure from a mapping (or, in JSON, an array of its field values
    /// in declaration order). `read_field(i)` reads field i from the current event.
    template <std::size_t N, class ReadField>
    bool read_struct(const std::string& expected, const std::array<FieldSpec, N>& fields,
                     ReadField&& read_field) {
        const ValueEvent& start = *ev_;
        std::array<bool, N> seen{};
        if (start.kind == EventKind::MapStart) {
            for (;;) {
                if (!advance()) return false;
                if (ev_->kind == EventKind::MapEnd) break;
                const ValueEvent& key = *ev_;
                std::size_t index = N;
                if (key.kind == EventKind::Scalar) {
                    const std::string_view name = text(key);
                    for (std::size_t i = 0; i < N; ++i) {
                        if (name == fields[i].name) index = i;
                    }
                } else if (!skip_value()) {  // a structured key names no field
                    return false;
                }
                if (!advance()) return false;
                if (index == N) {
                    if (!skip_value()) return false;
                    continue;
                }
                if (seen[index]) {
                    return fail(key, std::string("duplicate field `") + fields[index].name + "`");
                }
                seen[index] = true;
                path_.push_back(PathSegment{fields[index].name, 0});
                if (!read_field(index)) return false;
                path_.pop_back();
            }
        } else if (json_ && start.kind == EventKind::SeqStart) {
            std::uint64_t count = 0;
            for (;; ++count) {
                if (!advance()) return false;
                if (ev_->kind == EventKind::SeqEnd) break;
                if (count < N) {
                    path_.push_back(PathSegment{fields[count].name, 0});
                    if (!read_field(static_cast<std::size_t>(count))) return false;
                    path_.pop_back();
                } else if (!skip_value()) {
                    return false;
                }
            }
            if (count != N) {
                return fail(start, "invalid length " + std::to_string(count) + ", expected " +
                                       expected + " with " + std::to_string(N) + " elements");
            }
            return true;
        } else if (!(!json_ && start.kind == EventKind::Scalar && start.empty)) {
            // (A YAML empty value reads as an empty mapping.)
            return type_error(start, expected);
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (fields[i].required && !seen[i]) {
                return fail(start, std::string("missing field `") + fields[i].name + "`");
            }
        }
        return true;
    }

    template <class T, class ReadElem>
    bool read_list(std::vector<T>& out, ReadElem&& read_elem) {
        const ValueEvent& start = *ev_;
        if (start.kind != EventKind::SeqStart) return type_error(start, "a sequence");
        for (std::uint64_t i = 0;; ++i) {
            if (!advance()) return false;
            if (ev_->kind == EventKind::SeqEnd) return true;
            path_.push_back(PathSegment{nullptr, i});
            T value{};
            if (!read_elem(value)) return false;
            out.push_back(std::move(value));
            path_.pop_back();
        }
    }

    /// An optional field: absent when null (in YAML also when empty).
    template <class T, class ReadValue>
    bool read_optional(std::optional<T>& out, ReadValue&& read_value) {
        if (is_null(*ev_)) {
            out.reset();
            return true;
        }
        T value{};
        if (!read_value(value)) return false;
        out = std::move(value);
        return true;
    }

    // ---- variants ------------------------------------------------------------

    /// The variant named by a YAML local tag, or empty for an untagged node
    /// (the core-schema tags do not name variants).
    std::string_view variant_tag(const ValueEvent& e) const {
        std::string_view tag = list_.tag_of(e);
        if (tag.empty() || tag == "!" || tag.substr(0, 18) == "tag:yaml.org,2002:") return {};
        if (tag[0] == '!') tag.remove_prefix(1);
        return tag;
    }

    bool unknown_stp(const ValueEvent& at, std::string_view name) {
        return fail(at, "unknown variant `" + std::string(name) +
                            "`, expected one of `NoStp`, `Depression`, `Facilitation`");
    }
    bool unknown_weight(const ValueEvent& at, std::string_view name) {
        return fail(
            at, "unknown variant `" + std::string(name) + "`, expected `Randomized` or `Constant`");
    }

    static int variant_index(std::string_view name, const char* const* names, int count) {
        for (int i = 0; i < count; ++i) {
            if (name == names[i]) return i;
        }
        return -1;
    }

    /// The payload of a variant whose name is known; the current event is the payload.
    bool read_stp_payload(int index, StpParams& out) {
        out.kind = static_cast<StpParams::Kind>(index);
        if (out.kind == StpParams::Kind::NoStp) {
            if (!is_null(*ev_)) return type_error(*ev_, "unit value");
            return true;
        }
        static constexpr std::array<FieldSpec, 3> fields{
            {{"tau", true}, {"p0", true}, {"factor", true}}};
        return read_struct(std::string("struct variant StpParams::") + kStpVariants[index], fields,
                           [&](std::size_t i) {
                               switch (i) {
                                   case 0:
                                       return read_f32(out.tau);
                                   case 1:
                                       return read_f32(out.p0);
                                   default:
                                       return read_f32(out.factor);
                               }
                           });
    }

    /// A variant name written as a bare string: valid only for a variant without payload.
    bool read_bare_stp(const ValueEvent& e, StpParams& out) {
        const int index = variant_index(text(e), kStpVariants, 3);
        if (index < 0) return unknown_stp(e, text(e));
        if (index != 0) {
            return fail(e, std::string("invalid type: unit variant, expected struct variant "
                                       "StpParams::") +
                               kStpVariants[index]);
        }
        out.kind = StpParams::Kind::NoStp;
        return true;
    }

    bool read_stp(StpParams& out) {
        const ValueEvent& e = *ev_;
        if (!json_) {
            const std::string_view tag = variant_tag(e);
            if (!tag.empty()) {
                const int index = variant_index(tag, kStpVariants, 3);
                if (index < 0) return unknown_stp(e, tag);
                return read_stp_payload(index, out);
            }
            if (is_string(e)) return read_bare_stp(e, out);
            return type_error(e, "enum StpParams");
        }
        if (is_string(e)) return read_bare_stp(e, out);
        if (e.kind != EventKind::MapStart) return type_error(e, "enum StpParams");
        if (!advance()) return false;
        const ValueEvent& key = *ev_;
        if (key.kind == EventKind::MapEnd)
            return fail(e, "invalid type: empty map, expected enum StpParams");
        const int index = variant_index(text(key), kStpVariants, 3);
        if (index < 0) return unknown_stp(key, text(key));
        if (!advance() || !read_stp_payload(index, out) || !advance()) return false;
        if (ev_->kind != EventKind::MapEnd) {
            return fail(*ev_, "invalid type: map with more than one key, expected enum StpParams");
        }
        return true;
    }

    bool read_bare_weight(const ValueEvent& e) {
        const int index = variant_index(text(e), kWeightVariants, 2);
        if (index < 0) return unknown_weight(e, text(e));
        return fail(e, std::string("invalid type: unit variant, expected newtype variant "
                                   "InitialSynWeight::") +
                           kWeightVariants[index]);
    }

    bool read_weight(InitialSynWeight& out) {
        const ValueEvent& e = *ev_;
        if (!json_) {
            const std::string_view tag = variant_tag(e);
            if (!tag.empty()) {
                const int index = variant_index(tag, kWeightVariants, 2);
                if (index < 0) return unknown_weight(e, tag);
                out.kind = static_cast<InitialSynWeight::Kind>(index);
                return read_f32(out.value);
            }
            if (is_string(e)) return read_bare_weight(e);
            return type_error(e, "enum InitialSynWeight");
        }
        if (is_string(e)) return read_bare_weight(e);
        if (e.kind != EventKind::MapStart) return type_error(e, "enum InitialSynWeight");
        if (!advance()) return false;
        const ValueEvent& key = *ev_;
        if (key.kind == EventKind::MapEnd) {
            return fail(e, "invalid type: empty map, expected enum InitialSynWeight");
        }
        const int index = variant_index(text(key), kWeightVariants, 2);
        if (index < 0) return unknown_weight(key, text(key));
        out.kind = static_cast<InitialSynWeight::Kind>(index);
        if (!advance() || !read_f32(out.value) || !advance()) return false;
        if (ev_->kind != EventKind::MapEnd) {
            return fail(*ev_,
                        "invalid type: map with more than one key, expected enum InitialSynWeight");
        }
        return true;
    }

    // ---- records -------------------------------------------------------------

    bool read_neuron(NeuronParams& p) {
        static constexpr std::array<FieldSpec, 7> fields{{{"tau_membrane", true},
                                                          {"refractory_period", true},
                                                          {"reset_voltage", true},
                                                          {"t_cutoff_coincidence", true},
                                                          {"adaptation_threshold", true},
                                                          {"tau_threshold", true},
                                                          {"voltage_floor", true}}};
        return read_struct("struct NeuronParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_f32(p.tau_membrane);
                case 1:
                    return read_u8(p.refractory_period);
                case 2:
                    return read_f32(p.reset_voltage);
                case 3:
                    return read_u64(p.t_cutoff_coincidence);
                case 4:
                    return read_f32(p.adaptation_threshold);
                case 5:
                    return read_f32(p.tau_threshold);
                default:
                    return read_f32(p.voltage_floor);
            }
        });
    }

    bool read_modulation(PlasticityModulationParams& p) {
        static constexpr std::array<FieldSpec, 6> fields{{{"tau_eligibility_trace", true},
                                                          {"eligibility_trace_delay", true},
                                                          {"dopamine_modulation_factor", true},
                                                          {"t_cutoff_eligibility_trace", true},
                                                          {"dopamine_flush_period", true},
                                                          {"dopamine_conflation_period", true}}};
        return read_struct("struct PlasticityModulationParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_f32(p.tau_eligibility_trace);
                case 1:
                    return read_u64(p.eligibility_trace_delay);
                case 2:
                    return read_f32(p.dopamine_modulation_factor);
                case 3:
                    return read_u64(p.t_cutoff_eligibility_trace);
                case 4:
                    return read_u64(p.dopamine_flush_period);
                default:
                    return read_u64(p.dopamine_conflation_period);
            }
        });
    }

    bool read_layer(LayerParams& p) {
        static constexpr std::array<FieldSpec, 3> fields{{{"num_neurons", true},
                                                          {"neuron_params", true},
                                                          {"plasticity_modulation_params", false}}};
        return read_struct("struct LayerParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_u64(p.num_neurons);
                case 1:
                    return read_neuron(p.neuron_params);
                default:
                    return read_optional(
                        p.plasticity_modulation_params,
                        [&](PlasticityModulationParams& m) { return read_modulation(m); });
            }
        });
    }

    bool read_synapse(SynapseParams& p) {
        static constexpr std::array<FieldSpec, 2> fields{
            {{"max_weight", true}, {"weight_scale_factor", true}}};
        return read_struct("struct SynapseParams", fields, [&](std::size_t i) {
            return i == 0 ? read_f32(p.max_weight) : read_f32(p.weight_scale_factor);
        });
    }

    bool read_stdp(StdpParams& p) {
        static constexpr std::array<FieldSpec, 4> fields{{{"factor_pre_before_post", true},
                                                          {"tau_pre_before_post", true},
                                                          {"factor_pre_after_post", true},
                                                          {"tau_pre_after_post", true}}};
        return read_struct("struct StdpParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_f32(p.factor_pre_before_post);
                case 1:
                    return read_f32(p.tau_pre_before_post);
                case 2:
                    return read_f32(p.factor_pre_after_post);
                default:
                    return read_f32(p.tau_pre_after_post);
            }
        });
    }

    bool read_short_term_stdp(ShortTermStdpParams& p) {
        static constexpr std::array<FieldSpec, 2> fields{{{"stdp_params", true}, {"tau", true}}};
        return read_struct("struct ShortTermStdpParams", fields, [&](std::size_t i) {
            return i == 0 ? read_stdp(p.stdp_params) : read_f32(p.tau);
        });
    }

    bool read_projection(ProjectionParams& p) {
        static constexpr std::array<FieldSpec, 4> fields{{{"synapse_params", true},
                                                          {"stp_params", true},
                                                          {"long_term_stdp_params", false},
                                                          {"short_term_stdp_params", false}}};
        return read_struct("struct ProjectionParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_synapse(p.synapse_params);
                case 1:
                    return read_stp(p.stp_params);
                case 2:
                    return read_optional(p.long_term_stdp_params,
                                         [&](StdpParams& s) { return read_stdp(s); });
                default:
                    return read_optional(p.short_term_stdp_params, [&](ShortTermStdpParams& s) {
                        return read_short_term_stdp(s);
                    });
            }
        });
    }

    bool read_connection(LayerConnectionParams& p) {
        static constexpr std::array<FieldSpec, 10> fields{
            {{"from_layer_id", true},
             {"to_layer_id", true},
             {"projection_params", true},
             {"connect_density", true},
             {"connect_width", true},
             {"initial_syn_weight", true},
             {"conduction_delay_max_random_part", true},
             {"conduction_delay_position_distance_scale_factor", true},
             {"conduction_delay_add_on", true},
             {"allow_self_innervation", true}}};
        return read_struct("struct LayerConnectionParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_u64(p.from_layer_id);
                case 1:
                    return read_u64(p.to_layer_id);
                case 2:
                    return read_projection(p.projection_params);
                case 3:
                    return read_f64(p.connect_density);
                case 4:
                    return read_f64(p.connect_width);
                case 5:
                    return read_weight(p.initial_syn_weight);
                case 6:
                    return read_u64(p.conduction_delay_max_random_part);
                case 7:
                    return read_f64(p.conduction_delay_position_distance_scale_factor);
                case 8:
                    return read_u64(p.conduction_delay_add_on);
                default:
                    return read_bool(p.allow_self_innervation);
            }
        });
    }

    bool read_technical(TechnicalParams& p) {
        static constexpr std::array<FieldSpec, 3> fields{
            {{"num_threads", false}, {"pin_threads", true}, {"seed_override", false}}};
        return read_struct("struct TechnicalParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_optional(p.num_threads,
                                         [&](std::uint64_t& v) { return read_u64(v); });
                case 1:
                    return read_bool(p.pin_threads);
                default:
                    return read_optional(p.seed_override,
                                         [&](std::uint64_t& v) { return read_u64(v, "u64"); });
            }
        });
    }

    bool read_instance(InstanceParams& p) {
        static constexpr std::array<FieldSpec, 3> fields{
            {{"layers", true}, {"layer_connections", true}, {"technical_params", true}}};
        return read_struct("struct InstanceParams", fields, [&](std::size_t i) {
            switch (i) {
                case 0:
                    return read_list(p.layers, [&](LayerParams& l) { return read_layer(l); });
                case 1:
                    return read_list(p.layer_connections,
                                     [&](LayerConnectionParams& c) { return read_connection(c); });
                default:
                    return read_technical(p.technical_params);
            }
        });
    }

    const ValueEventList& list_;
    bool json_;
    std::vector<Frame> frames_;
    std::uint64_t replayed_ = 0;
    const ValueEvent* ev_ = nullptr;
    std::vector<PathSegment> path_;
    std::string error_;
};

}  // namespace

Result<InstanceParams> map_instance_params(const ValueEventList& list, DocumentFormat format) {
    return SchemaMapper(list, format).run();
}

}  // namespace synaptor
