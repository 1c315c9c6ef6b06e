// The command language of paterm-server: one command per line (or per
// group of arguments), words separated by blanks, "double quotes" around a
// word with blanks. ParseCommand checks every argument; nothing is sent for
// a line it refuses.
#ifndef PATERM_TOOLS_SERVER_COMMAND_PARSER_H
#define PATERM_TOOLS_SERVER_COMMAND_PARSER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/server/server_frames.h"

namespace srvproto {

enum class CmdKind {
    kEmpty,      // blank line or comment
    kMode,       // mode off|on|auto|N
    kGrant,      // grant BRDID [ADDR [PORT]]
    kStop,       // stop [BRDID]
    kGroups,     // groups [NAME...]
    kVersion,    // version
    kNetParams,  // netparams ADDR MASK GATEWAY
    kUpgrade,    // upgrade FILE [PATH]
    kDiscover,   // discover
    kLogin,      // login USER PASSWORD ADDR MASK GATEWAY
    kAnnounce,   // announce
    kTerminal,   // terminal ADDR
    kId,         // id DEVID
    kSelect,     // select DEVID: the terminal whose status reports carry DEVID
    kTerminals,  // terminals: those heard from
    kWait,       // wait SECONDS
    kHelp,       // help
    kQuit,       // quit
};

struct Command {
    CmdKind kind = CmdKind::kEmpty;
    uint8_t mode = 0;
    Grant grant;  // brdId; addr and port 0 when not given
    std::vector<std::string> names;
    NetParams net;
    std::string file, path;
    std::string user, password;
    uint32_t addr = 0;  // host order, for terminal
    DevId id{};         // for id and select
    uint32_t waitMs = 0;
};

constexpr uint32_t kMaxWaitMs = 24u * 3600u * 1000u;

// Splits at blanks; "..." keeps blanks, \" and \\ inside quotes. -1 with a
// message for an unterminated quote.
int SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);
// 0 and the command, or -1 with a message saying what is wrong.
int ParseWords(const std::vector<std::string>& words, Command* out, std::string* error);
int ParseCommand(const std::string& line, Command* out, std::string* error);

// Strict forms: dotted quad (four decimal numbers 0-255); decimal numbers.
bool ParseAddress(const std::string& text, uint32_t* hostOrder);
bool ParseUnsigned(const std::string& text, uint32_t max, uint32_t* out);

// The help text, one command a line.
const char* CommandHelp();

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_COMMAND_PARSER_H
