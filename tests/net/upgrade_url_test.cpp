// The upgrade URL command in a program linked without the installer: a plain
// path reaches the download line; anything else is refused before any shell
// line runs.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "net/net.h"
#include "net/server_cmd.h"
#include "net_test_support.h"

using nettest::Bytes;

namespace {

Bytes UrlFrame(const std::string& path, bool terminated = true) {
    Bytes payload(path.begin(), path.end());
    if (terminated) payload.push_back(0);
    return nettest::Frame(SERVER_CMD_UPGRADE_APP_URL, payload);
}

// The frame in a receive buffer that holds zero bytes after it.
std::string Handle(const Bytes& frame) {
    static uint8_t buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, frame.data(), frame.size());
    testing::internal::CaptureStdout();
    ServerCmdHandle(buffer, frame.size());
    return testing::internal::GetCapturedStdout();
}

class UpgradeUrlTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::LoadIdentity(root);
        gServerIp.store(htonl(0xC0A8010A));  // 192.168.1.10; only shell lines are made, nothing is sent
    }
    testsupport::TempBoardRoot root;
};

}  // namespace

TEST_F(UpgradeUrlTest, PlainPathIsDownloadedFromTheServer) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string path = "/fw/App-1.2_rc~3%20" + std::string(400 - 19, 'x');  // the longest allowed
    const Bytes frame = UrlFrame(path);
    const std::string wget = "/tmp/wget  --no-check-certificate http://192.168.1.10" + path + " -O /tmp/upgrade_app.bin";
    // The fake shell downloads nothing: the installer refuses the missing package.
    const std::string out = Handle(frame);
    EXPECT_EQ(out.rfind("receive server upgrade app url, len:" + std::to_string(frame.size() - 15) +
                            "d, url info:" + path + "\nApp upgrade command is:" + wget + "\ndownload complete, ret:0\n",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("cannot open /tmp/upgrade_app.bin"), std::string::npos) << out;
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{wget, "ls -al /tmp/upgrade_app.bin"}));
}

TEST_F(UpgradeUrlTest, RefusedPathsRunNothing) {
    nettest::ShellRecorder shell(root.dir());
    ASSERT_TRUE(shell.listening());
    const std::string notPlain[] = {
        "/a;reboot", "/a`reboot`", "/$(reboot)", "/a'b",   "/a\"b", "/a b",       "/a\nreboot", "/a|b",
        "/a&b",      "/a>/tmp/x",  "/a\\b",      "/a?x=1", "",      "fw/app.bin", ".evil.example/app.bin",  "/\x80",
    };
    for (const std::string& path : notPlain)
        EXPECT_NE(Handle(UrlFrame(path)).find("Error:  App download url is not a plain URL path, refused, url:" + path +
                                              "\n"),
                  std::string::npos)
            << path;
    const std::string tooLong = "/" + std::string(400, 'a');
    EXPECT_NE(Handle(UrlFrame(tooLong)).find("Error:  App download url is not invalid, url:" + tooLong + "\n"),
              std::string::npos);
    EXPECT_EQ(Handle(UrlFrame("/app.bin", false)), "");  // its end is not in the payload
    gServerIp.store(0);
    EXPECT_NE(Handle(UrlFrame("/app.bin")).find("Error:  App download needs a server address, url:/app.bin\n"),
              std::string::npos);
    EXPECT_TRUE(shell.lines().empty());
}
