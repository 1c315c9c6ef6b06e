// The upgrade URL command with an installer linked in: the downloaded package
// is handed over, and only an installation reboots the terminal.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"
#include "upgrade/upgrade.h"

using nettest::Bytes;
using testsupport::TempBoardRoot;

namespace {
int gInstallResult;
std::vector<std::string> gInstalledPaths;
}  // namespace

// Stands in for the upgrade library.
int UpgradeInstallPackage(const char* path) {
    gInstalledPaths.emplace_back(path);
    return gInstallResult;
}

namespace {

void RunUpgrade(TempBoardRoot& root, int installResult, std::vector<std::string>* lines) {
    nettest::LoadIdentity(root);
    gServerIp.store(htonl(0x0A000005));  // 10.0.0.5; only shell lines are made, nothing is sent
    gInstallResult = installResult;
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const Bytes frame = nettest::Frame(SERVER_CMD_UPGRADE_APP_URL, {'/', 'u', '.', 'b', 'i', 'n', 0});
    testing::internal::CaptureStdout();
    ServerCmdHandle(frame.data(), frame.size());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("upgrade not available"), std::string::npos);
    *lines = shell.lines();
}

const std::string kWget = "/tmp/wget  --no-check-certificate http://10.0.0.5/u.bin -O /tmp/upgrade_app.bin";

}  // namespace

TEST(UpgradeInstall, AnInstalledPackageEndsInAReboot) {
    TempBoardRoot root;
    std::vector<std::string> lines;
    RunUpgrade(root, 1, &lines);
    EXPECT_EQ(gInstalledPaths, std::vector<std::string>{"/tmp/upgrade_app.bin"});
    EXPECT_EQ(lines, (std::vector<std::string>{kWget, "ls -al /tmp/upgrade_app.bin", "reboot"}));
}

TEST(UpgradeInstall, NothingInstalledKeepsTheTerminalRunning) {
    TempBoardRoot root;
    std::vector<std::string> lines;
    RunUpgrade(root, 0, &lines);
    EXPECT_EQ(gInstalledPaths.size(), 1u);
    EXPECT_EQ(lines, (std::vector<std::string>{kWget, "ls -al /tmp/upgrade_app.bin"}));
}
