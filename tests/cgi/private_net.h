// Test support for the CGI channel: a network namespace of the test's own
// with loopback up (each test case runs in its own process, so the whole
// process may move), the multicast groups routed over loopback, and a UDP
// listener on 127.0.0.1 with bounded receives.
#ifndef PATERM_TESTS_CGI_PRIVATE_NET_H
#define PATERM_TESTS_CGI_PRIVATE_NET_H

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace cgitest {

using Bytes = std::vector<uint8_t>;

// False when the namespace cannot be made (the tests need root).
inline bool EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}

// The terminals' multicast groups routed over loopback, so the program and
// a server tool meet on 127.0.0.1 even beside another interface's default
// route. Needs the ip tool.
inline bool RouteGroupsOnLoopback() {
    return std::system("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo") == 0;
}

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

class UdpListener {
public:
    explicit UdpListener(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = Loopback(port);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~UdpListener() {
        if (fd_ >= 0) close(fd_);
    }
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    bool bound() const { return bound_; }
    int fd() const { return fd_; }

    // The next datagram, or nothing within timeoutMs.
    std::optional<Bytes> Receive(int timeoutMs) const {
        pollfd waiting = {fd_, POLLIN, 0};
        if (poll(&waiting, 1, timeoutMs) != 1) return std::nullopt;
        Bytes buf(2048);
        ssize_t got = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (got < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(got));
        return buf;
    }

private:
    int fd_;
    bool bound_ = false;
};

inline bool SendTo(uint16_t port, const Bytes& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to = Loopback(port);
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

}  // namespace cgitest

#endif  // PATERM_TESTS_CGI_PRIVATE_NET_H
