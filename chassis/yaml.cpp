#include "chassis/yaml.h"

#include <yaml.h>

#include <new>
#include <stdexcept>
#include <unordered_map>

#include "chassis/config.h"

namespace chassis {

namespace {

constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";

// libyaml's parser and emitter, released however the reading or writing ends.
struct Parser {
    explicit Parser(std::string_view text) {
        if (!yaml_parser_initialize(&p))
            throw std::bad_alloc();
        yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
    }
    ~Parser() { yaml_parser_delete(&p); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
    yaml_parser_t p;
};

struct Event {
    ~Event() { yaml_event_delete(&e); }
    yaml_event_t e{};
};

// A plain scalar that YAML reads as null: nothing, ~ or null.
bool nullText(std::string_view s) {
    return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::string anchorOf(const yaml_char_t* anchor) {
    return anchor ? reinterpret_cast<const char*>(anchor) : "";
}

}  // namespace

YamlDoc::YamlDoc(std::string_view text, const std::string& source) {
    auto error = [&](size_t line, const std::string& what) {
        return ConfigError(source + ":" + std::to_string(line + 1) + ": " + what);
    };
    if (text.size() > kMaxBytes)
        throw ConfigError(source + ": larger than " + std::to_string(kMaxBytes) + " bytes");
    Parser parser(text);
    struct Open {
        uint32_t node;
        size_t firstChild;  // in children
        std::string anchor;
    };
    std::vector<Open> open;
    std::vector<uint32_t> children;  // of the open collections, innermost last
    std::unordered_map<std::string, uint32_t> anchors;
    bool document = false;

    // A finished node goes to its collection, or is the document's.
    auto place = [&](uint32_t node, const std::string& anchor) {
        if (!anchor.empty())
            anchors[anchor] = node;
        if (open.empty())
            root_ = node;
        else
            children.push_back(node);
    };
    auto add = [&](YamlNode::Kind kind, const yaml_mark_t& mark, std::string_view value) {
        nodes_.push_back({kind, static_cast<uint32_t>(mark.line + 1),
                          static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(value.size()),
                          1});
        text_ += value;
        return static_cast<uint32_t>(nodes_.size() - 1);
    };
    // Every node takes a few bytes of text at least; most of them take more.
    nodes_.reserve(text.size() / 8);
    kids_.reserve(text.size() / 8);
    text_.reserve(text.size() / 2);

    for (;;) {
        Event ev;
        if (!yaml_parser_parse(&parser.p, &ev.e)) {
            const yaml_parser_t& p = parser.p;
            std::string what = p.problem ? p.problem : "unreadable YAML";
            if (p.context) {
                what += std::string(" (") + p.context + " that starts on line " +
                        std::to_string(p.context_mark.line + 1) + ")";
            }
            throw error(p.problem_mark.line, what);
        }
        const yaml_event_t& e = ev.e;
        switch (e.type) {
            case YAML_STREAM_END_EVENT:
                return;
            case YAML_DOCUMENT_START_EVENT:
                if (document)
                    throw error(e.start_mark.line,
                                "a second YAML document: a chassis file holds one");
                document = true;
                break;
            case YAML_SCALAR_EVENT: {
                const auto& s = e.data.scalar;
                const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
                const std::string_view tag = s.tag ? reinterpret_cast<const char*>(s.tag) : "";
                const bool null =
                    tag == kNullTag ||
                    (tag.empty() && s.style == YAML_PLAIN_SCALAR_STYLE && nullText(value));
                place(add(null ? YamlNode::Kind::Null : YamlNode::Kind::Scalar, e.start_mark,
                          null ? std::string_view() : value),
                      anchorOf(s.anchor));
                break;
            }
            case YAML_ALIAS_EVENT: {
                // A collection's anchor is known once it ends, so no alias can make a cycle.
                const auto it = anchors.find(anchorOf(e.data.alias.anchor));
                if (it == anchors.end()) {
                    throw error(e.start_mark.line, "alias *" + anchorOf(e.data.alias.anchor) +
                                                       " names no node before it");
                }
                place(it->second, "");
                break;
            }
            case YAML_SEQUENCE_START_EVENT:
                open.push_back({add(YamlNode::Kind::Sequence, e.start_mark, ""), children.size(),
                                anchorOf(e.data.sequence_start.anchor)});
                break;
            case YAML_MAPPING_START_EVENT:
                open.push_back({add(YamlNode::Kind::Map, e.start_mark, ""), children.size(),
                                anchorOf(e.data.mapping_start.anchor)});
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT: {
                Open done = std::move(open.back());
                open.pop_back();
                Node& n = nodes_[done.node];
                n.first = static_cast<uint32_t>(kids_.size());
                n.count = static_cast<uint32_t>(children.size() - done.firstChild);
                for (size_t i = done.firstChild; i < children.size(); ++i) {
                    n.weight += nodes_[children[i]].weight;
                    kids_.push_back(children[i]);
                }
                children.resize(done.firstChild);
                // Aliases share nodes; what reads the tree visits them once per alias.
                if (n.weight > kMaxNodes) {
                    throw error(e.start_mark.line,
                                "aliases expand this past " + std::to_string(kMaxNodes) + " nodes");
                }
                place(done.node, done.anchor);
                break;
            }
            default:
                break;
        }
    }
}

bool YamlNode::is(Kind k) const {
    return doc_ && doc_->nodes_[index_].kind == k;
}

std::string YamlNode::scalar() const {
    return isScalar() ? std::string(doc_->text(doc_->nodes_[index_])) : std::string();
}

int YamlNode::line() const {
    return doc_ ? static_cast<int>(doc_->nodes_[index_].line) : 0;
}

YamlNode YamlNode::operator[](std::string_view key) const {
    if (!isMap())
        return {};
    const auto& n = doc_->nodes_[index_];
    for (uint32_t i = 0; i + 1 < n.count; i += 2) {
        const YamlDoc::Node& k = doc_->nodes_[doc_->kids_[n.first + i]];
        if (k.kind == Kind::Scalar && doc_->text(k) == key)
            return {doc_, doc_->kids_[n.first + i + 1]};
    }
    return {};
}

std::vector<YamlNode> YamlNode::items() const {
    std::vector<YamlNode> out;
    if (!isSequence())
        return out;
    const auto& n = doc_->nodes_[index_];
    for (uint32_t i = 0; i < n.count; ++i)
        out.push_back({doc_, doc_->kids_[n.first + i]});
    return out;
}

std::vector<YamlEntry> YamlNode::entries() const {
    std::vector<YamlEntry> out;
    if (!isMap())
        return out;
    const auto& n = doc_->nodes_[index_];
    for (uint32_t i = 0; i + 1 < n.count; i += 2)
        out.push_back({{doc_, doc_->kids_[n.first + i]}, {doc_, doc_->kids_[n.first + i + 1]}});
    return out;
}

YamlOut YamlOut::text(std::string s) {
    YamlOut v(Kind::Scalar, false);
    v.text_ = std::move(s);
    return v;
}

YamlOut& YamlOut::push(YamlOut v) {
    items_.push_back(std::move(v));
    return items_.back();
}

YamlOut& YamlOut::operator[](const std::string& key) {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key)
            return items_[i];
    }
    keys_.push_back(key);
    return push(map(true));
}

// Writes a YamlOut through libyaml's emitter, which chooses each scalar's quoting.
class YamlEmitter {
  public:
    YamlEmitter() {
        if (!yaml_emitter_initialize(&e_))
            throw std::bad_alloc();
        yaml_emitter_set_output(&e_, &YamlEmitter::append, &out_);
        yaml_emitter_set_unicode(&e_, 1);
        yaml_emitter_set_width(&e_, -1);
    }
    ~YamlEmitter() { yaml_emitter_delete(&e_); }
    YamlEmitter(const YamlEmitter&) = delete;
    YamlEmitter& operator=(const YamlEmitter&) = delete;

