// Parsing paterm-server's commands.
#include "tools/server/command_parser.h"

#include <cstddef>

namespace srvproto {
namespace {

using Words = std::vector<std::string>;
using ArgParser = bool (*)(const Words& w, Command* c, std::string* error);

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

bool ParseNetParams(const Words& w, size_t at, NetParams* net, std::string* error) {
    const char* what[] = {"address", "netmask", "gateway"};
    uint32_t* field[] = {&net->addr, &net->mask, &net->gateway};
    for (size_t i = 0; i < 3; ++i) {
        if (!ParseAddress(w[at + i], field[i])) return Fail(error, std::string("bad ") + what[i] + ": " + w[at + i]);
    }
    return true;
}

// Seconds with up to three decimals, into milliseconds.
bool ParseSeconds(const std::string& text, uint32_t* ms) {
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (dot != std::string::npos && (frac.empty() || frac.size() > 3)) return false;
    uint32_t secs = 0, part = 0;
    if (!ParseUnsigned(whole, kMaxWaitMs / 1000, &secs)) return false;
    while (frac.size() < 3) frac += '0';
    if (!ParseUnsigned(frac, 999, &part)) return false;
    *ms = secs * 1000 + part;
    return *ms <= kMaxWaitMs;
}

std::string BaseName(const std::string& file) {
    const size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

struct ModeName {
    const char* name;
    uint8_t mode;
};
constexpr ModeName kModes[] = {{"off", 0}, {"on", 1}, {"auto", 2}};

bool NoArgs(const Words&, Command*, std::string*) { return true; }

bool ModeArgs(const Words& w, Command* c, std::string* error) {
    for (const ModeName& m : kModes) {
        if (w[1] == m.name) {
            c->mode = m.mode;
            return true;
        }
    }
    uint32_t v = 0;
    if (!ParseUnsigned(w[1], 255, &v)) return Fail(error, "bad mode: " + w[1] + " (off, on, auto or 0-255)");
    c->mode = static_cast<uint8_t>(v);
    return true;
}

bool StopArgs(const Words& w, Command* c, std::string* error) {
    uint32_t v = 0;
    if (w.size() > 1) {
        if (!ParseUnsigned(w[1], 65535, &v)) return Fail(error, "bad broadcast id: " + w[1] + " (0-65535)");
        c->grant.brdId = static_cast<uint16_t>(v);
    }
    return true;
}

bool GrantArgs(const Words& w, Command* c, std::string* error) {
    uint32_t v = 0;
    if (w.size() > 2 && !ParseAddress(w[2], &c->grant.addr)) return Fail(error, "bad address: " + w[2]);
    if (w.size() > 3) {
        if (!ParseUnsigned(w[3], 65535, &v) || v == 0) return Fail(error, "bad port: " + w[3] + " (1-65535)");
        c->grant.port = static_cast<uint16_t>(v);
    }
    return StopArgs(w, c, error);
}

bool GroupsArgs(const Words& w, Command* c, std::string* error) {
    c->names.assign(w.begin() + 1, w.end());
    if (GroupNamesBlock(c->names).empty()) return Fail(error, "group names too long for one frame");
    return true;
}

bool NetParamsArgs(const Words& w, Command* c, std::string* error) { return ParseNetParams(w, 1, &c->net, error); }

bool UpgradeArgs(const Words& w, Command* c, std::string* error) {
    c->file = w[1];
    c->path = w.size() > 2 ? w[2] : "/" + BaseName(w[1]);
    if (!UpgradePathSafe(c->path))
        return Fail(error, "bad upgrade path: " + c->path + " (starts with /, letters, digits and /._- only)");
    return true;
}

bool LoginArgs(const Words& w, Command* c, std::string* error) {
    c->user = w[1];
    c->password = w[2];
    if (c->user.size() > kLoginFieldLength || c->password.size() > kLoginFieldLength)
        return Fail(error, "user name and password hold at most 16 bytes each");
    return ParseNetParams(w, 3, &c->net, error);
}

bool TerminalArgs(const Words& w, Command* c, std::string* error) {
    if (!ParseAddress(w[1], &c->addr) || c->addr == 0 || c->addr == 0xFFFFFFFFu)
        return Fail(error, "bad terminal address: " + w[1]);
    return true;
}

bool IdArgs(const Words& w, Command* c, std::string* error) {
    if (!ParseDeviceId(w[1], &c->id)) return Fail(error, "bad device id: " + w[1] + " (10 printable characters)");
    return true;
}

bool WaitArgs(const Words& w, Command* c, std::string* error) {
    if (!ParseSeconds(w[1], &c->waitMs)) return Fail(error, "bad wait: " + w[1] + " (seconds, at most 86400)");
    return true;
}

struct Verb {
    const char* name;
    CmdKind kind;
    size_t minArgs, maxArgs;
    ArgParser parse;
};

constexpr size_t kMany = 64;
constexpr Verb kVerbs[] = {
    {"mode", CmdKind::kMode, 1, 1, ModeArgs},
    {"grant", CmdKind::kGrant, 1, 3, GrantArgs},
    {"stop", CmdKind::kStop, 0, 1, StopArgs},
    {"groups", CmdKind::kGroups, 0, kGroupCount, GroupsArgs},
    {"version", CmdKind::kVersion, 0, 0, NoArgs},
    {"netparams", CmdKind::kNetParams, 3, 3, NetParamsArgs},
    {"upgrade", CmdKind::kUpgrade, 1, 2, UpgradeArgs},
    {"discover", CmdKind::kDiscover, 0, 0, NoArgs},
    {"login", CmdKind::kLogin, 5, 5, LoginArgs},
    {"announce", CmdKind::kAnnounce, 0, 0, NoArgs},
    {"terminal", CmdKind::kTerminal, 1, 1, TerminalArgs},
    {"id", CmdKind::kId, 1, 1, IdArgs},
    {"select", CmdKind::kSelect, 1, 1, IdArgs},
    {"terminals", CmdKind::kTerminals, 0, 0, NoArgs},
    {"wait", CmdKind::kWait, 1, 1, WaitArgs},
    {"help", CmdKind::kHelp, 0, kMany, NoArgs},
    {"quit", CmdKind::kQuit, 0, 0, NoArgs},
    {"exit", CmdKind::kQuit, 0, 0, NoArgs},
};

}  // namespace

bool ParseUnsigned(const std::string& text, uint32_t max, uint32_t* out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseAddress(const std::string& text, uint32_t* hostOrder) {
    uint32_t a = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos) return false;
        const std::string octet = text.substr(start, end - start);
        uint32_t v = 0;
        if (octet.size() > 3 || !ParseUnsigned(octet, 255, &v)) return false;
        a = (a << 8) | v;
        start = end + 1;
    }
    *hostOrder = a;
    return true;
}

int SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
        if (i >= n) break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < n && (line[i] == '"' || line[i] == '\\')) {
                    word += line[i++];
                } else {
                    word += c;
                }
            }
            if (!closed) {
                *error = "unterminated quote";
                words->clear();
                return -1;
            }
        } else {
            while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n') word += line[i++];
        }
        words->push_back(word);
    }
    return 0;
}

