// The command line of paterm-sim: parsing (getopt_long, long options only,
// plus -h) and the usage text, which lists every option with its default.
#ifndef PATERM_BOARD_SIM_OPTIONS_H
#define PATERM_BOARD_SIM_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Options {
    std::string root;
    std::string program;  // empty: "paterm" beside the paterm-sim executable
    // The next three are written only when the EEPROM file is created.
    std::string deviceId = "PT00000001";
    int watchdogFlag = 1;
    std::optional<uint32_t> serverIp;  // a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d
    bool cardPresent = true;           // at power-on
    int watchdogTimeoutS = 0;          // test option; 0: the program's own setting
    bool quiet = false;
    // The EEPROM options given on the command line ("--device-id", ...), in
    // order, each once: an existing EEPROM file makes them void.
    std::vector<std::string> eepromOptionsGiven;
};

enum class ParseOutcome { kRun, kHelp, kError };

// Not thread-safe: getopt_long keeps global state (reset on every call).
ParseOutcome ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
const char* UsageText();

// "192.168.1.10" -> 0xC0A8010A; false for anything but four numbers 0..255.
bool ParseDottedIp(std::string_view text, uint32_t* value);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_OPTIONS_H
