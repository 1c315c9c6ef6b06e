// Parsing paterm-server's command line.
#include "tools/server/server_options.h"

#include "tools/server/command_parser.h"

namespace srvproto {
namespace {

bool Port(const std::string& text, uint16_t* port) {
    uint32_t v = 0;
    if (!ParseUnsigned(text, 65535, &v) || v == 0) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

bool Seconds(const std::string& text, uint32_t* ms) {
    uint32_t v = 0;
    if (!ParseUnsigned(text, 3600, &v)) return false;
    *ms = v * 1000;
    return true;
}

bool Option(const std::string& name, const std::string& value, ServerOptions* o) {
    if (name == "--terminal") return ParseAddress(value, &o->terminal) && o->terminal != 0;
    if (name == "--id") return ParseDeviceId(value, &o->id);
    if (name == "--bind") return ParseAddress(value, &o->bind);
    if (name == "--announce") return Seconds(value, &o->announceMs);
    if (name == "--announce-ip") return ParseAddress(value, &o->announceIp) && o->announceIp != 0;
    if (name == "--stream-port") return Port(value, &o->streamPort);
    if (name == "--stream-file") {
        o->streamFile = value;
        return !value.empty();
    }
    if (name == "--brd-wav") {
        o->brdWav = value;
        return !value.empty();
    }
    if (name == "--http-port") return Port(value, &o->httpPort);
    if (name == "--timeout") return Seconds(value, &o->answerMs);
    return false;
}

constexpr const char* kValueOptions[] = {"--terminal",    "--id",        "--bind",    "--announce",
                                         "--announce-ip", "--stream-port", "--stream-file", "--brd-wav",
                                         "--http-port",   "--timeout"};

bool TakesValue(const std::string& name) {
    for (const char* o : kValueOptions) {
        if (name == o) return true;
    }
    return false;
}

}  // namespace

int ParseServerOptions(int argc, const char* const* argv, ServerOptions* out, std::string* error) {
    *out = ServerOptions();
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            return 0;
        }
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') break;
        if (!TakesValue(arg)) {
            *error = "unknown option " + arg;
            return -1;
        }
        if (i + 1 >= argc) {
            *error = arg + " needs a value";
            return -1;
        }
        if (!Option(arg, argv[i + 1], out)) {
            *error = std::string("bad value for ") + arg + ": " + argv[i + 1];
            return -1;
        }
        ++i;
    }
    std::vector<std::string> words;
    for (; i <= argc; ++i) {
        const std::string arg = i < argc ? argv[i] : ",";
        if (arg == "," || arg == ";") {
            if (!words.empty()) out->commands.push_back(words);
            words.clear();
        } else {
            words.push_back(arg);
        }
    }
    return 0;
}

const char* ServerUsage() {
    return "usage: paterm-server [OPTIONS] [COMMAND [ARG...] [, COMMAND...]]\n"
           "A management server for terminals: announces itself on 231.10.5.84:7805, prints the\n"
           "status reports and answers that arrive on port 8206 and on the group's port 7806,\n"
           "receives each terminal's broadcast stream, and sends commands to the terminal chosen\n"
           "(--terminal and --id, or select DEVID once that terminal has reported).\n"
           "Commands come from the arguments (separated by \",\" or \";\"), else one per line\n"
           "from standard input (a prompt on a terminal); it ends after the last one.\n"
           "options:\n"
           "  --terminal ADDR      the terminal the commands go to (default 192.168.1.10)\n"
           "  --id DEVID           its device id, 10 characters (default PT00000001)\n"
           "  --bind ADDR          this server's address for every socket (default any)\n"
           "  --announce SECONDS   announcement period, 0 for none (default 5)\n"
           "  --announce-ip ADDR   announce with 0x29 carrying ADDR instead of 0x20\n"
           "  --stream-port PORT   where the broadcast stream is received (default 10000)\n"
           "  --stream-file FILE   append the stream's 171-byte frames to FILE\n"
           "  --brd-wav FILE       write the stream decoded to FILE, a 48 kHz stereo WAV\n"
           "  --http-port PORT     port of the upgrade file server (default 80, where the\n"
           "                       terminal downloads from)\n"
           "  --timeout SECONDS    how long version, discover and login wait (default 2)\n"
           "  -h, --help           this text and the commands\n";
}

}  // namespace srvproto
