// The fuzz targets' shared harness: board root, private network, identity,
// datagram records, and no real waits.
#include "fuzz/fuzz_support.h"

#include <net/route.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "net/net_frame.h"
#include "tests/cgi/private_net.h"
#include "tests/net/net_test_support.h"
#include "tests/support/board_root.h"

namespace {
// Inputs run on the main thread; static initialisation runs there too.
const pthread_t gInputThread = pthread_self();
}  // namespace

// The terminal waits a second before a reboot it asks for (which the
// standalone seam refuses anyway); a fuzzer cannot afford the wait. The
// fuzzer's own threads (its memory watch) still sleep.
extern "C" unsigned int sleep(unsigned int seconds) {
    if (pthread_equal(pthread_self(), gInputThread)) return 0;
    timespec wait{static_cast<time_t>(seconds), 0};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    return 0;
}

namespace fuzzsupport {

const std::string& BoardRoot() {
    static const auto root = std::make_unique<testsupport::TempBoardRoot>();
    return root->dir();
}

std::string HostPath(const std::string& terminalPath) { return BoardRoot() + terminalPath; }

void WriteFile(const std::string& terminalPath, const uint8_t* data, size_t size) {
    std::ofstream out(HostPath(terminalPath), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

namespace {

sockaddr IPv4(uint32_t hostOrder) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(hostOrder);
    sockaddr out{};
    std::memcpy(&out, &in, sizeof in);
    return out;
}

// Multicast on lo, so that the answers to the announcement group are sent
// (and go nowhere) rather than failing for want of a route.
void RouteMulticastToLoopback() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_MULTICAST;
        ioctl(fd, SIOCSIFFLAGS, &ifr);
    }
    rtentry route{};
    route.rt_dst = IPv4(0xE0000000);
    route.rt_genmask = IPv4(0xF0000000);
    route.rt_flags = RTF_UP;
    char device[] = "lo";
    route.rt_dev = device;
    ioctl(fd, SIOCADDRT, &route);
    close(fd);
}

}  // namespace

void EnterPrivateNetworkOrDie() {
    if (!cgitest::EnterPrivateNetwork()) {
        std::fprintf(stderr, "fuzz: no private network namespace (needs root)\n");
        std::abort();
    }
    RouteMulticastToLoopback();
}

const uint8_t* DeviceId() { return reinterpret_cast<const uint8_t*>(nettest::kDeviceId); }

namespace {

void Repair(Bytes& frame, uint8_t flags) {
    if (frame.size() < kNetFrameOverhead) return;
    if (flags & 1) std::copy(DeviceId(), DeviceId() + kNetFrameDevIdLength, frame.begin() + 5);
    if (flags & 2) {
        const size_t len = frame.size() - 5;
        frame[0] = frame[3] = kNetFrameHead;
        frame[1] = static_cast<uint8_t>(len & 0xFF);
        frame[2] = static_cast<uint8_t>(len >> 8);
        uint8_t sum = 0;
        for (size_t i = 4; i < frame.size() - 2; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
        frame[frame.size() - 2] = sum;
        frame.back() = kNetFrameTail;
    }
}

}  // namespace

std::vector<Bytes> Datagrams(const uint8_t* data, size_t size, size_t maxSize, size_t maxCount) {
    std::vector<Bytes> all;
    size_t at = 0;
    while (at + 3 <= size && all.size() < maxCount) {
        const uint8_t flags = data[at];
        size_t length = static_cast<size_t>(data[at + 1] | (data[at + 2] << 8));
        at += 3;
        if (length > size - at) length = size - at;
        Bytes datagram(data + at, data + at + std::min(length, maxSize));
        at += length;
        Repair(datagram, flags);
        all.push_back(std::move(datagram));
    }
    return all;
}

}  // namespace fuzzsupport