    std::string document(const YamlOut& root) {
        yaml_event_t ev;
        yaml_stream_start_event_initialize(&ev, YAML_UTF8_ENCODING);
        emit(ev);
        yaml_document_start_event_initialize(&ev, nullptr, nullptr, nullptr, 1);
        emit(ev);
        value(root);
        yaml_document_end_event_initialize(&ev, 1);
        emit(ev);
        yaml_stream_end_event_initialize(&ev);
        emit(ev);
        while (!out_.empty() && out_.back() == '\n')
            out_.pop_back();
        return out_ + "\n";
    }

  private:
    static int append(void* out, unsigned char* buffer, size_t size) {
        static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
    }
    // The emitter takes the event, whether it succeeds or not.
    void emit(yaml_event_t& ev) {
        if (!yaml_emitter_emit(&e_, &ev))
            throw std::runtime_error(std::string("YAML: ") + (e_.problem ? e_.problem : "?"));
    }
    void scalar(const std::string& s) {
        yaml_event_t ev;
        const auto style = nullText(s) ? YAML_DOUBLE_QUOTED_SCALAR_STYLE : YAML_ANY_SCALAR_STYLE;
        yaml_scalar_event_initialize(&ev, nullptr, nullptr,
                                     reinterpret_cast<const yaml_char_t*>(s.data()),
                                     static_cast<int>(s.size()), 1, 1, style);
        emit(ev);
    }
    void value(const YamlOut& v) {
        yaml_event_t ev;
        switch (v.kind_) {
            case YamlOut::Kind::Scalar:
                scalar(v.text_);
                return;
            case YamlOut::Kind::List:
                yaml_sequence_start_event_initialize(
                    &ev, nullptr, nullptr, 1,
                    v.flow_ ? YAML_FLOW_SEQUENCE_STYLE : YAML_BLOCK_SEQUENCE_STYLE);
                emit(ev);
                for (const auto& item : v.items_)
                    value(item);
                yaml_sequence_end_event_initialize(&ev);
                emit(ev);
                return;
            case YamlOut::Kind::Map:
                yaml_mapping_start_event_initialize(
                    &ev, nullptr, nullptr, 1,
                    v.flow_ ? YAML_FLOW_MAPPING_STYLE : YAML_BLOCK_MAPPING_STYLE);
                emit(ev);
                for (size_t i = 0; i < v.items_.size(); ++i) {
                    scalar(v.keys_[i]);
                    value(v.items_[i]);
                }
                yaml_mapping_end_event_initialize(&ev);
                emit(ev);
                return;
        }
    }

    yaml_emitter_t e_;
    std::string out_;
};

std::string YamlOut::emit() const {
    return YamlEmitter().document(*this);
}

}  // namespace chassis
