// The frames paterm-server sends: server commands to one terminal (port
// 8205) and announcements, discovery and login on the group (port 7805).
// Each builder answers the complete NetFrame, or an empty vector when its
// arguments cannot be carried.
#ifndef PATERM_TOOLS_SERVER_SERVER_FRAMES_H
#define PATERM_TOOLS_SERVER_SERVER_FRAMES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace srvproto {

using Bytes = std::vector<uint8_t>;
using DevId = std::array<uint8_t, 10>;

// Server commands, to the terminal's port 8205.
constexpr uint8_t SERVER_CMD_PWR_ON_OFF = 0x30;
constexpr uint8_t SERVER_CMD_SET_NET_PARAM = 0x3F;
constexpr uint8_t SERVER_CMD_PLAYER_GRP_INFO = 0x45;
constexpr uint8_t SERVER_CMD_GET_VERSION = 0x70;
constexpr uint8_t SERVER_CMD_UPGRADE_APP_URL = 0x71;
constexpr uint8_t SERVER_CMD_DGT_BRD_START = 0x83;
constexpr uint8_t SERVER_CMD_DGT_BRD_STOP = 0x85;
// Group frames, to 231.10.5.84 port 7805.
constexpr uint8_t SERVER_CMD_ANNOUNCE = 0x20;
constexpr uint8_t SERVER_CMD_ANNOUNCE_IP = 0x29;
constexpr uint8_t SERVER_CMD_SEARCH_PLAYER = 0x81;
constexpr uint8_t SERVER_CMD_LOGIN_SET_NET = 0x83;

constexpr uint16_t kTerminalCmdPort = 8205;
constexpr uint16_t kServerPort = 8206;
constexpr uint16_t kGroupPort = 7805;
constexpr uint16_t kGroupAnswerPort = 7806;
constexpr const char* kGroupAddress = "231.10.5.84";

// The terminal reads at most 1023 bytes of a command datagram.
constexpr size_t kMaxCommandFrame = 1023;
constexpr size_t kGroupCount = 10;
constexpr size_t kLoginFieldLength = 16;
// The terminal refuses longer upgrade paths.
constexpr size_t kMaxUpgradePath = 400;

// IPv4 addresses are host-order values here (192.168.1.10 is 0xC0A8010A).
struct NetParams {
    uint32_t addr = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
};

struct Grant {
    uint16_t brdId = 0;
    uint32_t addr = 0;
    uint16_t port = 0;
};

// Exactly 10 printable ASCII characters, as the terminal's EEPROM holds them.
bool ParseDeviceId(const std::string& text, DevId* out);
std::string DeviceIdText(const uint8_t* id);

// Payloads, for the layouts alone.
std::array<uint8_t, 8> GrantPayload(const Grant& grant);
std::array<uint8_t, 12> NetParamsPayload(const NetParams& params);
// Length field, then for each of the ten groups a length byte and the
// name's UTF-8 bytes (missing groups empty). Empty when there are more than
// ten names, a name over 255 bytes, or the frame would exceed what the
// terminal reads.
Bytes GroupNamesBlock(const std::vector<std::string>& names);
// Only letters, digits and "/._-", starting with '/', at most 400 bytes:
// the terminal pastes the path into a shell command line.
bool UpgradePathSafe(const std::string& path);

Bytes BuildMode(const DevId& id, uint8_t mode);
Bytes BuildGrant(const DevId& id, const Grant& grant);
Bytes BuildStop(const DevId& id, uint16_t brdId);
Bytes BuildGroupNames(const DevId& id, const std::vector<std::string>& names);
Bytes BuildVersionQuery(const DevId& id);
Bytes BuildNetParams(const DevId& id, const NetParams& params);
Bytes BuildUpgradeUrl(const DevId& id, const std::string& path);

// now: seconds since 1970, carried little-endian in bytes 5-8.
Bytes BuildAnnounce(uint32_t now);
// 0x29 also carries the server's address in bytes 13-16 (first octet first).
Bytes BuildAnnounceIp(uint32_t now, uint32_t serverAddr);
Bytes BuildSearch(const DevId& id);
// Empty when the user name or password exceeds 16 bytes.
Bytes BuildLogin(const DevId& id, const std::string& user, const std::string& password, const NetParams& params);

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_SERVER_FRAMES_H
