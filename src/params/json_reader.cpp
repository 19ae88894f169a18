// JSON reader: RapidJSON's SAX reader (iterative, so deep input cannot exhaust
// the stack; numbers as text, so both readers convert numbers by one rule)
// turns the text into value events; the shared schema mapper reads them into
// an InstanceParams.

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <string>
#include <string_view>

#include "params/params_reader.hpp"
#include "params/schema_mapper.hpp"
#include "params/value_event.hpp"

namespace synaptor {
namespace {

constexpr std::uint64_t kMaxDepth = 128;

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/// Input stream over the whole text: it reads exactly `text.size()` bytes (a NUL
/// byte inside the text is an ordinary, invalid character; only the end of the
/// text reads as the terminating NUL), counts line and column, and remembers
/// where the current scalar token started.
class JsonTextStream {
public:
    using Ch = char;

    explicit JsonTextStream(std::string_view text) : text_(text) {}

    Ch Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    Ch Take() {
        if (pos_ >= text_.size()) return '\0';
        const char c = text_[pos_];
        track_token(c);
        if (c == '\n') {
            ++line_;
            column_ = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++column_;
        }
        ++pos_;
        return c;
    }

    std::size_t Tell() const { return pos_; }

    // Write access is only used by in-situ parsing, which is not enabled.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

    std::uint64_t line() const { return line_; }
    std::uint64_t column() const { return column_; }
    std::uint64_t token_line() const { return token_line_; }
    std::uint64_t token_column() const { return token_column_; }

private:
    void track_token(char c) {
        if (in_string_) {
            if (escape_) {
                escape_ = false;
            } else if (c == '\\') {
                escape_ = true;
            } else if (c == '"') {
                in_string_ = false;
            }
            return;
        }
        if (c == '"') {
            in_string_ = true;
            in_token_ = false;
            mark_token();
        } else if (is_json_whitespace(c) || c == '{' || c == '}' || c == '[' || c == ']' ||
                   c == ',' || c == ':') {
            in_token_ = false;
        } else if (!in_token_) {
            in_token_ = true;
            mark_token();
        }
    }
    void mark_token() {
        token_line_ = line_;
        token_column_ = column_;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::uint64_t line_ = 1;
    std::uint64_t column_ = 1;
    std::uint64_t token_line_ = 1;
    std::uint64_t token_column_ = 1;
    bool in_string_ = false;
    bool escape_ = false;
    bool in_token_ = false;
};

/// Appends one event per SAX call. Scalars are positioned at their first
/// character; brackets are reported before the stream takes them.
class JsonEventHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonEventHandler> {
public:
    JsonEventHandler(ValueEventList& out, const JsonTextStream& stream)
        : out_(out), stream_(stream) {}

    bool Null() {
        out_.push_scalar(ScalarKind::Null, {}, stream_.token_line(), stream_.token_column());
        return true;
    }
    bool Bool(bool b) {
        out_.push_scalar(ScalarKind::Bool, {}, stream_.token_line(), stream_.token_column());
        out_.events.back().bool_value = b;
        return true;
    }
    bool RawNumber(const char* s, rapidjson::SizeType len, bool) {
        const std::string_view t(s, len);
        const bool is_float = t.find_first_of(".eE") != std::string_view::npos;
        out_.push_scalar(is_float ? ScalarKind::Float : ScalarKind::Int, t, stream_.token_line(),
                         stream_.token_column());
        return true;
    }
    bool String(const char* s, rapidjson::SizeType len, bool) {
        out_.push_scalar(ScalarKind::String, std::string_view(s, len), stream_.token_line(),
                         stream_.token_column());
        return true;
    }
    bool Key(const char* s, rapidjson::SizeType len, bool copy) { return String(s, len, copy); }
    bool StartObject() { return open(EventKind::MapStart); }
    bool EndObject(rapidjson::SizeType) { return close(EventKind::MapEnd); }
    bool StartArray() { return open(EventKind::SeqStart); }
    bool EndArray(rapidjson::SizeType) { return close(EventKind::SeqEnd); }

    bool too_deep() const { return too_deep_; }

private:
    bool open(EventKind kind) {
        if (depth_ >= kMaxDepth) {
            too_deep_ = true;
            return false;
        }
        ++depth_;
        out_.push_structural(kind, stream_.line(), stream_.column());
        return true;
    }
    bool close(EventKind kind) {
        --depth_;
        out_.push_structural(kind, stream_.line(), stream_.column());
        return true;
    }

    ValueEventList& out_;
    const JsonTextStream& stream_;
    std::uint64_t depth_ = 0;
    bool too_deep_ = false;
};

}  // namespace

Result<InstanceParams> params_from_json(std::string_view text) {
    ValueEventList list;
    JsonTextStream stream(text);
    JsonEventHandler handler(list, stream);
    rapidjson::Reader reader;
    constexpr unsigned kFlags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
        rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
    const rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, handler);
    if (parsed.IsError()) {
        if (handler.too_deep()) {
            return error_text("recursion limit exceeded: more than " + std::to_string(kMaxDepth) +
                              " nested levels" + position_suffix(stream.line(), stream.column()));
        }
        const TextPosition p = position_of_offset(text, parsed.Offset());
        return error_text(std::string(rapidjson::GetParseError_En(parsed.Code())) +
                          position_suffix(p.line, p.column));
    }
    // Errors inside the value come first; then anything but whitespace after it.
    std::size_t rest = stream.Tell();
    while (rest < text.size() && is_json_whitespace(text[rest])) ++rest;
    Result<InstanceParams> params = map_instance_params(list, DocumentFormat::Json);
    if (params.ok() && rest < text.size()) {
        const TextPosition p = position_of_offset(text, rest);
        return error_text("trailing characters" + position_suffix(p.line, p.column));
    }
    return params;
}

}  // namespace synaptor
