// paterm-server's sockets, threads and commands.
#include "tools/server/server_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "tools/server/terminal_answers.h"

namespace srvproto {
namespace {

constexpr int kPollMs = 100;
constexpr int64_t kStreamReportMs = 1000;
constexpr uint32_t kGroupAddr = 0xE70A0554;  // 231.10.5.84

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in Address(uint32_t hostOrder, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrder);
    a.sin_port = htons(port);
    return a;
}

int BoundUdp(uint32_t addr, uint16_t port, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Address(addr, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *error = "cannot bind " + DottedAddress(addr) + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

const char* ModeName(uint8_t mode) {
    constexpr const char* kNames[] = {"off", "on", "auto"};
    return mode < 3 ? kNames[mode] : "unknown";
}

}  // namespace

void ServerApp::Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(printMutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void ServerApp::SayError(const std::string& text) {
    std::lock_guard<std::mutex> lock(printMutex_);
    std::printf("Error:  ");
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void ServerApp::Prompt() {
    std::lock_guard<std::mutex> lock(printMutex_);
    std::printf("paterm-server> ");
    std::fflush(stdout);
}

int ServerApp::OpenSockets() {
    std::string error;
    sendFd_ = BoundUdp(opt_.bind, 0, &error);
    if (sendFd_ >= 0) {
        const unsigned char ttl = 1;  // announcements stay on the local network
        ::setsockopt(sendFd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        if (opt_.bind != 0) {
            in_addr itf{htonl(opt_.bind)};
            ::setsockopt(sendFd_, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof itf);
        }
        serverFd_ = BoundUdp(opt_.bind, kServerPort, &error);
    }
    if (serverFd_ >= 0) groupFd_ = BoundUdp(kGroupAddr, kGroupAnswerPort, &error);
    if (groupFd_ >= 0) {
        ip_mreq join{};
        join.imr_multiaddr.s_addr = htonl(kGroupAddr);
        join.imr_interface.s_addr = htonl(opt_.bind);
        if (::setsockopt(groupFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
            error = std::string("cannot join 231.10.5.84: ") + std::strerror(errno);
            ::close(groupFd_);
            groupFd_ = -1;
        }
    }
    if (groupFd_ >= 0) streamFd_ = BoundUdp(opt_.bind, opt_.streamPort, &error);
    if (streamFd_ >= 0 && !opt_.streamFile.empty()) {
        streamOut_ = std::fopen(opt_.streamFile.c_str(), "ab");
        if (streamOut_ == nullptr) error = "cannot write " + opt_.streamFile + ": " + std::strerror(errno);
    }
    if (streamFd_ < 0 || (!opt_.streamFile.empty() && streamOut_ == nullptr)) {
        SayError(error);
        return -1;
    }
    return 0;
}

int ServerApp::Start() {
    if (OpenSockets() != 0) {
        Stop();
        return -1;
    }
    Say("paterm-server on " + DottedAddress(opt_.bind) + ": status on port 8206, group answers on 7806, stream on " +
        std::to_string(opt_.streamPort) + "; terminal " + DottedAddress(opt_.terminal) + " " +
        DeviceIdText(opt_.id.data()));
    receiver_ = std::thread(&ServerApp::ReceiveLoop, this);
    if (opt_.announceMs != 0) announcer_ = std::thread(&ServerApp::AnnounceLoop, this);
    return 0;
}

void ServerApp::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (announcer_.joinable()) announcer_.join();
    if (receiver_.joinable()) receiver_.join();
    http_.Stop();
    for (int* fd : {&sendFd_, &serverFd_, &groupFd_, &streamFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (streamOut_ != nullptr) std::fclose(streamOut_);
    streamOut_ = nullptr;
}

void ServerApp::AnnounceLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        Announce();
        lock.lock();
        changed_.wait_for(lock, std::chrono::milliseconds(opt_.announceMs), [this] { return stopping_; });
    }
}

int ServerApp::Announce() {
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    const Bytes frame = opt_.announceIp != 0 ? BuildAnnounceIp(now, opt_.announceIp) : BuildAnnounce(now);
    const sockaddr_in to = Address(kGroupAddr, kGroupPort);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (::sendto(sendFd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        SayError(std::string("announcement not sent: ") + std::strerror(errno));
        return -1;
    }
    return 0;
}

void ServerApp::ReceiveLoop() {
    uint8_t buf[2048];
    int64_t nextReport = NowMs() + kStreamReportMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        pollfd fds[3] = {{serverFd_, POLLIN, 0}, {groupFd_, POLLIN, 0}, {streamFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 3, kPollMs);
        for (int i = 0; ready > 0 && i < 3; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            const uint32_t addr = ntohl(from.sin_addr.s_addr);
            const std::string source = DottedAddress(addr);
            if (i == 0) OnServerPort(buf, static_cast<size_t>(n), addr, source);
            if (i == 1) OnGroupAnswer(buf, static_cast<size_t>(n), source);
            if (i == 2) OnStream(buf, static_cast<size_t>(n), addr, NowMs());
        }
        const int64_t now = NowMs();
        if (now >= nextReport) {
            StreamTick(now);
            nextReport = now + kStreamReportMs;
        }
    }
}

void ServerApp::OnServerPort(const uint8_t* buf, size_t n, uint32_t fromAddr, const std::string& from) {
    StatusReport status;
    VersionInfo version;
    if (DecodeStatus(buf, n, &status) == 0) {
        bool fresh = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fresh = terminals_.OnReport(status.devId, fromAddr, NowMs());
        }
        if (fresh) Say("new terminal " + status.devId + " at " + from);
        Say(FormatStatus(status, from));
    } else if (DecodeVersion(buf, n, &version) == 0) {
        Say(FormatVersion(version, from));
        std::lock_guard<std::mutex> lock(mutex_);
        ++versions_;
        changed_.notify_all();
    } else {
        Say("port 8206: " + std::to_string(n) + " bytes from " + from + " that are no status report or version answer");
    }
}

void ServerApp::OnGroupAnswer(const uint8_t* buf, size_t n, const std::string& from) {
    SearchAck search;
    LoginAck login;
    if (DecodeSearchAck(buf, n, &search) == 0) {
        Say(FormatSearchAck(search, from));
        std::lock_guard<std::mutex> lock(mutex_);
        ++searches_;
        changed_.notify_all();
    } else if (DecodeLoginAck(buf, n, &login) == 0) {
        Say(FormatLoginAck(login, from));
        std::lock_guard<std::mutex> lock(mutex_);
        ++logins_;
        changed_.notify_all();
    } else {
        Say("port 7806: " + std::to_string(n) + " bytes from " + from + " that are no discovery or login answer");
    }
}

void ServerApp::OnStream(const uint8_t* buf, size_t n, uint32_t fromAddr, int64_t nowMs) {
    BrdStreamStats& stats = streams_[fromAddr];
    if (!stats.OnPacket(buf, n, nowMs)) return;
    if (recorded_ == 0) recorded_ = fromAddr;
    if (fromAddr != recorded_) return;
    if (streamOut_ != nullptr &&
        std::fwrite(buf + kBrdHeaderLength, 1, kBrdFrameLength, streamOut_) != kBrdFrameLength) {
        SayError("stream file " + opt_.streamFile + " not written; saving stops");
        std::fclose(streamOut_);
        streamOut_ = nullptr;
    }
    std::string error;
    if (sink_ != nullptr &&
        sink_->OnFrame(buf + kBrdHeaderLength, kBrdFrameLength, stats.BrdId(), nowMs, &error) != 0) {
        SayError(error + "; decoding stops");
        sink_.reset();
    }
}

// One line per terminal that sent in the window; the recorded stream is
// given up once its terminal has paused for a whole window.
void ServerApp::StreamTick(int64_t nowMs) {
    for (auto& [addr, stats] : streams_) {
        const bool was = stats.Active();
        const BrdStreamStats::Window w = stats.TakeWindow(nowMs);
        if (!was) {
            if (addr == recorded_) recorded_ = 0;
            continue;
        }
        const bool recorded = addr == recorded_;
        if (recorded && streamOut_ != nullptr) std::fflush(streamOut_);
        Say("stream: " + std::to_string(w.perSecond) + " packets/s, brdId " + std::to_string(w.brdId) +
            ", bad headers " + std::to_string(w.badHeaders) + ", gaps " + std::to_string(w.gaps) + ", frames " +
            std::to_string(w.totalFrames) + (recorded && streamOut_ != nullptr ? " saved to " + opt_.streamFile : "") +
            (recorded && sink_ != nullptr ? ", " + sink_->Figures() : "") + ", from " + DottedAddress(addr));
    }
}

int ServerApp::SendToTerminal(const Bytes& frame, const std::string& what) {
    if (frame.empty()) {
        SayError(what + ": cannot be carried in one frame");
        return -1;
    }
    const sockaddr_in to = Address(opt_.terminal, kTerminalCmdPort);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (::sendto(sendFd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        SayError(what + " not sent: " + std::strerror(errno));
        return -1;
    }
    Say("sent " + what + " to " + DottedAddress(opt_.terminal) + " " + DeviceIdText(opt_.id.data()));
    return 0;
}

int ServerApp::SendToGroup(const Bytes& frame, const std::string& what) {
    if (frame.empty()) {
        SayError(what + ": cannot be carried in one frame");
        return -1;
    }
    const sockaddr_in to = Address(kGroupAddr, kGroupPort);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (::sendto(sendFd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        SayError(what + " not sent: " + std::strerror(errno));
        return -1;
    }
    Say("sent " + what + " to the group");
    return 0;
}

uint32_t ServerApp::LocalAddressTowardTerminal() const {
    if (opt_.bind != 0) return opt_.bind;
    // A connected datagram socket learns its source address without sending.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in to = Address(opt_.terminal, kTerminalCmdPort), me{};
    socklen_t len = sizeof me;
    uint32_t addr = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len) == 0)
        addr = ntohl(me.sin_addr.s_addr);
    ::close(fd);
    return addr;
}

bool ServerApp::WaitAnswer(const uint64_t& counter, uint64_t seen, uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_ || counter != seen; }) &&
           counter != seen;
}

void ServerApp::Sleep(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

int ServerApp::Upgrade(const Command& cmd) {
    if (::access(cmd.file.c_str(), R_OK) != 0) {
        SayError("cannot read " + cmd.file);
        return -1;
    }
    if (http_.Running()) {
        http_.Serve(cmd.file, cmd.path);
    } else {
        std::string error;
        if (http_.Start(opt_.bind, opt_.httpPort, cmd.file, cmd.path, [this](const std::string& l) { Say(l); },
                        &error) != 0) {
            SayError(error);
            return -1;
        }
    }
    Say("serving " + cmd.file + " at http://" + DottedAddress(LocalAddressTowardTerminal()) + ":" +
        std::to_string(http_.Port()) + cmd.path);
    if (http_.Port() != 80) Say("note: the terminal downloads from port 80");
    return SendToTerminal(BuildUpgradeUrl(opt_.id, cmd.path), "upgrade URL " + cmd.path);
}

uint64_t ServerApp::Counted(const uint64_t& counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counter;
}

int ServerApp::AskVersion() {
    const uint64_t seen = Counted(versions_);
    if (SendToTerminal(BuildVersionQuery(opt_.id), "version query") != 0) return -1;
    if (WaitAnswer(versions_, seen, opt_.answerMs)) return 0;
    SayError("no version answer within " + std::to_string(opt_.answerMs / 1000) + " s");
    return -1;
}

int ServerApp::Discover() {
    const uint64_t seen = Counted(searches_);
    if (SendToGroup(BuildSearch(opt_.id), "discovery") != 0) return -1;
    Sleep(opt_.answerMs);  // every terminal answers: collect them all
    Say(std::to_string(Counted(searches_) - seen) + " terminals answered");
    return 0;
}

int ServerApp::Login(const Command& cmd) {
    const uint64_t seen = Counted(logins_);
    const Bytes frame = BuildLogin(opt_.id, cmd.user, cmd.password, cmd.net);
    if (SendToGroup(frame, "login of " + cmd.user + " for " + DeviceIdText(opt_.id.data())) != 0) return -1;
    if (WaitAnswer(logins_, seen, opt_.answerMs)) return 0;
    SayError("no login answer within " + std::to_string(opt_.answerMs / 1000) + " s");
    return -1;
}

int ServerApp::SendGrant(const Command& cmd) {
    Grant g = cmd.grant;
    if (g.addr == 0) g.addr = LocalAddressTowardTerminal();
    if (g.port == 0) g.port = opt_.streamPort;
    return SendToTerminal(BuildGrant(opt_.id, g), "grant brdId " + std::to_string(g.brdId) + " to " +
                                                      DottedAddress(g.addr) + ":" + std::to_string(g.port));
}

int ServerApp::Choose(const Command& cmd) {
    if (cmd.kind == CmdKind::kTerminal) {
        opt_.terminal = cmd.addr;
        Say("terminal " + DottedAddress(opt_.terminal));
    } else {
        opt_.id = cmd.id;
        Say("device id " + DeviceIdText(opt_.id.data()));
    }
    return 0;
}

int ServerApp::Select(const Command& cmd) {
    const std::string id = DeviceIdText(cmd.id.data());
    uint32_t addr = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const TerminalTable::Entry* e = terminals_.Find(id)) addr = e->addr;
    }
    if (addr == 0) {
        SayError("no status report from " + id + " yet");
        return -1;
    }
    opt_.terminal = addr;
    opt_.id = cmd.id;
    Say("terminal " + DottedAddress(addr) + " " + id);
    return 0;
}

void ServerApp::ListTerminals() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines = terminals_.Lines(NowMs());
    }
    for (const std::string& line : lines) Say(line);
    Say(std::to_string(lines.size()) + " terminals heard from");
}

