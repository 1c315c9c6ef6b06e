// Test support for paterm-server: a network namespace of the test's own
// (each test case runs in its own process, so the whole process moves) with
// loopback up and multicast enabled on it, so that group traffic between
// the tool and the test stays on 127.0.0.1.
#ifndef PATERM_TESTS_SERVER_SERVER_NET_H
#define PATERM_TESTS_SERVER_SERVER_NET_H

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace servertest {

// False when the namespace cannot be made (the tests need root).
inline bool EnterPrivateNetworkWithMulticast() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}

// Sends request to 127.0.0.1:port and reads until the server closes (at
// most 5 s); the whole reply.
inline std::string HttpExchange(uint16_t port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char buf[4096];
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) continue;
            const ssize_t got = recv(fd, buf, sizeof buf, 0);
            if (got <= 0) break;
            reply.append(buf, static_cast<size_t>(got));
        }
    }
    close(fd);
    return reply;
}

}  // namespace servertest

#endif  // PATERM_TESTS_SERVER_SERVER_NET_H
