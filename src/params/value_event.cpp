#include "params/value_event.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace synaptor {

void ValueEventList::push_scalar(ScalarKind kind, std::string_view value, std::uint64_t line,
                                 std::uint64_t column) {
    ValueEvent e;
    e.kind = EventKind::Scalar;
    e.scalar = kind;
    e.begin = text.size();
    e.size = value.size();
    e.line = line;
    e.column = column;
    text.append(value);
    events.push_back(e);
}

void ValueEventList::push_structural(EventKind kind, std::uint64_t line, std::uint64_t column) {
    ValueEvent e;
    e.kind = kind;
    e.line = line;
    e.column = column;
    events.push_back(e);
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int digit_value(char c, int base) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    return d < base ? d : -1;
}

}  // namespace

IntegerLiteral parse_integer_literal(std::string_view text) {
    IntegerLiteral r;
    std::string_view s = text;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        r.negative = s[0] == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o')) {
        base = s[1] == 'x' ? 16 : 8;
        s.remove_prefix(2);
    }
    if (s.empty()) return r;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (char c : s) {
        const int d = digit_value(c, base);
        if (d < 0) return r;
        const auto ud = static_cast<std::uint64_t>(d);
        const auto ubase = static_cast<std::uint64_t>(base);
        if (r.magnitude > (max - ud) / ubase) r.overflow = true;
        if (!r.overflow) r.magnitude = r.magnitude * ubase + ud;
    }
    r.valid = true;
    return r;
}

namespace {

/// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool is_decimal_float(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t int_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
    std::size_t frac_digits = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
    }
    if (int_digits == 0 && frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

}  // namespace

FloatLiteral parse_float_literal(std::string_view text) {
    FloatLiteral r;
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s == ".inf" || s == ".Inf" || s == ".INF") {
        r.valid = true;
        r.value = negative ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
        return r;
    }
    if (text == ".nan" || text == ".NaN" || text == ".NAN") {
        r.valid = true;
        r.value = std::numeric_limits<double>::quiet_NaN();
        return r;
    }
    if (!is_decimal_float(text)) return r;
    // from_chars is locale-independent and correctly rounded; it takes no '+'.
    double v = 0.0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), v);
    r.valid = true;
    if (res.ec == std::errc::result_out_of_range) {
        r.out_of_range = true;
        return r;
    }
    if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
        r.valid = false;
        return r;
    }
    r.value = negative ? -v : v;
    return r;
}

ScalarKind resolve_plain_scalar(std::string_view t, bool& bool_value) {
    bool_value = false;
    if (t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL") return ScalarKind::Null;
    if (t == "true" || t == "True" || t == "TRUE") {
        bool_value = true;
        return ScalarKind::Bool;
    }
    if (t == "false" || t == "False" || t == "FALSE") return ScalarKind::Bool;
    if (parse_integer_literal(t).valid) return ScalarKind::Int;
    if (parse_float_literal(t).valid) return ScalarKind::Float;
    return ScalarKind::String;
}

TextPosition position_of_offset(std::string_view text, std::uint64_t offset) {
    TextPosition p;
    const std::size_t end = offset < text.size() ? static_cast<std::size_t>(offset) : text.size();
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++p.line;
            p.column = 1;
        } else if ((c & 0xC0) != 0x80) {  // continuation bytes belong to the previous character
            ++p.column;
        }
    }
    return p;
}

std::string position_suffix(std::uint64_t line, std::uint64_t column) {
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace synaptor
