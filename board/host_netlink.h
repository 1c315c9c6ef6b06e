// Netlink sockets of the network namespace the program runs in: the plain
// Linux calls behind the seam's netlink calls on the terminal, and on a PC
// for every protocol the simulated board does not model (rtnetlink).
#ifndef PATERM_BOARD_HOST_NETLINK_H
#define PATERM_BOARD_HOST_NETLINK_H

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace board {
namespace host {

// Close-on-exec: no child of system() inherits it.
inline int NetlinkSocket(int protocol) { return ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol); }

inline int NetlinkBind(int fd, uint32_t portId) {
    struct sockaddr_nl local;
    std::memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_pid = portId;
    local.nl_groups = 0;
    return ::bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
}

inline ssize_t NetlinkSend(int fd, const void* buf, size_t len) {
    struct sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    return ::sendto(fd, buf, len, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel);
}

inline ssize_t NetlinkRecvFrom(int fd, void* buf, size_t len, uint32_t* senderPort) {
    struct sockaddr_nl from;
    std::memset(&from, 0, sizeof from);
    struct iovec iov = {buf, len};
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n >= 0 && senderPort != nullptr) *senderPort = from.nl_pid;
    return n;
}

inline ssize_t NetlinkRecv(int fd, void* buf, size_t len) { return NetlinkRecvFrom(fd, buf, len, nullptr); }

}  // namespace host
}  // namespace board

#endif  // PATERM_BOARD_HOST_NETLINK_H
