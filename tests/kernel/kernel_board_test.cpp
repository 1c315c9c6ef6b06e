// The modules on the simulated board, end to end: paterm-sim loads them at
// power-on, a probe program reaches their devices through the board seam,
// and the control interface drives the hardware (RF keys, the card slot,
// the audio detector, the DREQ fault) and reports the decoder and the
// kernel. paterm-play plays a file through a running board.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"
#include "tests/support/mp3_fixture.h"

namespace {

using simtest::BoardRun;
using simtest::WaitUntil;
using namespace std::chrono_literals;

// Waits until the probe's netlink socket is bound (the bind is one-way).
bool WaitForBoundProbe(BoardRun& board) {
    return board.WaitForConsole("netlink ready port=", 10s) && WaitUntil(
                                                                   [&] {
                                                                       sim::Json s = board.Status();
                                                                       return s.value("program_pid", 0.0) > 0 &&
                                                                              s.value("netlink_port", 0.0) ==
                                                                                  s.value("program_pid", 0.0);
                                                                   },
                                                                   5s);
}

// Starts a program with its output to a file.
pid_t StartTool(std::vector<std::string> args, const std::string& output) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        }
        unsetenv("PATERM_ROOT");
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Its exit status, or -1 (and killed) after the deadline.
int WaitTool(pid_t pid, std::chrono::milliseconds deadline) {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, deadline)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunTool(std::vector<std::string> args, const std::string& output, std::chrono::milliseconds deadline) {
    return WaitTool(StartTool(std::move(args), output), deadline);
}

// An MP3 of silent frames at a terminal path of the board's root.
void PutSong(BoardRun& board, const std::string& terminalPath, int frames) {
    const std::vector<uint8_t> bytes = testsupport::SilentMp3(frames);
    simtest::WriteFile(board.At(terminalPath), std::string(bytes.begin(), bytes.end()));
}

double Stat(BoardRun& board, const std::string& field) {
    return board.Control(R"({"cmd":"decoder.stats"})").value(field, -1.0);
}

std::vector<std::string> KernelLines(BoardRun& board) {
    std::vector<std::string> texts;
    sim::Json reply = board.Control(R"({"cmd":"kernel.log"})");
    if (const sim::Json* lines = simtest::Member(reply, "lines"))
        for (const sim::Json& l : *lines) texts.push_back(l.value("text", std::string()));
    return texts;
}

size_t CountText(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& l : lines)
        if (l == text) ++n;
    return n;
}

TEST(KernelOnBoard, EventsReachTheProcessThatRegisteredThroughTheControlDevice) {
    BoardRun board;
    board.Script(
        "ctrl-register\n"
        "ctrl-ioctl 0x40047801\n"
        "ctrl-ioctl 0x80047800\n"
        "netlink-records 5\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(WaitForBoundProbe(board)) << board.Console();
    const std::string console = board.Console();
    EXPECT_NE(console.find("ctrl-register rc=0 errno=0"), std::string::npos) << console;
    EXPECT_NE(console.find("ctrl-ioctl 0x40047801 rc=-1 errno=25"), std::string::npos) << console;  // ENOTTY
    EXPECT_NE(console.find("ctrl-ioctl 0x80047800 rc=-1 errno=22"), std::string::npos) << console;  // EINVAL

    EXPECT_FALSE(board.Control(R"({"cmd":"rf.key","code":16})").value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":"rf.key"})").value("ok", true));
    EXPECT_TRUE(board.Control(R"({"cmd":"rf.key","code":15})").value("ok", false));
    ASSERT_TRUE(board.WaitForConsole("netlink record len=18 type=2 value=15", 5s)) << board.Console();
    EXPECT_TRUE(board.Control(R"({"cmd":"rf.key","code":0})").value("ok", false));
    ASSERT_TRUE(board.WaitForConsole("netlink record len=18 type=2 value=0", 5s)) << board.Console();

    sim::Json removed = board.Control(R"({"cmd":"card.remove"})");
    EXPECT_TRUE(removed.value("delivered", false)) << removed.dump();
    EXPECT_FALSE(simtest::Exists(board.At("/dev/mmcblk0p1")));
    EXPECT_FALSE(board.Status().value("card_present", true));
    ASSERT_TRUE(board.WaitForConsole("netlink record len=18 type=1 value=0", 5s)) << board.Console();
    EXPECT_TRUE(board.Control(R"({"cmd":"card.insert"})").value("delivered", false));
    EXPECT_TRUE(simtest::Exists(board.At("/dev/mmcblk0p1")));
    ASSERT_TRUE(board.WaitForConsole("netlink record len=18 type=0 value=0", 5s)) << board.Console();
    EXPECT_TRUE(board.Control(R"({"cmd":"audio.detect"})").value("delivered", false));
    ASSERT_TRUE(board.WaitForConsole("netlink record len=18 type=3 value=0", 5s)) << board.Console();
    ASSERT_TRUE(board.WaitForConsole("probe: done", 5s));  // five records and the socket closed
    sim::Json lost = board.Control(R"({"cmd":"audio.lose"})");
    EXPECT_FALSE(lost.value("delivered", true)) << lost.dump();
    EXPECT_EQ(lost.value("why", std::string()), "no socket bound to the registered process");
    EXPECT_EQ(board.CountLog("control", "rf.key 15"), 1u);
    EXPECT_EQ(board.Control(R"({"cmd":"kernel.log"})").value("bugs", -1.0), 0);
}

