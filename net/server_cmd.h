// The server command protocol: the commands the management server sends to
// port 8205, the terminal's status report and version answer to port 8206,
// the watch that declares the server lost, and the network parameters.
#ifndef PATERM_NET_SERVER_CMD_H
#define PATERM_NET_SERVER_CMD_H

#include <cstddef>
#include <cstdint>

// Commands received on port 8205.
enum : uint8_t {
    SERVER_CMD_PWR_ON_OFF = 0x30,
    SERVER_CMD_SET_NET_PARAM = 0x3F,
    SERVER_CMD_PLAYER_GRP_INFO = 0x45,
    SERVER_CMD_GET_VERSION = 0x70,
    SERVER_CMD_UPGRADE_APP_URL = 0x71,
    SERVER_CMD_DGT_BRD_START = 0x83,
    SERVER_CMD_DGT_BRD_STOP = 0x85,
};

// Frames the terminal sends to port 8206.
enum : uint8_t {
    PLAYER_CMD_VERSION_INFO = 0x49,
    PLAYER_CMD_STATUS = 0x81,
};

constexpr size_t kStatusPayloadLength = 73;
constexpr size_t kVersionPayloadLength = 34;
constexpr size_t kNetParamsLength = 12;  // address, netmask, gateway; first byte = first octet
constexpr size_t kUpgradePathMax = 400;
constexpr const char* kUpgradePackagePath = "/tmp/upgrade_app.bin";

// One datagram of n bytes from port 8205. Frames with a bad envelope, another
// terminal's identifier or a payload shorter than their command needs are
// dropped silently; unknown commands are ignored.
void ServerCmdHandle(const uint8_t* buf, size_t n);

// The status report; its request byte is 1 when flag is not 0.
void StatusReport(int flag);
void BuildStatusPayload(int flag, uint8_t out[kStatusPayloadLength]);
void BuildVersionPayload(uint8_t out[kVersionPayloadLength]);

// Every fifth tick: the status report, then the server is declared lost at
// the fifth watch without an accepted announcement, and again at every later one.
void ServerWatch(void);

// Checks the 12-byte record (subnet mask, gateway in the subnet) and writes it
// to the EEPROM: 0, or -1 (refused silently, or the EEPROM failed).
int WriteNetParams(const uint8_t* p);

// The upgrade URL command: path is the payload's NUL-terminated text, n the
// datagram's length. Downloads the package from the server and installs it.
void UpgradeUrlHandle(const char* path, size_t n);
// True for a URL path that is safe inside a shell line: it begins with '/'
// and holds only letters, digits and -._~/%
bool UpgradePathIsSafe(const char* path);

#endif  // PATERM_NET_SERVER_CMD_H
