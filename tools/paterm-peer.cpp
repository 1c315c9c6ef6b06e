// paterm-peer: a peer of the terminal's port 8207. Probes it, opens and
// closes the peer link, queries it, and downloads an application archive or
// a kernel image block by block, following the terminal's answers.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tools/peer/peer_frames.h"

namespace {

using peer::Bytes;

constexpr const char* kUsage =
    "usage: paterm-peer [OPTIONS] COMMAND\n"
    "  probe                          ask the terminal for a probe answer (no link needed)\n"
    "  open | close                   open or close the peer link\n"
    "  query                          open the link, query, close\n"
    "  download app|kernel FILE [end|end-reboot]\n"
    "                                 open the link, send FILE block by block, end (and\n"
    "                                 reboot the terminal with end-reboot), close\n"
    "options:\n"
    "  --terminal ADDR   the terminal (default 192.168.1.10), port 8207\n"
    "  --id DEVID        its device id, 10 characters (default PT00000001)\n"
    "  --port PORT       where the answers come to (default 9000)\n"
    "  --bind ADDR       this host's address for the answer port (default any)\n"
    "  --timeout MS      wait for each answer (default 1000)\n"
    "  --tries N         sends of one request without an answer (default 5)\n"
    "  --install-wait MS how long the end waits for its answer, sent again every\n"
    "                    --timeout: the terminal answers once installed (default 30000)\n"
    "  --block BYTES     download block size, 1 to 4068 (default 1024)\n";

struct Options {
    std::string terminal = "192.168.1.10";
    std::string id = "PT00000001";
    uint16_t port = 9000;
    std::string bind = "0.0.0.0";
    int timeoutMs = 1000;
    int tries = 5;
    int installWaitMs = 30000;
    size_t block = peer::kDefaultBlock;
    std::vector<std::string> words;
};

void Fail(const char* text) {
    std::printf("Error:  ");
    std::puts(text);
}

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseOption(const std::string& name, const char* value, Options* o) {
    long number = 0;
    if (name == "--terminal") return o->terminal = value, true;
    if (name == "--bind") return o->bind = value, true;
    if (name == "--id") return o->id = value, std::strlen(value) == 10;
    if (name == "--port" && ParseNumber(value, 1, 65535, &number)) return o->port = static_cast<uint16_t>(number), true;
    if (name == "--timeout" && ParseNumber(value, 1, 600000, &number))
        return o->timeoutMs = static_cast<int>(number), true;
    if (name == "--tries" && ParseNumber(value, 1, 1000, &number)) return o->tries = static_cast<int>(number), true;
    if (name == "--install-wait" && ParseNumber(value, 1, 600000, &number))
        return o->installWaitMs = static_cast<int>(number), true;
    if (name == "--block" && ParseNumber(value, 1, peer::kMaxBlock, &number))
        return o->block = static_cast<size_t>(number), true;
    return false;
}

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            o->words.push_back(arg);
            continue;
        }
        if (i + 1 >= argc || !ParseOption(arg, argv[i + 1], o)) return false;
        ++i;
    }
    return !o->words.empty();
}

