// The settings store: loading the EEPROM identity and both settings files,
// defaults for missing and short files, in-place rewrites, and the
// PlayerState accessors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "player/player_state.h"
#include "player/settings.h"
#include "tests/support/board_root.h"

using testsupport::TempBoardRoot;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Eeprom(const std::string& id, uint8_t watchdog) {
    Bytes bytes(64, 0xFF);
    for (size_t i = 0; i < id.size(); ++i) bytes[i] = static_cast<uint8_t>(id[i]);
    bytes[16] = watchdog;
    return bytes;
}

std::string LoadAndCapture() {
    testing::internal::CaptureStdout();
    PlayerLoadSettings();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(SettingsLoad, MissingFilesAreCreatedWithDefaults) {
    TempBoardRoot root;
    const std::string out = LoadAndCapture();

    EXPECT_NE(out.find("Error:  Error, cannot open /dev/i2c-eeprom0 for reading.\n"), std::string::npos);
    EXPECT_NE(out.find("Error:  Error, cannot open /opt/lpc3250/chncfg for reading.\n"), std::string::npos);
    EXPECT_NE(out.find("Error:  Error, cannot open /opt/lpc3250/sysExtOpts for reading.\n"), std::string::npos);
    EXPECT_EQ(root.read("/opt/lpc3250/sysExtOpts"), (Bytes{0x0A, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(root.read("/opt/lpc3250/chncfg"), Bytes(8, 0));
    EXPECT_EQ(GetDelayTime(), 10);
    EXPECT_EQ(GetAutoFlag(), 0);
    // An unreadable EEPROM leaves the identity empty and the watchdog off.
    EXPECT_STREQ(GetDeviceId(), "");
    EXPECT_EQ(GetWatchdogFlag(), 0);
}

// With standard input closed every open below gets descriptor 0 in turn.
TEST(SettingsLoad, DescriptorZeroIsAnOpenFile) {
    TempBoardRoot root;
    root.write("/dev/i2c-eeprom0", Eeprom("0123456789", 1));
    root.write("/opt/lpc3250/sysExtOpts", {0x2D, 0, 0, 0, 0, 0, 0, 0});  // no chncfg: it is created
    testing::internal::CaptureStdout();
    close(0);
    PlayerLoadSettings();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("for writing"), std::string::npos) << out;
    EXPECT_STREQ(GetDeviceId(), "0123456789");
    EXPECT_EQ(GetDelayTime(), 45);
    EXPECT_EQ(root.read("/opt/lpc3250/chncfg"), Bytes(8, 0));
}

TEST(SettingsLoad, ReadsIdentityAndBothFiles) {
    TempBoardRoot root;
    root.write("/dev/i2c-eeprom0", Eeprom("TERM000042", 7));
    root.write("/opt/lpc3250/chncfg", {1, 0, 1, 1, 0x05, 0x02, 0, 0});
    root.write("/opt/lpc3250/sysExtOpts", {0x2C, 0x01, 0x01, 0, 0, 0, 0, 0});
    const std::string out = LoadAndCapture();

    EXPECT_NE(out.find("device ID is TERM000042\r\nwatchdog is 7\r\n"), std::string::npos);
    EXPECT_EQ(out.find("Error:  "), std::string::npos);
    EXPECT_STREQ(GetDeviceId(), "TERM000042");
    EXPECT_EQ(GetWatchdogFlag(), 1);
    const player_chn_cfg_t& cfg = *GetChnCfg();
    EXPECT_EQ(cfg.chn3On, 1);
    EXPECT_EQ(cfg.chn1On, 0);
    EXPECT_EQ(cfg.chn2On, 1);
    EXPECT_EQ(cfg.autoMode, 1);
    EXPECT_EQ(cfg.brdGrpMask, 0x0205);
    EXPECT_EQ(GetDelayTime(), 300);
    EXPECT_EQ(GetAutoFlag(), 1);
}

TEST(SettingsLoad, ShortFilesFallBackToDefaultsInMemoryOnly) {
    TempBoardRoot root;
    root.write("/opt/lpc3250/chncfg", {1, 1, 1, 1});
    root.write("/opt/lpc3250/sysExtOpts", {0x20, 0x00, 0x01});
    const std::string out = LoadAndCapture();

    EXPECT_NE(out.find("Error:  Read Error"), std::string::npos);
    EXPECT_NE(out.find("Error:  Read gPlayerExtOpts Error"), std::string::npos);
    EXPECT_EQ(GetChnCfg()->chn1On, 0);
    EXPECT_EQ(GetChnCfg()->chn3On, 0);
    EXPECT_EQ(GetDelayTime(), 10);
    EXPECT_EQ(GetAutoFlag(), 0);
    // The files are fixed on disk only when their content is next written.
    EXPECT_EQ(root.read("/opt/lpc3250/chncfg").size(), 4u);
    EXPECT_EQ(root.read("/opt/lpc3250/sysExtOpts").size(), 3u);
}

TEST(SettingsLoad, ShortEepromKeepsWhatWasRead) {
    TempBoardRoot root;
    root.write("/dev/i2c-eeprom0", {'A', 'B', 'C', 'D', 'E'});
    std::string out = LoadAndCapture();
    EXPECT_NE(out.find("Error:  Read device id Error"), std::string::npos);
    EXPECT_EQ(out.find("device ID is"), std::string::npos);
    EXPECT_STREQ(GetDeviceId(), "ABCDE");
    EXPECT_EQ(GetWatchdogFlag(), 0);
}

TEST(SettingsLoad, EepromWithoutWatchdogByteLeavesWatchdogOff) {
    TempBoardRoot root;
    root.write("/dev/i2c-eeprom0", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 0xFF, 0xFF});
    std::string out = LoadAndCapture();
    EXPECT_NE(out.find("Error:  Read Error"), std::string::npos);
    EXPECT_STREQ(GetDeviceId(), "0123456789");
    EXPECT_EQ(GetWatchdogFlag(), 0);
}

TEST(SettingsSave, RewritesInPlaceAndKeepsTheTail) {
    TempBoardRoot root;
    root.write("/opt/lpc3250/sysExtOpts", {0x0A, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC});
    const uint8_t image[8] = {0x2D, 0x00, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(PlayerSaveExtOpts(image), 0);
    EXPECT_EQ(root.read("/opt/lpc3250/sysExtOpts"), (Bytes{0x2D, 0, 1, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC}));
}

TEST(SettingsSave, ReportsAFileThatCannotBeOpened) {
    TempBoardRoot root;
    std::filesystem::remove_all(root.at("/opt/lpc3250"));
    const uint8_t image[8] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(PlayerSaveExtOpts(image), -1);
    EXPECT_EQ(PlayerSaveChnCfg(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error:  Error, cannot open /opt/lpc3250/sysExtOpts for writing.\n"), std::string::npos);
    EXPECT_NE(out.find("Error:  Error, cannot open /opt/lpc3250/chncfg for writing.\n"), std::string::npos);
}

// /dev/null takes the bytes but cannot flush them to storage.
TEST(SettingsSave, ASaveThatCannotBeFlushedFails) {
    TempBoardRoot root;
    std::filesystem::create_symlink("/dev/null", root.at("/opt/lpc3250/chncfg"));
    EXPECT_EQ(PlayerSaveChnCfg(), -1);
}

TEST(SettingsSave, NewFilesAreReadableOnlyByTheirOwner) {
    TempBoardRoot root;
    ASSERT_EQ(PlayerSaveChnCfg(), 0);
    struct stat info {};
    ASSERT_EQ(stat(root.at("/opt/lpc3250/chncfg").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ExtOpts, StoredImageIsReadBackFieldByField) {
    const uint8_t image[8] = {0x70, 0x11, 0x03, 0, 0, 0, 0, 0};
    PlayerSetExtOpts(image);
    EXPECT_EQ(GetDelayTime(), 4464);
    EXPECT_EQ(GetAutoFlag(), 3);
    EXPECT_EQ(GetExtOpts()->delayTime, 4464);
}

TEST(PlayerStateAccessors, LoadClearsTheStateAndSettersTruncate) {
    TempBoardRoot root;
    SetBrdState(2);
    SetMasterLevel(60);
    LoadAndCapture();
    EXPECT_EQ(GetBrdState(), 0);
    EXPECT_EQ(GetMasterLevel(), 0);

    SetBrdId(0x12345);
    EXPECT_EQ(GetBrdId(), 0x2345);
    SetChn2Level(300);
    EXPECT_EQ(GetChn2Level(), 300 - 256);
    SetGrpListPage(0x101);
    EXPECT_EQ(GetGrpListPage(), 1);
    SetAutoMode(0xFFFFFFFFu);
    EXPECT_EQ(static_cast<uint32_t>(GetAutoMode()), 0xFFFFFFFFu);
}

TEST(PlayerStateAccessors, GroupBitsStayInsideTheMask) {
    SetBrdGrpMask(0);
    SetBrdGrpBit(20, 1);
    EXPECT_EQ(GetBrdGrpMask(), 0);
    EXPECT_EQ(GetBrdGrpBit(20), 0);

    SetBrdGrpBit(9, 1);
    EXPECT_EQ(GetBrdGrpMask(), 0x200);
    EXPECT_EQ(GetBrdGrpBit(9), 1);
    // The bit number is taken modulo 256.
    EXPECT_EQ(GetBrdGrpBit(256 + 9), 1);
    SetBrdGrpBit(256 + 3, 1);
    EXPECT_EQ(GetBrdGrpMask(), 0x208);
    // Only on == 1 sets; any other value clears.
    SetBrdGrpBit(9, 2);
    EXPECT_EQ(GetBrdGrpMask(), 0x008);
}
