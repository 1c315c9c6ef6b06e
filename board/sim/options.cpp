// Parsing and checking paterm-sim's options. One table drives both
// getopt_long and the usage text, so every option is listed with its default.
#include "board/sim/options.h"

#include <getopt.h>

#include <algorithm>

#include <string>
#include <vector>

namespace sim {
namespace {

enum OptionId : int {
    kHelpId = 'h',
    kRootId = 1000,
    kProgramId,
    kDeviceIdId,
    kWatchdogFlagId,
    kServerIpId,
    kNoCardId,
    kWatchdogTimeoutId,
    kQuietId,
};

struct OptionSpec {
    const char* name;
    const char* valueName;  // nullptr: a flag
    OptionId id;
    const char* meaning;
};

constexpr OptionSpec kOptionSpecs[] = {
    {"root", "DIR", kRootId, "the board root (the terminal's filesystem); a new, empty or earlier board root"},
    {"program", "PATH", kProgramId, "the program to run"},
    {"device-id", "TEXT", kDeviceIdId, "10 printable characters; written when the EEPROM file is created"},
    {"watchdog-flag", "N", kWatchdogFlagId, "EEPROM watchdog flag 0..255; same condition"},
    {"server-ip", "A.B.C.D", kServerIpId, "EEPROM server address; same condition"},
    {"no-card", nullptr, kNoCardId, "no SD card at power-on"},
    {"watchdog-timeout", "S", kWatchdogTimeoutId,
     "test option: reset S (1..3600) seconds after the last feed, whatever timeout the program sets"},
    {"quiet", nullptr, kQuietId, "do not echo the console to standard output"},
    {"help", nullptr, kHelpId, "this text"},
};

// The default shown for an option, taken from a default Options where it has one.
std::string DefaultText(OptionId id) {
    const Options defaults;
    switch (id) {
    case kRootId: return "required";
    case kProgramId: return "paterm beside paterm-sim";
    case kDeviceIdId: return defaults.deviceId;
    case kWatchdogFlagId: return std::to_string(defaults.watchdogFlag);
    case kServerIpId: return "none (FF FF FF FF)";
    case kNoCardId: return "a card is present";
    case kWatchdogTimeoutId: return "the program's own";
    case kQuietId: return "the console is echoed";
    case kHelpId: return "-";
    }
    return "";
}

const OptionSpec* FindSpec(int id) {
    for (const OptionSpec& spec : kOptionSpecs)
        if (spec.id == id) return &spec;
    return nullptr;
}

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

void NoteEepromOption(const char* name, Options* options) {
    const std::string flag = std::string("--") + name;
    for (const std::string& given : options->eepromOptionsGiven)
        if (given == flag) return;
    options->eepromOptionsGiven.push_back(flag);
}

// Checks and stores the value of an option that takes one.
bool ApplyValue(OptionId id, const char* value, Options* options, std::string* error) {
    long n = 0;
    uint32_t ip = 0;
    switch (id) {
    case kRootId: options->root = value; return true;
    case kProgramId: options->program = value; return true;
    case kDeviceIdId:
        if (!ValidDeviceId(value)) break;
        options->deviceId = value;
        return true;
    case kWatchdogFlagId:
        if (!ParseNumber(value, 0, 255, &n)) break;
        options->watchdogFlag = static_cast<int>(n);
        return true;
    case kServerIpId:
        if (!ParseDottedIp(value, &ip)) break;
        options->serverIp = ip;
        return true;
    case kWatchdogTimeoutId:
        if (!ParseNumber(value, 1, 3600, &n)) break;
        options->watchdogTimeoutS = static_cast<int>(n);
        return true;
    default: break;
    }
    const OptionSpec* spec = FindSpec(id);
    *error = std::string("--") + spec->name + ": bad value \"" + value + "\" (" + spec->meaning + ")";
    return false;
}

bool Apply(OptionId id, const char* value, Options* options, std::string* error) {
    switch (id) {
    case kNoCardId: options->cardPresent = false; return true;
    case kQuietId: options->quiet = true; return true;
    case kDeviceIdId:
    case kWatchdogFlagId:
    case kServerIpId: NoteEepromOption(FindSpec(id)->name, options); break;
    default: break;
    }
    return ApplyValue(id, value, options, error);
}

// What getopt_long's '?' or ':' stood for, as one line.
std::string DescribeBadOption(int code, const char* arg) {
    if (code == ':') return std::string(arg) + " needs a value";
    if (const OptionSpec* spec = FindSpec(optopt); spec && optopt != kHelpId)
        return std::string("--") + spec->name + " takes no value";
    if (optopt > 0 && optopt < 256) return std::string("unknown option -") + static_cast<char>(optopt);
    return std::string("unknown or ambiguous option ") + arg;
}

std::vector<option> LongOptions() {
    std::vector<option> table;
    for (const OptionSpec& spec : kOptionSpecs)
        table.push_back({spec.name, spec.valueName ? required_argument : no_argument, nullptr, spec.id});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

std::string BuildUsage() {
    std::string text = "usage: paterm-sim --root DIR [options]\n";
    for (const OptionSpec& spec : kOptionSpecs) {
        std::string head = std::string("  --") + spec.name + (spec.valueName ? std::string(" ") + spec.valueName : "");
        head.resize(std::max<size_t>(head.size() + 1, 25), ' ');
        text += head + spec.meaning;
        if (spec.id != kHelpId) text += " (default: " + DefaultText(spec.id) + ")";
        text += "\n";
    }
    return text;
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
    static const std::string text = BuildUsage();
    return text.c_str();
}

ParseOutcome ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    // getopt_long reorders its vector: it gets a copy, never the caller's.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
    args.push_back(nullptr);
    const std::vector<option> table = LongOptions();
    optind = 0;  // a full reset of getopt's state, so that parsing can be repeated
    opterr = 0;  // the errors are reported by the caller
    for (int code; (code = getopt_long(argc, args.data(), ":h", table.data(), nullptr)) != -1;) {
        if (code == kHelpId) return ParseOutcome::kHelp;
        if (code == '?' || code == ':') {
            *error = DescribeBadOption(code, args[optind - 1]);
            return ParseOutcome::kError;
        }
        if (!Apply(static_cast<OptionId>(code), optarg, options, error)) return ParseOutcome::kError;
    }
    if (optind < argc) {
        *error = std::string("unexpected argument ") + args[optind];
        return ParseOutcome::kError;
    }
    if (options->root.empty()) {
        *error = "--root DIR is required";
        return ParseOutcome::kError;
    }
    return ParseOutcome::kRun;
}

}  // namespace sim