// One UDP socket on the answer port; requests leave from it too.
class Session {
public:
    explicit Session(const Options& o) : o_(o), sock_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local = Address(o.bind, o.port);
        const int on = 1;
        setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ready_ = sock_ >= 0 && local.sin_family == AF_INET &&
                 bind(sock_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        terminal_ = Address(o.terminal, peer::kTerminalPort);
        ready_ = ready_ && terminal_.sin_family == AF_INET;
    }
    ~Session() {
        if (sock_ >= 0) close(sock_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ready() const { return ready_; }
    const Options& options() const { return o_; }

    bool Send(const Bytes& frame) const {
        return sendto(sock_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&terminal_),
                      sizeof terminal_) == static_cast<ssize_t>(frame.size());
    }

    // The first frame within the time-out that wanted accepts.
    std::optional<peer::Frame> Await(const std::function<bool(const peer::Frame&)>& wanted) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o_.timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd waiting = {sock_, POLLIN, 0};
            if (poll(&waiting, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
            uint8_t buf[4096];
            const ssize_t got = recv(sock_, buf, sizeof buf, 0);
            if (got <= 0) continue;
            const auto frame = peer::Decode(buf, static_cast<size_t>(got));
            if (frame && frame->devId == o_.id && wanted(*frame)) return frame;
        }
    }

    // Sends frame until an accepted answer comes, at most --tries times.
    std::optional<peer::Frame> Request(const Bytes& frame, const std::function<bool(const peer::Frame&)>& wanted,
                                       int tries = 0) const {
        if (tries == 0) tries = o_.tries;
        for (int attempt = 0; attempt < tries; ++attempt) {
            if (!Send(frame)) return std::nullopt;
            auto answer = Await(wanted);
            if (answer) return answer;
        }
        return std::nullopt;
    }

private:
    static sockaddr_in Address(const std::string& text, uint16_t port) {
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        if (inet_pton(AF_INET, text.c_str(), &addr.sin_addr) != 1) return addr;
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        return addr;
    }

    const Options& o_;
    int sock_;
    sockaddr_in terminal_;
    bool ready_ = false;
};

bool IsLinkAnswer(const peer::Frame& f) {
    const auto answer = peer::AsLinkAnswer(f);
    return answer && answer->id == peer::kLinkId;
}

std::optional<peer::LinkAnswer> LinkRequest(const Session& s, uint8_t type) {
    const auto frame =
        s.Request(peer::LinkRequest(s.options().id, peer::kLinkId, type, s.options().port), IsLinkAnswer);
    if (!frame) return std::nullopt;
    return peer::AsLinkAnswer(*frame);
}

bool CloseLink(const Session& s) {
    const auto answer = LinkRequest(s, peer::kClose);
    if (!answer) return Fail("no answer to the close request"), false;
    std::puts("link closed");
    return true;
}

// An open link left by an earlier run ignores new opens: it is closed first.
bool OpenLink(const Session& s) {
    auto answer = LinkRequest(s, peer::kOpen);
    if (!answer) {
        std::puts("no answer to the open request; closing a link left open and trying again");
        s.Send(peer::LinkRequest(s.options().id, peer::kLinkId, peer::kClose, s.options().port));
        s.Await(IsLinkAnswer);
        answer = LinkRequest(s, peer::kOpen);
    }
    if (!answer) return Fail("no answer to the open request"), false;
    if (answer->result != peer::kLinkOpen) return Fail("the terminal refused the link"), false;
    std::puts("link open");
    return true;
}

int Probe(const Session& s) {
    const auto answer = s.Request(peer::Probe(s.options().id, s.options().port),
                                  [](const peer::Frame& f) { return f.cmd == peer::kCmdProbe; });
    if (!answer) return Fail("no answer to the probe"), 1;
    std::printf("probe answered by %s\n", answer->devId.c_str());
    return 0;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        text += byte;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

int Query(const Session& s) {
    if (!OpenLink(s)) return 1;
    const auto answer = s.Request(peer::LinkData(s.options().id, peer::kLinkId, peer::QueryData()),
                                  [](const peer::Frame& f) { return peer::AsLinkData(f).has_value(); });
    if (answer) std::printf("query answer: %s\n", Hex(*peer::AsLinkData(*answer)).c_str());
    if (!answer) Fail("no answer to the query");
    return CloseLink(s) && answer ? 0 : 1;
}

std::function<bool(const peer::Frame&)> DownloadAnswerOf(uint8_t op) {
    return [op](const peer::Frame& f) {
        const auto answer = peer::AsDownloadAnswer(f);
        return answer && answer->op == op;
    };
}

std::optional<peer::DownloadAnswer> Operation(const Session& s, const Bytes& data, uint8_t op, int tries = 0) {
    const auto frame = s.Request(peer::LinkData(s.options().id, peer::kLinkId, data), DownloadAnswerOf(op), tries);
    if (!frame) return std::nullopt;
    return peer::AsDownloadAnswer(*frame);
}

// Blocks from 0, each time from the one after the last the terminal
// accepted; at most --tries sends per block on average before giving up.
bool SendBlocks(const Session& s, const Bytes& file) {
    const size_t size = s.options().block;
    const size_t count = peer::BlockCount(file.size(), size);
    size_t budget = (count + 1) * static_cast<size_t>(s.options().tries);
    size_t next = 0;
    while (next < count && budget-- > 0) {
        const size_t from = next * size;
        const Bytes data =
            peer::BlockData(static_cast<uint16_t>(next), file.data() + from, std::min(size, file.size() - from));
        const auto answer = Operation(s, data, peer::kOpBlock);
        if (!answer) return Fail("no answer to a block"), false;
        next = peer::NextBlock(*answer);
        if (next % 64 == 0 || next == count) std::printf("block %zu of %zu\n", next, count);
    }
    if (next < count) Fail("the terminal did not take the blocks in order");
    return next >= count;
}

bool Download(const Session& s, uint8_t type, const Bytes& file, bool reboot) {
    const size_t count = peer::BlockCount(file.size(), s.options().block);
    if (count > 0xFFFF) return Fail("the file needs more than 65535 blocks; use a larger --block"), false;
    const auto begun = Operation(
        s, peer::BeginData(type, static_cast<uint32_t>(file.size()), static_cast<uint16_t>(count)), peer::kOpBegin);
    if (!begun || begun->status != 0) return Fail("the terminal refused the download"), false;
    if (!SendBlocks(s, file)) return false;
    const uint8_t op = reboot ? peer::kOpEndReboot : peer::kOpEnd;
    // The terminal answers the end once it has installed the file.
    const int endTries = std::max(s.options().tries, s.options().installWaitMs / s.options().timeoutMs);
    const auto ended = Operation(s, peer::EndData(reboot), op, endTries);
    if (!ended) return Fail("no answer to the end"), false;
    if (ended->status != 0) return Fail("the terminal refused the file or could not install it"), false;
    std::puts(reboot ? "download complete; installed, the terminal reboots" : "download complete; installed");
    return true;
}

std::optional<Bytes> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int DownloadCommand(const Session& s, const std::vector<std::string>& w) {
    if (w.size() < 3 || w.size() > 4 || (w[1] != "app" && w[1] != "kernel") ||
        (w.size() == 4 && w[3] != "end" && w[3] != "end-reboot"))
        return std::fputs(kUsage, stderr), 2;
    const auto file = ReadWhole(w[2]);
    if (!file) return Fail("the file cannot be read"), 1;
    if (!OpenLink(s)) return 1;
    const bool reboot = w.size() == 4 && w[3] == "end-reboot";
    const bool done = Download(s, w[1] == "app" ? peer::kTypeApp : peer::kTypeKernel, *file, reboot);
    // After end-reboot the terminal may be gone already: the close is a courtesy.
    const bool closed = CloseLink(s);
    return done && (closed || reboot) ? 0 : 1;
}

int Run(const Session& s) {
    const std::vector<std::string>& w = s.options().words;
    if (w[0] == "probe" && w.size() == 1) return Probe(s);
    if (w[0] == "open" && w.size() == 1) return OpenLink(s) ? 0 : 1;
    if (w[0] == "close" && w.size() == 1) return CloseLink(s) ? 0 : 1;
    if (w[0] == "query" && w.size() == 1) return Query(s);
    if (w[0] == "download") return DownloadCommand(s, w);
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Session session(o);
    if (!session.ready()) {
        Fail("cannot use the answer port or the addresses given");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return Run(session);
}
