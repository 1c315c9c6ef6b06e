// The broadcast cycle end to end: the real program on the simulated board
// and the management server simulator in the test's own network namespace.
// The panel announces itself and is refreshed; the broadcast key asks the
// server, which grants; the terminal streams its sound card to the server;
// the key again ends the stream and closes the card.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/cgi/private_net.h"
#include "tests/e2e/server_process.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace std::chrono_literals;
using simtest::BoardRun;
using simtest::WaitUntil;
using e2etest::Count;
using e2etest::PanelFrames;
using e2etest::Server;

bool DspOpen(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* dsp = simtest::Member(status, "dsp");
    return dsp != nullptr && dsp->value("open", false);
}

const std::string kIdle = "status from 127.0.0.1 PT00000007: brdState 0 (idle)";
const std::string kRequested = "status from 127.0.0.1 PT00000007: brdState 1 (requested)";

TEST(CentralOnBoard, PanelKeyRequestsTheServerGrantsTheTerminalStreamsAndTheKeyStopsIt) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":1000})").value("ok", false));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());

    // The command port opens with the first watch: wait for its report. By
    // then the start-up restore has shown what it restores, if the port was open.
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 00") == 1; }, 5s)) << run.Console();
    const uint64_t mark = run.Control(R"({"cmd":"panel.frames","from":0})").value("next", uint64_t{0});

    // The announce is acknowledged and the panel refreshed: groups, broadcast, auto.
    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 01", mark) == 1; }, 5s)) << run.Console();
    // The receive task acknowledges after posting: the refresh may come first.
    EXPECT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 01 00", mark) == 1; }, 5s));
    EXPECT_EQ(PanelFrames(run, "04 05 05 00", mark), 1u);
    EXPECT_EQ(PanelFrames(run, "04 02 0E 01", mark), 1u);
    EXPECT_EQ(PanelFrames(run, "04 02 0A 01", mark), 1u) << "group 9 unselected";

    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[4,129,14,1]})").value("ok", false));
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 5s)) << server.Output();
    EXPECT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0E 03", mark) == 1; }, 5s));

    ASSERT_TRUE(GrantUntilStreaming(server, 5, 2)) << server.Output() << run.Console();
    const std::string during = server.Output();
    EXPECT_NE(during.find("packets/s, brdId 5, bad headers 0"), std::string::npos) << during;
    EXPECT_TRUE(DspOpen(run));

    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[4,129,14,1]})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0E 01", mark) == 2; }, 5s)) << run.Console();
    EXPECT_TRUE(WaitUntil([&] { return !DspOpen(run); }, 5s)) << "the stop closes the sound card";
    ASSERT_TRUE(server.WaitFor(kIdle, Count(during, kIdle) + 1, 5s)) << server.Output();
    // At most the window in flight is still counted; then silence.
    std::this_thread::sleep_for(1500ms);
    const size_t windows = Count(server.Output(), "stream: ");
    std::this_thread::sleep_for(2000ms);
    EXPECT_EQ(Count(server.Output(), "stream: "), windows) << server.Output();
    server.Close();
    EXPECT_EQ(server.Output().find("bad headers 1"), std::string::npos);
}

}  // namespace

namespace {

// The group list on the panel, filled by the server: the list key opens it
// (the status report asks for the names), the server's names arrive as a
// page of five with each group's selection, the page key shows the next
// five, the key again closes it, and a closed list ignores the page key.
TEST(CentralOnBoard, GroupListOpensFillsFromTheServerPagesAndCloses) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 01") >= 1; }, 5s)) << run.Console();
    const auto key = [&](int k) {
        return run.Control(R"({"cmd":"panel.send","payload":[4,129,)" + std::to_string(k) + ",1]}").value("ok", false);
    };

