// The upgrade URL command with an installer linked in: the downloaded package
// is handed over, and only an installation reboots the terminal.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"
#include "upgrade/upgrade.h"

namespace {
int gInstallResult;
std::vector<std::string> gInstalledPaths;
}  // namespace

// Stands in for the upgrade library.
int UpgradeInstallPackage(const char* path) {
    gInstalledPaths.emplace_back(path);
    return gInstallResult;
}

TEST(UpgradeInstall, OnlyAnInstalledPackageEndsInAReboot) {
    testsupport::TempBoardRoot root;
    nettest::LoadIdentity(root);
    gServerIp.store(htonl(0x0A000005));  // 10.0.0.5; only shell lines are made, nothing is sent
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const nettest::Bytes frame = nettest::Frame(SERVER_CMD_UPGRADE_APP_URL, {'/', 'u', '.', 'b', 'i', 'n', 0});
    const std::string wget = "/tmp/wget  --no-check-certificate http://10.0.0.5/u.bin -O /tmp/upgrade_app.bin";

    gInstallResult = 0;
    ServerCmdHandle(frame.data(), frame.size());
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{wget, "ls -al /tmp/upgrade_app.bin"}));
    gInstallResult = 1;
    ServerCmdHandle(frame.data(), frame.size());
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{wget, "ls -al /tmp/upgrade_app.bin", wget,
                                                       "ls -al /tmp/upgrade_app.bin", "reboot"}));
    EXPECT_EQ(gInstalledPaths, (std::vector<std::string>{"/tmp/upgrade_app.bin", "/tmp/upgrade_app.bin"}));
}
