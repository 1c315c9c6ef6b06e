// Test support for paterm-server: a network namespace of the test's own
// (each test case runs in its own process, so the whole process moves) with
// loopback up and multicast enabled on it, so that group traffic between
// the tool and the test stays on 127.0.0.1.
#ifndef PATERM_TESTS_SERVER_SERVER_NET_H
#define PATERM_TESTS_SERVER_SERVER_NET_H

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

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

}  // namespace servertest

#endif  // PATERM_TESTS_SERVER_SERVER_NET_H
