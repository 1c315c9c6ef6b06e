// Junk on every input of the real program on the simulated board, as a
// terminal on a plant network meets it for years: noise at the panel
// line's full rate, malformed and forged kernel event records, and junk
// datagrams on every UDP port while a broadcast streams. Each scenario
// checks that nothing was lost: no reset, the watchdog fed throughout, the
// settings files as they were, and the input still working afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/unix_socket.h"
#include "localio/panel_frame.h"
#include "tests/cgi/private_net.h"
#include "tests/e2e/panel_client.h"
#include "tests/e2e/server_process.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2etest::Count;
using e2etest::PanelClient;
using e2etest::PanelFrames;
using e2etest::Server;
using simtest::BoardRun;
using simtest::WaitUntil;

// A reset would come this long after the last feed: a stall shows as a reset.
constexpr int kWatchdogS = 5;
// The program feeds once a second; a gap of three means it was held up.
constexpr double kMaxFeedGapMs = 3000;

uint64_t SplitMix64(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The files a flood must leave as they were.
std::map<std::string, std::string> Settings(BoardRun& run) {
    std::map<std::string, std::string> files;
    for (const char* path : {"/opt/lpc3250/sysExtOpts", "/opt/lpc3250/chncfg", "/dev/i2c-eeprom0"})
        files[path] = simtest::ReadFile(run.At(path));
    return files;
}

// Board time since the last watchdog feed.
double SinceFeedMs(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* watchdog = simtest::Member(status, "watchdog");
    if (watchdog == nullptr) return 1e9;
    const double last = watchdog->value("last_feed_ms", -1.0);
    return last < 0 ? 1e9 : status.value("uptime_ms", 0.0) - last;
}

// One power-on, still running, no reset.
void ExpectNoReset(BoardRun& run) {
    const sim::Json status = run.Status();
    EXPECT_EQ(status.value("program_starts", 0), 1) << status.dump();
    EXPECT_TRUE(status.value("program_running", false)) << status.dump();
    const sim::Json* resets = simtest::Member(status, "resets");
    EXPECT_TRUE(resets == nullptr || resets->empty()) << status.dump();
}

// Runs work() while sampling the watchdog every 200 ms; the largest time
// since a feed seen.
template <typename Work>
double WatchingTheWatchdog(BoardRun& run, Work work) {
    std::atomic<bool> done{false};
    double worst = 0;
    std::thread watcher([&] {
        while (!done.load()) {
            worst = std::max(worst, SinceFeedMs(run));
            std::this_thread::sleep_for(200ms);
        }
    });
    work();
    done = true;
    watcher.join();
    return std::max(worst, SinceFeedMs(run));
}

// ---------------------------------------------------------------------------
// The panel line.

// Line noise: random bytes, one in eight a flag and one in eight an escape,
// with runs long enough to overflow a frame, ending in a flag. Every frame
// the noise holds whose command byte would be a command of the panel
// (announce, key, setting: 0x80 to 0x82) has that byte changed to 0x00, so
// that nothing in it is for the terminal to act on.
std::string PanelNoise(uint64_t seed, size_t size) {
    std::string noise;
    noise.reserve(size + 1);
    while (noise.size() < size) {
        const uint64_t r = SplitMix64(&seed);
        if (r % 97 == 0) {  // a run without flags, past the 256-byte frame
            for (size_t i = 0; i < 300 && noise.size() < size; ++i)
                noise.push_back(static_cast<char>(SplitMix64(&seed) % 0x7D));
            continue;
        }
        switch ((r >> 8) % 8) {
        case 0:
            noise.push_back(static_cast<char>(kPanelFlag));
            break;
        case 1:
            noise.push_back(static_cast<char>(kPanelEscape));
            break;
        default:
            noise.push_back(static_cast<char>(r >> 16));
        }
    }
    noise.push_back(static_cast<char>(kPanelFlag));

    // Mirrors the receive side: payload byte 1 of each frame, and whether
    // it came escaped.
    size_t count = 0, commandAt = std::string::npos;
    bool escape = false, commandEscaped = false;
    for (size_t i = 0; i < noise.size(); ++i) {
        const auto b = static_cast<uint8_t>(noise[i]);
        if (b == kPanelFlag) {
            if (commandAt != std::string::npos) {
                const auto raw = static_cast<uint8_t>(noise[commandAt]);
                const uint8_t value = commandEscaped ? raw ^ kPanelEscapeXor : raw;
                if (value >= 0x80 && value <= 0x82) noise[commandAt] = commandEscaped ? kPanelEscapeXor : 0;
            }
            count = 0;
            escape = false;
            commandAt = std::string::npos;
            continue;
        }
        if (!escape && b == kPanelEscape) {
            escape = true;
            continue;
        }
        if (count == 1) {
            commandAt = i;
            commandEscaped = escape;
        }
        escape = false;
        ++count;
    }
    return noise;
}

// Panel commands a deframer finds in bytes (the generator's own check).
size_t PanelCommands(const std::string& bytes) {
    PanelDeframer deframer;
    size_t commands = 0;
    for (char c : bytes)
        if (deframer.Feed(static_cast<uint8_t>(c)) && deframer.size() >= 2 && deframer.frame()[1] >= 0x80 &&
            deframer.frame()[1] <= 0x82)
            ++commands;
    return commands;
}

// The terminal's frames from position from on that are not well formed:
// byte 0 of each is its length, but for the acknowledgement "02 01 00".
std::vector<std::string> MalformedTerminalFrames(BoardRun& run, uint64_t from = 0) {
    std::vector<std::string> bad;
    const sim::Json reply = run.Control(R"({"cmd":"panel.frames","from":)" + std::to_string(from) + "}");
    const sim::Json* frames = simtest::Member(reply, "frames");
    if (frames == nullptr) return {"no panel.frames reply: " + reply.dump()};
    for (const sim::Json& f : *frames) {
        const std::string hex = f.value("hex", std::string());
        const size_t size = (hex.size() + 1) / 3;
        if (hex == "02 01 00" || (size > 0 && std::strtoul(hex.substr(0, 2).c_str(), nullptr, 16) == size)) continue;
        bad.push_back(hex);
    }
    return bad;
}

TEST(Flood, PanelLineNoiseAtFullRateIsDroppedAndTheLineStillWorks) {
    static const bool privateNet = cgitest::EnterPrivateNetwork();
    (void)privateNet;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--watchdog-timeout", std::to_string(kWatchdogS)}));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 00") == 1; }, 15s)) << run.Console();
    ASSERT_TRUE(WaitUntil([&] { return simtest::Exists(run.At("/opt/lpc3250/chncfg")); }, 5s));
    ASSERT_TRUE(WaitUntil([&] { return SinceFeedMs(run) < kMaxFeedGapMs; }, 15s)) << "the watchdog is never fed";
    const auto settings = Settings(run);
    PanelClient panel(run.root());
    ASSERT_TRUE(panel.connected());

    // 115200 baud, 8N1: ten bit times a byte. Six seconds of it.
    constexpr double kLineBytesPerS = 115200.0 / 10;
    const std::string noise = PanelNoise(20261209, static_cast<size_t>(6 * kLineBytesPerS));
    ASSERT_EQ(PanelCommands(noise), 0u) << "the noise must hold no command";
    ASSERT_GT(std::count(noise.begin(), noise.end(), static_cast<char>(kPanelFlag)), 1000);

    size_t sent = 0;
    double seconds = 0;
    const double worstGap = WatchingTheWatchdog(run, [&] {
        const auto start = Clock::now();
        while (sent < noise.size() && Clock::now() - start < 30s) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const size_t due = std::min(noise.size(), static_cast<size_t>(elapsed * kLineBytesPerS));
            if (due > sent) {
                ASSERT_TRUE(panel.Send(noise.substr(sent, due - sent)));
                sent = due;
            }
            std::this_thread::sleep_for(5ms);
        }
        // Everything taken off the line by the terminal.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const sim::Json status = run.Status();
                const sim::Json* line = simtest::Member(status, "panel");
                return line != nullptr && line->value("pending_bytes", 1) == 0;
            },
            10s));
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    });
    ASSERT_EQ(sent, noise.size());
    std::printf("panel noise: %zu bytes in %.2f s, %.0f bytes/s (line rate %.0f); longest since a feed %.0f ms\n",
                sent, seconds, static_cast<double>(sent) / seconds, kLineBytesPerS, worstGap);
    EXPECT_GE(static_cast<double>(sent) / seconds, 0.8 * kLineBytesPerS) << "the line was not kept full";
    EXPECT_LT(worstGap, kMaxFeedGapMs);
    ExpectNoReset(run);
    EXPECT_EQ(Settings(run), settings);
    EXPECT_EQ(PanelFrames(run, "02 01 00"), 0u) << "noise taken for an announce";

    // An announce is acknowledged, then a key is acted on: group 1's
    // indicator lights and its selection is stored.
    const uint64_t mark = run.Control(R"({"cmd":"panel.frames","from":0})").value("next", uint64_t{0});
    ASSERT_TRUE(panel.Send(std::string("\x7E\x00\x80\x7E", 4)));
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "02 01 00", mark) == 1; }, 5s)) << run.Console();
    // Keys count once the manager has taken the panel for ready: its refresh
    // (ending with the auto indicator) shows it.
    ASSERT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 0D 01", mark) == 1; }, 5s))
        << run.Control(R"({"cmd":"panel.frames","from":0})").dump();
    ASSERT_TRUE(panel.Send(std::string("\x7E\x04\x81\x02\x01\x7E", 6)));
    EXPECT_TRUE(WaitUntil([&] { return PanelFrames(run, "04 02 02 02", mark) == 1; }, 5s))
        << run.Control(R"({"cmd":"panel.frames","from":0})").dump();
    EXPECT_TRUE(WaitUntil([&] { return Settings(run)["/opt/lpc3250/chncfg"] != settings.at("/opt/lpc3250/chncfg"); },
                          5s));
    EXPECT_EQ(MalformedTerminalFrames(run), std::vector<std::string>{});
    ExpectNoReset(run);
}

