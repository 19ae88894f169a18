// Positioned value events: the common form into which the YAML and the JSON
// reader turn a document, so that one schema mapper reads both formats by the
// same rules. Owns the events of one document, their scalar texts and tags.
// Built and read on the calling thread within one reader call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace synaptor {

enum class EventKind : std::uint8_t { MapStart, MapEnd, SeqStart, SeqEnd, Scalar, Alias };

/// Resolved type of a scalar: quoted YAML scalars and JSON strings are strings;
/// plain YAML scalars and JSON literals are resolved by the reader.
enum class ScalarKind : std::uint8_t { Null, Bool, Int, Float, String };

struct ValueEvent {
    EventKind kind = EventKind::Scalar;
    ScalarKind scalar = ScalarKind::Null;
    bool bool_value = false;
    /// A YAML plain scalar with empty text: an "empty value".
    bool empty = false;
    /// Index into ValueEventList::tags plus one; 0 means untagged.
    std::uint32_t tag = 0;
    /// Scalar: text range in ValueEventList::text. Alias: event range [begin, begin + size)
    /// of the anchored node.
    std::uint64_t begin = 0;
    std::uint64_t size = 0;
    /// 1-based position of the node's first character.
    std::uint64_t line = 0;
    std::uint64_t column = 0;
};

struct ValueEventList {
    std::vector<ValueEvent> events;
    std::string text;
    std::vector<std::string> tags;

    std::string_view scalar_text(const ValueEvent& e) const {
        return std::string_view(text).substr(e.begin, e.size);
    }
    std::string_view tag_of(const ValueEvent& e) const {
        return e.tag == 0 ? std::string_view() : std::string_view(tags[e.tag - 1]);
    }
    /// Appends a scalar whose text is copied into the shared text buffer.
    void push_scalar(ScalarKind kind, std::string_view value, std::uint64_t line,
                     std::uint64_t column);
    void push_structural(EventKind kind, std::uint64_t line, std::uint64_t column);
};

/// An integer literal: decimal with optional sign, or (YAML) 0x.. / 0o...
struct IntegerLiteral {
    bool valid = false;
    bool negative = false;
    bool overflow = false;  ///< magnitude does not fit into 64 bits
    std::uint64_t magnitude = 0;
};
IntegerLiteral parse_integer_literal(std::string_view text);

/// A floating-point literal, including the YAML forms .inf/.Inf/.INF (signed)
/// and .nan/.NaN/.NAN. Values beyond the range of f64 are flagged, not rounded.
struct FloatLiteral {
    bool valid = false;
    bool out_of_range = false;
    double value = 0.0;
};
FloatLiteral parse_float_literal(std::string_view text);

/// Resolution of a plain (unquoted, untagged) YAML scalar: null, bool, int,
/// float, or else string.
ScalarKind resolve_plain_scalar(std::string_view text, bool& bool_value);

/// 1-based line and column (in characters, not bytes) of a byte offset.
struct TextPosition {
    std::uint64_t line = 1;
    std::uint64_t column = 1;
};
TextPosition position_of_offset(std::string_view text, std::uint64_t offset);

std::string position_suffix(std::uint64_t line, std::uint64_t column);

}  // namespace synaptor
