// JSON writing and a recursive-descent reader with a depth limit.
#include "board/sim/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

void DumpString(const std::string& text, std::string* out) {
    out->push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"': *out += "\\\""; break;
        case '\\': *out += "\\\\"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\t': *out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                *out += esc;
            } else {
                out->push_back(static_cast<char>(c));
            }
        }
    }
    out->push_back('"');
}

void DumpNumber(double value, std::string* out) {
    if (!std::isfinite(value)) {
        *out += "null";  // JSON has no infinities
        return;
    }
    char text[32];
    // Whole numbers (counters, milliseconds) print without a fraction.
    if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        std::snprintf(text, sizeof text, "%.17g", value);
    *out += text;
}

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<Json> Document(std::string* error) {
        std::optional<Json> value = Value(0);
        SkipBlanks();
        if (value && pos_ != text_.size()) value = Fail("trailing characters");
        if (!value && error) *error = error_ + " at offset " + std::to_string(pos_);
        return value;
    }

private:
    bool Error(const char* why) {
        if (error_.empty()) error_ = why;  // the first, innermost cause wins
        return false;
    }

    std::optional<Json> Fail(const char* why) {
        Error(why);
        return std::nullopt;
    }

    void SkipBlanks() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool Literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    std::optional<Json> Value(int depth) {
        if (depth > Json::kMaxDepth) return Fail("nested too deeply");
        SkipBlanks();
        if (pos_ >= text_.size()) return Fail("unexpected end");
        char c = text_[pos_];
        if (c == '{') return ObjectValue(depth);
        if (c == '[') return ArrayValue(depth);
        if (c == '"') {
            std::string s;
            if (!String(&s)) return std::nullopt;
            return Json(std::move(s));
        }
        if (Literal("true")) return Json(true);
        if (Literal("false")) return Json(false);
        if (Literal("null")) return Json();
        return Number();
    }

    std::optional<Json> Number() {
        size_t start = pos_;
        auto digits = [&] {
            size_t from = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
            return pos_ > from;
        };
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return Fail("bad value");
        }
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (!digits()) return Fail("bad number");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!digits()) return Fail("bad number");
        }
        std::string copy(text_.substr(start, pos_ - start));
        return Json(std::strtod(copy.c_str(), nullptr));
    }

    bool Hex4(uint32_t* code) {
        if (pos_ + 4 > text_.size()) return false;
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            char h = text_[pos_++];
            *code <<= 4;
            if (h >= '0' && h <= '9') *code |= static_cast<uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') *code |= static_cast<uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') *code |= static_cast<uint32_t>(h - 'A' + 10);
            else return false;
        }
        return true;
    }

    bool Escape(std::string* out) {
        if (pos_ >= text_.size()) return false;
        char e = text_[pos_++];
        switch (e) {
        case '"': out->push_back('"'); return true;
        case '\\': out->push_back('\\'); return true;
        case '/': out->push_back('/'); return true;
        case 'b': out->push_back('\b'); return true;
        case 'f': out->push_back('\f'); return true;
        case 'n': out->push_back('\n'); return true;
        case 'r': out->push_back('\r'); return true;
        case 't': out->push_back('\t'); return true;
        case 'u': break;
        default: return false;
        }
        uint32_t code;
        if (!Hex4(&code)) return false;
        if (code >= 0xD800 && code < 0xDC00) {  // a high surrogate needs its low half
            uint32_t low;
            if (!Literal("\\u") || !Hex4(&low) || low < 0xDC00 || low >= 0xE000) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
        }
        AppendUtf8(code, out);
        return true;
    }

    bool String(std::string* out) {
        ++pos_;  // the opening quote
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Error("control character in string");
            if (c == '\\') {
                if (!Escape(out)) return Error("bad escape");
            } else {
                out->push_back(c);
            }
        }
        return Error("unterminated string");
    }

    std::optional<Json> ArrayValue(int depth) {
        ++pos_;
        Json array = Json::Array();
        SkipBlanks();
        if (Literal("]")) return array;
        for (;;) {
            std::optional<Json> item = Value(depth + 1);
            if (!item) return std::nullopt;
            array.Push(std::move(*item));
            SkipBlanks();
            if (Literal("]")) return array;
            if (!Literal(",")) return Fail("expected ',' or ']'");
        }
    }

    std::optional<Json> ObjectValue(int depth) {
        ++pos_;
        Json object = Json::Object();
        SkipBlanks();
        if (Literal("}")) return object;
        for (;;) {
            SkipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("expected a member name");
            std::string key;
            if (!String(&key)) return std::nullopt;
            SkipBlanks();
            if (!Literal(":")) return Fail("expected ':'");
            std::optional<Json> value = Value(depth + 1);
            if (!value) return std::nullopt;
            object.Set(key, std::move(*value));
            SkipBlanks();
            if (Literal("}")) return object;
            if (!Literal(",")) return Fail("expected ',' or '}'");
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

Json& Json::Set(const std::string& key, Json value) {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) {
            items_[i] = std::move(value);
            return *this;
        }
    }
    keys_.push_back(key);
    items_.push_back(std::move(value));
    return *this;
}

const Json* Json::Find(std::string_view key) const {
    if (type_ != Type::kObject) return nullptr;
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return &items_[i];
    return nullptr;
}

std::string Json::StringAt(std::string_view key, const std::string& fallback) const {
    const Json* v = Find(key);
    return v && v->type_ == Type::kString ? v->string_ : fallback;
}

double Json::NumberAt(std::string_view key, double fallback) const {
    const Json* v = Find(key);
    return v ? v->AsNumber(fallback) : fallback;
}

bool Json::BoolAt(std::string_view key, bool fallback) const {
    const Json* v = Find(key);
    return v ? v->AsBool(fallback) : fallback;
}

void Json::DumpTo(std::string* out) const {
    switch (type_) {
    case Type::kNull: *out += "null"; break;
    case Type::kBool: *out += bool_ ? "true" : "false"; break;
    case Type::kNumber: DumpNumber(number_, out); break;
    case Type::kString: DumpString(string_, out); break;
    case Type::kArray:
        out->push_back('[');
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i) out->push_back(',');
            items_[i].DumpTo(out);
        }
        out->push_back(']');
        break;
    case Type::kObject:
        out->push_back('{');
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (i) out->push_back(',');
            DumpString(keys_[i], out);
            out->push_back(':');
            items_[i].DumpTo(out);
        }
        out->push_back('}');
        break;
    }
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(&out);
    return out;
}

std::optional<Json> Json::Parse(std::string_view text, std::string* error) {
    return Reader(text).Document(error);
}

}  // namespace sim
