// Device faults end to end: the real program on the simulated board, with
// the management server simulator in the test's own network namespace,
// through the faults an unattended terminal meets in its years behind the
// watchdog: a decoder chip whose DREQ line sticks low, a sound card absent
// at power-on that appears later, a stalled watchdog writer, and a wall
// clock jumping by hours. Each checks that nothing was lost: the settings,
// the service, the watchdog's feeding and the board's reset count.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/cgi/private_net.h"
#include "tests/e2e/server_process.h"
#include "tests/sim/sim_harness.h"
#include "tests/support/mp3_fixture.h"

namespace {

using namespace std::chrono_literals;
using e2etest::Count;
using e2etest::PanelFrames;
using e2etest::Server;
using simtest::BoardRun;
using simtest::WaitUntil;

const std::string kIdle = "status from 127.0.0.1 PT00000007: brdState 0 (idle)";
const std::string kRequested = "status from 127.0.0.1 PT00000007: brdState 1 (requested)";
const std::string kServerOffline = "04 05 06 00";  // the panel's server switch off

int64_t WatchdogMember(BoardRun& run, const char* name) {
    const sim::Json status = run.Status();
    const sim::Json* watchdog = simtest::Member(status, "watchdog");
    return watchdog == nullptr ? -1 : watchdog->value(name, int64_t{-1});
}

// The watchdog was fed within the last few seconds (it is fed once a second).
bool FedLately(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* watchdog = simtest::Member(status, "watchdog");
    if (watchdog == nullptr) return false;
    const int64_t last = watchdog->value("last_feed_ms", int64_t{-1});
    return last >= 0 && status.value("uptime_ms", int64_t{0}) - last < 4000;
}

std::vector<std::string> ResetCauses(BoardRun& run) {
    std::vector<std::string> causes;
    const sim::Json status = run.Status();
    if (const sim::Json* resets = simtest::Member(status, "resets"))
        for (const sim::Json& r : *resets) causes.push_back(r.value("cause", std::string()));
    return causes;
}

int64_t DecoderBytes(BoardRun& run) {
    return run.Control(R"({"cmd":"decoder.stats"})").value("bytes_received", int64_t{-1});
}

int64_t DspMember(BoardRun& run, const char* name) {
    const sim::Json status = run.Status();
    const sim::Json* dsp = simtest::Member(status, "dsp");
    if (dsp == nullptr) return -1;
    const sim::Json& v = (*dsp)[name];
    return v.is_boolean() ? int64_t{v.get<bool>()} : v.is_number_integer() ? v.get<int64_t>() : -1;
}

bool PanelKey(BoardRun& run, int key) {
    return run.Control(R"({"cmd":"panel.send","payload":[4,129,)" + std::to_string(key) + ",1]}").value("ok", false);
}

bool RfKey(BoardRun& run, int code) {
    return run.Control(R"({"cmd":"rf.key","code":)" + std::to_string(code) + "}").value("ok", false);
}

// The packets/s of each stream window the server printed from `from` on.
std::vector<int> StreamRates(const std::string& output, size_t from = 0) {
    std::vector<int> rates;
    static const std::regex window("stream: ([0-9]+) packets/s");
    for (auto it = std::sregex_iterator(output.begin() + static_cast<std::ptrdiff_t>(from), output.end(), window);
         it != std::sregex_iterator(); ++it)
        rates.push_back(std::stoi((*it)[1]));
    return rates;
}

// 48000 Hz in frames of 512 samples: 93.75 packets a second.
constexpr int kStreamRate = 94;
constexpr int kLongFrames = 1150;  // about 30 s of MP3
constexpr int kPlayStopKey = 15;
constexpr int kGroup1Key = 2;
constexpr int kRfStopKey = 12;

// The decoder's DREQ held low mid-play, as a dead chip holds it. The driver
// resets the chip at each 100 ms of low DREQ and gives the write up after
// five resets, so the play ends by itself within seconds; meanwhile the
// central control still takes panel and RF keys and server commands, and
// keeps feeding the watchdog. A play asked for while the chip is dead fails
// at the device's open. Once DREQ is released the next play reaches the chip.
TEST(DeviceFaults, AStuckDecoderEndsThePlayWithoutHoldingTheTerminalAndTheNextPlayWorks) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_EQ(::mkdir(run.At("/mmc").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(run.At("/mmc/01Tones").c_str(), 0755), 0);
    testsupport::WriteSilentMp3(run.At("/mmc/01Tones/01long.mp3"), kLongFrames);
    testsupport::WriteSilentMp3(run.At("/mmc/01Tones/02long.mp3"), kLongFrames);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false));
    server.Command("mode auto");
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 02") >= 1; }, 5s)) << run.Console();

    ASSERT_TRUE(PanelKey(run, kPlayStopKey));
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 5s)) << server.Output() << run.Console();
    ASSERT_TRUE(WaitUntil([&] { return DecoderBytes(run) > 50000; }, 10s)) << run.Console();

    // DREQ sticks: the write in flight gives up, the play ends, and so does
    // the broadcast auto mode asked for with it.
    const size_t idleBefore = Count(server.Output(), kIdle);
    const auto stuck = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Control(R"({"cmd":"decoder.dreq_fault","on":true})").value("ok", false));
    ASSERT_TRUE(run.WaitForConsole("write mp3 data error!", 10s)) << run.Console();
    ASSERT_TRUE(server.WaitFor(kIdle, idleBefore + 1, 10s)) << server.Output() << run.Console();
    EXPECT_LT(std::chrono::steady_clock::now() - stuck, 8s);
    const int64_t afterStop = DecoderBytes(run);

    // While the chip stays dead: a panel key, a server command and an RF key
    // are all answered; the RF key's play fails at the open and ends.
    const int64_t feeds = WatchdogMember(run, "feeds");
    ASSERT_TRUE(PanelKey(run, kGroup1Key));
    // The group shows in the next status report, at the 5 s server watch.
    EXPECT_TRUE(server.WaitFor("groups 0x0002 [1]", 1, 15s)) << "panel key answered\n" << server.Output();
    server.Command("version");
    EXPECT_TRUE(server.WaitFor("version from 127.0.0.1 PT00000007", 1, 5s)) << server.Output();
    const size_t autoOff = PanelFrames(run, "04 02 0D 01");
    server.Command("mode off");
    EXPECT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 01") > autoOff; }, 5s)) << "server command answered";
    ASSERT_TRUE(RfKey(run, 2));
    EXPECT_TRUE(run.WaitForConsole("open vs10xx failed", 10s)) << run.Console();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(DecoderBytes(run), afterStop) << "nothing reaches a dead chip";
    EXPECT_TRUE(FedLately(run));
    EXPECT_GE(WatchdogMember(run, "feeds"), feeds + 2) << "fed throughout";

    // Released: the next play reaches the chip and stops on the key.
    ASSERT_TRUE(run.Control(R"({"cmd":"decoder.dreq_fault","on":false})").value("ok", false));
    ASSERT_TRUE(RfKey(run, 2));
    ASSERT_TRUE(WaitUntil([&] { return DecoderBytes(run) > afterStop + 50000; }, 10s))
        << run.Console() << run.Control(R"({"cmd":"decoder.stats"})").dump();
    ASSERT_TRUE(RfKey(run, kRfStopKey));
    EXPECT_TRUE(WaitUntil(
        [&] {
            const int64_t before = DecoderBytes(run);
            std::this_thread::sleep_for(700ms);
            return DecoderBytes(run) == before;
        },
        10s))
        << "the stop key still stops it";
    const sim::Json stats = run.Control(R"({"cmd":"decoder.stats"})");
    EXPECT_EQ(stats.value("overrun_bytes", int64_t{-1}), 0) << stats.dump();
    EXPECT_EQ(run.Control(R"({"cmd":"kernel.log"})").value("bugs", int64_t{-1}), 0);
    EXPECT_TRUE(ResetCauses(run).empty()) << run.Console();
    server.Close();
}

