// The announcement group's datagrams: server announcements with the adoption
// of the server's address and the clock, discovery answers, and the login
// that sets the network parameters.
#include "net/announce.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "board/board.h"
#include "net/net.h"
#include "net/net_frame.h"
#include "net/server_cmd.h"
#include "player/player_msg.h"
#include "player/settings.h"
#include "runtime/odwrap.h"

namespace {

constexpr int64_t kClockWindowS = 2;
constexpr size_t kAnnounceIpOffset = 13;  // frame bytes 13..16, inside the frame for payloads of 2 bytes and more
constexpr size_t kAnnounceIpMinPayload = 2;

uint32_t LittleEndian32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Addresses a server can be reached at from here: not none, not broadcast,
// not a group (224.0.0.0/4).
bool IsUnicast(uint32_t networkIp) {
    const uint32_t host = ntohl(networkIp);
    return host != 0 && host != INADDR_BROADCAST && (host & 0xF0000000u) != 0xE0000000u;
}

void AnswerGroup(uint8_t cmd, const void* payload, size_t n) {
    SendDataToPeer(htonl(kAnnounceGroup), kAnnounceAnswerPort, cmd, payload, n);
}

void Announce(const uint8_t* buf, size_t payloadLength, const sockaddr_in& from) {
    uint32_t server = from.sin_addr.s_addr;
    if (buf[4] == SERVER_CMD_ANNOUNCE_IP) {
        if (payloadLength < kAnnounceIpMinPayload) return;
        std::memcpy(&server, buf + kAnnounceIpOffset, sizeof server);  // already network order
    }
    if (!AnnounceAccept(server)) return;
    AnnounceSetClock(LittleEndian32(buf + 5));
}

void Search() {
    uint8_t payload[kSearchAckLength];
    if (!BuildSearchAck(payload)) return;
    AnswerGroup(PLAYER_CMD_SEARCH_ACK, payload, sizeof payload);
}

void Login(const uint8_t* buf, size_t payloadLength) {
    if (payloadLength < kLoginPayloadLength) return;
    if (std::memcmp(buf + 5, GetDeviceId(), kNetFrameDevIdLength) != 0) return;
    const uint8_t* payload = buf + kNetFramePayloadOffset;
    const bool done = LoginCheck(payload, payload + kLoginTextLength) == 0 &&
                      WriteNetParams(payload + 2 * kLoginTextLength) == 0;
    const uint8_t result = done ? 0 : 1;
    AnswerGroup(PLAYER_CMD_LOGIN_ACK, &result, 1);
    if (!done) return;
    sleep(1);
    board::System("reboot");
}

}  // namespace

bool AnnounceAccept(uint32_t server) {
    if (!IsUnicast(server)) return false;
    MutexLock(&gSendMutex);
    const uint32_t current = gServerIp.load(std::memory_order_relaxed);
    bool accepted = current == server;
    if (!accepted && gServerFixed == 0 && current == 0) {
        gServerIp.store(server, std::memory_order_relaxed);
        accepted = true;
    }
    if (accepted) {
        gServerLostCnt = 0;
        const uint8_t present = 1;
        PlayerMsgPostNet(eSVC_MSG_TYPE_SERVER_LINK, &present, 1);
    }
    MutexUnlock(&gSendMutex);
    return accepted;
}

void AnnounceSetClock(int64_t t) {
    timeval now;
    if (board::GetTimeOfDay(&now) != 0) return;
    const int64_t nowS = now.tv_sec;
    if (t >= nowS - kClockWindowS && t <= nowS + kClockWindowS) return;
    timeval set;
    set.tv_sec = static_cast<time_t>(t);
    set.tv_usec = 0;
    board::SetTimeOfDay(&set);
    board::System("hwclock -w");
}

void AnnounceHandle(const uint8_t* buf, size_t n, const sockaddr_in& from) {
    const int len = FrameCheck(buf, n);
    if (len < kNetFrameLenBase) return;
    const size_t payloadLength = NetFramePayloadLength(len);
    switch (buf[4]) {
    case SERVER_CMD_ANNOUNCE:
    case SERVER_CMD_ANNOUNCE_B:
    case SERVER_CMD_ANNOUNCE_IP:
        Announce(buf, payloadLength, from);
        break;
    case SERVER_CMD_SEARCH_PLAYER:
        Search();
        break;
    case SERVER_CMD_LOGIN_SET_NET:
        Login(buf, payloadLength);
        break;
    default:
        break;
    }
}
