// paterm-server run as a program in a private network namespace, the test
// playing the terminal on 127.0.0.1: its announcement reaches a socket
// joined to the group, a status report and a version answer are printed
// decoded, a grant carries the server's address and stream port, discovery
// answers on the group are printed, the stream's frames are counted and
// saved, and the terminal's encoding is decoded into a WAV file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "net/net_frame.h"
#include "tests/server/brd_tone.h"
#include "tests/server/server_net.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kGroup = 0xE70A0554;  // 231.10.5.84
constexpr char kId[] = "PT00000042";

sockaddr_in Addr(uint32_t a, uint16_t port) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = htonl(a);
    s.sin_port = htons(port);
    return s;
}

Bytes Frame(uint8_t cmd, const Bytes& payload) {
    Bytes out(payload.size() + kNetFrameOverhead);
    out.resize(NetFrameBuild(out.data(), out.size(), cmd, reinterpret_cast<const uint8_t*>(kId), payload.data(),
                             payload.size()));
    return out;
}

class Udp {
public:
    // Bound to addr:port; joined to the group on loopback when join is set.
    Udp(uint32_t addr, uint16_t port, bool join = false) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        in_addr itf{htonl(kLoopback)};
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof itf);
        sockaddr_in a = Addr(addr, port);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (join) {
            ip_mreq m{};
            m.imr_multiaddr.s_addr = htonl(kGroup);
            m.imr_interface.s_addr = htonl(kLoopback);
            ok_ = ok_ && setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
        }
    }
    ~Udp() { close(fd_); }
    bool ok() const { return ok_; }
    bool Send(uint32_t addr, uint16_t port, const Bytes& b) const {
        sockaddr_in to = Addr(addr, port);
        return sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(b.size());
    }
    // The next datagram whose command byte is cmd, within timeoutMs.
    std::optional<Bytes> ReceiveCmd(uint8_t cmd, int timeoutMs) const {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            Bytes b(2048);
            const ssize_t n = recv(fd_, b.data(), b.size(), 0);
            if (n < 5) continue;
            b.resize(static_cast<size_t>(n));
            if (b[4] == cmd) return b;
        }
        return std::nullopt;
    }

private:
    int fd_;
    bool ok_ = false;
};

// The tool as a child process with its standard input and output on pipes.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(PATERM_SERVER_EXE));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Tool() {
        if (stdin_ >= 0) close(stdin_);
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
    }
    bool started() const { return pid_ > 0; }
    void Write(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The first output line (from the start) containing text, within timeoutMs.
    std::optional<std::string> WaitLine(const std::string& text, int timeoutMs) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (; scanned_ < lines_.size(); ++scanned_) {
                if (lines_[scanned_].find(text) != std::string::npos) return lines_[scanned_++];
            }
            if (Clock::now() >= until || !ReadSome(until)) return std::nullopt;
        }
    }
    // Closes standard input and waits up to 5 s for the exit status.
    int Finish() {
        close(stdin_);
        stdin_ = -1;
        const auto until = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (Clock::now() < until) {
            ReadSome(Clock::now() + std::chrono::milliseconds(50));
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }
    std::string Output() const {
        std::string all;
        for (const std::string& l : lines_) all += l + "\n";
        return all + partial_;
    }
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    bool ReadSome(Clock::time_point until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) != 1) return Clock::now() < until;
        char buf[4096];
        const ssize_t n = read(stdout_, buf, sizeof buf);
        if (n <= 0) return false;
        partial_.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    bool reaped_ = false;
    std::vector<std::string> lines_;
    std::string partial_;
    size_t scanned_ = 0;
};

Bytes StreamPacket(uint32_t brdId, uint8_t fill) {
    Bytes p = {0x0A, 0x09, 0x06, 0x02, 0x01, 0x00, 0xAB, 0x00, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(brdId >> (8 * i)));
    p.resize(187, fill);
    return p;
}

