// End-to-end tests of paterm-sim: the board runs the probe program on a
// temporary root and is observed through its control socket, its log and
// the files under the root.
#include <crypt.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/unique_fd.h"
#include "sim_harness.h"

extern char** environ;

namespace {

using simtest::BoardRun;
using simtest::Exists;
using simtest::ReadFile;
using simtest::WaitUntil;
using namespace std::chrono_literals;

double WatchdogField(const sim::Json& status, const char* field) {
    const sim::Json* w = simtest::Member(status, "watchdog");
    return w ? w->value(field, -1.0) : -1;
}

bool WatchdogFlag(const sim::Json& status, const char* field) {
    const sim::Json* w = simtest::Member(status, "watchdog");
    return w && w->value(field, false);
}

std::string FirstResetCause(const sim::Json& status) {
    const sim::Json* resets = simtest::Member(status, "resets");
    return resets && !resets->empty() ? (*resets)[0].value("cause", std::string()) : "";
}

size_t ResetCount(const sim::Json& status) {
    const sim::Json* resets = simtest::Member(status, "resets");
    return resets ? resets->size() : 0;
}

// Board time of the first log entry of a kind whose detail contains text; -1 if none.
double LogTime(BoardRun& board, const std::string& kind, const std::string& text = "") {
    for (const sim::Json& e : board.Log())
        if (e.value("kind", std::string()) == kind && e.value("detail", std::string()).find(text) != std::string::npos)
            return e.value("ms", 0.0);
    return -1;
}

class BoardTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (board.pid() <= 0) return;
        int status = board.Stop();
        // A sanitizer report inside the board makes it exit non-zero.
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "board wait status " << status;
    }
    BoardRun board;
};

// ---- Start-up: the EEPROM, the factory files, the root's lock -------------

TEST_F(BoardTest, NewEepromHoldsFactoryValuesOnErasedBytes) {
    board.Script("eeprom\n");
    ASSERT_TRUE(board.Start({"--device-id", "ABCDEFGHIJ", "--watchdog-flag", "0", "--server-ip", "192.168.1.10"}));
    std::string eeprom = ReadFile(board.At("/dev/i2c-eeprom0"));
    ASSERT_EQ(eeprom.size(), 256u);
    EXPECT_EQ(eeprom.substr(0, 10), "ABCDEFGHIJ");
    EXPECT_EQ(eeprom[16], '\0');
    EXPECT_EQ(eeprom.substr(44, 4), std::string("\x0A\x01\xA8\xC0", 4));  // little-endian a.b.c.d
    for (size_t i = 0; i < eeprom.size(); ++i) {
        if (i < 10 || i == 16 || (i >= 44 && i < 48)) continue;
        ASSERT_EQ(static_cast<unsigned char>(eeprom[i]), 0xFF) << "offset " << i;
    }
    // The program reads it through the board, which hands over a real descriptor.
    EXPECT_TRUE(board.WaitForConsole("eeprom read=48 id=ABCDEFGHIJ flag=0 server=0a01a8c0", 5s)) << board.Console();
    EXPECT_EQ(board.CountLog("open", "/dev/i2c-eeprom0 O_RDONLY (descriptor)"), 1u);
}

TEST_F(BoardTest, ExistingEepromIsUsedAsItIs) {
    std::string own(256, '\x5A');
    own.replace(0, 10, "KEEP-ME-10");
    simtest::WriteFile(board.At("/dev/i2c-eeprom0"), own);
    board.Script("eeprom\n");
    ASSERT_TRUE(board.Start({"--device-id", "IGNORED-ID"}));
    EXPECT_TRUE(board.WaitForConsole("id=KEEP-ME-10", 5s)) << board.Console();
    EXPECT_EQ(ReadFile(board.At("/dev/i2c-eeprom0")), own);
}

TEST_F(BoardTest, FactoryInstallMakesPasswordArchiveAndCard) {
    board.Script("system /bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/\nexists /tmp/wget\nexists /dev/mmcblk0p1\n");
    ASSERT_TRUE(board.Start());
    crypt_data data{};
    std::string expected = std::string("super:") + crypt_r("admin", "$1$paterm$", &data) + "\n";
    EXPECT_EQ(ReadFile(board.At("/etc/boa/www.passwd")), expected);
    EXPECT_TRUE(board.WaitForConsole("exists /dev/mmcblk0p1 yes", 5s)) << board.Console();
    EXPECT_NE(board.Console().find("exists /tmp/wget yes"), std::string::npos);
    EXPECT_TRUE(Exists(board.At("/mmc")));
    EXPECT_TRUE(board.Status().value("card_present", false));
}