// The sound card missing when the terminal powers on (its open fails with
// ENODEV) and appearing later. A broadcast granted meanwhile keeps its
// grant: the terminal tries the card again about once a second, reports the
// failure once, and starts streaming when the card appears, without a new
// grant or a new start.
TEST(DeviceFaults, ABroadcastGrantedWhileTheSoundCardIsAbsentStreamsOnceItAppears) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.fault","errno":19})").value("ok", false));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":1000})").value("ok", false));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();

    server.Command("mode on");
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 5s)) << server.Output();
    bool tried = false;
    for (int attempt = 0; attempt < 3 && !tried; ++attempt) {
        server.Command("grant 5");
        tried = run.WaitForConsole("open sound card failed!", 4s);
    }
    ASSERT_TRUE(tried) << server.Output() << run.Console();
    // The retries back off from 1 ms to their 1 s ceiling within the first
    // second; from then on about one a second.
    std::this_thread::sleep_for(2s);
    const int64_t failedBefore = DspMember(run, "failed_opens");
    std::this_thread::sleep_for(4s);
    const int64_t failed = DspMember(run, "failed_opens") - failedBefore;
    EXPECT_GE(failed, 2) << "the card is tried again";
    EXPECT_LE(failed, 6) << "about once a second, not in a busy loop";
    EXPECT_EQ(Count(run.Console(), "open sound card failed!"), 1u) << "reported once\n" << run.Console();
    EXPECT_EQ(Count(server.Output(), "stream: "), 0u) << server.Output();
    EXPECT_TRUE(FedLately(run));

    // The card appears: the standing grant streams.
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.fault","errno":0})").value("ok", false));
    ASSERT_TRUE(server.WaitFor("stream: ", 2, 10s)) << server.Output() << run.Console();
    EXPECT_NE(server.Output().find("packets/s, brdId 5, bad headers 0"), std::string::npos) << server.Output();
    EXPECT_EQ(DspMember(run, "open"), 1);
    EXPECT_EQ(Count(run.Console(), "start broadcast on:"), 1u) << "the same broadcast\n" << run.Console();

    // And it stops as any broadcast does.
    server.Command("mode off");
    EXPECT_TRUE(WaitUntil([&] { return DspMember(run, "open") == 0; }, 10s)) << run.Console();
    EXPECT_TRUE(ResetCauses(run).empty()) << run.Console();
    server.Close();
}