int ServerApp::Execute(const Command& cmd) {
    const NetParams& n = cmd.net;
    switch (cmd.kind) {
    case CmdKind::kMode:
        return SendToTerminal(BuildMode(opt_.id, cmd.mode),
                              "mode " + std::to_string(cmd.mode) + " (" + ModeName(cmd.mode) + ")");
    case CmdKind::kGrant:
        return SendGrant(cmd);
    case CmdKind::kStop:
        return SendToTerminal(BuildStop(opt_.id, cmd.grant.brdId), "stop brdId " + std::to_string(cmd.grant.brdId));
    case CmdKind::kGroups:
        return SendToTerminal(BuildGroupNames(opt_.id, cmd.names), std::to_string(cmd.names.size()) + " group names");
    case CmdKind::kVersion:
        return AskVersion();
    case CmdKind::kNetParams:
        return SendToTerminal(BuildNetParams(opt_.id, n), "network parameters " + DottedAddress(n.addr) + " " +
                                                              DottedAddress(n.mask) + " " + DottedAddress(n.gateway));
    case CmdKind::kUpgrade:
        return Upgrade(cmd);
    case CmdKind::kDiscover:
        return Discover();
    case CmdKind::kLogin:
        return Login(cmd);
    case CmdKind::kAnnounce:
        if (Announce() != 0) return -1;
        Say("announced");
        return 0;
    case CmdKind::kTerminal:
    case CmdKind::kId:
        return Choose(cmd);
    case CmdKind::kSelect:
        return Select(cmd);
    case CmdKind::kTerminals:
        ListTerminals();
        return 0;
    case CmdKind::kWait:
        Sleep(cmd.waitMs);
        return 0;
    case CmdKind::kHelp: {
        std::lock_guard<std::mutex> lock(printMutex_);
        std::fputs(CommandHelp(), stdout);
        std::fflush(stdout);
        return 0;
    }
    case CmdKind::kQuit:
        return 1;
    case CmdKind::kEmpty:
        return 0;
    }
    return 0;
}

}  // namespace srvproto