TEST(KernelOnBoard, AnMp3WrittenToTheDecoderDeviceComesOutAsAudio) {
    BoardRun board;
    constexpr int kFrames = 30;
    PutSong(board, "/mmc/song.mp3", kFrames);
    board.Script("play /mmc/song.mp3\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("play bytes=12510 writes=4 rc=0 errno=0", 10s)) << board.Console();
    // The program's close reaches the driver when the board sees the session end.
    ASSERT_TRUE(WaitUntil([&] { return board.CountLog("close", "/dev/vs10xx") == 1; }, 5s));
    sim::Json stats = board.Control(R"({"cmd":"decoder.stats"})");
    EXPECT_NEAR(stats.value("wav_samples", 0.0), kFrames * 1152.0, 2 * 1152.0) << stats.dump();
    EXPECT_EQ(stats.value("wav", std::string()), board.At("/sim/decoder.wav"));
    EXPECT_EQ(stats.value("wav_rate", 0.0), 44100);
    EXPECT_EQ(stats.value("bytes_received", 0.0), 12510 + 2 * 1024);  // the file and the zeros of open and close
    EXPECT_EQ(stats.value("cancels", 0.0), 1);
    const std::string wav = simtest::ReadFile(board.At("/sim/decoder.wav"));
    EXPECT_EQ(wav.size(), 44 + 2 * static_cast<size_t>(stats.value("wav_samples", 0.0)));
    EXPECT_EQ(board.CountLog("open", "/dev/vs10xx O_WRONLY (session)"), 1u);
    const std::vector<std::string> lines = KernelLines(board);
    EXPECT_EQ(CountText(lines, " ReadVs10xxRegister(3) : 0x8800 "), 1u);
}

TEST(KernelOnBoard, DreqFaultMakesOpenResetTheChipAndFail) {
    BoardRun board;
    board.Script("sleep 300\nplay /mmc/none.mp3\nplay /mmc/song.mp3\nhang\n");
    PutSong(board, "/mmc/song.mp3", 2);
    ASSERT_TRUE(board.Start());
    EXPECT_FALSE(board.Control(R"({"cmd":"decoder.dreq_fault"})").value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":"decoder.dreq_fault","on":1})").value("ok", true));
    sim::Json on = board.Control(R"({"cmd":"decoder.dreq_fault","on":true})");
    EXPECT_TRUE(on.value("dreq_fault", false)) << on.dump();
    const double resetsBefore = Stat(board, "chip_resets");
    ASSERT_TRUE(board.WaitForConsole("play open /dev/vs10xx failed errno=1", 10s)) << board.Console();
    EXPECT_EQ(Stat(board, "chip_resets") - resetsBefore, 2);
    EXPECT_TRUE(board.Control(R"({"cmd":"decoder.stats"})").value("dreq_fault", false));
    EXPECT_EQ(CountText(KernelLines(board), "vs10xx dreq time out , reset the chip."), 2u);
    EXPECT_FALSE(board.Control(R"({"cmd":"decoder.dreq_fault","on":false})").value("dreq_fault", true));
}

