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

/// The record type that holds a pointer-to-member's member.
template <class MemberPointer>
struct MemberRecordOf;
template <class Record, class Member>
struct MemberRecordOf<Member Record::*> {
    using type = Record;
};
template <class MemberPointer>
using MemberRecord = typename MemberRecordOf<MemberPointer>::type;

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

class SchemaMapper {
public:
    SchemaMapper(const ValueEventList& list, DocumentFormat format)
        : list_(list), json_(format == DocumentFormat::Json) {
        frames_.push_back(Frame{0, list.events.size()});
    }

    Result<InstanceParams> run() {
        InstanceParams params;
        if (!advance() || !read_value(params)) return error_text(std::move(error_));
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

    bool read_value(std::uint64_t& out) { return read_u64(out); }

    bool read_value(std::uint8_t& out) {
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

    bool read_value(double& out) { return read_number(out, "f64"); }

    bool read_value(float& out) {
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

    bool read_value(bool& out) {
        const ValueEvent& e = *ev_;
        if (e.kind != EventKind::Scalar || e.scalar != ScalarKind::Bool) {
            return type_error(e, "a boolean");
        }
        out = e.bool_value;
        return true;
    }

    // ---- structures ----------------------------------------------------------

    /// One field of a record: its name, whether a document must give it, and the
    /// reader that fills its member from the current event.
    template <class Record>
    struct Field {
        const char* name;
        bool required;
        bool (*read)(SchemaMapper&, Record&);
    };

    /// The field `name` of the record that holds `Member`, read by the reader of
    /// the member's type.
    template <auto Member>
    static constexpr Field<MemberRecord<decltype(Member)>> field(const char* name, bool required) {
        return {name, required, [](SchemaMapper& m, MemberRecord<decltype(Member)>& r) {
                    return m.read_value(r.*Member);
                }};
    }

    /// Reads a record from a mapping (or, in JSON, an array of its field values
    /// in table order, which is the declaration order).
    template <class Record, std::size_t N>
    bool read_struct(const std::string& expected, const std::array<Field<Record>, N>& fields,
                     Record& out) {
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
                if (!fields[index].read(*this, out)) return false;
                path_.pop_back();
            }
        } else if (json_ && start.kind == EventKind::SeqStart) {
            std::uint64_t count = 0;
            for (;; ++count) {
                if (!advance()) return false;
                if (ev_->kind == EventKind::SeqEnd) break;
                if (count < N) {
                    path_.push_back(PathSegment{fields[count].name, 0});
                    if (!fields[count].read(*this, out)) return false;
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

    template <class T>
    bool read_value(std::vector<T>& out) {
        const ValueEvent& start = *ev_;
        if (start.kind != EventKind::SeqStart) return type_error(start, "a sequence");
        for (std::uint64_t i = 0;; ++i) {
            if (!advance()) return false;
            if (ev_->kind == EventKind::SeqEnd) return true;
            path_.push_back(PathSegment{nullptr, i});
            T value{};
            if (!read_value(value)) return false;
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

    template <class T>
    bool read_value(std::optional<T>& out) {
        return read_optional(out, [&](T& v) { return read_value(v); });
    }

    // ---- variants ------------------------------------------------------------

    /// One alternative of a tagged choice: its name and the form of its payload
    /// as the messages call it ("unit" for none, "struct" or "newtype").
    struct Variant {
        const char* name;
        const char* payload;
    };

    /// The variant named by a YAML local tag, or empty for an untagged node
    /// (the core-schema tags do not name variants).
    std::string_view variant_tag(const ValueEvent& e) const {
        std::string_view tag = list_.tag_of(e);
        if (tag.empty() || tag == "!" || tag.substr(0, 18) == "tag:yaml.org,2002:") return {};
        if (tag[0] == '!') tag.remove_prefix(1);
        return tag;
    }

    /// Reads a tagged choice into `out.kind` (the variants in the order of the
    /// kind's enumerators) and its payload. Written in YAML as a local tag on
    /// the payload (`!Name payload`), in JSON as a one-key map (`{"Name":
    /// payload}`), in both as a bare name for a variant without payload.
    /// `read_payload(i)` reads the payload of variant i, which has one, from the
    /// current event.
    template <class Choice, std::size_t N, class ReadPayload>
    bool read_variant(const char* type, const std::array<Variant, N>& variants, Choice& out,
                      ReadPayload&& read_payload) {
        const std::string expected_enum = std::string("enum ") + type;
        const auto find = [&](std::string_view name) {
            std::size_t i = 0;
            while (i < N && name != variants[i].name) ++i;
            return i;
        };
        const auto unknown = [&](const ValueEvent& at, std::string_view name) {
            std::string names = N == 2 ? "" : "one of ";
            for (std::size_t i = 0; i < N; ++i) {
                if (i > 0) names += N == 2 ? " or " : ", ";
                names += std::string("`") + variants[i].name + "`";
            }
            return fail(at, "unknown variant `" + std::string(name) + "`, expected " + names);
        };
        const auto is_unit = [&](std::size_t i) {
            return std::string_view(variants[i].payload) == "unit";
        };
        // The payload of a named variant; the current event is the payload.
        const auto payload = [&](std::size_t i) {
            out.kind = static_cast<decltype(out.kind)>(i);
            if (!is_unit(i)) return read_payload(i);
            if (!is_null(*ev_)) return type_error(*ev_, "unit value");
            return true;
        };
        // A bare name: valid only for a variant without payload.
        const auto bare = [&](const ValueEvent& e) {
            const std::size_t i = find(text(e));
            if (i == N) return unknown(e, text(e));
            if (!is_unit(i)) {
                return fail(e, std::string("invalid type: unit variant, expected ") +
                                   variants[i].payload + " variant " + type +
                                   "::" + variants[i].name);
            }
            out.kind = static_cast<decltype(out.kind)>(i);
            return true;
        };

        const ValueEvent& e = *ev_;
        if (!json_) {
            const std::string_view tag = variant_tag(e);
            if (!tag.empty()) {
                const std::size_t i = find(tag);
                if (i == N) return unknown(e, tag);
                return payload(i);
            }
            if (is_string(e)) return bare(e);
            return type_error(e, expected_enum);
        }
        if (is_string(e)) return bare(e);
        if (e.kind != EventKind::MapStart) return type_error(e, expected_enum);
        if (!advance()) return false;
        const ValueEvent& key = *ev_;
        if (key.kind == EventKind::MapEnd) {
            return fail(e, "invalid type: empty map, expected " + expected_enum);
        }
        const std::size_t i = find(text(key));
        if (i == N) return unknown(key, text(key));
        if (!advance() || !payload(i) || !advance()) return false;
        if (ev_->kind != EventKind::MapEnd) {
            return fail(*ev_,
                        "invalid type: map with more than one key, expected " + expected_enum);
        }
        return true;
    }

    bool read_value(StpParams& out) {
        static constexpr std::array<Variant, 3> variants{
            {{"NoStp", "unit"}, {"Depression", "struct"}, {"Facilitation", "struct"}}};
        static constexpr std::array fields{field<&StpParams::tau>("tau", true),
                                           field<&StpParams::p0>("p0", true),
                                           field<&StpParams::factor>("factor", true)};
        return read_variant("StpParams", variants, out, [&](std::size_t i) {
            return read_struct(std::string("struct variant StpParams::") + variants[i].name, fields,
                               out);
        });
    }

    bool read_value(InitialSynWeight& out) {
        static constexpr std::array<Variant, 2> variants{
            {{"Randomized", "newtype"}, {"Constant", "newtype"}}};
        return read_variant("InitialSynWeight", variants, out,
                            [&](std::size_t) { return read_value(out.value); });
    }

    // ---- records -------------------------------------------------------------

    bool read_value(NeuronParams& p) {
        using R = NeuronParams;
        static constexpr std::array fields{
            field<&R::tau_membrane>("tau_membrane", true),
            field<&R::refractory_period>("refractory_period", true),
            field<&R::reset_voltage>("reset_voltage", true),
            field<&R::t_cutoff_coincidence>("t_cutoff_coincidence", true),
            field<&R::adaptation_threshold>("adaptation_threshold", true),
            field<&R::tau_threshold>("tau_threshold", true),
            field<&R::voltage_floor>("voltage_floor", true)};
        return read_struct("struct NeuronParams", fields, p);
    }

    bool read_value(PlasticityModulationParams& p) {
        using R = PlasticityModulationParams;
        static constexpr std::array fields{
            field<&R::tau_eligibility_trace>("tau_eligibility_trace", true),
            field<&R::eligibility_trace_delay>("eligibility_trace_delay", true),
            field<&R::dopamine_modulation_factor>("dopamine_modulation_factor", true),
            field<&R::t_cutoff_eligibility_trace>("t_cutoff_eligibility_trace", true),
            field<&R::dopamine_flush_period>("dopamine_flush_period", true),
            field<&R::dopamine_conflation_period>("dopamine_conflation_period", true)};
        return read_struct("struct PlasticityModulationParams", fields, p);
    }

    bool read_value(LayerParams& p) {
        using R = LayerParams;
        static constexpr std::array fields{
            field<&R::num_neurons>("num_neurons", true),
            field<&R::neuron_params>("neuron_params", true),
            field<&R::plasticity_modulation_params>("plasticity_modulation_params", false)};
        return read_struct("struct LayerParams", fields, p);
    }

    bool read_value(SynapseParams& p) {
        using R = SynapseParams;
        static constexpr std::array fields{
            field<&R::max_weight>("max_weight", true),
            field<&R::weight_scale_factor>("weight_scale_factor", true)};
        return read_struct("struct SynapseParams", fields, p);
    }

    bool read_value(StdpParams& p) {
        using R = StdpParams;
        static constexpr std::array fields{
            field<&R::factor_pre_before_post>("factor_pre_before_post", true),
            field<&R::tau_pre_before_post>("tau_pre_before_post", true),
            field<&R::factor_pre_after_post>("factor_pre_after_post", true),
            field<&R::tau_pre_after_post>("tau_pre_after_post", true)};
        return read_struct("struct StdpParams", fields, p);
    }

    bool read_value(ShortTermStdpParams& p) {
        using R = ShortTermStdpParams;
        static constexpr std::array fields{field<&R::stdp_params>("stdp_params", true),
                                           field<&R::tau>("tau", true)};
        return read_struct("struct ShortTermStdpParams", fields, p);
    }

    bool read_value(ProjectionParams& p) {
        using R = ProjectionParams;
        static constexpr std::array fields{
            field<&R::synapse_params>("synapse_params", true),
            field<&R::stp_params>("stp_params", true),
            field<&R::long_term_stdp_params>("long_term_stdp_params", false),
            field<&R::short_term_stdp_params>("short_term_stdp_params", false)};
        return read_struct("struct ProjectionParams", fields, p);
    }

    bool read_value(LayerConnectionParams& p) {
        using R = LayerConnectionParams;
        static constexpr std::array fields{
            field<&R::from_layer_id>("from_layer_id", true),
            field<&R::to_layer_id>("to_layer_id", true),
            field<&R::projection_params>("projection_params", true),
            field<&R::connect_density>("connect_density", true),
            field<&R::connect_width>("connect_width", true),
            field<&R::initial_syn_weight>("initial_syn_weight", true),
            field<&R::conduction_delay_max_random_part>("conduction_delay_max_random_part", true),
            field<&R::conduction_delay_position_distance_scale_factor>(
                "conduction_delay_position_distance_scale_factor", true),
            field<&R::conduction_delay_add_on>("conduction_delay_add_on", true),
            field<&R::allow_self_innervation>("allow_self_innervation", true)};
        return read_struct("struct LayerConnectionParams", fields, p);
    }

    bool read_value(TechnicalParams& p) {
        using R = TechnicalParams;
        static constexpr std::array fields{
            field<&R::num_threads>("num_threads", false),
            field<&R::pin_threads>("pin_threads", true),
            // A seed is any u64 and says so in its messages.
            Field<R>{"seed_override", false, [](SchemaMapper& m, R& r) {
                         return m.read_optional(r.seed_override, [&](std::uint64_t& v) {
                             return m.read_u64(v, "u64");
                         });
                     }}};
        return read_struct("struct TechnicalParams", fields, p);
    }

    bool read_value(InstanceParams& p) {
        using R = InstanceParams;
        static constexpr std::array fields{field<&R::layers>("layers", true),
                                           field<&R::layer_connections>("layer_connections", true),
                                           field<&R::technical_params>("technical_params", true)};
        return read_struct("struct InstanceParams", fields, p);
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
