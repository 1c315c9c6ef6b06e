// The serial panel of the real program on the simulated board, through the
// board's panel socket as an external panel program would use it: the
// hello at start, the acknowledgement of an announce (stuffed either way),
// line noise that must not be taken for frames, one panel at a time, and a
// line that works again after a reset.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/cgi/private_net.h"
#include "tests/e2e/panel_client.h"
#include "tests/sim/sim_harness.h"

using e2etest::PanelClient;
using e2etest::PanelFrames;
using simtest::BoardRun;
using simtest::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr int kTestWatchdogS = 5;
const std::string kAck = "\x7E\x02\x01\x00\x7E";

sim::Json PanelStatus(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* panel = simtest::Member(status, "panel");
    return panel != nullptr && panel->is_object() ? *panel : sim::Json::object();
}

}  // namespace

TEST(PanelOnBoard, AnnouncesAreAnsweredNoiseIsDroppedAndTheLineSurvivesAReset) {
    static const bool privateNet = cgitest::EnterPrivateNetwork();
    (void)privateNet;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--watchdog-timeout", std::to_string(kTestWatchdogS)}));

    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 00") == 1; }, 10s)) << run.Console();
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
    ASSERT_TRUE(panel.WaitForCount(kAck, 1, 5s));
    EXPECT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[125,128]})").value("ok", false));
    ASSERT_TRUE(panel.WaitForCount(kAck, 2, 5s));

    // 301 bytes without a flag, whose tail behind the 257th byte reads as
    // announces were it parsed; then one real announce and a marker behind it.
    std::string noise = "\x7E\x01";
    for (int i = 0; i < 150; ++i) noise += std::string("\x00\x80", 2);
    ASSERT_TRUE(panel.Send(noise + std::string("\x7E\x00\x80\x7E", 4)));
    ASSERT_TRUE(panel.WaitForCount(kAck, 3, 5s));
    ASSERT_TRUE(panel.Send(std::string("\x7E\x00\x80\x7E", 4)));
    ASSERT_TRUE(panel.WaitForCount(kAck, 4, 5s));
    // A fifth would be the noise's: the terminal answers within milliseconds.
    EXPECT_FALSE(panel.WaitForCount(kAck, 5, 1s));
    EXPECT_EQ(panel.Count(kAck), 4u);
    EXPECT_EQ(PanelFrames(run, "02 01 00"), 4u);

    // A watchdog reset: a fresh line, the same panel still attached.
    ASSERT_TRUE(run.Control(R"({"cmd":"player.stall"})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 00") == 2; }, std::chrono::seconds(4 * kTestWatchdogS)));
    EXPECT_EQ(run.Status().value("program_starts", 0), 2);
    ASSERT_TRUE(panel.Send(std::string("\x7E\x00\x80\x7E", 4)));
    EXPECT_TRUE(panel.WaitForCount(kAck, 5, 5s));

    const int exit = run.Stop();
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << "wait status " << exit;
}