TEST(KernelOnBoard, PatermPlayPlaysAFileThroughARunningBoard) {
    BoardRun board;
    board.Script("hang\n");
    ASSERT_TRUE(board.Start());
    const std::string song = board.At("/opt/song.mp3");
    PutSong(board, "/opt/song.mp3", 20);
    const std::string out = board.At("/opt/play.out");
    ASSERT_EQ(RunTool({PATERM_PLAY_EXE, "--root", board.root(), song}, out, 20s), 0) << simtest::ReadFile(out);
    EXPECT_NE(simtest::ReadFile(out).find("8340 bytes in 3 writes"), std::string::npos) << simtest::ReadFile(out);
    EXPECT_NEAR(Stat(board, "wav_samples"), 20 * 1152.0, 2 * 1152.0);

    simtest::TempDir empty;  // no board runs there
    EXPECT_EQ(RunTool({PATERM_PLAY_EXE, "--root", empty.path(), song}, out, 10s), 1);
    EXPECT_NE(simtest::ReadFile(out).find("cannot open /dev/vs10xx"), std::string::npos) << simtest::ReadFile(out);
    EXPECT_EQ(RunTool({PATERM_PLAY_EXE, song}, out, 10s), 2);  // no root at all
}

TEST(KernelOnBoard, APowerCycleCutsOffAPlayerStillWritingAndReloadsTheModules) {
    BoardRun board;
    board.Script("sleep 400\nexit 3\n", 1);  // the program ends: the board power-cycles
    board.Script("hang\n", 2);
    ASSERT_TRUE(board.Start());
    PutSong(board, "/opt/long.mp3", 400);  // about 10 s of audio
    const std::string out = board.At("/opt/play.out");
    const pid_t player = StartTool({PATERM_PLAY_EXE, "--root", board.root(), board.At("/opt/long.mp3")}, out);
    ASSERT_EQ(WaitTool(player, 15s), 1) << simtest::ReadFile(out);
    EXPECT_NE(simtest::ReadFile(out).find("write to /dev/vs10xx failed: Input/output error"), std::string::npos)
        << simtest::ReadFile(out);
    ASSERT_TRUE(WaitUntil([&] { return board.Status().value("program_starts", 0.0) == 2; }, 10s));
    EXPECT_EQ(board.CountLog("board", "modules: netlink_event codecdrv ctrldrv"), 2u);
    EXPECT_EQ(board.Control(R"({"cmd":"kernel.log"})").value("bugs", -1.0), 0);
}

TEST(KernelOnBoard, ModulesAreLoadedAgainAtEveryPowerOn) {
    BoardRun board;
    board.Script("exit 3\n", 1);
    board.Script("hang\n", 2);
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(WaitUntil([&] { return board.Status().value("program_starts", 0.0) == 2; }, 10s));
    EXPECT_EQ(board.CountLog("board", "modules: netlink_event codecdrv ctrldrv"), 2u);
    sim::Json modules = board.Control(R"({"cmd":"kernel.modules"})");
    const sim::Json* list = simtest::Member(modules, "modules");
    ASSERT_NE(list, nullptr) << modules.dump();
    ASSERT_EQ(list->size(), 3u);
    for (const sim::Json& m : *list) {
        EXPECT_TRUE(m.value("loaded", false)) << m.dump();
        EXPECT_EQ(m.value("vermagic", std::string()), "2.6.27.8 preempt mod_unload modversions ARMv5");
    }
    EXPECT_EQ((*list)[2].value("description", std::string()), "User mode Norva player device interface");
    sim::Json log = board.Control(R"({"cmd":"kernel.log","from":0})");
    const sim::Json* lines = simtest::Member(log, "lines");
    ASSERT_NE(lines, nullptr);
    ASSERT_FALSE(lines->empty());
    EXPECT_GT((*lines)[0].value("seq", 0.0), 0);  // the first boot's lines are gone with its RAM
    EXPECT_EQ((*lines)[0].value("text", std::string()).rfind("Linux version 2.6.27.8", 0), 0u);
    EXPECT_EQ(simtest::ReadFile(board.At("/sim/kernel.log")).find("--- power-on ---") != std::string::npos, true);
    EXPECT_FALSE(board.Control(R"({"cmd":"kernel.log","from":-1})").value("ok", true));
}

}  // namespace
