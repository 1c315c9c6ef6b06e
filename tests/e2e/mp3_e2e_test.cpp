// MP3 playback end to end: the real program on the simulated board with a
// card in its slot and the management server simulator in the test's own
// network namespace. In auto mode the play key plays the card's first file
// to the decoder chip and asks the server for a broadcast; the file's end
// stops both. The remote's file key plays the second file through the
// control driver's interrupt, its pause key holds and releases it, and the
// card pulled during it stops it at once. The watchdog is fed throughout.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "tests/cgi/private_net.h"
#include "tests/e2e/server_process.h"
#include "tests/sim/sim_harness.h"
#include "tests/support/mp3_fixture.h"

namespace {

using namespace std::chrono_literals;
using e2etest::Count;
using e2etest::Server;
using simtest::BoardRun;
using simtest::WaitUntil;

const std::string kIdle = "status from 127.0.0.1 PT00000007: brdState 0 (idle)";
const std::string kRequested = "status from 127.0.0.1 PT00000007: brdState 1 (requested)";

constexpr int kShortFrames = 115;   // about 3 s: shorter than the player's read-ahead
constexpr int kLongFrames = 1150;  // about 30 s
// The driver pads each stream with 1024 zero bytes before and after.
constexpr int64_t kShortBytes = int64_t{kShortFrames} * testsupport::kSilentFrameBytes + 2048;

int64_t DecoderBytes(BoardRun& run) {
    return run.Control(R"({"cmd":"decoder.stats"})").value("bytes_received", int64_t{-1});
}

int64_t WatchdogFeeds(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* watchdog = simtest::Member(status, "watchdog");
    return watchdog == nullptr ? -1 : watchdog->value("feeds", int64_t{-1});
}

size_t Resets(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* resets = simtest::Member(status, "resets");
    return resets == nullptr ? 0 : resets->size();
}

// Any panel frame whose bytes contain hex (e.g. a text).
bool PanelShowed(BoardRun& run, const std::string& hex) {
    const sim::Json reply = run.Control(R"({"cmd":"panel.frames","from":0})");
    if (const sim::Json* frames = simtest::Member(reply, "frames"))
        for (const sim::Json& f : *frames)
            if (f.value("hex", std::string()).find(hex) != std::string::npos) return true;
    return false;
}

bool PressKey(BoardRun& run, int key) {
    return run.Control(R"({"cmd":"panel.send","payload":[4,129,)" + std::to_string(key) + ",1]}").value("ok", false);
}

bool RfKey(BoardRun& run, int code) {
    return run.Control(R"({"cmd":"rf.key","code":)" + std::to_string(code) + "}").value("ok", false);
}

constexpr int kPlayStopKey = 15;
constexpr int kRfPauseKey = 11;

TEST(Mp3OnBoard, AutoModePlaysAFileToItsEndWithABroadcastAndAPulledCardStopsTheNext) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_EQ(::mkdir(run.At("/mmc").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(run.At("/mmc/01Tones").c_str(), 0755), 0);
    testsupport::WriteSilentMp3(run.At("/mmc/01Tones/01short.mp3"), kShortFrames);
    testsupport::WriteSilentMp3(run.At("/mmc/01Tones/02long.mp3"), kLongFrames);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    const int64_t feedsAtStart = WatchdogFeeds(run);

    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false));
    server.Command("mode auto");
    ASSERT_TRUE(WaitUntil([&] { return e2etest::PanelFrames(run, "04 02 0D 02") >= 1; }, 5s)) << run.Console();

    // The first file plays whole, in auto mode with a broadcast request.
    ASSERT_TRUE(PressKey(run, kPlayStopKey));
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 5s)) << server.Output() << run.Console();
    const size_t idleBeforeEnd = Count(server.Output(), kIdle);
    ASSERT_TRUE(server.WaitFor(kIdle, idleBeforeEnd + 1, 15s)) << "the file's end ends the broadcast\n"
                                                               << run.Console();
    // The chip's count trails the close by the bytes still clocking out.
    EXPECT_TRUE(WaitUntil([&] { return DecoderBytes(run) >= kShortBytes; }, 3s));
    EXPECT_EQ(DecoderBytes(run), kShortBytes) << "every byte of the file once, nothing more\n"
                                              << run.Control(R"({"cmd":"decoder.stats"})").dump();

    // The remote's file key 2 plays the second file; key 11 pauses and resumes it.
    ASSERT_TRUE(RfKey(run, 2));
    ASSERT_TRUE(server.WaitFor(kRequested, 2, 5s)) << server.Output() << run.Console();
    ASSERT_TRUE(WaitUntil([&] { return DecoderBytes(run) > kShortBytes + 100000; }, 10s)) << run.Console();
    ASSERT_TRUE(RfKey(run, kRfPauseKey));
    ASSERT_TRUE(run.WaitForConsole("pause mp3 player", 5s)) << run.Console();
    // The block in flight lands (the driver paces it to the chip); then nothing more.
    int64_t paused = DecoderBytes(run);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::this_thread::sleep_for(600ms);
            const int64_t now = DecoderBytes(run);
            return std::exchange(paused, now) == now;
        },
        10s));
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(DecoderBytes(run), paused) << "nothing is written while paused";
    ASSERT_TRUE(RfKey(run, kRfPauseKey));
    ASSERT_TRUE(WaitUntil([&] { return DecoderBytes(run) > paused; }, 5s)) << "resumed\n" << run.Console();

    // The card pulled while the file plays.
    const size_t idleBeforePull = Count(server.Output(), kIdle);
    ASSERT_TRUE(run.Control(R"({"cmd":"card.remove"})").value("ok", false));
    ASSERT_TRUE(server.WaitFor(kIdle, idleBeforePull + 1, 5s)) << server.Output() << run.Console();
    const int64_t afterStop = DecoderBytes(run);
    EXPECT_LT(afterStop, kShortBytes + int64_t{kLongFrames} * testsupport::kSilentFrameBytes);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(DecoderBytes(run), afterStop) << "nothing is written after the stop";
    EXPECT_TRUE(PanelShowed(run, "4E 6F 20 4D 50 33 20 44 69 72")) << "No MP3 Dir";

    EXPECT_GT(WatchdogFeeds(run), feedsAtStart);
    EXPECT_EQ(Resets(run), 0u) << run.Console();
    server.Close();
}

}  // namespace
