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

    // A grant can still be lost on its way: one more is harmless (ignored while streaming).
    bool streaming = false;
    for (int attempt = 0; attempt < 3 && !streaming; ++attempt) {
        server.Command("grant 5");
        streaming = server.WaitFor("stream: ", 2, 4s);
    }
    ASSERT_TRUE(streaming) << server.Output() << run.Console();
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
