// The upgrade URL command in a program linked without the installer: which
// paths reach the download line and which are refused before any shell
// line runs.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"

using nettest::Bytes;
using nettest::Frame;
using testsupport::TempBoardRoot;

namespace {

Bytes PathPayload(const std::string& path) {
    Bytes payload(path.begin(), path.end());
    payload.push_back(0);
    return payload;
}

class UpgradeUrlTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::LoadIdentity(root);
        gServerIp.store(htonl(0xC0A8010A));  // 192.168.1.10; only shell lines are made, nothing is sent
    }
    std::string Handle(const Bytes& frame) {
        testing::internal::CaptureStdout();
        ServerCmdHandle(frame.data(), frame.size());
        return testing::internal::GetCapturedStdout();
    }
    TempBoardRoot root;
};

}  // namespace

TEST_F(UpgradeUrlTest, PlainPathIsDownloadedFromTheServerThenInstallIsUnavailable) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string path = "/fw/App-1.2_rc~3%20x.bin";
    const Bytes frame = Frame(SERVER_CMD_UPGRADE_APP_URL, PathPayload(path));
    const std::string out = Handle(frame);
    const std::string wget =
        "/tmp/wget  --no-check-certificate http://192.168.1.10" + path + " -O /tmp/upgrade_app.bin";
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{wget, "ls -al /tmp/upgrade_app.bin"}));
    EXPECT_EQ(out, "receive server upgrade app url, len:" + std::to_string(frame.size() - 15) + "d, url info:" + path +
                       "\nApp upgrade command is:" + wget + "\ndownload complete, ret:0\nError:  upgrade not available\n");
}

TEST_F(UpgradeUrlTest, PathsThatCouldLeaveTheUrlAreRefusedBeforeAnyShellLine) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string refused[] = {
        "/a;reboot",   "/a`reboot`",   "/$(reboot)", "/a'b",       "/a\"b",     "/a b",
        "/a\nreboot",  "/a|reboot",    "/a&reboot",  "/a>/tmp/x",  "/a\\b",     "/a*",
        "/a\tb",       "/a#b",         "/a?x=1",     "",           "fw/app.bin", ".evil.example/app.bin",
        "/\x80\xff",
    };
    for (const std::string& path : refused) {
        const std::string out = Handle(Frame(SERVER_CMD_UPGRADE_APP_URL, PathPayload(path)));
        EXPECT_NE(out.find("Error:  App download url is not a plain URL path, refused, url:" + path + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("App upgrade command is:"), std::string::npos) << path;
    }
    EXPECT_TRUE(shell.lines().empty());
}

TEST_F(UpgradeUrlTest, PathOver400CharactersIsRefused) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string tooLong = "/" + std::string(400, 'a');
    const std::string out = Handle(Frame(SERVER_CMD_UPGRADE_APP_URL, PathPayload(tooLong)));
    EXPECT_NE(out.find("Error:  App download url is not invalid, url:" + tooLong + "\n"), std::string::npos);
    EXPECT_TRUE(shell.lines().empty());

    const std::string longest = tooLong.substr(0, 400);
    Handle(Frame(SERVER_CMD_UPGRADE_APP_URL, PathPayload(longest)));
    ASSERT_EQ(shell.lines().size(), 2u);
    EXPECT_NE(shell.lines()[0].find("http://192.168.1.10" + longest + " -O"), std::string::npos);
}

TEST_F(UpgradeUrlTest, PathWithoutItsEndInThePayloadIsDroppedSilently) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    // The receive buffer holds zero bytes after the frame, as it does after
    // earlier longer datagrams; the path must still end inside the payload.
    const Bytes frame = Frame(SERVER_CMD_UPGRADE_APP_URL, Bytes{'/', 'a', 'p', 'p'});
    static uint8_t buffer[1024];
    std::memcpy(buffer, frame.data(), frame.size());
    testing::internal::CaptureStdout();
    ServerCmdHandle(buffer, frame.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(shell.lines().empty());
}

TEST_F(UpgradeUrlTest, WithoutAServerAddressNothingIsDownloaded) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    gServerIp.store(0);
    const std::string out = Handle(Frame(SERVER_CMD_UPGRADE_APP_URL, PathPayload("/app.bin")));
    EXPECT_NE(out.find("Error:  App download needs a server address, url:/app.bin\n"), std::string::npos);
    EXPECT_TRUE(shell.lines().empty());
}