TEST(ServerTool, TalksToATerminalOnLoopback) {
    if (!servertest::EnterPrivateNetworkWithMulticast()) GTEST_SKIP() << "no network namespace (needs root)";
    char dir[] = "/tmp/paterm-server-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string streamFile = std::string(dir) + "/stream.celt";

    Udp group(kGroup, 7805, true);    // what terminals hear
    Udp terminal(kLoopback, 8205);    // the terminal's command port
    Udp answers(kLoopback, 0);        // where the terminal's answers leave from
    ASSERT_TRUE(group.ok() && terminal.ok() && answers.ok());

    Tool tool({"--bind", "127.0.0.1", "--terminal", "127.0.0.1", "--id", kId, "--announce", "1", "--stream-port",
               "10000", "--stream-file", streamFile, "--timeout", "3", "--http-port", "8080"});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.WaitLine("paterm-server on 127.0.0.1", 5000)) << tool.Output();

    // The announcement: a valid 0x20 frame carrying the server's clock.
    const auto announce = group.ReceiveCmd(0x20, 3000);
    ASSERT_TRUE(announce) << tool.Output();
    ASSERT_EQ(FrameCheck(announce->data(), announce->size()), 12);
    const uint32_t clock = (*announce)[5] | ((*announce)[6] << 8) | ((*announce)[7] << 16) |
                           (static_cast<uint32_t>((*announce)[8]) << 24);
    EXPECT_LE(std::labs(static_cast<long>(clock) - static_cast<long>(std::time(nullptr))), 5L);

    // A status report sent to port 8206 is printed decoded.
    Bytes status(73, 0);
    status[32] = 2;
    status[33] = 0x05;
    status[34] = 0x02;
    status[35] = 7;
    status[37] = 1;
    status[72] = 1;
    ASSERT_TRUE(answers.Send(kLoopback, 8206, Frame(0x81, status)));
    const auto line = tool.WaitLine("status from", 3000);
    ASSERT_TRUE(line) << tool.Output();
    EXPECT_EQ(*line,
              "status from 127.0.0.1 PT00000042: brdState 2 (broadcasting), groups 0x0205 [0,2,9], brdId 7, "
              "request 1, fixed 1");
    // A frame that is not an answer is reported, not decoded.
    Bytes broken = Frame(0x81, status);
    broken[20] ^= 0xFF;
    ASSERT_TRUE(answers.Send(kLoopback, 8206, broken));
    EXPECT_TRUE(tool.WaitLine("port 8206: 90 bytes from 127.0.0.1 that are no status report", 3000)) << tool.Output();

    // grant without address and port: the server's own address and stream port.
    tool.Write("grant 5");
    const auto grant = terminal.ReceiveCmd(0x83, 3000);
    ASSERT_TRUE(grant) << tool.Output();
    ASSERT_EQ(FrameCheck(grant->data(), grant->size()), 20);
    EXPECT_EQ(std::string(grant->begin() + 5, grant->begin() + 15), kId);
    EXPECT_EQ(Bytes(grant->begin() + 15, grant->begin() + 23), (Bytes{5, 0, 0x01, 0, 0, 0x7F, 0x10, 0x27}));

    // version waits for the answer and prints it.
    tool.Write("version");
    const auto query = terminal.ReceiveCmd(0x70, 3000);
    ASSERT_TRUE(query) << tool.Output();
    EXPECT_EQ(query->size(), 17u);
    Bytes version(34, 0);
    version[1] = 2;
    const std::string text = "D4.5.1";
    std::copy(text.begin(), text.end(), version.begin() + 2);
    ASSERT_TRUE(answers.Send(kLoopback, 8206, Frame(0x49, version)));
    EXPECT_TRUE(tool.WaitLine("version from 127.0.0.1 PT00000042: D4.5.1 (0x00 0x02)", 3000)) << tool.Output();

    // discover: the search goes to the group, answers on 7806 are printed.
    tool.Write("discover");
    ASSERT_TRUE(group.ReceiveCmd(0x81, 3000)) << tool.Output();
    Bytes ack(140, 0);
    std::copy(kId, kId + 10, ack.begin());
    const uint8_t net[] = {192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 5};
    std::copy(net, net + 12, ack.begin() + 128);
    ASSERT_TRUE(answers.Send(kGroup, 7806, Frame(0x82, ack)));
    EXPECT_TRUE(tool.WaitLine("found PT00000042 at 192.168.1.10 mask 255.255.255.0 gateway 192.168.1.5", 3000))
        << tool.Output();
    EXPECT_TRUE(tool.WaitLine("1 terminals answered", 5000)) << tool.Output();

    // login goes to the group with the terminal's id and waits for its answer.
    tool.Write("login super secret 192.168.1.11 255.255.255.0 192.168.1.1");
    const auto login = group.ReceiveCmd(0x83, 3000);
    ASSERT_TRUE(login) << tool.Output();
    ASSERT_EQ(login->size(), 61u);
    EXPECT_EQ(std::string(login->begin() + 5, login->begin() + 15), kId);
    EXPECT_EQ(std::string(login->begin() + 31, login->begin() + 37), std::string("secret"));
    ASSERT_TRUE(answers.Send(kGroup, 7806, Frame(0x84, {1})));
    EXPECT_TRUE(tool.WaitLine("login answer from 127.0.0.1 PT00000042: failure", 3000)) << tool.Output();

    // The stream: 20 frames and one bad header; the frames are saved in order.
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        const Bytes p = StreamPacket(5, static_cast<uint8_t>(i));
        ASSERT_TRUE(answers.Send(kLoopback, 10000, p));
        expected.append(p.begin() + 16, p.end());
        if (i == 10) {
            ASSERT_TRUE(answers.Send(kLoopback, 10000, Bytes(30, 0x0A)));
        }
    }
    ASSERT_TRUE(tool.WaitLine("frames 20 saved", 4000)) << tool.Output();
    int bad = 0;
    for (const std::string& l : tool.Lines()) {
        if (l.rfind("stream: ", 0) != 0) continue;
        EXPECT_NE(l.find("brdId 5"), std::string::npos) << l;
        bad += std::atoi(l.substr(l.find("bad headers ") + 12).c_str());
    }
    EXPECT_EQ(bad, 1) << tool.Output();

    // upgrade serves the package over HTTP and sends its path, NUL-terminated.
    const std::string package = std::string(dir) + "/package.bin";
    std::ofstream(package, std::ios::binary) << "PKG-CONTENT";
    tool.Write("upgrade " + package + " /pkg/upgrade_app.bin");
    const auto url = terminal.ReceiveCmd(0x71, 3000);
    ASSERT_TRUE(url) << tool.Output();
    ASSERT_GT(FrameCheck(url->data(), url->size()), 0);
    EXPECT_EQ(std::string(url->begin() + 15, url->end() - 2), std::string("/pkg/upgrade_app.bin") + '\0');
    const std::string reply =
        servertest::HttpExchange(8080, "GET /pkg/upgrade_app.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK", 0), 0u) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 11), "PKG-CONTENT");
    EXPECT_TRUE(tool.WaitLine("http: GET /pkg/upgrade_app.bin from 127.0.0.1: 200, 11 bytes", 3000)) << tool.Output();
    std::remove(package.c_str());

    // A refused line is reported and sends nothing; quit ends the run.
    tool.Write("grant 70000");
    EXPECT_TRUE(tool.WaitLine("Error:  bad broadcast id: 70000", 3000)) << tool.Output();
    tool.Write("quit");
    EXPECT_EQ(tool.Finish(), 1) << tool.Output();  // one line failed
    EXPECT_FALSE(terminal.ReceiveCmd(0x83, 200));

    std::ifstream in(streamFile, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(saved == expected) << saved.size();
    std::remove(streamFile.c_str());
    rmdir(dir);
}

