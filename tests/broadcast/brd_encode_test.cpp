// The broadcast encoder end to end on an in-process board: the stream's
// datagrams, where they go, the start/stop hand-shake with the sound card,
// the server address changing under a running stream, and set-up failures
// that are retried with a back-off and reported once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "broadcast/brd_encode.h"
#include "net/net.h"
#include "player/player_state.h"
#include "runtime/vos.h"
#include "tests/broadcast/card_on_board.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kStreamPort = 10000;
long MsSince(Clock::time_point from) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count());
}

constexpr uint16_t kOtherPort = 10002;
constexpr uint32_t kLocalServer = 0x7F000001;  // 127.0.0.1, where the server listens
constexpr const char* kGrantedText = "127.0.0.2";  // the start command's address

// A UDP socket bound to address:port of the test's namespace.
class Listener {
public:
    Listener(uint32_t hostAddress, uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(hostAddress);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Listener() { close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool bound() const { return bound_; }

    bool Receive(Bytes* out, int timeoutMs) const {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        out->assign(2048, 0);
        const ssize_t got = recv(fd_, out->data(), out->size(), MSG_DONTWAIT);
        if (got < 0) return false;
        out->resize(static_cast<size_t>(got));
        return true;
    }
    // Datagrams that arrive within ms (what is queued now included).
    int CountFor(int ms) const {
        int count = 0;
        Bytes ignored;
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until && count < 10000)
            if (Receive(&ignored, 10)) ++count;
        return count;
    }
    void Drain() const {
        Bytes ignored;
        for (int i = 0; i < 10000 && Receive(&ignored, 0); ++i) {
        }
    }

private:
    int fd_;
    bool bound_ = false;
};

// Standard output into a file, read back whole. GoogleTest reports
// failures there too: they are copied to standard error at the end.
class CapturedOutput {
public:
    explicit CapturedOutput(const std::string& path) : path_(path) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(file, STDOUT_FILENO);
        close(file);
    }
    ~CapturedOutput() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        if (::testing::Test::HasFailure()) std::cerr << std::ifstream(path_).rdbuf();
    }
    size_t Count(const std::string& text) const {
        fflush(stdout);
        std::ifstream in(path_);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

private:
    std::string path_;
    int saved_ = -1;
};

class BrdEncode : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace (needs root)";
        ASSERT_TRUE(board.ready());
        VosStart();
        PlayerStateClear();
        ASSERT_EQ(BrdEncodeTaskStart(), 0);
    }
    void TearDown() override { BrdEncodeStop(); }

    uint64_t Dsp(const char* member) { return board.DspStatus()[member].get<uint64_t>(); }

    brdtest::CardOnBoard board;
};

TEST_F(BrdEncode, StreamsWholeFramesToTheServerAndStopsWithTheCardClosed) {
    Listener server(kLocalServer, kStreamPort), granted(0x7F000002, kStreamPort), other(kLocalServer, kOtherPort);
    ASSERT_TRUE(server.bound() && granted.bound() && other.bound());
    ASSERT_EQ(board.Control({{"cmd", "dsp.source"}, {"tone", 1000}, {"amplitude", 8000}})["ok"], true);
    SetBrdId(0x0107);
    gServerIp.store(htonl(kLocalServer));

    BrdEncodeStart(kGrantedText, kStreamPort);
    const Bytes head = {0x0A, 0x09, 0x06, 0x02, 0x01, 0x00, 0xAB, 0x00, 0, 0, 0, 0, 0x07, 0x01, 0, 0};
    Bytes packet;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(server.Receive(&packet, 2000)) << "datagram " << i;
        ASSERT_EQ(packet.size(), 187u);
        ASSERT_EQ(Bytes(packet.begin(), packet.begin() + 16), head) << "datagram " << i;
    }

    // A second grant while streaming changes neither port nor anything else.
    BrdEncodeStart("10.1.2.3", kOtherPort);
    EXPECT_GT(server.CountFor(200), 10);
    EXPECT_EQ(other.CountFor(0), 0);
    EXPECT_EQ(granted.CountFor(0), 0);  // the server's address, never the granted text

    // The server is lost: frames are still captured and encoded, none sent...
    gServerIp.store(0);
    std::this_thread::sleep_for(30ms);
    server.Drain();
    const uint64_t capturedBefore = Dsp("bytes_read");
    EXPECT_EQ(server.CountFor(200), 0);
    EXPECT_GE(Dsp("bytes_read"), capturedBefore + 10 * kBrdPcmBytes);
    // ... and found again: the stream resumes without a new start.
    gServerIp.store(htonl(kLocalServer));
    ASSERT_TRUE(server.Receive(&packet, 1000));
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 16), head);

    EXPECT_EQ(board.DspStatus()["open"], true);
    BrdEncodeStop();
    EXPECT_EQ(board.DspStatus()["open"], false);
    EXPECT_EQ(Dsp("opens"), 1u);
    server.Drain();
    EXPECT_EQ(server.CountFor(100), 0);
}

