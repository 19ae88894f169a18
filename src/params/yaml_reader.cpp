// YAML reader: libyaml's event parser turns the text into value events (plain
// scalars resolved, tags kept, anchors recorded as event ranges for their
// aliases); the shared schema mapper then reads them into an InstanceParams.

#include <yaml.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "params/params_reader.hpp"
#include "params/schema_mapper.hpp"
#include "params/value_event.hpp"

namespace synaptor {
namespace {

/// Deeper nesting is rejected: nothing legitimate needs it, and it bounds the
/// bookkeeping per open node.
constexpr std::uint64_t kMaxDepth = 128;

class YamlParser {
public:
    YamlParser(std::string_view text) : text_(text) {
        ok_ = yaml_parser_initialize(&parser_) != 0;
        if (ok_) {
            // libyaml rejects a null input pointer, which an empty view may carry.
            const char* data = text.data() != nullptr ? text.data() : "";
            yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(data),
                                         text.size());
            yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
        }
    }
    ~YamlParser() {
        if (ok_) yaml_parser_delete(&parser_);
    }
    YamlParser(const YamlParser&) = delete;
    YamlParser& operator=(const YamlParser&) = delete;

    bool initialized() const { return ok_; }

    /// Next event into `event` (which the caller must delete), or false with the
    /// parser's own message and position.
    bool next(yaml_event_t& event, std::string& error) {
        if (yaml_parser_parse(&parser_, &event) != 0) return true;
        error = parser_.problem != nullptr ? parser_.problem : "invalid YAML";
        if (parser_.error == YAML_READER_ERROR) {
            const TextPosition p = position_of_offset(text_, parser_.problem_offset);
            error += position_suffix(p.line, p.column);
        } else {
            error +=
                position_suffix(parser_.problem_mark.line + 1, parser_.problem_mark.column + 1);
            if (parser_.context != nullptr) {
                error +=
                    std::string(", ") + parser_.context +
                    position_suffix(parser_.context_mark.line + 1, parser_.context_mark.column + 1);
            }
        }
        return false;
    }

private:
    std::string_view text_;
    yaml_parser_t parser_{};
    bool ok_ = false;
};

struct EventGuard {
    yaml_event_t event{};
    bool filled = false;
    ~EventGuard() { reset(); }
    void reset() {
        if (filled) yaml_event_delete(&event);
        filled = false;
    }
};

struct Anchor {
    std::uint64_t begin = 0;
    std::uint64_t size = 0;
    bool complete = false;
};

std::string_view as_view(const yaml_char_t* s) {
    return s == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(s));
}

class YamlEventLoader {
public:
    explicit YamlEventLoader(std::string_view text) : parser_(text) {}

