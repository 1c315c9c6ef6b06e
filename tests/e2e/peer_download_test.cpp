// paterm-peer against the real program on the simulated board, both in the
// test's own network namespace: a kernel image goes block by block over the
// peer link and the terminal writes it to its NAND partition.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "board/sim/flash.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"
#include "tests/upgrade/upgrade_fixtures.h"

using simtest::BoardRun;
using namespace std::chrono_literals;

namespace {

// The tool's exit status; its output goes to log.
int RunPeer(const std::string& args, const std::string& log) {
    const std::string command = std::string(PATERM_PEER_EXE) +
                                " --terminal 127.0.0.1 --id PT00000001 --timeout 500 --tries 10 " + args + " >" +
                                log + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(PeerDownload, AKernelImageReachesTheTerminalsNand) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no network namespace";
    BoardRun run;
    run.UseProgram(PATERM_EXE);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitForConsole("device ID is PT00000001", 10s)) << run.Console();

    simtest::TempDir aside;
    const upgradetest::Bytes image = upgradetest::MakeUImage(upgradetest::Pattern(50000, 11));
    const std::string file = aside.path() + "/uImage";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    const std::string log = aside.path() + "/peer.log";

    ASSERT_EQ(RunPeer("probe", log), 0) << simtest::ReadFile(log);
    ASSERT_EQ(RunPeer("query", log), 0) << simtest::ReadFile(log);
    EXPECT_NE(simtest::ReadFile(log).find("query answer: 0A A1 00 04 05 00"), std::string::npos)
        << simtest::ReadFile(log);
    ASSERT_EQ(RunPeer("--block 4000 download kernel " + file + " end", log), 0) << simtest::ReadFile(log);
    const std::string out = simtest::ReadFile(log);
    EXPECT_NE(out.find("block 13 of 13"), std::string::npos) << out;
    EXPECT_NE(out.find("link closed"), std::string::npos) << out;

    const std::string nand = simtest::ReadFile(run.At("/dev/mtd2"));
    ASSERT_EQ(nand.size(), sim::kNandSize);
    EXPECT_TRUE(nand.compare(0, image.size(), std::string(image.begin(), image.end())) == 0);
    EXPECT_EQ(nand.find_first_not_of('\xFF', image.size()), std::string::npos);
    EXPECT_EQ(run.CountLog("shell", "nandwrite -p /dev/mtd2 /tmp/uImage"), 1u);
    EXPECT_EQ(run.CountLog("shell", "reboot"), 0u);

    // A file that is no kernel image is refused at the end, and the peer is told.
    std::ofstream(aside.path() + "/junk") << "no image at all";
    EXPECT_EQ(RunPeer("download kernel " + aside.path() + "/junk end-reboot", log), 1) << simtest::ReadFile(log);
    EXPECT_NE(simtest::ReadFile(log).find("could not install it"), std::string::npos) << simtest::ReadFile(log);
    EXPECT_EQ(run.CountLog("shell", "flash_eraseall"), 1u);
    EXPECT_EQ(run.CountLog("shell", "reboot"), 0u);
    run.Stop();
}
