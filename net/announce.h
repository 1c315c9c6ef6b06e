// The announcement group 231.10.5.84: server announcements (the server's
// address and the clock), discovery of the terminals and the administrator's
// login that sets the network parameters; answers go to the group at 7806.
#ifndef PATERM_NET_ANNOUNCE_H
#define PATERM_NET_ANNOUNCE_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Frames received on the group.
enum : uint8_t {
    SERVER_CMD_ANNOUNCE = 0x20,
    SERVER_CMD_ANNOUNCE_B = 0x28,
    SERVER_CMD_ANNOUNCE_IP = 0x29,
    SERVER_CMD_SEARCH_PLAYER = 0x81,
    SERVER_CMD_LOGIN_SET_NET = 0x83,
};

// Frames sent to the group.
enum : uint8_t {
    PLAYER_CMD_SEARCH_ACK = 0x82,
    PLAYER_CMD_LOGIN_ACK = 0x84,
};

constexpr size_t kSearchAckLength = 140;
constexpr size_t kAnnounceBufferSize = 256;
constexpr uint32_t kAnnounceTimeoutUs = 30000000;
constexpr const char* kWebPasswordPath = "/etc/boa/www.passwd";

// One datagram of n bytes from the group, sent from `from`.
void AnnounceHandle(const uint8_t* buf, size_t n, const sockaddr_in& from);

// The announced server S (network order) under gSendMutex: true when it is
// (or now becomes) the server; then the lost count restarts and the central
// control hears that the server is present. 0, broadcast and multicast
// addresses are never adopted.
bool AnnounceAccept(uint32_t server);
// The clock follows the server's time t when it is more than 2 s away.
void AnnounceSetClock(int64_t t);

// eth0's address and netmask (host order): 0, or -1.
int GetEth0Addr(uint32_t* addr, uint32_t* mask);
// The default gateway (host order, 0 when there is none) from a route dump: 0, or -1.
int GetDefaultGateway(uint32_t* gw);
// The discovery answer's payload; false when eth0 or the routes cannot be read.
bool BuildSearchAck(uint8_t out[kSearchAckLength]);

// The login frame's fields from frame byte 15 on: user name, password, network parameters.
constexpr size_t kLoginTextLength = 16;
constexpr size_t kLoginPayloadLength = 2 * kLoginTextLength + 12;
// 0 when user and password are the administrator's in the web password file.
int LoginCheck(const uint8_t user[kLoginTextLength], const uint8_t password[kLoginTextLength]);

#endif  // PATERM_NET_ANNOUNCE_H