int ParseWords(const std::vector<std::string>& words, Command* out, std::string* error) {
    *out = Command();
    error->clear();
    if (words.empty() || words[0].empty() || words[0][0] == '#') return 0;
    for (const Verb& verb : kVerbs) {
        if (words[0] != verb.name) continue;
        const size_t args = words.size() - 1;
        if (args < verb.minArgs || args > verb.maxArgs) {
            *error = "wrong number of arguments for " + words[0] + " (help lists them)";
            return -1;
        }
        out->kind = verb.kind;
        if (!verb.parse(words, out, error)) {
            *out = Command();
            return -1;
        }
        return 0;
    }
    *error = "unknown command: " + words[0] + " (help lists the commands)";
    return -1;
}

int ParseCommand(const std::string& line, Command* out, std::string* error) {
    std::vector<std::string> words;
    *out = Command();
    if (SplitWords(line, &words, error) != 0) return -1;
    return ParseWords(words, out, error);
}

const char* CommandHelp() {
    return "commands (to the terminal set by --terminal/--id or the terminal and id commands):\n"
           "  mode off|on|auto|N            switch the terminal's mode (0x30)\n"
           "  grant BRDID [ADDR [PORT]]     grant a broadcast (0x83); ADDR defaults to this server's\n"
           "                                address toward the terminal, PORT to --stream-port\n"
           "  stop [BRDID]                  stop the broadcast (0x85)\n"
           "  groups [NAME...]              send up to ten group names (0x45); \"quote\" names with blanks\n"
           "  version                       ask the version (0x70) and print the answer\n"
           "  netparams ADDR MASK GATEWAY   set the network parameters (0x3F); the terminal reboots\n"
           "  upgrade FILE [PATH]           serve FILE over HTTP at PATH (default /FILENAME) and send\n"
           "                                the upgrade URL (0x71)\n"
           "  discover                      search the group for terminals (0x81) and print the answers\n"
           "  login USER PASSWORD ADDR MASK GATEWAY\n"
           "                                log in on the group and set the network parameters (0x83)\n"
           "  announce                      announce now (besides every --announce seconds)\n"
           "  terminal ADDR, id DEVID       choose the terminal the commands go to\n"
           "  select DEVID                  choose the terminal whose status reports carry DEVID\n"
           "  terminals                     list the terminals heard from, with their reports\n"
           "  wait SECONDS                  wait, printing what arrives\n"
           "  help, quit\n";
}

}  // namespace srvproto