TEST(ServerTool, ArgumentsRunInOrderAndAFailureEndsTheRun) {
    if (!servertest::EnterPrivateNetworkWithMulticast()) GTEST_SKIP() << "no network namespace (needs root)";
    Udp terminal(kLoopback, 8205);
    ASSERT_TRUE(terminal.ok());
    Tool tool({"--bind", "127.0.0.1", "--terminal", "127.0.0.1", "--announce", "0", "--timeout", "1", "mode", "on",
               ",", "version", ",", "mode", "off"});
    ASSERT_TRUE(tool.started());
    // mode on goes out; version gets no answer, so mode off is never sent.
    const auto mode = terminal.ReceiveCmd(0x30, 3000);
    ASSERT_TRUE(mode);
    EXPECT_EQ((*mode)[15], 1);
    EXPECT_EQ(tool.Finish(), 1) << tool.Output();
    EXPECT_NE(tool.Output().find("Error:  no version answer within 1 s"), std::string::npos) << tool.Output();
    EXPECT_TRUE(terminal.ReceiveCmd(0x70, 100));
    EXPECT_FALSE(terminal.ReceiveCmd(0x30, 200));
}

TEST(ServerTool, DecodesTheTerminalsStreamIntoAWavFile) {
    if (!servertest::EnterPrivateNetworkWithMulticast()) GTEST_SKIP() << "no network namespace (needs root)";
    const auto packets = brdtone::EncodeTone(300, 9);
    ASSERT_EQ(packets.size(), 300u);
    char dir[] = "/tmp/paterm-server-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string wavFile = std::string(dir) + "/brd.wav";
    Udp terminal(kLoopback, 0);
    ASSERT_TRUE(terminal.ok());
    Tool tool({"--bind", "127.0.0.1", "--announce", "0", "--stream-port", "10000", "--brd-wav", wavFile});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.WaitLine("paterm-server on 127.0.0.1", 5000)) << tool.Output();

    // Bursts of ten about every 20 ms: faster than the terminal, no gap
    // unless this machine stalls (a stall may add silence, never audio).
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_TRUE(terminal.Send(kLoopback, 10000, packets[i]));
        if (i % 10 == 9) usleep(20000);
    }
    const auto line = tool.WaitLine("frames 300", 5000);
    ASSERT_TRUE(line) << tool.Output();
    EXPECT_NE(line->find("brdId 9"), std::string::npos) << *line;
    EXPECT_NE(line->find(", decoded to " + wavFile), std::string::npos) << *line;
    tool.Write("quit");
    EXPECT_EQ(tool.Finish(), 0) << tool.Output();

    const brdtone::Wav wav = brdtone::ReadWav(wavFile);
    ASSERT_TRUE(wav.ok);
    std::vector<size_t> audio;
    for (size_t f = 0; f < wav.Frames(); ++f) {
        if (!wav.SilentFrame(f)) audio.push_back(f);
    }
    ASSERT_EQ(audio.size(), 300u) << wav.Frames() << " frames";
    // The codec settles within a few frames (and after any gap's reset).
    brdtone::ExpectTone(wav, std::vector<size_t>(audio.begin() + 4, audio.end()), "received");
    std::remove(wavFile.c_str());
    rmdir(dir);
}

}  // namespace
