// The board seam on the terminal itself: every call is the plain Linux call
// on the terminal's own paths.
#include "board/board.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace board {

std::string Path(const char* terminalPath) { return terminalPath; }

int Open(const char* terminalPath, int flags, mode_t mode) {
    return ::open(terminalPath, flags, mode);
}

int Close(int fd) { return ::close(fd); }

ssize_t Read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }

ssize_t Write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }

int Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int Access(const char* terminalPath, int mode) { return ::access(terminalPath, mode); }

int NetlinkSocket(int protocol) { return ::socket(AF_NETLINK, SOCK_RAW, protocol); }

int NetlinkBind(int fd, uint32_t portId) {
    struct sockaddr_nl local;
    std::memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_pid = portId;
    local.nl_groups = 0;
    return ::bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
}

ssize_t NetlinkSend(int fd, const void* buf, size_t len) {
    struct sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    return ::sendto(fd, buf, len, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel);
}

ssize_t NetlinkRecv(int fd, void* buf, size_t len) {
    struct sockaddr_nl from;
    struct iovec iov = {buf, len};
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    return ::recvmsg(fd, &msg, 0);
}

int GetTimeOfDay(struct timeval* tv) { return ::gettimeofday(tv, nullptr); }

int SetTimeOfDay(const struct timeval* tv) { return ::settimeofday(tv, nullptr); }

int System(const char* commandLine) { return std::system(commandLine); }

}  // namespace board
