// The CGI side of the local UDP channel to paterm: one-shot requests to
// 127.0.0.1:8690, the reply socket on 127.0.0.1:port, and discarding stale
// replies.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "cgi/cgicommon.h"
#include "cgi/scoped_fd.h"

namespace {

using SocketFd = cgi::ScopedFd<::close>;

// Stops a flush even if a sender keeps the socket busy for ever.
constexpr int kMaxFlushedDatagrams = 4096;
constexpr size_t kFlushScratchSize = 256;

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

void SendDataToPlayerMgmt(uint8_t cmd, const uint8_t* p_data, uint32_t data_len) {
    if (data_len > kCgiSendBufSize - 1) return;
    SocketFd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.Get() < 0) return;
    // Zeroed so that a request without data never carries stale stack bytes.
    uint8_t send_buf[kCgiSendBufSize] = {};
    send_buf[0] = cmd;
    if (data_len != 0 && p_data != nullptr) std::memcpy(send_buf + 1, p_data, data_len);
    const sockaddr_in to = LoopbackAddress(kPlayerCgiPort);
    (void)::sendto(sock.Get(), send_buf, data_len + 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
}

int CreatePlayerCgiUdpSock(uint16_t port) {
    SocketFd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.Get() < 0) return -1;
    int on = 1;
    if (::setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return -1;
    const sockaddr_in local = LoopbackAddress(port);
    if (::bind(sock.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return -1;
    return sock.Release();
}

// poll rather than select: any descriptor number is safe, and a descriptor
// that is not open fails the poll as it would fail select.
int FlushCgiRcvSocket(int sock) {
    int ready = 0;
    for (int flushed = 0; flushed < kMaxFlushedDatagrams; ++flushed) {
        pollfd waiting = {sock, POLLIN, 0};
        ready = ::poll(&waiting, 1, 0);
        if (ready <= 0) return ready;
        if (waiting.revents & POLLNVAL) return -1;
        uint8_t tmp[kFlushScratchSize];
        (void)::recv(sock, tmp, sizeof tmp, MSG_DONTWAIT);
    }
    return ready;
}
