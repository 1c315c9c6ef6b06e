// The real program on the simulated board: a first power-on creates the
// settings files, the player manager feeds the watchdog about once a second,
// a stalled manager task lets the watchdog reset the board, and the board
// powers off cleanly on request. The board and the program run in the test's
// own network namespace where one can be made, so the terminal's ports are
// not bound on the host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

using simtest::BoardRun;
using simtest::WaitUntil;
using namespace std::chrono_literals;

namespace {

// A short watchdog, so that a reset shows within seconds.
constexpr int kTestWatchdogS = 5;

struct WatchdogReading {
    double feeds = 0;
    double lastFeedMs = -1;
};

WatchdogReading ReadWatchdog(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* watchdog = simtest::Member(status, "watchdog");
    if (watchdog == nullptr) return {};
    return {watchdog->value("feeds", 0.0), watchdog->value("last_feed_ms", -1.0)};
}

size_t WatchdogResets(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* resets = simtest::Member(status, "resets");
    size_t count = 0;
    if (resets != nullptr)
        for (const sim::Json& reset : *resets)
            if (reset.value("cause", std::string()) == "watchdog") ++count;
    return count;
}

// Where no namespace can be made the terminal's sockets are the host's; no
// test here sends to them.
void UseTerminal(BoardRun& run) {
    static const bool entered = cgitest::EnterPrivateNetwork();
    (void)entered;
    run.UseProgram(PATERM_EXE);
}

bool StartTerminal(BoardRun& run) {
    UseTerminal(run);
    return run.Start({"--watchdog-timeout", std::to_string(kTestWatchdogS)});
}

// "stop" powers the board off: paterm-sim ends with status 0.
void ExpectCleanPowerOff(BoardRun& run) {
    const int status = run.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

std::string Bytes(const std::string& text) {
    std::string hex;
    for (unsigned char c : text) hex += "0123456789ABCDEF"[c >> 4], hex += "0123456789ABCDEF"[c & 15], hex += ' ';
    return hex;
}

}  // namespace

TEST(TerminalOnBoard, FirstPowerOnCreatesSettingsAndFeedsTheWatchdog) {
    BoardRun run;
    ASSERT_TRUE(StartTerminal(run));

    ASSERT_TRUE(WaitUntil([&] { return simtest::ReadFile(run.At("/opt/lpc3250/sysExtOpts")).size() == 8; }, 10s));
    EXPECT_EQ(Bytes(simtest::ReadFile(run.At("/opt/lpc3250/sysExtOpts"))), "0A 00 00 00 00 00 00 00 ");
    EXPECT_EQ(Bytes(simtest::ReadFile(run.At("/opt/lpc3250/chncfg"))), "00 00 00 00 00 00 00 00 ");
    EXPECT_TRUE(run.WaitForConsole("device ID is PT00000001\r\nwatchdog is 1\r\n", 5s)) << run.Console();

    // Measured on the board's own clock: feeds per second between two readings.
    ASSERT_TRUE(WaitUntil([&] { return ReadWatchdog(run).feeds >= 2; }, 10s));
    const WatchdogReading first = ReadWatchdog(run);
    ASSERT_TRUE(WaitUntil([&] { return ReadWatchdog(run).feeds >= first.feeds + 4; }, 10s));
    const WatchdogReading second = ReadWatchdog(run);
    const double perSecond = (second.feeds - first.feeds) * 1000.0 / (second.lastFeedMs - first.lastFeedMs);
    EXPECT_NEAR(perSecond, 1.0, 0.2);

    EXPECT_EQ(run.CountLog("ioctl", "WDIOC_SETTIMEOUT 30"), 1u);
    EXPECT_EQ(run.CountLog("shell", "/bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/"), 1u);
    EXPECT_TRUE(simtest::Exists(run.At("/tmp/wget")));
    EXPECT_EQ(WatchdogResets(run), 0u);

    ExpectCleanPowerOff(run);
}

TEST(TerminalOnBoard, StalledManagerTaskIsResetByTheWatchdog) {
    BoardRun run;
    ASSERT_TRUE(StartTerminal(run));
    ASSERT_TRUE(WaitUntil([&] { return ReadWatchdog(run).feeds >= 2; }, 10s));

    EXPECT_TRUE(run.Control(R"({"cmd":"player.stall"})").value("ok", false));
    // Once the tick handler is held, no feed comes any more.
    ASSERT_TRUE(WaitUntil([&] {
        const sim::Json status = run.Status();
        const sim::Json* watchdog = simtest::Member(status, "watchdog");
        return watchdog != nullptr && watchdog->value("holding", false);
    }, 5s));
    const double lastFeedMs = ReadWatchdog(run).lastFeedMs;
    // The reset is recorded just before the program starts again.
    ASSERT_TRUE(WaitUntil([&] { return WatchdogResets(run) == 1 && run.Status().value("program_starts", 0.0) == 2; },
                          std::chrono::seconds(3 * kTestWatchdogS)));

    const sim::Json status = run.Status();
    const sim::Json* resets = simtest::Member(status, "resets");
    ASSERT_TRUE(resets != nullptr && !resets->empty());
    const double resetAfterMs = resets->back().value("ms", 0.0) - lastFeedMs;
    EXPECT_GE(resetAfterMs, kTestWatchdogS * 1000.0);
    EXPECT_LE(resetAfterMs, kTestWatchdogS * 1000.0 + 1500.0);

    // The program starts afresh after the reset and feeds again.
    EXPECT_TRUE(WaitUntil([&] { return ReadWatchdog(run).feeds >= 1; }, 10s));
    EXPECT_EQ(WatchdogResets(run), 1u);

    ExpectCleanPowerOff(run);
}

TEST(TerminalOnBoard, WithoutTheWatchdogFlagTheDeviceIsNeverOpened) {
    BoardRun run;
    UseTerminal(run);
    ASSERT_TRUE(run.Start({"--watchdog-flag", "0"}));
    ASSERT_TRUE(run.WaitForConsole("watchdog is 0\r\n", 10s)) << run.Console();
    ASSERT_TRUE(WaitUntil([&] { return run.CountLog("shell", "wget.tgz") == 1; }, 10s));
    EXPECT_EQ(run.CountLog("open", "/dev/watchdog"), 0u);
    EXPECT_EQ(ReadWatchdog(run).feeds, 0);
    ExpectCleanPowerOff(run);
}

TEST(TerminalOnBoard, StartUpLeavesEveryAudioProcessorMutedAndDeselected) {
    BoardRun run;
    ASSERT_TRUE(StartTerminal(run));
    auto chips = [&] { return run.Control(R"({"cmd":"audio.chips"})"); };
    // Channel 4's input byte is the last start-up step.
    ASSERT_TRUE(WaitUntil([&] { return chips()["chips"][3]["input"] == 0x40; }, 10s)) << chips().dump();
    const sim::Json reply = chips();
    EXPECT_EQ(reply["lines"], sim::Json::parse("[1,1,1,1,1]"));
    EXPECT_EQ(reply["bus_faults"], 0);
    for (int n = 0; n < 4; ++n) {
        const sim::Json& chip = reply["chips"][n];
        EXPECT_EQ(chip["left_muted"], true) << chip.dump();
        EXPECT_EQ(chip["right_muted"], true) << chip.dump();
        EXPECT_EQ(chip["input"], n == 3 ? 0x40 : 0x50) << chip.dump();
    }
    EXPECT_EQ(reply["chips"][2]["bass"], 5);
    EXPECT_EQ(reply["chips"][2]["treble"], 13);
    ExpectCleanPowerOff(run);
}
