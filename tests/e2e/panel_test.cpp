// The serial panel of the real program on the simulated board, through the
// board's panel socket as an external panel program would use it: the
// hello at start, the acknowledgement of an announce (stuffed either way),
// line noise that must not be taken for frames, one panel at a time, and a
// line that works again after a reset.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "board/sim/unix_socket.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

using simtest::BoardRun;
using simtest::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr int kTestWatchdogS = 5;
const std::string kAck = "\x7E\x02\x01\x00\x7E";

// One end of the panel line: raw bytes both ways.
class PanelClient {
public:
    explicit PanelClient(const std::string& root)
        : fd_(sim::ConnectUnix(root + "/sim/panel.sock", SOCK_STREAM | SOCK_CLOEXEC)) {}
    bool connected() const { return fd_.Valid(); }
    bool Send(const std::string& bytes) {
        return ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until the line has carried `count` acknowledgements in all.
    bool WaitForAcks(size_t count, std::chrono::milliseconds deadline) {
        return WaitUntil([&] { return Drain() && Count(kAck) >= count; }, deadline);
    }
    // True once the board has closed this connection.
    bool ClosedByBoard(std::chrono::milliseconds deadline) {
        return WaitUntil([&] { return !Drain(); }, deadline);
    }
    size_t Count(const std::string& bytes) const {
        size_t n = 0;
        for (size_t at = received_.find(bytes); at != std::string::npos; at = received_.find(bytes, at + 1)) ++n;
        return n;
    }

private:
    // Takes what has arrived; false at end of stream.
    bool Drain() {
        char chunk[4096];
        for (;;) {
            pollfd p{fd_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return true;
            const ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            received_.append(chunk, static_cast<size_t>(n));
        }
    }

    sim::UniqueFd fd_;
    std::string received_;
};

sim::Json PanelStatus(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* panel = simtest::Member(status, "panel");
    return panel != nullptr && panel->is_object() ? *panel : sim::Json::object();
}

// The terminal's frames of one kind, as panel.frames lists them.
size_t TerminalFrames(BoardRun& run, const std::string& hex) {
    const sim::Json reply = run.Control(R"({"cmd":"panel.frames","from":0})");
    size_t n = 0;
    if (const sim::Json* frames = simtest::Member(reply, "frames"))
        for (const sim::Json& f : *frames) n += f.value("hex", std::string()) == hex;
    return n;
}

}  // namespace

TEST(PanelOnBoard, AnnouncesAreAnsweredNoiseIsDroppedAndTheLineSurvivesAReset) {
    static const bool privateNet = cgitest::EnterPrivateNetwork();
    (void)privateNet;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--watchdog-timeout", std::to_string(kTestWatchdogS)}));

    ASSERT_TRUE(WaitUntil([&] { return TerminalFrames(run, "02 00") == 1; }, 10s)) << run.Console();
    const sim::Json line = PanelStatus(run);
    EXPECT_EQ(line.value("baud", 0), 115200) << line.dump();
    EXPECT_TRUE(line.value("raw", false)) << line.dump();

    PanelClient panel(run.root());
    ASSERT_TRUE(panel.connected());
    ASSERT_TRUE(WaitUntil([&] { return PanelStatus(run).value("client", false); }, 5s));
    PanelClient second(run.root());
    EXPECT_TRUE(second.ClosedByBoard(5s)) << "a second panel must be refused";

    // Length byte 7E stuffed by the panel; 7D stuffed by the board.
    ASSERT_TRUE(panel.Send("\x7E\x7D\x3E\x80\x7E"));
    ASSERT_TRUE(panel.WaitForAcks(1, 5s));
    EXPECT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[125,128]})").value("ok", false));
    ASSERT_TRUE(panel.WaitForAcks(2, 5s));

    // 301 bytes without a flag, whose tail behind the 257th byte reads as
    // announces were it parsed; then one real announce and a marker behind it.
    std::string noise = "\x7E\x01";
    for (int i = 0; i < 150; ++i) noise += std::string("\x00\x80", 2);
    ASSERT_TRUE(panel.Send(noise + std::string("\x7E\x00\x80\x7E", 4)));
    ASSERT_TRUE(panel.WaitForAcks(3, 5s));
    ASSERT_TRUE(panel.Send(std::string("\x7E\x00\x80\x7E", 4)));
    ASSERT_TRUE(panel.WaitForAcks(4, 5s));
    // A fifth would be the noise's: the terminal answers within milliseconds.
    EXPECT_FALSE(panel.WaitForAcks(5, 1s));
    EXPECT_EQ(panel.Count(kAck), 4u);
    EXPECT_EQ(TerminalFrames(run, "02 01 00"), 4u);

    // A watchdog reset: a fresh line, the same panel still attached.
    ASSERT_TRUE(run.Control(R"({"cmd":"player.stall"})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return TerminalFrames(run, "02 00") == 2; }, std::chrono::seconds(4 * kTestWatchdogS)));
    EXPECT_EQ(run.Status().value("program_starts", 0), 2);
    ASSERT_TRUE(panel.Send(std::string("\x7E\x00\x80\x7E", 4)));
    EXPECT_TRUE(panel.WaitForAcks(5, 5s));

    const int exit = run.Stop();
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << "wait status " << exit;
}
