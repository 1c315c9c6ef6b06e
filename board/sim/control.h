// Control commands: the registry every board part fills with its own
// commands when the board is assembled ("card.insert" -> the card slot), and
// the request and reply helpers the handlers share. A handler checks its
// arguments and answers one JSON object; the control server only frames
// lines and dispatches here. Names and replies are a stable interface
// (docs/sim-control.md): extend them, never rename them.
#ifndef PATERM_BOARD_SIM_CONTROL_H
#define PATERM_BOARD_SIM_CONTROL_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace sim {

// Objects keep their members in insertion order: replies read as documented.
using Json = nlohmann::ordered_json;

inline Json ControlOk() { return Json{{"ok", true}}; }
inline Json ControlError(std::string why) { return Json{{"ok", false}, {"error", std::move(why)}}; }

// A handler's answer, and what the board does once it has been sent ("stop"
// must answer before the board goes).
struct ControlReply {
    Json body;
    std::function<void()> afterSend;
    ControlReply(Json reply) : body(std::move(reply)) {}  // NOLINT: a plain reply converts
    ControlReply(Json reply, std::function<void()> then) : body(std::move(reply)), afterSend(std::move(then)) {}
};

using ControlHandler = std::function<ControlReply(const Json& request)>;

// An integer member within [low, high]: the fallback when it is missing, no
// value when it is present but not an integer in range (1e99, 2.7, "3",
// true are all refused before any conversion).
inline std::optional<int64_t> IntegerArg(const Json& request, const char* key, int64_t low, int64_t high,
                                         std::optional<int64_t> fallback) {
    auto it = request.find(key);
    if (it == request.end()) return fallback;
    int64_t value;
    if (it->is_number_unsigned()) {
        uint64_t u = it->get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        value = static_cast<int64_t>(u);
    } else if (it->is_number_integer()) {
        value = it->get<int64_t>();
    } else {
        return std::nullopt;
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

// Bytes given as a JSON array of integers 0..255 or as hex digit pairs
// (blanks between pairs allowed): "7E 00 80 7E" or "7e00807e". No value for
// anything else.
inline std::optional<std::string> BytesArg(const Json& value) {
    std::string bytes;
    if (value.is_array()) {
        for (const Json& item : value) {
            if (!item.is_number_integer() && !item.is_number_unsigned()) return std::nullopt;
            const int64_t b = item.get<int64_t>();
            if (b < 0 || b > 255) return std::nullopt;
            bytes.push_back(static_cast<char>(b));
        }
        return bytes;
    }
    if (!value.is_string()) return std::nullopt;
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    const std::string& text = value.get_ref<const std::string&>();
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        const int high = digit(text[i]);
        const int low = i + 1 < text.size() ? digit(text[i + 1]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return bytes;
}

class ControlRegistry {
public:
    // A name is registered once; a second registration is a wiring fault.
    bool Add(const std::string& name, ControlHandler handler) {
        return handlers_.emplace(name, std::move(handler)).second;
    }
    ControlReply Dispatch(const Json& request) const {
        auto cmd = request.find("cmd");
        std::string name = cmd != request.end() && cmd->is_string() ? cmd->get<std::string>() : "";
        auto it = handlers_.find(name);
        if (it == handlers_.end()) return ControlError("unknown command \"" + name + "\"");
        return it->second(request);
    }
    size_t size() const { return handlers_.size(); }

private:
    std::map<std::string, ControlHandler> handlers_;  // filled before the server starts, then read-only
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CONTROL_H