TEST_F(BrdEncode, SetUpFailuresBackOffReportOncePerStreakAndEndPromptly) {
    Listener server(kLocalServer, kStreamPort);
    ASSERT_TRUE(server.bound());
    CapturedOutput out(std::string(std::getenv("PATERM_ROOT")) + "/sim/stdout.txt");
    gServerIp.store(htonl(kLocalServer));
    ASSERT_EQ(board.Control({{"cmd", "dsp.fault"}, {"errno", EIO}})["ok"], true);

    // A card that will not open: retried, but not every millisecond.
    BrdEncodeStart(kGrantedText, kStreamPort);
    std::this_thread::sleep_for(700ms);
    const uint64_t tries = Dsp("failed_opens");
    EXPECT_GE(tries, 3u);
    EXPECT_LE(tries, 16u);
    std::this_thread::sleep_for(600ms);  // the back-off is now past half a second
    EXPECT_EQ(out.Count("Error:  open sound card failed!  -1 \n"), 1u);
    EXPECT_EQ(out.Count("Error:  got some error\n"), 1u);

    // Stop and a new start: the new broadcast does not sit out the old back-off
    // (by now a wait of a whole second). The bounds leave room for a loaded
    // machine and a sanitizer build.
    const Clock::time_point stop = Clock::now();
    BrdEncodeStop();
    EXPECT_LT(MsSince(stop), 800);
    ASSERT_EQ(board.Control({{"cmd", "dsp.fault"}, {"errno", 0}})["ok"], true);
    const Clock::time_point start = Clock::now();
    BrdEncodeStart(kGrantedText, kStreamPort);
    Bytes packet;
    ASSERT_TRUE(server.Receive(&packet, 2000));
    EXPECT_LT(MsSince(start), 800);
    BrdEncodeStop();

    // A fault within a broadcast is a new streak, reported once more, and
    // streaming starts by itself once the card opens again.
    ASSERT_EQ(board.Control({{"cmd", "dsp.fault"}, {"errno", EBUSY}})["ok"], true);
    BrdEncodeStart(kGrantedText, kStreamPort);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(board.Control({{"cmd", "dsp.fault"}, {"errno", 0}})["ok"], true);
    server.Drain();
    EXPECT_TRUE(server.Receive(&packet, 2000));
    EXPECT_EQ(out.Count("Error:  open sound card failed!  -1 \n"), 2u);
    EXPECT_EQ(out.Count("Error:  got some error\n"), 2u);
}

TEST(BrdCapture, ShortReadsAreCompletedAndTheEndIsAFailure) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    Bytes sent(kBrdPcmBytes);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
    std::thread writer([&] {
        const size_t pieces[] = {700, 5, kBrdPcmBytes - 705, 100};
        size_t at = 0;
        for (size_t n : pieces) {
            std::this_thread::sleep_for(15ms);
            (void)!write(pipeFds[1], sent.data() + at % kBrdPcmBytes, n);
            at += n;
        }
        close(pipeFds[1]);
    });
    const std::atomic<int> running{1};
    Bytes got(kBrdPcmBytes);
    EXPECT_EQ(BrdCaptureRead(pipeFds[0], got.data(), got.size(), &running), static_cast<ssize_t>(kBrdPcmBytes));
    EXPECT_EQ(got, sent);
    // 100 bytes, then the end: no frame is made of them.
    EXPECT_EQ(BrdCaptureRead(pipeFds[0], got.data(), got.size(), &running), -1);
    writer.join();
    close(pipeFds[0]);
}

}  // namespace
