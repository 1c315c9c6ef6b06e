// The central control's tick (watchdog feed, server watch, channel settings
// check) and its rejection of unknown message types.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "net/net.h"
#include "player/central_ctrl.h"
#include "player/player_manager.h"
#include "player/player_state.h"
#include "player/settings.h"
#include "tests/support/board_root.h"

using testsupport::TempBoardRoot;
using Bytes = std::vector<uint8_t>;

namespace {

void Handle(uint16_t type) {
    PlayerMsg message{};
    message.msgType = type;
    PlayerCentralCtrl(&message);
}

void Tick() { Handle(eSVC_MSG_TYPE_TIMER_1S); }

}  // namespace

TEST(CentralCtrlDispatch, RejectsTypesOutsideTheTable) {
    testing::internal::CaptureStdout();
    Handle(0);
    Handle(40);
    Handle(0xFFFF);
    Handle(eSVC_MSG_TYPE_CGI_EXT_OPTS - 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Central ctrl received invalid msgType:0 \r\n"
              "Central ctrl received invalid msgType:40 \r\n"
              "Central ctrl received invalid msgType:65535 \r\n");
}

TEST(CentralCtrlTick, FeedsTheWatchdogOneZeroByte) {
    TempBoardRoot root;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    gPlayerWatchdogFd = pipeFds[1];
    Tick();
    Tick();
    uint8_t feeds[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(read(pipeFds[0], feeds, sizeof feeds), 2);
    EXPECT_EQ(feeds[0], 0);
    EXPECT_EQ(feeds[1], 0);
    gPlayerWatchdogFd = -1;
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(CentralCtrlTick, WritesChannelSettingsOnlyWhenTheyChange) {
    TempBoardRoot root;
    const std::string file = "/opt/lpc3250/chncfg";
    Tick();  // state and record both all zero
    EXPECT_FALSE(root.exists(file));

    SetChn1Level(30);  // levels are not stored
    SetMasterLevel(60);
    Tick();
    EXPECT_FALSE(root.exists(file));

    SetChn3On(1);
    SetChn2On(1);
    SetAutoMode(1);
    SetBrdGrpBit(0, 1);
    SetBrdGrpBit(9, 1);
    Tick();
    EXPECT_EQ(root.read(file), (Bytes{1, 0, 1, 1, 0x01, 0x02, 0, 0}));

    std::filesystem::remove(root.at(file));
    Tick();
    EXPECT_FALSE(root.exists(file));
}

TEST(CentralCtrlTick, RetriesAChannelSettingsWriteThatFailed) {
    TempBoardRoot root;
    const std::string file = "/opt/lpc3250/chncfg";
    std::filesystem::create_directory(root.at(file));  // opening it for writing fails
    SetChn1On(1);
    testing::internal::CaptureStdout();
    Tick();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot open /opt/lpc3250/chncfg for writing"),
              std::string::npos);
    std::filesystem::remove(root.at(file));
    Tick();  // nothing changed since, but the file does not hold the state yet
    EXPECT_EQ(root.read(file), (Bytes{0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(CentralCtrlTick, ReportsAFailingChannelSettingsWriteOncePerStreak) {
    TempBoardRoot root;
    const std::string file = root.at("/opt/lpc3250/chncfg");
    auto count = [](const std::string& out, const std::string& text) {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    };
    std::filesystem::create_directory(file);  // opening it for writing fails
    SetChn1On(1);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 4; ++i) Tick();
    std::filesystem::remove(file);
    Tick();  // written
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    SetChn2On(1);
    for (int i = 0; i < 4; ++i) Tick();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count(out, "Error, cannot open /opt/lpc3250/chncfg for writing."), 2u) << out;
    EXPECT_EQ(count(out, "Error:  "), 2u);
}

TEST(CentralCtrlTick, WatchesTheServerOnEveryFifthTick) {
    TempBoardRoot root;
    gServerIp.store(0);  // each watch's report is dropped with its message
    auto ticks = [](int n) {
        testing::internal::CaptureStdout();
        for (int i = 0; i < n; ++i) Tick();
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(ticks(4), "");
    EXPECT_EQ(gServerLostCnt, 0u);
    EXPECT_EQ(ticks(1), "SendDataToServer: Server IP is invalid\n");
    EXPECT_EQ(ticks(4), "");
    EXPECT_EQ(ticks(1), "SendDataToServer: Server IP is invalid\n");
    EXPECT_EQ(gServerLostCnt, 2u);
}