// The task that feeds the watchdog stalls in its tick. Nothing feeds it
// then, so the board resets after its timeout (5 s here) and not before;
// the program starts again, its settings files are byte for byte what they
// were (the group chosen before the stall included), and it reports to the
// server again.
TEST(DeviceFaults, AStalledWatchdogWriterResetsTheBoardAndTheTerminalComesBackWithItsSettings) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007", "--watchdog-timeout", "5"}));
    Server server(run.root(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 10s)) << server.Output();
    ASSERT_TRUE(run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 01") >= 1; }, 5s)) << run.Console();

    // A setting changed before the stall: group 1 chosen on the panel.
    ASSERT_TRUE(PanelKey(run, kGroup1Key));
    ASSERT_TRUE(server.WaitFor("groups 0x0002 [1]", 1, 15s)) << "at the next 5 s watch\n" << server.Output();
    const std::string chncfg = run.At("/opt/lpc3250/chncfg");
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string bytes = simtest::ReadFile(chncfg);
            return bytes.size() == 8 && bytes[4] == 0x02 && bytes[5] == 0x00;
        },
        5s));
    const std::vector<std::string> files = {"/opt/lpc3250/chncfg", "/opt/lpc3250/sysExtOpts", "/dev/i2c-eeprom0"};
    std::vector<std::string> before;
    for (const std::string& f : files) before.push_back(simtest::ReadFile(run.At(f)));
    ASSERT_EQ(before[0].size(), 8u);
    ASSERT_FALSE(before[2].empty());

    ASSERT_TRUE(WaitUntil([&] { return FedLately(run); }, 5s));
    const size_t reportsBefore = Count(server.Output(), "groups 0x0002 [1]");
    const auto stalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Control(R"({"cmd":"player.stall"})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return ResetCauses(run).size() == 1; }, 30s)) << run.Console();
    const auto reset = std::chrono::steady_clock::now() - stalled;
    EXPECT_EQ(ResetCauses(run), std::vector<std::string>{"watchdog"});
    EXPECT_GE(reset, 4s) << "not before the timeout (counted from the last feed)";
    EXPECT_LE(reset, 20s);

    // Back: started again, fed again, reporting again with its group.
    ASSERT_TRUE(WaitUntil([&] { return run.Status().value("program_starts", 0) == 2; }, 10s));
    ASSERT_TRUE(server.WaitFor("groups 0x0002 [1]", reportsBefore + 1, 20s)) << server.Output() << run.Console();
    EXPECT_TRUE(WaitUntil([&] { return WatchdogMember(run, "feeds") >= 2; }, 10s));
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(simtest::ReadFile(run.At(files[i])), before[i]) << files[i] << " changed across the reset";
    EXPECT_EQ(ResetCauses(run).size(), 1u) << run.Console();
    server.Close();
}