    ASSERT_TRUE(key(2));  // group 1
    ASSERT_TRUE(server.WaitFor("groups 0x0002 [1], brdId 0, request 0", 1, 5s)) << server.Output();
    ASSERT_TRUE(key(11));
    ASSERT_TRUE(server.WaitFor("groups 0x0002 [1], brdId 0, request 1", 1, 5s)) << server.Output();

    server.Command("groups Alpha Beta \xE4\xB8\xAD\xE6\x96\x87");
    // Names in GB2312 with their terminating zero; entries 4 and 5 are empty.
    const std::string page0 =
        "22 06 01 01 00 06 41 6C 70 68 61 00 02 01 05 42 65 74 61 00 03 00 05 D6 D0 CE C4 00 04 00 00 05 00 00";
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, page0) == 1; }, 5s)) << run.Console();
    ASSERT_TRUE(key(12));
    const std::string page1 = "12 06 01 06 00 00 07 00 00 08 00 00 09 00 00 0A 00 00";
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, page1) == 1; }, 5s)) << run.Console();
    ASSERT_TRUE(key(11));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "03 06 00") == 1; }, 5s)) << run.Console();
    ASSERT_TRUE(key(12));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(PanelFrames(run, page0) + PanelFrames(run, page1), 2u) << "a closed list ignores the page key";
    server.Close();
}

}  // namespace

namespace {

// Auto mode follows the audio-present input: line audio asks for a
// broadcast at once; its loss ends the broadcast only after the configured
// delay (10 s by default), so short pauses in a programme do not cut it.
TEST(CentralOnBoard, AutoModeFollowsTheAudioInputAndEndsOnlyAfterItsDelay) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":440})").value("ok", false));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    server.Command("mode auto");

    ASSERT_TRUE(run.Control(R"({"cmd":"gpio.input","value":1})").value("ok", false));
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 10s)) << server.Output() << run.Console();
    ASSERT_TRUE(GrantUntilStreaming(server, 6, 1)) << server.Output();

    const size_t idle = Count(server.Output(), kIdle);
    const auto lost = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Control(R"({"cmd":"gpio.input","value":0})").value("ok", false));
    ASSERT_TRUE(server.WaitFor(kIdle, idle + 1, 25s)) << server.Output() << run.Console();
    EXPECT_GE(std::chrono::steady_clock::now() - lost, 9s) << "the broadcast outlives short silences";
    EXPECT_TRUE(run.WaitForConsole("rcv eSVC_MSG_TYPE_AUTO_LOST", 5s)) << run.Console();
    server.Close();
}

}  // namespace

namespace {

// A server learned from announcements grants a broadcast and then goes
// away: the terminal declares it lost, adopts the next server that
// announces itself, and the stream resumes to that server without a new
// start.
TEST(CentralOnBoard, TheStreamFollowsToTheNextAnnouncedServerWhenItsServerIsLost) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--device-id", "PT00000007"}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":440})").value("ok", false));
    Server first(run.root(), "PT00000007", "--announce 1 --bind 127.0.0.5", "first");
    ASSERT_TRUE(first.running());
    ASSERT_TRUE(first.WaitFor(kIdle, 1, 15s)) << first.Output() << run.Console();

    first.Command("mode on");
    ASSERT_TRUE(first.WaitFor(kRequested, 1, 5s)) << first.Output();
    ASSERT_TRUE(GrantUntilStreaming(first, 9, 1)) << first.Output();

    Server second(run.root(), "PT00000007", "--announce 1 --bind 127.0.0.6", "second");
    ASSERT_TRUE(second.running());
    first.Close();
    // Lost at the fifth watch without an announcement (about 25 s), then adopted.
    ASSERT_TRUE(second.WaitFor("stream: ", 1, 45s)) << second.Output() << run.Console();
    EXPECT_NE(second.Output().find("brdId 9"), std::string::npos) << second.Output();
    EXPECT_EQ(Count(run.Console(), "start broadcast on:"), 1u) << run.Console();
    second.Close();
}

}  // namespace
