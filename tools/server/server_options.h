// paterm-server's command line: options, then optional commands separated
// by "," or ";" words.
#ifndef PATERM_TOOLS_SERVER_SERVER_OPTIONS_H
#define PATERM_TOOLS_SERVER_SERVER_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/server/server_frames.h"

namespace srvproto {

struct ServerOptions {
    uint32_t terminal = 0xC0A8010A;  // 192.168.1.10, the terminal of tools/netns
    DevId id{{'P', 'T', '0', '0', '0', '0', '0', '0', '0', '1'}};
    uint32_t bind = 0;               // host order, 0 = any
    uint32_t announceMs = 5000;      // 0: no periodic announcement
    uint32_t announceIp = 0;         // not 0: announce with 0x29 and this address
    uint16_t streamPort = 10000;
    std::string streamFile;          // empty: frames are counted, not saved
    std::string brdWav;              // empty: frames are not decoded
    uint16_t httpPort = 80;          // the terminal's download names no port
    uint32_t answerMs = 2000;        // how long version, discover and login wait
    std::vector<std::vector<std::string>> commands;
    bool help = false;
};

// 0, or -1 with a message.
int ParseServerOptions(int argc, const char* const* argv, ServerOptions* out, std::string* error);
const char* ServerUsage();

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_SERVER_OPTIONS_H
