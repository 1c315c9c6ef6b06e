// AF_UNIX sockets named by a path of any length. sun_path holds only 108
// bytes, so a longer path is reached through an O_PATH descriptor of its
// directory ("/proc/self/fd/N/name"), which bind and connect both accept.
#ifndef PATERM_BOARD_SIM_UNIX_SOCKET_H
#define PATERM_BOARD_SIM_UNIX_SOCKET_H

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "board/sim/unique_fd.h"

namespace sim {

namespace detail {

// Calls use(addr) with an address naming path; false (errno set) if it cannot be named.
template <typename Use>
bool WithUnixAddress(const std::string& path, Use use) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        return use(addr);
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        errno = ENAMETOOLONG;
        return false;
    }
    UniqueFd dir(::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    std::string proxy = "/proc/self/fd/" + std::to_string(dir.Get()) + path.substr(slash);
    if (proxy.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, proxy.c_str(), proxy.size() + 1);
    return use(addr);
}

}  // namespace detail

// A connected socket of the given type (SOCK_STREAM, SOCK_SEQPACKET, maybe
// | SOCK_CLOEXEC), or an invalid one with errno set.
inline UniqueFd ConnectUnix(const std::string& path, int type) {
    UniqueFd fd(::socket(AF_UNIX, type, 0));
    if (!fd) return fd;
    bool ok = detail::WithUnixAddress(path, [&](const sockaddr_un& addr) {
        int rc;
        do {
            rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    });
    if (ok) return fd;
    int saved = errno;
    fd.Reset();
    errno = saved;
    return fd;
}

// A listening socket at path; a stale socket file left there is replaced.
inline UniqueFd ListenUnix(const std::string& path, int type, int backlog) {
    UniqueFd fd(::socket(AF_UNIX, type, 0));
    if (!fd) return fd;
    ::unlink(path.c_str());
    bool ok = detail::WithUnixAddress(path, [&](const sockaddr_un& addr) {
        return ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
               ::listen(fd.Get(), backlog) == 0;
    });
    if (ok) return fd;
    int saved = errno;
    fd.Reset();
    errno = saved;
    return fd;
}

}  // namespace sim

#endif  // PATERM_BOARD_SIM_UNIX_SOCKET_H
