// A small JSON value for the control interface: null, booleans, numbers
// (doubles), strings, arrays and objects. Objects keep their members in
// insertion order so that replies read the way they were built. Parsing
// never throws: a bad text gives no value and a message.
#ifndef PATERM_BOARD_SIM_JSON_H
#define PATERM_BOARD_SIM_JSON_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Json {
public:
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
    // Nesting beyond this is refused: replies and requests are shallow.
    static constexpr int kMaxDepth = 16;

    Json() = default;
    Json(bool value) : type_(Type::kBool), bool_(value) {}
    Json(double value) : type_(Type::kNumber), number_(value) {}
    Json(int value) : Json(static_cast<double>(value)) {}
    Json(int64_t value) : Json(static_cast<double>(value)) {}
    Json(uint64_t value) : Json(static_cast<double>(value)) {}
    Json(const char* value) : type_(Type::kString), string_(value) {}
    Json(std::string value) : type_(Type::kString), string_(std::move(value)) {}

    static Json Array() { return Json(Type::kArray); }
    static Json Object() { return Json(Type::kObject); }

    Type type() const { return type_; }
    bool IsNull() const { return type_ == Type::kNull; }

    // Objects: Set replaces a member of the same name.
    Json& Set(const std::string& key, Json value);
    const Json* Find(std::string_view key) const;
    const std::vector<std::string>& Keys() const { return keys_; }
    // Arrays (and the values of an object, in key order).
    void Push(Json value) { items_.push_back(std::move(value)); }
    const std::vector<Json>& Items() const { return items_; }

    bool AsBool(bool fallback = false) const { return type_ == Type::kBool ? bool_ : fallback; }
    double AsNumber(double fallback = 0) const { return type_ == Type::kNumber ? number_ : fallback; }
    const std::string& AsString() const { return string_; }

    // Member lookups with a fallback for a missing or mistyped member.
    std::string StringAt(std::string_view key, const std::string& fallback = "") const;
    double NumberAt(std::string_view key, double fallback = 0) const;
    bool BoolAt(std::string_view key, bool fallback = false) const;

    // One line of text, no blanks.
    std::string Dump() const;
    static std::optional<Json> Parse(std::string_view text, std::string* error = nullptr);

private:
    explicit Json(Type type) : type_(type) {}
    void DumpTo(std::string* out) const;

    Type type_ = Type::kNull;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<std::string> keys_;  // objects: names, parallel to items_
    std::vector<Json> items_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_JSON_H