// The wall clock jumps back three hours, then forward six, while a
// broadcast streams to a server learned from its announcements. Timers and
// the stream run on the monotonic clock, so the stream keeps its rate, the
// watch never declares the server lost and nothing restarts; the server's
// next announcement puts the clock right.
TEST(DeviceFaults, WallClockJumpsOfHoursLeaveTheStreamTheServerWatchAndTheTimersAlone) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--device-id", "PT00000007"}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":440})").value("ok", false));
    Server server(run.root(), "PT00000007", "--announce 1 --bind 127.0.0.5", "server");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 15s)) << server.Output() << run.Console();
    server.Command("mode on");
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 5s)) << server.Output();
    ASSERT_TRUE(GrantUntilStreaming(server, 9, 2)) << server.Output() << run.Console();
    ASSERT_TRUE(server.WaitFor("stream: ", 3, 5s)) << server.Output();
    const size_t mark = server.Output().size();
    const uint64_t panelMark = run.Control(R"({"cmd":"panel.frames","from":0})").value("next", uint64_t{0});

    const auto hostNow = [] { return static_cast<int64_t>(std::time(nullptr)); };
    const auto systemS = [&] {
        const sim::Json status = run.Status();
        const sim::Json* clock = simtest::Member(status, "clock");
        return clock == nullptr ? int64_t{0} : clock->value("system_s", int64_t{0});
    };
    const sim::Json back = run.Control(R"({"cmd":"clock.jump","seconds":-10800})");
    ASSERT_TRUE(back.value("ok", false)) << back.dump();
    EXPECT_LT(systemS(), hostNow() - 10000);
    // The next announcement (every second) sets the clock right again.
    EXPECT_TRUE(WaitUntil([&] { return std::llabs(systemS() - hostNow()) <= 3; }, 10s)) << run.Console();
    ASSERT_TRUE(run.Control(R"({"cmd":"clock.jump","seconds":21600})").value("ok", false));
    EXPECT_TRUE(WaitUntil([&] { return std::llabs(systemS() - hostNow()) <= 3; }, 10s)) << run.Console();

    // Several stream windows and server watches after the jumps.
    std::this_thread::sleep_for(8s);
    const std::string output = server.Output();
    // A stream paced by the wall clock would fall silent for three hours
    // after the jump back and rush to catch up six after the jump forward.
    // Paced by the card it keeps on: every window carries packets, none a
    // catch-up burst, and on average near its rate (a loaded machine, or
    // a sanitizer build, slows the encoder down, hence the margin).
    const std::vector<int> after = StreamRates(output, mark);
    ASSERT_GE(after.size(), 5u) << output;
    int sum = 0;
    for (int r : after) {
        EXPECT_GT(r, 0) << "the stream never stops\n" << output;
        EXPECT_LE(r, 2 * kStreamRate) << "no burst\n" << output;
        sum += r;
    }
    EXPECT_GE(sum / static_cast<int>(after.size()), kStreamRate * 2 / 5) << output;
    EXPECT_EQ(PanelFrames(run, kServerOffline, panelMark), 0u) << "the server is not declared lost";
    EXPECT_EQ(Count(run.Console(), "start broadcast on:"), 1u) << "no restart\n" << run.Console();
    EXPECT_EQ(Count(output.substr(mark), kRequested), 0u) << "no new request\n" << output;
    EXPECT_TRUE(FedLately(run));
    EXPECT_TRUE(ResetCauses(run).empty()) << run.Console();
    server.Close();
}

}  // namespace
