// The network start-up: the send mutex, the server address from the EEPROM,
// and the table of receive tasks with their sockets, buffers and handlers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "board/board.h"
#include "net/announce.h"
#include "net/cgi_channel.h"
#include "net/net.h"
#include "net/net_recv.h"
#include "net/p2p.h"
#include "net/server_cmd.h"
#include "player/settings.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kTaskStack = 4096;
constexpr uint32_t kUnicastFirstWaitMs = 5000;
constexpr uint32_t kUnicastRetryMs = 1000;
constexpr size_t kUnicastBufferSize = 1024;
constexpr uint32_t kNoServerAddress = 0xFFFFFFFFu;  // erased EEPROM bytes

constexpr uint32_t kAnnounceFirstWaitMs = 5000;
constexpr uint32_t kAnnounceRetryMs = 1000;

uint8_t gAnnounceBuffer[kAnnounceBufferSize];
uint8_t gCmdBuffer[kUnicastBufferSize];
uint8_t gCgiBuffer[kUnicastBufferSize];
constexpr uint32_t kPeerFirstWaitMs = 500;
constexpr uint32_t kPeerRetryMs = 2000;
uint8_t gPeerBuffer[kP2PBufferSize];

int OpenCmdSocket() { return UdpBindSock(kServerCmdPort); }
// The CGI programs run on the terminal itself: nothing from the network may
// reach this channel.
int OpenPeerSocket() { return UdpBindSock(kPeerPort); }
int OpenCgiSocket() { return UdpBindSock(kCgiPort, INADDR_LOOPBACK); }
void CloseSocket(int sock) { close(sock); }
int OpenAnnounceSocket() { return McastJoinSock(kAnnounceGroup, kAnnouncePort, kAnnounceTimeoutUs); }
// The time-out counts as a failed receive: without announcements the
// membership is renewed every 30 seconds.
void LeaveAnnounceSocket(int sock) { McastLeaveSock(sock, kAnnounceGroup); }

void HandleServerCmd(const uint8_t* buf, size_t n, const sockaddr_in& /*from*/) { ServerCmdHandle(buf, n); }
void HandleCgiInfo(const uint8_t* buf, size_t n, const sockaddr_in& /*from*/) { CgiInfoHandle(buf, n); }

// Started in this order.
// Columns: task, first wait, open, close, retry wait, wait after success,
// report receive errors, buffer, its size, clear before receive, handler.
const NetRecvChannel kRecvChannels[] = {
    {"PlayerAnnounceRevTask", kAnnounceFirstWaitMs, OpenAnnounceSocket, LeaveAnnounceSocket, kAnnounceRetryMs, false,
     false, gAnnounceBuffer, sizeof gAnnounceBuffer, true, AnnounceHandle},
    {"PlayerCmdRevTask", kUnicastFirstWaitMs, OpenCmdSocket, CloseSocket, kUnicastRetryMs, true, true, gCmdBuffer,
     sizeof gCmdBuffer, false, HandleServerCmd},
    {"PlayerCgiInfoRcvTask", kUnicastFirstWaitMs, OpenCgiSocket, CloseSocket, kUnicastRetryMs, true, true,
     gCgiBuffer, sizeof gCgiBuffer, false, HandleCgiInfo},
    {"P2PRevTask", kPeerFirstWaitMs, OpenPeerSocket, CloseSocket, kPeerRetryMs, true, true, gPeerBuffer,
     sizeof gPeerBuffer, false, P2PHandle},
};

// The EEPROM holds the server address at offset 44 as a host-order value,
// little-endian: byte 44 is the last octet of the dotted address.
uint32_t ReadServerAddress() {
    const int fd = board::Open(kEepromPath, O_RDONLY);
    if (fd < 0) return 0;
    uint8_t bytes[4];
    const bool read = lseek(fd, kEepromServerIpOffset, SEEK_SET) == kEepromServerIpOffset &&
                      board::Read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    board::Close(fd);
    if (!read) return 0;
    const uint32_t host = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return host == kNoServerAddress ? 0 : htonl(host);
}

void StartRecvTasks() {
    for (const NetRecvChannel& channel : kRecvChannels) {
        OdTaskId id;
        if (VosTaskCreate(NetRecvTask, const_cast<NetRecvChannel*>(&channel), eOD_PRIO_NORMAL, kTaskStack, &id) ==
            eOD_RET_OK)
            continue;
        printf("Error:  ");
        printf("Start %s fail! \r", channel.taskName);
    }
}

}  // namespace

int PlayerNetStart(void) {
    MutexCreate(&gSendMutex);
    P2PStart();
    const uint32_t server = ReadServerAddress();
    gServerIp.store(server, std::memory_order_relaxed);
    gServerFixed.store(server != 0 ? 1 : 0, std::memory_order_relaxed);
    StartRecvTasks();
    return 0;
}
