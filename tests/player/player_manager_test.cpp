// The player manager task on a running runtime: ticks reach the central
// control once a second, and a watchdog that cannot be opened stops message
// handling while everything else goes on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "player/player_manager.h"
#include "player/player_msg.h"
#include "player/player_state.h"
#include "player/settings.h"
#include "runtime/vos.h"
#include "tests/support/board_root.h"

using testsupport::TempBoardRoot;
using namespace std::chrono_literals;

namespace {

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

}  // namespace

TEST(PlayerManager, TicksSaveChangedChannelSettingsWithinASecondOrTwo) {
    TempBoardRoot root;
    VosStart();
    testing::internal::CaptureStdout();
    PlayerLoadSettings();  // no EEPROM: watchdog disabled
    ASSERT_EQ(PlayerQueueStart(), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(root.read("/opt/lpc3250/chncfg"), std::vector<uint8_t>(8, 0));

    // Through the queue: the task restores the stored channels before its loop.
    ASSERT_EQ(PanelPostMsg(eSVC_MSG_TYPE_CHN2_KEY, nullptr, 0), 0);
    EXPECT_TRUE(WaitFor([&] { return root.read("/opt/lpc3250/chncfg")[2] == 1; }, 3000ms));
}

TEST(PlayerManager, WatchdogThatCannotBeOpenedStopsMessageHandling) {
    TempBoardRoot root;
    std::vector<uint8_t> eeprom(64, 0xFF);
    eeprom[16] = 1;  // watchdog wanted; this root has no /dev/watchdog
    root.write("/dev/i2c-eeprom0", eeprom);
    VosStart();
    testing::internal::CaptureStdout();
    PlayerLoadSettings();
    ASSERT_EQ(PlayerQueueStart(), 0);
    std::this_thread::sleep_for(300ms);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("FATAL Error! Can not open watchdog\n\r"), std::string::npos);

    // Posts still succeed, but nobody takes them off the queue.
    ASSERT_EQ(PanelPostMsg(eSVC_MSG_TYPE_BRD_KEY, nullptr, 0), 0);
    std::this_thread::sleep_for(300ms);
    void* waiting = nullptr;
    ASSERT_EQ(VosQueueReceive(static_cast<uint32_t>(gPlayerQueueId.load()), 1, 0, &waiting), eOD_RET_OK);
    EXPECT_EQ(static_cast<PlayerMsg*>(waiting)->msgType, eSVC_MSG_TYPE_BRD_KEY);
    free(waiting);
}

// With standard input closed the watchdog is descriptor 0, and it is fed.
TEST(PlayerManager, WatchdogOnDescriptorZeroIsOpenedAndFed) {
    TempBoardRoot root;
    std::vector<uint8_t> eeprom(64, 0xFF);
    eeprom[16] = 1;
    root.write("/dev/i2c-eeprom0", eeprom);
    root.write("/dev/watchdog", {});  // standalone, a regular file stands in for the device
    VosStart();
    testing::internal::CaptureStdout();
    PlayerLoadSettings();
    close(0);
    ASSERT_EQ(PlayerQueueStart(), 0);
    EXPECT_TRUE(WaitFor([&] { return !root.read("/dev/watchdog").empty(); }, 3000ms));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Can not open watchdog"), std::string::npos);
}
