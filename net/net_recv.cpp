// The receive task body shared by every UDP channel of the terminal.
#include "net/net_recv.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "runtime/vos.h"

namespace {

// Socket and bind failures are retried for ever; only the helpers that open
// the socket report them.
int OpenWithRetry(const NetRecvChannel& channel) {
    for (;;) {
        const int sock = channel.openSocket();
        if (sock >= 0 && !channel.waitAfterSuccess) return sock;
        VosSleepMs(channel.retryWaitMs);
        if (sock >= 0) return sock;
    }
}

}  // namespace

bool NetRecvOne(const NetRecvChannel& channel, int sock) {
    if (channel.clearBeforeReceive) std::memset(channel.buffer, 0, channel.bufferSize);
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t fromLen = sizeof from;
    const ssize_t got =
        recvfrom(sock, channel.buffer, channel.bufferSize - 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0) return false;
    channel.handle(channel.buffer, static_cast<size_t>(got), from);
    return true;
}

void* NetRecvTask(void* argument) {
    const NetRecvChannel& channel = *static_cast<const NetRecvChannel*>(argument);
    VosSleepMs(channel.firstWaitMs);
    int sock = OpenWithRetry(channel);
    for (;;) {
        if (NetRecvOne(channel, sock)) continue;
        if (channel.reportReceiveError) {
            printf("Error:  ");
            puts("received server command error");
        }
        channel.closeSocket(sock);
        sock = OpenWithRetry(channel);
    }
}
