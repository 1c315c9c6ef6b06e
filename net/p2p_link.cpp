// The peer link: its record and mutex, the link, probe and data frames of
// port 8207, link data answers and the idle close.
#include <arpa/inet.h>

#include <cstring>

#include "net/net.h"
#include "net/net_frame.h"
#include "net/p2p.h"
#include "player/settings.h"
#include "runtime/odwrap.h"

namespace {

constexpr size_t kLinkRequestLength = 4;  // id, type, answer port (2)
constexpr size_t kProbeLength = 2;        // answer port
constexpr size_t kProbeAnswerLength = 5;
constexpr size_t kDataMinLength = 2;      // count, class

// Never held together with gSendMutex: frames are sent after it is released.
pthread_mutex_t gLinkMutex = PTHREAD_MUTEX_INITIALIZER;
P2PLink gLink = {0, 0, P2P_NO_LINK, 0, 0};

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void SendLinkAnswer(const P2PLink& link, uint8_t id, uint8_t result) {
    const uint8_t answer[2] = {id, result};
    SendDataToPeer(link.peerIp, link.peerPort, P2P_CMD_LINK, answer, sizeof answer);
}

void CloseLink(const P2PLink& link) {
    P2PLinkReset();
    if (link.active) P2PDownloadAbandon();
}

void LinkClose(uint8_t id) {
    const P2PLink link = P2PLinkGet();
    if (id == link.id && id == P2P_LINK_ID) {
        SendLinkAnswer(link, id, P2P_LINK_ANSWER_CLOSED);
        CloseLink(link);
        return;
    }
    if (link.active) CloseLink(link);
}

void LinkOpen(uint8_t id, uint8_t type, uint16_t port, uint32_t fromIp) {
    MutexLock(&gLinkMutex);
    if (gLink.active) {
        MutexUnlock(&gLinkMutex);
        return;
    }
    gLink.peerPort = port;
    gLink.peerIp = fromIp;
    gLink.id = id;
    const P2PLink link = gLink;
    MutexUnlock(&gLinkMutex);
    if (id != P2P_LINK_ID) return;
    if (type != P2P_LINK_OPEN && type != P2P_LINK_OPEN_B) {
        SendLinkAnswer(link, id, P2P_LINK_ANSWER_CLOSED);
        P2PLinkReset();
        return;
    }
    SendLinkAnswer(link, id, P2P_LINK_ANSWER_OPEN);
    MutexLock(&gLinkMutex);
    gLink.active = 1;
    MutexUnlock(&gLinkMutex);
}

void LinkRequest(const uint8_t* payload, size_t n, const sockaddr_in& from) {
    if (n < kLinkRequestLength) return;
    if (payload[1] == P2P_LINK_CLOSE)
        LinkClose(payload[0]);
    else
        LinkOpen(payload[0], payload[1], BigEndian16(payload + 2), from.sin_addr.s_addr);
}

void Probe(const uint8_t* payload, size_t n, const sockaddr_in& from) {
    if (n < kProbeLength) return;
    const uint8_t answer[kProbeAnswerLength] = {};
    SendDataToPeer(from.sin_addr.s_addr, BigEndian16(payload), P2P_CMD_PROBE, answer, sizeof answer);
}

void LinkData(const uint8_t* payload, size_t n) {
    if (n < kP2PDataHeader) return;
    const size_t d = BigEndian16(payload + 1);
    if (n != d + kP2PDataHeader || d < kDataMinLength) return;
    const P2PLink link = P2PLinkGet();
    if (payload[0] != link.id || !link.active || link.id != P2P_LINK_ID) return;
    const uint8_t* data = payload + kP2PDataHeader;
    if (data[1] == P2P_DATA_QUERY)
        P2PLinkSend(P2P_LINK_ID, kP2PQueryAnswer, sizeof kP2PQueryAnswer);
    else if (data[1] == P2P_DATA_DOWNLOAD && d > 2)
        P2PDownloadHandle(data, d);
}

}  // namespace

void P2PStart(void) {
    MutexCreate(&gLinkMutex);
    P2PDownloadClear();
    P2PLinkReset();
}

void P2PLinkReset(void) {
    MutexLock(&gLinkMutex);
    gLink = {0, 0, P2P_NO_LINK, 0, 0};
    MutexUnlock(&gLinkMutex);
}

P2PLink P2PLinkGet(void) {
    MutexLock(&gLinkMutex);
    const P2PLink link = gLink;
    MutexUnlock(&gLinkMutex);
    return link;
}

// idleTicks is reset under the mutex as well: the tick counts it from
// another task.
void P2PLinkSend(uint8_t id, const uint8_t* data, size_t n) {
    if (n > kP2PLinkSendMax) return;
    MutexLock(&gLinkMutex);
    const bool open = gLink.active && id == gLink.id;
    if (open) gLink.idleTicks = 0;
    const P2PLink link = gLink;
    MutexUnlock(&gLinkMutex);
    if (!open) return;
    uint8_t payload[kP2PDataHeader + kP2PLinkSendMax];
    payload[0] = id;
    payload[1] = 0;
    payload[2] = static_cast<uint8_t>(n);
    std::memcpy(payload + kP2PDataHeader, data, n);
    SendDataToPeer(link.peerIp, link.peerPort, P2P_CMD_DATA, payload, n + kP2PDataHeader);
}

void P2PLinkTick(void) {
    MutexLock(&gLinkMutex);
    const P2PLink link = gLink;
    const bool close = link.active && link.idleTicks > kP2PIdleTicksMax;
    if (link.active && !close) ++gLink.idleTicks;
    MutexUnlock(&gLinkMutex);
    if (!close) return;
    SendLinkAnswer(link, link.id, P2P_LINK_ANSWER_CLOSED);
    CloseLink(link);
}

void P2PHandle(const uint8_t* buf, size_t n, const sockaddr_in& from) {
    const int len = FrameCheck(buf, n);
    if (len < kNetFrameLenBase || std::memcmp(buf + 5, GetDeviceId(), kNetFrameDevIdLength) != 0) return;
    const uint8_t* payload = buf + kNetFramePayloadOffset;
    const size_t payloadLength = NetFramePayloadLength(len);
    switch (buf[4]) {
    case P2P_CMD_LINK:
        LinkRequest(payload, payloadLength, from);
        break;
    case P2P_CMD_PROBE:
        Probe(payload, payloadLength, from);
        break;
    case P2P_CMD_DATA:
        LinkData(payload, payloadLength);
        break;
    default:
        break;
    }
}