    Status load(ValueEventList& out) {
        if (!parser_.initialized()) return error_text("cannot initialize the YAML parser");
        std::uint64_t documents = 0;
        for (;;) {
            EventGuard g;
            std::string error;
            if (!parser_.next(g.event, error)) return error_text(error);
            g.filled = true;
            const yaml_event_t& e = g.event;
            const std::uint64_t line = e.start_mark.line + 1;
            const std::uint64_t column = e.start_mark.column + 1;
            switch (e.type) {
                case YAML_STREAM_END_EVENT:
                    if (documents == 0) return error_text("EOF while parsing a value");
                    return ok_status();
                case YAML_DOCUMENT_START_EVENT:
                    if (++documents > 1) {
                        return error_text(
                            "deserializing from YAML containing more than one document is not "
                            "supported");
                    }
                    break;
                case YAML_ALIAS_EVENT: {
                    const std::string name(as_view(e.data.alias.anchor));
                    const auto it = anchors_.find(name);
                    if (it == anchors_.end()) {
                        return error_text("unknown anchor `" + name + "`" +
                                          position_suffix(line, column));
                    }
                    if (!it->second.complete) {
                        return error_text("recursive alias `" + name + "`" +
                                          position_suffix(line, column));
                    }
                    out.push_structural(EventKind::Alias, line, column);
                    out.events.back().begin = it->second.begin;
                    out.events.back().size = it->second.size;
                    break;
                }
                case YAML_SCALAR_EVENT: {
                    const auto& s = e.data.scalar;
                    const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
                    const std::string_view tag = as_view(s.tag);
                    ScalarKind kind = ScalarKind::String;
                    bool bool_value = false;
                    // Quoted and block scalars are strings; so is anything tagged as one.
                    if (s.style == YAML_PLAIN_SCALAR_STYLE && tag != "tag:yaml.org,2002:str" &&
                        tag != "!") {
                        kind = resolve_plain_scalar(value, bool_value);
                    }
                    out.push_scalar(kind, value, line, column);
                    ValueEvent& v = out.events.back();
                    v.bool_value = bool_value;
                    v.empty = s.style == YAML_PLAIN_SCALAR_STYLE && value.empty();
                    set_tag(out, v, tag);
                    if (s.anchor != nullptr) {
                        anchors_[std::string(as_view(s.anchor))] =
                            Anchor{out.events.size() - 1, 1, true};
                    }
                    break;
                }
                case YAML_SEQUENCE_START_EVENT:
                case YAML_MAPPING_START_EVENT: {
                    if (open_.size() >= kMaxDepth) {
                        return error_text("recursion limit exceeded: more than " +
                                          std::to_string(kMaxDepth) + " nested levels" +
                                          position_suffix(line, column));
                    }
                    const bool seq = e.type == YAML_SEQUENCE_START_EVENT;
                    out.push_structural(seq ? EventKind::SeqStart : EventKind::MapStart, line,
                                        column);
                    const yaml_char_t* anchor =
                        seq ? e.data.sequence_start.anchor : e.data.mapping_start.anchor;
                    set_tag(out, out.events.back(),
                            as_view(seq ? e.data.sequence_start.tag : e.data.mapping_start.tag));
                    std::string name(as_view(anchor));
                    const std::uint64_t begin = out.events.size() - 1;
                    if (anchor != nullptr) anchors_[name] = Anchor{begin, 0, false};
                    open_.push_back(OpenNode{std::move(name), begin, anchor != nullptr});
                    break;
                }
                case YAML_SEQUENCE_END_EVENT:
                case YAML_MAPPING_END_EVENT: {
                    out.push_structural(
                        e.type == YAML_SEQUENCE_END_EVENT ? EventKind::SeqEnd : EventKind::MapEnd,
                        line, column);
                    if (!open_.empty()) {
                        const OpenNode& node = open_.back();
                        // Complete the anchor unless a node inside redefined the name.
                        if (node.anchored) {
                            Anchor& a = anchors_[node.anchor];
                            if (a.begin == node.begin) {
                                a.size = out.events.size() - a.begin;
                                a.complete = true;
                            }
                        }
                        open_.pop_back();
                    }
                    break;
                }
                default:
                    break;
            }
        }
    }

private:
    struct OpenNode {
        std::string anchor;
        std::uint64_t begin;
        bool anchored;
    };

    static void set_tag(ValueEventList& out, ValueEvent& v, std::string_view tag) {
        if (tag.empty()) return;
        out.tags.emplace_back(tag);
        v.tag = static_cast<std::uint32_t>(out.tags.size());
    }

    YamlParser parser_;
    std::unordered_map<std::string, Anchor> anchors_;
    std::vector<OpenNode> open_;
};

}  // namespace

Result<InstanceParams> params_from_yaml(std::string_view text) {
    // A byte order mark may open a YAML stream (Python keeps it when it reads
    // a file saved with one). It is dropped here rather than left to the
    // parser's encoding detection, so that every position in a message is the
    // same as for the text without it.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    ValueEventList list;
    const Status loaded = YamlEventLoader(text).load(list);
    if (!loaded) return error_text(loaded.error());
    return map_instance_params(list, DocumentFormat::Yaml);
}

}  // namespace synaptor