TEST_F(BoardTest, NoCardOptionRemovesTheCardNode) {
    simtest::WriteFile(board.At("/dev/mmcblk0p1"), "");
    board.Script("exists /dev/mmcblk0p1\n");
    ASSERT_TRUE(board.Start({"--no-card"}));
    EXPECT_TRUE(board.WaitForConsole("exists /dev/mmcblk0p1 no", 5s)) << board.Console();
    EXPECT_FALSE(board.Status().value("card_present", true));
}

TEST_F(BoardTest, SecondBoardOnTheSameRootIsRefused) {
    board.Script("hang\n");
    ASSERT_TRUE(board.Start());
    std::string errors = board.At("/opt/second.err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<std::string> args = {PATERM_SIM_EXE, "--quiet", "--program", SEAM_PROBE_EXE, "--root", board.root()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t second = -1;
    ASSERT_EQ(posix_spawn(&second, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    bool ended = WaitUntil([&] { return ::waitpid(second, &status, WNOHANG) == second; }, 10s);
    if (!ended) {
        ::kill(second, SIGKILL);
        ::waitpid(second, nullptr, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(ReadFile(errors).find("another board runs on"), std::string::npos);
    EXPECT_TRUE(board.Status().value("program_running", false));
}

// ---- Devices ---------------------------------------------------------------

TEST_F(BoardTest, WatchdogSessionCountsFeedsAndRejectsUnmodelledAccess) {
    board.Script(
        "watchdog-open\nwatchdog-timeout 17\nwatchdog-gettimeout\nwatchdog-bad-ioctl\nfeed 3 20\n"
        "open /dev/nosuch\nopen /dev/watchdog\nprint checks done\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("checks done", 10s)) << board.Console();
    std::string console = board.Console();
    EXPECT_NE(console.find("watchdog-timeout rc=0 value=17"), std::string::npos);
    EXPECT_NE(console.find("watchdog-gettimeout rc=0 value=17"), std::string::npos);
    EXPECT_NE(console.find("watchdog-bad-ioctl rc=-1 errno=25"), std::string::npos);  // ENOTTY
    EXPECT_NE(console.find("fed 3"), std::string::npos);
    EXPECT_NE(console.find("open /dev/nosuch rc=-1 errno=19"), std::string::npos);   // ENODEV
    EXPECT_NE(console.find("open /dev/watchdog rc=-1 errno=16"), std::string::npos);  // EBUSY: one user

    sim::Json status = board.Status();
    EXPECT_TRUE(WatchdogFlag(status, "opened"));
    EXPECT_TRUE(WatchdogFlag(status, "armed"));
    EXPECT_EQ(WatchdogField(status, "timeout_s"), 17);
    EXPECT_EQ(WatchdogField(status, "feeds"), 3);
    EXPECT_GT(WatchdogField(status, "last_feed_ms"), 0);
    EXPECT_EQ(board.CountLog("unmodelled", "open /dev/nosuch"), 1u);
    EXPECT_EQ(board.CountLog("unmodelled", "ioctl 0x80045763 on /dev/watchdog"), 1u);
    EXPECT_EQ(board.CountLog("ioctl", "WDIOC_SETTIMEOUT 17"), 1u);
}

TEST_F(BoardTest, NetlinkEventReachesTheBoundSocket) {
    board.Script("netlink\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("netlink ready port=", 5s)) << board.Console();
    // The bind is a one-way message: the board may register it a moment later.
    sim::Json status;
    EXPECT_TRUE(WaitUntil(
        [&] {
            status = board.Status();
            return status.value("program_pid", 0.0) > 0 && status.value("netlink_port", 0.0) == status.value("program_pid", 0.0);
        },
        5s))
        << status.dump();
    EXPECT_EQ(board.CountLog("netlink-bind", "port " + std::to_string(static_cast<long>(status.value("program_pid", 0.0)))),
              1u);
    EXPECT_FALSE(board.Control(R"({"cmd":"netlink.event","type":2,"value":11,"port":1})").value("ok", true));
    // Raw messages: either raw or a typed record, at most 16384 bytes, a sender that is a port id.
    EXPECT_FALSE(board.Control(R"({"cmd":"netlink.event","raw":"0102","type":2})").value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":"netlink.event","raw":"zz"})").value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":"netlink.event","raw":")" + std::string(2 * 16385, 'a') + R"("})")
                     .value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":"netlink.event","type":2,"sender":-1})").value("ok", true));
    EXPECT_TRUE(
        board.Control(R"({"cmd":"netlink.event","raw":[18,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,2,11],"sender":7})")
            .value("ok", false));
    EXPECT_TRUE(board.WaitForConsole("netlink record len=18 type=2 value=11", 5s)) << board.Console();
}

// ---- The shell -------------------------------------------------------------

TEST_F(BoardTest, ShellRunsKnownCommandsOnlyAndLogsEach) {
    board.Script(
        "system /tmp/wget http://127.0.0.1:9/x -O /tmp/x\n"
        "system /bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/\n"
        "system ls -al /tmp/wget\n"
        "system ls /../../etc\n"
        "system /bin/rm -rf /tmp/wget;reboot\n"
        "system sh -c reboot\n"
        "print shell done\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("shell done", 10s)) << board.Console();
    std::string console = board.Console();
    EXPECT_NE(console.find("system \"/tmp/wget http://127.0.0.1:9/x -O /tmp/x\" status=32512"), std::string::npos);
    EXPECT_NE(console.find("system \"/bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/\" status=0"),
              std::string::npos);
    EXPECT_NE(console.find("system \"ls -al /tmp/wget\" status=0"), std::string::npos);
    EXPECT_NE(console.find("system \"ls /../../etc\" status=256"), std::string::npos);  // ".." refused
    EXPECT_NE(console.find("system \"sh -c reboot\" status=32512"), std::string::npos);
    // ";" is no separator: rm got the literal argument "/tmp/wget;reboot", and nothing rebooted.
    EXPECT_TRUE(Exists(board.At("/tmp/wget")));
    EXPECT_EQ(ResetCount(board.Status()), 0u);
    EXPECT_EQ(board.CountLog("shell"), 6u);
    EXPECT_EQ(board.CountLog("unmodelled", "sh -c reboot"), 1u);
}

TEST_F(BoardTest, FlashCommandsEraseAndWriteTheNandFile) {
    simtest::WriteFile(board.At("/dev/mtd2"), std::string(4 * 1024 * 1024, '\0'));  // not erased
    board.Script("write /tmp/uImage KERNEL-IMAGE\n"
                 "system /usr/sbin/flash_eraseall /dev/mtd2\n"
                 "system /usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage\n"
                 "print flash done\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("flash done", 10s)) << board.Console();
    std::string nand = ReadFile(board.At("/dev/mtd2"));
    ASSERT_EQ(nand.size(), 4u * 1024 * 1024);
    EXPECT_EQ(nand.substr(0, 12), "KERNEL-IMAGE");
    EXPECT_EQ(nand.find_first_not_of('\xFF', 12), std::string::npos) << "padding and erased pages are 0xFF";
}

// ---- Power cycles ----------------------------------------------------------

TEST_F(BoardTest, RebootRestartsWithEmptyTmpAndTheHardwareClock) {
    board.Script("write /tmp/marker x\nsettime 2000000000\ngettime\nsystem hwclock -w\nsystem reboot\nhang\n", 1);
    board.Script("gettime\nexists /tmp/marker\nhang\n", 2);
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("boot 2", 10s)) << board.Console();
    ASSERT_TRUE(board.WaitForConsole("exists /tmp/marker no", 5s)) << board.Console();
    std::string console = board.Console();
    EXPECT_NE(console.find("gettime rc=0 sec=2000000000"), std::string::npos);
    // The second boot reads the hardware clock that boot 1 wrote.
    size_t second = console.find("gettime", console.find("boot 2"));
    ASSERT_NE(second, std::string::npos) << console;
    long long seconds = std::atoll(console.c_str() + console.find("sec=", second) + 4);
    EXPECT_GE(seconds, 2000000000LL);
    EXPECT_LT(seconds, 2000000060LL);
    EXPECT_GT(std::abs(static_cast<double>(std::time(nullptr)) - 2e9), 1e6) << "the host clock never moves";

    sim::Json status = board.Status();
    EXPECT_EQ(status.value("program_starts", 0.0), 2);
    EXPECT_EQ(FirstResetCause(status), "reboot");
    EXPECT_EQ(board.CountLog("program-exit", "signal 9"), 1u);
    EXPECT_EQ(board.CountLog("clock", "hardware clock set to 2033-05-18"), 1u);
    const sim::Json* clock = simtest::Member(status, "clock");
    ASSERT_NE(clock, nullptr) << status.dump();
    EXPECT_NEAR(clock->value("system_s", 0.0), 2e9, 60);  // the setting shows in the status
    EXPECT_NEAR(clock->value("hardware_s", 0.0), 2e9, 60);
}

// clock.jump moves the system clock the program reads, not the hardware
// clock and never the host's; malformed or out-of-range jumps are refused.
TEST_F(BoardTest, ClockJumpMovesTheSystemClockTheProgramReads) {
    board.Script("print ready\nsleep 3000\ngettime\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(board.WaitForConsole("ready", 10s)) << board.Console();
    for (const char* bad : {R"({"cmd":"clock.jump"})", R"({"cmd":"clock.jump","seconds":2.5})",
                            R"({"cmd":"clock.jump","seconds":"60"})", R"({"cmd":"clock.jump","seconds":1000000001})"}) {
        const sim::Json reply = board.Control(bad);
        EXPECT_FALSE(reply.value("ok", true)) << bad;
        EXPECT_EQ(reply.value("error", std::string()), "\"seconds\" must be an integer, -1000000000..1000000000");
    }
    const double host = static_cast<double>(std::time(nullptr));
    const sim::Json reply = board.Control(R"({"cmd":"clock.jump","seconds":-7200})");
    ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
    const sim::Json* clock = simtest::Member(reply, "clock");
    ASSERT_NE(clock, nullptr) << reply.dump();
    EXPECT_NEAR(clock->value("system_s", 0.0), host - 7200, 5);
    EXPECT_NEAR(clock->value("hardware_s", 0.0), host, 5) << "the hardware clock keeps its time";
    EXPECT_EQ(board.CountLog("clock", "system clock jumped -7200 s"), 1u);

    ASSERT_TRUE(board.WaitForConsole("gettime rc=0", 10s)) << board.Console();
    const std::string console = board.Console();
    const long long seconds = std::atoll(console.c_str() + console.find("sec=", console.find("gettime rc=0")) + 4);
    EXPECT_NEAR(static_cast<double>(seconds), host - 7200, 5) << console;
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)), host, 30) << "the host clock never moves";
}

TEST_F(BoardTest, ProgramExitRestartsAfterOneSecond) {
    board.Script("exit 3\n", 1);
    board.Script("hang\n", 2);
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(WaitUntil([&] { return board.Status().value("program_starts", 0.0) == 2; }, 10s));
    sim::Json status = board.Status();
    EXPECT_EQ(FirstResetCause(status), "program exit");
    EXPECT_EQ(status.value("last_exit", std::string()), "exit 3");
    double exited = LogTime(board, "program-exit", "exit 3");
    double reset = LogTime(board, "reset", "program exit");
    ASSERT_GE(exited, 0);
    EXPECT_GE(reset - exited, 950);
}

// ---- The watchdog ------------------------------------------------------------

TEST_F(BoardTest, WatchdogResetsWhenFeedingStops) {
    board.Script("watchdog-open\nwatchdog-timeout 30\nfeed 2 100\nhang\n", 1);
    board.Script("hang\n", 2);
    ASSERT_TRUE(board.Start({"--watchdog-timeout", "2"}));
    ASSERT_TRUE(board.WaitForConsole("fed 2", 5s));
    EXPECT_EQ(WatchdogField(board.Status(), "reset_after_s"), 2);
    // The reset is recorded just before the program starts again.
    ASSERT_TRUE(WaitUntil([&] {
        const sim::Json status = board.Status();
        return ResetCount(status) == 1 && status.value("program_starts", 0.0) == 2;
    }, 8s));
    sim::Json status = board.Status();
    EXPECT_EQ(FirstResetCause(status), "watchdog");
    EXPECT_EQ(status.value("program_starts", 0.0), 2);
    // After the reset the watchdog is closed again until the program opens it.
    EXPECT_FALSE(WatchdogFlag(status, "armed"));
    double started = LogTime(board, "program-start", "start 1");
    double reset = LogTime(board, "reset", "watchdog");
    EXPECT_GE(reset - started, 2000) << "no reset before the timeout";
}

TEST_F(BoardTest, MagicCloseDisarmsButPlainCloseDoesNot) {
    // Boot 1 outlives the 2 s timeout after a magic close: no watchdog reset,
    // its exit restarts the board after 1 s. Boot 2 closes without the magic
    // and exits: the armed watchdog, not the 1 s restart, brings the board back.
    board.Script("watchdog-open\nfeed 1 0\nmagic-close\nsleep 2600\nexit 0\n", 1);
    board.Script("watchdog-open\nclose\nexit 0\n", 2);
    board.Script("hang\n", 3);
    ASSERT_TRUE(board.Start({"--watchdog-timeout", "2"}));
    ASSERT_TRUE(WaitUntil([&] { return board.Status().value("program_starts", 0.0) == 3; }, 15s));
    sim::Json status = board.Status();
    const sim::Json* resets = simtest::Member(status, "resets");
    ASSERT_TRUE(resets && resets->size() == 2) << status.dump();
    EXPECT_EQ((*resets)[0].value("cause", std::string()), "program exit");
    EXPECT_EQ((*resets)[1].value("cause", std::string()), "watchdog");
    EXPECT_EQ(board.CountLog("watchdog", "disarmed"), 1u);
    EXPECT_EQ(board.CountLog("watchdog", "stays armed"), 1u);
    double exited = LogTime(board, "program-exit", "exit 0");
    double opened = -1;
    for (const sim::Json& e : board.Log())
        if (e.value("kind", std::string()) == "open" && e.value("detail", std::string()).find("/dev/watchdog") != std::string::npos)
            opened = e.value("ms", 0.0);  // the last open: boot 2's
    double reset = (*resets)[1].value("ms", 0.0);
    EXPECT_GE(reset - opened, 2000);
    EXPECT_GE(reset - exited, 1000);
}

TEST_F(BoardTest, StalledFeedLetsTheWatchdogReset) {
    board.Script("watchdog-open\nfeed-forever 200\n", 1);
    board.Script("hang\n", 2);
    ASSERT_TRUE(board.Start({"--watchdog-timeout", "3"}));
    ASSERT_TRUE(WaitUntil([&] { return WatchdogField(board.Status(), "feeds") >= 3; }, 5s));
    ASSERT_TRUE(board.Control(R"({"cmd":"player.stall"})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return WatchdogFlag(board.Status(), "holding"); }, 2s));
    double held = WatchdogField(board.Status(), "feeds");
    std::this_thread::sleep_for(600ms);
    sim::Json status = board.Status();
    if (ResetCount(status) == 0) {
        EXPECT_EQ(WatchdogField(status, "feeds"), held) << "a held write is no feed";
    }
    ASSERT_TRUE(WaitUntil([&] {
        const sim::Json now = board.Status();
        return ResetCount(now) == 1 && now.value("program_starts", 0.0) == 2;
    }, 8s));
    status = board.Status();
    EXPECT_EQ(FirstResetCause(status), "watchdog");
    EXPECT_FALSE(WatchdogFlag(status, "holding"));
    EXPECT_FALSE(WatchdogFlag(status, "stall_requested"));
}

TEST_F(BoardTest, ResumeReleasesTheHeldWriteInTime) {
    board.Script("watchdog-open\nfeed-forever 200\n", 1);
    ASSERT_TRUE(board.Start({"--watchdog-timeout", "3"}));
    ASSERT_TRUE(WaitUntil([&] { return WatchdogField(board.Status(), "feeds") >= 2; }, 5s));
    ASSERT_TRUE(board.Control(R"({"cmd":"player.stall"})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return WatchdogFlag(board.Status(), "holding"); }, 2s));
    double held = WatchdogField(board.Status(), "feeds");
    ASSERT_TRUE(board.Control(R"({"cmd":"player.resume"})").value("ok", false));
    size_t logged = board.Log().size();
    EXPECT_TRUE(WaitUntil([&] { return WatchdogField(board.Status(), "feeds") >= held + 10; }, 6s));
    EXPECT_EQ(ResetCount(board.Status()), 0u);
    EXPECT_EQ(board.Log().size(), logged) << "feeds are counters, never log entries";
}

// ---- Power-off ---------------------------------------------------------------

TEST_F(BoardTest, StopExitsZeroAndLeavesNoProcess) {
    board.Script("watchdog-open\nhang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(WaitUntil([&] { return WatchdogFlag(board.Status(), "opened"); }, 5s));
    pid_t program = static_cast<pid_t>(board.Status().value("program_pid", 0.0));
    ASSERT_GT(program, 0);
    EXPECT_FALSE(board.Control(R"({"cmd":"no.such"})").value("ok", true));
    EXPECT_FALSE(board.Control(R"({"cmd":)").value("ok", true));
    int status = board.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(::kill(program, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(Exists(board.At("/sim/board.sock")));
    EXPECT_NE(ReadFile(board.At("/sim/board.log")).find("powered off"), std::string::npos);
}

TEST_F(BoardTest, SigtermPowersOff) {
    board.Script("hang\n");
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(WaitUntil([&] { return board.Status().value("program_running", false); }, 5s));
    pid_t program = static_cast<pid_t>(board.Status().value("program_pid", 0.0));
    ASSERT_EQ(::kill(board.pid(), SIGTERM), 0);
    int status = board.Reap(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(::kill(program, 0), -1);
}

}  // namespace