// ---------------------------------------------------------------------------
// The kernel event socket.

std::string Hex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

// An audio-detected record (the event that prints a line) of size bytes
// whose header claims length claimed.
std::vector<uint8_t> DetectRecord(size_t size, uint32_t claimed) {
    std::vector<uint8_t> record(std::max<size_t>(size, 18), 0);
    std::memcpy(record.data(), &claimed, sizeof claimed);
    record[16] = 3;
    record.resize(size);
    return record;
}

// netlink.event with raw bytes; a full socket queue is tried again.
bool SendRaw(BoardRun& run, const std::vector<uint8_t>& record, uint32_t sender = 0) {
    const std::string request = R"({"cmd":"netlink.event","raw":")" + Hex(record) + R"(","sender":)" +
                                std::to_string(sender) + "}";
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (run.Control(request).value("ok", false)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

const std::string kDetected = "rcv eKNL_MSG_TYPE_AUDIO_DETECTED \n";

TEST(Flood, MalformedAndForgedKernelEventsAreIgnoredAndAValidOneIsActedOn) {
    static const bool privateNet = cgitest::EnterPrivateNetwork();
    (void)privateNet;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--watchdog-timeout", std::to_string(kWatchdogS)}));
    ASSERT_TRUE(run.WaitForConsole("user space userPid:", 20s)) << run.Console();
    ASSERT_TRUE(WaitUntil([&] { return run.Control(R"({"cmd":"audio.detect"})").value("delivered", false); }, 5s));
    ASSERT_TRUE(run.WaitForConsole(kDetected, 5s)) << run.Console();
    const auto settings = Settings(run);
    const int pid = run.Status().value("program_pid", 0);
    const size_t consoleMark = run.Console().size();

    // Each would read as "audio detected" were its header or sender not looked at.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> forged;
    for (size_t cut : {1, 8, 15, 16, 17}) forged.push_back({"cut to " + std::to_string(cut), DetectRecord(cut, 18)});
    for (uint32_t claimed : {0u, 16u, 17u, 19u, 1000u, 0xFFFFFFFFu})
        forged.push_back({"claims " + std::to_string(claimed), DetectRecord(18, claimed)});
    forged.push_back({"oversize 9000", DetectRecord(9000, 9000)});
    forged.push_back({"oversize 16384", DetectRecord(16384, 16384)});
    for (const auto& [what, record] : forged) ASSERT_TRUE(SendRaw(run, record)) << what;
    // From a process, not the kernel: its own port id, another, the program's.
    for (uint32_t sender : {4242u, static_cast<uint32_t>(pid) + 1, static_cast<uint32_t>(pid)})
        ASSERT_TRUE(SendRaw(run, DetectRecord(18, 18), sender)) << "sender " << sender;
    // Types no event has, and RF keys 13 to 15, which post nothing.
    for (uint8_t type : {5, 9, 0x7F, 0xFF})
        ASSERT_TRUE(run.Control(R"({"cmd":"netlink.event","type":)" + std::to_string(type) + "}").value("ok", false));
    for (uint8_t key : {13, 14, 15})
        ASSERT_TRUE(
            run.Control(R"({"cmd":"netlink.event","type":2,"value":)" + std::to_string(key) + "}").value("ok", false));
    // Random records of 1 to 400 bytes whose header never fits what arrived.
    uint64_t seed = 7;
    for (int i = 0; i < 400; ++i) {
        std::vector<uint8_t> record(1 + SplitMix64(&seed) % 400);
        for (uint8_t& b : record) b = static_cast<uint8_t>(SplitMix64(&seed));
        if (record.size() >= 4) {
            uint32_t claimed;
            std::memcpy(&claimed, record.data(), sizeof claimed);
            if (claimed >= 18 && claimed <= record.size()) claimed = static_cast<uint32_t>(record.size()) + 1;
            std::memcpy(record.data(), &claimed, sizeof claimed);
        }
        ASSERT_TRUE(SendRaw(run, record)) << "random record " << i;
    }

    // The program has read all of them once a marker behind them is acted on.
    ASSERT_TRUE(run.Control(R"({"cmd":"netlink.event","type":3})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return Count(run.Console(), kDetected) >= 2; }, 10s)) << run.Console();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Count(run.Console(), kDetected), 2u) << "a malformed or forged record was acted on\n" << run.Console();
    // The event task neither failed a receive nor took junk for the channel's end.
    EXPECT_EQ(run.Console().find("Error:  recvmsg:", consoleMark), std::string::npos) << run.Console();
    EXPECT_EQ(run.Console().find("Error:  Exit.", consoleMark), std::string::npos) << run.Console();
    EXPECT_EQ(Count(run.Console(), "rcv eSVC_MSG_TYPE_AUTO_LOST"), 0u) << run.Console();
    ExpectNoReset(run);
    EXPECT_LT(SinceFeedMs(run), kMaxFeedGapMs);
    EXPECT_EQ(Settings(run), settings);

    // The kernel's own event still arrives.
    EXPECT_TRUE(run.Control(R"({"cmd":"audio.lose"})").value("delivered", false));
    EXPECT_TRUE(run.WaitForConsole("rcv eSVC_MSG_TYPE_AUTO_LOST \n", 5s)) << run.Console();
}

// ---------------------------------------------------------------------------
// Every UDP port during a broadcast.

const std::string kIdle = "status from 127.0.0.1 PT00000007: brdState 0 (idle)";
const std::string kRequested = "status from 127.0.0.1 PT00000007: brdState 1 (requested)";

// The packets/s figures of the server's stream lines from line first on.
std::vector<double> StreamRates(const std::string& output, size_t first = 0) {
    std::vector<double> rates;
    size_t line = 0;
    for (size_t at = output.find("stream: "); at != std::string::npos; at = output.find("stream: ", at + 1), ++line)
        if (line >= first) rates.push_back(std::strtod(output.c_str() + at + 8, nullptr));
    return rates;
}

// Capture the sound card lost because the program fell behind.
int64_t DspOverrun(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* dsp = simtest::Member(status, "dsp");
    return dsp == nullptr ? -1 : dsp->value("overrun_bytes", int64_t{-1});
}

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

TEST(Flood, JunkOnEveryUdpPortLeavesTheBroadcastRateAndTheServerLinkAlone) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    // The announcement socket joins its group: multicast goes over loopback here.
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    simtest::TempDir work;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007", "--watchdog-timeout",
                           std::to_string(kWatchdogS)}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":1000})").value("ok", false));
    Server server(work.path(), "PT00000007");
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.WaitFor(kIdle, 1, 15s)) << server.Output();

    server.Command("mode on");
    ASSERT_TRUE(server.WaitFor(kRequested, 1, 10s)) << server.Output();
    bool streaming = false;
    for (int attempt = 0; attempt < 3 && !streaming; ++attempt) {
        server.Command("grant 5");
        streaming = server.WaitFor("stream: ", 2, 5s);
    }
    ASSERT_TRUE(streaming) << server.Output() << run.Console();
    const auto settings = Settings(run);

    // Five whole windows without junk, after the first two.
    ASSERT_TRUE(server.WaitFor("stream: ", 8, 15s)) << server.Output();
    const std::vector<double> quiet = StreamRates(server.Output(), 2);

    // Junk to the command port, the announcement port, the peer link and
    // the CGI channel, from inside the namespace, for five seconds.
    constexpr int kJunkPerPortPerS = 10000;
    constexpr int kPorts = 4;
    const size_t before = Count(server.Output(), "stream: ");
    const int64_t overrunBefore = DspOverrun(run);
    const std::string junkOut = work.path() + "/junk.out";
    const std::string junk = std::string(PATERM_JUNK_EXE) + " --to 127.0.0.1 --ports 8205,7805,8207,8690 --rate " +
                             std::to_string(kJunkPerPortPerS) + " --seconds 5 --seed 20261209 --max-size 1472 > " +
                             junkOut + " 2>&1";
    int junkStatus = -1;
    const double worstGap = WatchingTheWatchdog(run, [&] { junkStatus = std::system(junk.c_str()); });
    const size_t after = Count(server.Output(), "stream: ");
    ASSERT_EQ(junkStatus, 0) << simtest::ReadFile(junkOut);
    const std::string junkLine = simtest::ReadFile(junkOut);
    const size_t rateAt = junkLine.rfind(", ", junkLine.find(" datagrams/s"));
    const double junkRate = rateAt == std::string::npos ? 0 : std::strtod(junkLine.c_str() + rateAt + 2, nullptr);

    // The windows wholly inside the junk: those that began after its start
    // and were reported before its end.
    ASSERT_GE(after, before + 3) << server.Output();
    std::vector<double> flooded = StreamRates(server.Output(), before + 1);
    flooded.resize(after - before - 1);
    const double quietRate = Mean(quiet), floodedRate = Mean(flooded);
    std::printf("junk: %s", junkLine.c_str());
    std::printf("stream: %.1f packets/s without junk (%zu windows), %.1f with junk (%zu windows); "
                "capture lost during the junk %lld bytes; longest since a feed %.0f ms\n",
                quietRate, quiet.size(), floodedRate, flooded.size(),
                static_cast<long long>(DspOverrun(run) - overrunBefore), worstGap);
    // A loaded machine may slow the sender; a quarter of the rate is still a flood.
    EXPECT_GE(junkRate, 0.25 * kJunkPerPortPerS * kPorts) << junkLine;
    // The stream is clocked by the sound card: the junk may not slow it by
    // more than a loaded machine's jitter.
    EXPECT_NEAR(floodedRate, quietRate, 0.1 * quietRate) << server.Output();
    EXPECT_GT(quietRate, 80.0) << server.Output();
    EXPECT_LT(worstGap, kMaxFeedGapMs);

    // The terminal still answers its server, streams, and lost nothing.
    server.Command("version");
    EXPECT_TRUE(server.WaitFor("version from 127.0.0.1 PT00000007: ", 1, 10s)) << server.Output();
    EXPECT_TRUE(server.WaitFor("stream: ", after + 2, 10s)) << server.Output();
    ExpectNoReset(run);
    EXPECT_EQ(Settings(run), settings);
    server.Close();
    EXPECT_EQ(server.Output().find("bad headers 1"), std::string::npos) << server.Output();
}

}  // namespace
