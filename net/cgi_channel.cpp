// The CGI channel, terminal side: request datagrams to player messages, and
// the state reply to the waiting CGI program.
#include "net/cgi_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/net.h"
#include "player/player_msg.h"

namespace {

void PrintBrdGrp(const uint8_t* buf) {
    printf("\nCMD:PLAYER_CGI_MSG_TYPE_SET_BRD_GRP,%d %x %x ", buf[0], buf[1], buf[2]);
}

void PrintSysCtrl(const uint8_t* buf) { printf("\nCMD:PLAYER_CGI_MSG_TYPE_SYS_CTRL,%d ", buf[0]); }

struct CgiRequest {
    uint8_t type;
    uint16_t payloadLength;
    uint16_t msgType;
    void (*print)(const uint8_t* buf);  // after posting, or null
};

// Type 3 and types above 4 post nothing.
constexpr CgiRequest kCgiRequests[] = {
    {PLAYER_CGI_MSG_TYPE_GET_SYS_STATE, 0, eSVC_MSG_TYPE_CGI_GET_SYS_STATE, nullptr},
    {PLAYER_CGI_MSG_TYPE_SET_BRD_GRP, 2, eSVC_MSG_TYPE_CGI_SET_BRD_GRP, PrintBrdGrp},
    {PLAYER_CGI_MSG_TYPE_SYS_CTRL, 16, eSVC_MSG_TYPE_CGI_SYS_CTRL, PrintSysCtrl},
    {PLAYER_CGI_MSG_TYPE_EXT_OPTS, 8, eSVC_MSG_TYPE_CGI_EXT_OPTS, nullptr},
};

}  // namespace

void CgiInfoHandle(const uint8_t* buf, size_t n) {
    if (n < 1) return;
    for (const CgiRequest& request : kCgiRequests) {
        if (request.type != buf[0]) continue;
        if (n != 1u + request.payloadLength) return;
        PlayerMsgPostNet(request.msgType, request.payloadLength != 0 ? buf + 1 : nullptr, request.payloadLength);
        if (request.print != nullptr) request.print(buf);
        return;
    }
}

void SendDataToCgi(const void* data, size_t len) {
    if (len > kCgiReplyMax) return;
    uint8_t reply[kCgiReplyMax + 1] = {};
    if (len != 0) std::memcpy(reply, data, len);
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return;
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(kCgiReplyPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock, reply, len + 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(sock);
}
