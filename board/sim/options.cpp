// Parsing and checking paterm-sim's options.
#include "board/sim/options.h"

#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

// A decimal number within [low, high], nothing else.
bool ParseNumber(std::string_view text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

bool ValidDeviceId(const std::string& id) {
    if (id.size() != 10) return false;
    for (unsigned char c : id)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

}  // namespace

bool ParseDottedIp(std::string_view text, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = text.find('.');
        std::string_view part = i < 3 ? text.substr(0, dot) : text;
        if (i < 3 && dot == std::string_view::npos) return false;
        long octet;
        if (part.size() > 3 || !ParseNumber(part, 0, 255, &octet)) return false;
        result = (result << 8) | static_cast<uint32_t>(octet);
        if (i < 3) text.remove_prefix(dot + 1);
    }
    *value = result;
    return true;
}

const char* UsageText() {
    return "usage: paterm-sim --root DIR [options]\n"
           "  --root DIR             the board root (the terminal's filesystem)\n"
           "  --program PATH         the program to run (default: paterm beside paterm-sim)\n"
           "  --device-id TEXT       10 characters; written when the EEPROM file is created\n"
           "  --watchdog-flag N      EEPROM watchdog flag 0..255 (default 1), same condition\n"
           "  --server-ip A.B.C.D    EEPROM server address (default none), same condition\n"
           "  --no-card              no SD card at power-on\n"
           "  --watchdog-timeout S   test option: reset S seconds after the last feed,\n"
           "                         whatever timeout the program sets\n"
           "  --quiet                do not echo the console to standard output\n";
}

ParseOutcome ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                *error = std::string(arg) + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long n = 0;
        if (arg == "--help" || arg == "-h") return ParseOutcome::kHelp;
        if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "--no-card") {
            options->cardPresent = false;
        } else if (arg == "--root") {
            if (!value(&v)) return ParseOutcome::kError;
            options->root = v;
        } else if (arg == "--program") {
            if (!value(&v)) return ParseOutcome::kError;
            options->program = v;
        } else if (arg == "--device-id") {
            if (!value(&v)) return ParseOutcome::kError;
            options->deviceId = v;
            if (!ValidDeviceId(options->deviceId)) {
                *error = "--device-id needs exactly 10 printable characters";
                return ParseOutcome::kError;
            }
        } else if (arg == "--watchdog-flag") {
            if (!value(&v)) return ParseOutcome::kError;
            if (!ParseNumber(v, 0, 255, &n)) {
                *error = "--watchdog-flag needs a number 0..255";
                return ParseOutcome::kError;
            }
            options->watchdogFlag = static_cast<int>(n);
        } else if (arg == "--server-ip") {
            if (!value(&v)) return ParseOutcome::kError;
            uint32_t ip;
            if (!ParseDottedIp(v, &ip)) {
                *error = "--server-ip needs an address A.B.C.D";
                return ParseOutcome::kError;
            }
            options->serverIp = ip;
        } else if (arg == "--watchdog-timeout") {
            if (!value(&v)) return ParseOutcome::kError;
            if (!ParseNumber(v, 1, 3600, &n)) {
                *error = "--watchdog-timeout needs seconds 1..3600";
                return ParseOutcome::kError;
            }
            options->watchdogTimeoutS = static_cast<int>(n);
        } else {
            *error = "unknown option " + std::string(arg);
            return ParseOutcome::kError;
        }
    }
    if (options->root.empty()) {
        *error = "--root DIR is required";
        return ParseOutcome::kError;
    }
    return ParseOutcome::kRun;
}

}  // namespace sim
