// The board seam on the terminal itself: every call is the plain Linux call
// on the terminal's own paths.
#include "board/board.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "board/host_netlink.h"

namespace board {

std::string Path(const char* terminalPath) { return terminalPath; }

// Close-on-exec always: no child of system() may inherit the watchdog.
int Open(const char* terminalPath, int flags, mode_t mode) {
    return ::open(terminalPath, flags | O_CLOEXEC, mode);
}

int Close(int fd) { return ::close(fd); }

ssize_t Read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }

ssize_t Write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }

int Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int Access(const char* terminalPath, int mode) { return ::access(terminalPath, mode); }

int NetlinkSocket(int protocol) { return host::NetlinkSocket(protocol); }

int NetlinkBind(int fd, uint32_t portId) { return host::NetlinkBind(fd, portId); }

ssize_t NetlinkSend(int fd, const void* buf, size_t len) { return host::NetlinkSend(fd, buf, len); }

ssize_t NetlinkRecv(int fd, void* buf, size_t len) { return host::NetlinkRecv(fd, buf, len); }

ssize_t NetlinkRecvFrom(int fd, void* buf, size_t len, uint32_t* senderPort) {
    return host::NetlinkRecvFrom(fd, buf, len, senderPort);
}

int GetTimeOfDay(struct timeval* tv) { return ::gettimeofday(tv, nullptr); }

int SetTimeOfDay(const struct timeval* tv) { return ::settimeofday(tv, nullptr); }

int System(const char* commandLine) { return std::system(commandLine); }

int Sync() {
    ::sync();
    return 0;
}

}  // namespace board
