// The real program's kernel events on the simulated board: the process id
// is registered with the control device only after its five-second priming,
// events then reach the program through the kernel's netlink event module,
// and an empty netlink message ends the program with status 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

using simtest::BoardRun;
using simtest::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Board time of the first log entry of a kind whose detail holds text; -1: none.
double FirstLogMs(BoardRun& run, const std::string& kind, const std::string& text) {
    for (const sim::Json& e : run.Log())
        if (e.value("kind", "") == kind && e.value("detail", "").find(text) != std::string::npos)
            return e.value("ms", -1.0);
    return -1;
}

std::string Hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

}  // namespace

TEST(TerminalKernelEvents, RegisteredAfterPrimingThenEventsArriveAndAnEmptyMessageEndsTheProgram) {
    static const bool privateNet = cgitest::EnterPrivateNetwork();
    (void)privateNet;
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start({"--watchdog-flag", "0"}));

    ASSERT_TRUE(WaitUntil([&] { return FirstLogMs(run, "open", "/dev/nOrv_ctrl O_RDWR") >= 0; }, 10s));
    const double openedMs = FirstLogMs(run, "open", "/dev/nOrv_ctrl O_RDWR");
    // Still priming: the kernel knows no receiver yet.
    const sim::Json early = run.Control(R"({"cmd":"audio.detect"})");
    EXPECT_FALSE(early.value("delivered", true)) << early.dump();

    const int pid = static_cast<int>(run.Status().value("program_pid", 0.0));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(run.WaitForConsole("user space userPid:" + Hex(pid) + "\n", 15s)) << run.Console();
    EXPECT_GE(run.Status().value("uptime_ms", 0.0) - openedMs, 5000.0);
    EXPECT_EQ(run.Status().value("netlink_port", 0.0), pid);
    EXPECT_EQ(run.Console().find("rcv eKNL_MSG_TYPE_AUDIO_DETECTED"), std::string::npos);

    // The ioctl follows the line at once; the module then delivers.
    ASSERT_TRUE(WaitUntil([&] { return run.Control(R"({"cmd":"audio.detect"})").value("delivered", false); }, 5s));
    EXPECT_TRUE(run.WaitForConsole("rcv eKNL_MSG_TYPE_AUDIO_DETECTED \n", 5s)) << run.Console();
    EXPECT_TRUE(run.Control(R"({"cmd":"audio.lose"})").value("delivered", false));
    EXPECT_TRUE(run.WaitForConsole("rcv eSVC_MSG_TYPE_AUTO_LOST \n", 5s)) << run.Console();

    EXPECT_TRUE(run.Control(R"({"cmd":"netlink.event","type":0,"length":0})").value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return run.Status().value("last_exit", std::string()) == "exit 0"; }, 5s))
        << run.Status().dump();
    EXPECT_TRUE(run.WaitForConsole("Error:  Exit.", 5s)) << run.Console();
    EXPECT_EQ(run.Console().find("Error:  recvmsg:"), std::string::npos);

    const int status = run.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}
