// The settings store: loading the EEPROM identity and the two settings files
// at start-up, and rewriting the files whole so a power cut leaves the old
// record or the new one.
#include "player/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "board/durable_file.h"
#include "mp3/mp3_length.h"
#include "player/player_state.h"

player_ext_opts_t gPlayerExtOpts;
player_chn_cfg_t gPlayerChnCfg;

namespace {

char gDeviceId[kDeviceIdLength + 1];
uint8_t gWatchdogFlag;

constexpr uint8_t kDefaultExtOpts[sizeof(player_ext_opts_t)] = {kDefaultDelayTime, 0, 0, 0, 0, 0, 0, 0};

void PrintError(const char* text) {
    printf("Error:  ");
    printf("%s", text);
}

// Reads `count` bytes at `offset`; false after printing the failure.
bool EepromReadAt(int fd, off_t offset, void* into, ssize_t count, const char* shortReadText) {
    if (lseek(fd, offset, SEEK_SET) < 0) {
        printf("Error:  ");
        printf("Error: cannot seek to offse: %d\n", static_cast<int>(offset));
        return false;
    }
    if (board::Read(fd, into, count) != count) {
        PrintError(shortReadText);
        return false;
    }
    return true;
}

void LoadEepromIdentity() {
    const int fd = board::Open(kEepromPath, O_RDONLY);
    if (fd < 0) {
        printf("Error:  ");
        printf("Error, cannot open %s for reading.\n", kEepromPath);
        return;
    }
    const bool ok = EepromReadAt(fd, kEepromDeviceIdOffset, gDeviceId, kDeviceIdLength, "Read device id Error") &&
                    EepromReadAt(fd, kEepromWatchdogOffset, &gWatchdogFlag, 1, "Read Error");
    board::Close(fd);
    if (!ok) return;
    gDeviceId[kDeviceIdLength] = 0;
    printf("device ID is %s\r\n", gDeviceId);
    printf("watchdog is %d\r\n", gWatchdogFlag);
}

// Reads a whole 8-byte settings file; -1 when it cannot be opened, 0 on a
// short read, 1 when complete.
int ReadSettingsFile(const char* path, void* into, size_t size) {
    const int fd = board::Open(path, O_RDONLY);
    if (fd < 0) {
        printf("Error:  ");
        printf("Error, cannot open %s for reading.\n", path);
        return -1;
    }
    const ssize_t got = board::Read(fd, into, size);
    board::Close(fd);
    return got == static_cast<ssize_t>(size) ? 1 : 0;
}

void LoadChnCfg() {
    const int result = ReadSettingsFile(kChnCfgPath, &gPlayerChnCfg, sizeof gPlayerChnCfg);
    if (result == 1) return;
    std::memset(&gPlayerChnCfg, 0, sizeof gPlayerChnCfg);
    if (result < 0) {
        PlayerSaveChnCfg();
    } else {
        PrintError("Read Error");
    }
}

void LoadExtOpts() {
    const int result = ReadSettingsFile(kExtOptsPath, &gPlayerExtOpts, sizeof gPlayerExtOpts);
    if (result == 1) return;
    std::memcpy(&gPlayerExtOpts, kDefaultExtOpts, sizeof gPlayerExtOpts);
    if (result < 0) {
        PlayerSaveExtOpts(&gPlayerExtOpts);
    } else {
        PrintError("Read gPlayerExtOpts Error");
    }
}

// The file as it stands (empty when it cannot be read), so that a rewrite
// of its first bytes keeps whatever follows them.
std::vector<uint8_t> CurrentContent(const char* path) {
    std::vector<uint8_t> content;
    const int fd = board::Open(path, O_RDONLY);
    if (fd < 0) return content;
    uint8_t chunk[256];
    for (ssize_t n; (n = board::Read(fd, chunk, sizeof chunk)) > 0;) content.insert(content.end(), chunk, chunk + n);
    board::Close(fd);
    return content;
}

// Rewrites the first 8 bytes: a longer file keeps its tail. The file is
// replaced whole (written beside, flushed, renamed over), so a power cut
// during the save leaves the old record or the new one, never a torn or an
// empty file. The open failure is printed unless `quiet` (a retry whose
// first failure the caller has reported).
int SaveSettingsFile(const char* path, const void* image, size_t size, bool quiet = false) {
    std::vector<uint8_t> content = CurrentContent(path);
    if (content.size() < size) content.resize(size);
    std::memcpy(content.data(), image, size);
    const board::ReplaceResult result = board::ReplaceFile(path, content.data(), content.size(), 0600);
    if (result == board::ReplaceResult::kCannotCreate && !quiet) {
        printf("Error:  ");
        printf("Error, cannot open %s for writing.\n", path);
    }
    return result == board::ReplaceResult::kDone ? 0 : -1;
}

uint8_t ExtOptsByte(size_t index) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&gPlayerExtOpts);
    return __atomic_load_n(&bytes[index], __ATOMIC_RELAXED);
}

}  // namespace

void PlayerLoadSettings(void) {
    LoadEepromIdentity();
    LoadChnCfg();
    LoadExtOpts();
    PlayerStateClear();
    Mp3LengthInit();
}

int PlayerSaveExtOpts(const void* image) { return SaveSettingsFile(kExtOptsPath, image, sizeof(player_ext_opts_t)); }

int PlayerSaveChnCfg(void) { return SaveSettingsFile(kChnCfgPath, &gPlayerChnCfg, sizeof gPlayerChnCfg); }

int PlayerSaveChnCfgQuietly(void) {
    return SaveSettingsFile(kChnCfgPath, &gPlayerChnCfg, sizeof gPlayerChnCfg, true);
}

void PlayerSetExtOpts(const void* image) {
    const auto* from = static_cast<const uint8_t*>(image);
    auto* to = reinterpret_cast<uint8_t*>(&gPlayerExtOpts);
    for (size_t i = 0; i < sizeof gPlayerExtOpts; ++i) __atomic_store_n(&to[i], from[i], __ATOMIC_RELAXED);
}

player_ext_opts_t* GetExtOpts(void) { return &gPlayerExtOpts; }

int GetDelayTime(void) { return ExtOptsByte(0) | (ExtOptsByte(1) << 8); }

int GetAutoFlag(void) { return ExtOptsByte(offsetof(player_ext_opts_t, autoFlag)); }

player_chn_cfg_t* GetChnCfg(void) { return &gPlayerChnCfg; }

int GetWatchdogFlag(void) { return gWatchdogFlag != 0 ? 1 : 0; }

const char* GetDeviceId(void) { return gDeviceId; }
