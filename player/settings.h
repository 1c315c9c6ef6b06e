// The terminal's stored data: the advanced settings file, the channel
// settings file and the EEPROM identity, with their byte layouts, the
// start-up load and the save operations.
#ifndef PATERM_PLAYER_SETTINGS_H
#define PATERM_PLAYER_SETTINGS_H

#include <cstdint>

constexpr const char* kExtOptsPath = "/opt/lpc3250/sysExtOpts";
constexpr const char* kChnCfgPath = "/opt/lpc3250/chncfg";
constexpr const char* kEepromPath = "/dev/i2c-eeprom0";

// EEPROM layout.
constexpr int kEepromDeviceIdOffset = 0;
constexpr int kDeviceIdLength = 10;
constexpr int kEepromWatchdogOffset = 16;
constexpr int kEepromNetParamsOffset = 32;  // address, netmask, gateway
constexpr int kEepromServerIpOffset = 44;

// Advanced settings, "/opt/lpc3250/sysExtOpts": 8 bytes, little-endian.
#pragma pack(push, 1)
typedef struct player_ext_opts {
    uint16_t delayTime;  // seconds without audio before it counts as lost
    uint8_t autoFlag;    // 1: auto mode may be switched on from the panel
    uint8_t rsv[5];
} player_ext_opts_t;

// Channel settings, "/opt/lpc3250/chncfg": 8 bytes. Channel 3 comes first.
typedef struct player_chn_cfg {
    uint8_t chn3On;
    uint8_t chn1On;
    uint8_t chn2On;
    uint8_t autoMode;
    uint16_t brdGrpMask;  // little-endian on disk
    uint8_t rsv[2];
} player_chn_cfg_t;
#pragma pack(pop)
static_assert(sizeof(player_ext_opts_t) == 8, "advanced settings file is 8 bytes");
static_assert(sizeof(player_chn_cfg_t) == 8, "channel settings file is 8 bytes");

constexpr uint16_t kDefaultDelayTime = 10;

extern player_ext_opts_t gPlayerExtOpts;
extern player_chn_cfg_t gPlayerChnCfg;

// Start-up: EEPROM identity, both settings files (missing ones are created
// with defaults), a cleared PlayerState, the MP3 length reader.
void PlayerLoadSettings(void);

int PlayerSaveExtOpts(const void* image);  // 0 or -1
int PlayerSaveChnCfg(void);                // 0 or -1
// PlayerSaveChnCfg without the message for a file that cannot be opened.
int PlayerSaveChnCfgQuietly(void);

// The advanced settings as a whole; another task reads single fields while
// the central control stores a new image, so stores go byte by byte atomically.
void PlayerSetExtOpts(const void* image);
player_ext_opts_t* GetExtOpts(void);
int GetDelayTime(void);
int GetAutoFlag(void);

player_chn_cfg_t* GetChnCfg(void);

int GetWatchdogFlag(void);
const char* GetDeviceId(void);  // 10 characters and a terminating 0

#endif  // PATERM_PLAYER_SETTINGS_H
