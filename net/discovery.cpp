// Discovery on the announcement group: eth0's address and netmask, the
// default gateway from an rtnetlink route dump, and the answer's payload.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "net/announce.h"
#include "player/settings.h"

namespace {

constexpr size_t kRouteBufferSize = 8192;
constexpr size_t kDevIdOffsets[] = {0, 32};
constexpr size_t kAddrOffset = 128;
constexpr size_t kMaskOffset = 132;
constexpr size_t kGatewayOffset = 136;

bool InterfaceAddress(int sock, unsigned long request, uint32_t* out) {
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(sock, request, &ifr) != 0) return false;
    sockaddr_in addr;
    std::memcpy(&addr, &ifr.ifr_addr, sizeof addr);
    *out = ntohl(addr.sin_addr.s_addr);
    return true;
}

void ReadFailed(int sock) {
    printf("Error:  ");
    puts("Read From Socket Failed...");
    board::Close(sock);
}

bool SendRouteDump(int sock) {
    struct {
        nlmsghdr header;
        rtmsg route;
    } request;
    std::memset(&request, 0, sizeof request);
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 0;
    request.header.nlmsg_pid = static_cast<uint32_t>(getpid());
    return board::NetlinkSend(sock, &request, request.header.nlmsg_len) ==
           static_cast<ssize_t>(request.header.nlmsg_len);
}

enum class ReadState { kMore, kDone, kBad };

// The messages of one read: every one whole, none an error; done when one
// of them ends the dump.
ReadState CheckRead(const uint8_t* buf, size_t got) {
    if (got < sizeof(nlmsghdr)) return ReadState::kBad;
    int left = static_cast<int>(got);
    const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buf);
    for (; left > 0; header = NLMSG_NEXT(header, left)) {
        if (!NLMSG_OK(header, left) || header->nlmsg_type == NLMSG_ERROR) return ReadState::kBad;
        if (header->nlmsg_type == NLMSG_DONE) return ReadState::kDone;
    }
    return ReadState::kMore;
}

// Appends reads to buf until NLMSG_DONE: the bytes held, or -1 (a dump
// larger than the buffer included).
ssize_t ReadRouteDump(int sock, uint8_t* buf, size_t cap) {
    size_t held = 0;
    while (held < cap) {
        const ssize_t got = board::NetlinkRecv(sock, buf + held, cap - held);
        if (got < 0) {
            perror("SOCK READ: ");
            return -1;
        }
        const ReadState state = CheckRead(buf + held, static_cast<size_t>(got));
        if (state == ReadState::kBad) {
            perror("Error in recieved packet");
            return -1;
        }
        held += static_cast<size_t>(got);
        if (state == ReadState::kDone) return static_cast<ssize_t>(held);
    }
    return -1;
}

// A main-table IPv4 route to 0.0.0.0/any: its gateway into gw.
void TakeDefaultRoute(const nlmsghdr* header, uint32_t* gw) {
    const rtmsg* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    if (route->rtm_family != AF_INET || route->rtm_table != RT_TABLE_MAIN) return;
    uint32_t dst = 0;
    uint32_t gateway = 0;
    int left = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attr = RTM_RTA(route); RTA_OK(attr, left); attr = RTA_NEXT(attr, left)) {
        if (RTA_PAYLOAD(attr) < sizeof(uint32_t)) continue;
        if (attr->rta_type == RTA_DST) std::memcpy(&dst, RTA_DATA(attr), sizeof dst);
        if (attr->rta_type == RTA_GATEWAY) std::memcpy(&gateway, RTA_DATA(attr), sizeof gateway);
    }
    if (dst == 0) *gw = ntohl(gateway);
}

void WalkRoutes(const uint8_t* buf, size_t held, uint32_t* gw) {
    int left = static_cast<int>(held);
    for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type == RTM_NEWROUTE && header->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)))
            TakeDefaultRoute(header, gw);
    }
}

void PutBigEndian32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

int GetEth0Addr(uint32_t* addr, uint32_t* mask) {
    *addr = 0;
    *mask = 0;
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    int result = -1;
    if (InterfaceAddress(sock, SIOCGIFADDR, addr)) {
        if (InterfaceAddress(sock, SIOCGIFNETMASK, mask))
            result = 0;
        else
            perror("[-] ioctl");
    }
    close(sock);
    if (result != 0) *addr = 0;
    return result;
}

int GetDefaultGateway(uint32_t* gw) {
    *gw = 0;
    const int sock = board::NetlinkSocket(NETLINK_ROUTE);
    if (sock < 0) {
        perror("Socket Creation: ");
        return -1;
    }
    if (!SendRouteDump(sock)) {
        printf("Error:  ");
        puts("Write To Socket Failed...");
        board::Close(sock);
        return -1;
    }
    // Off the stack: the task stacks are small. Aligned for the headers read in place.
    alignas(nlmsghdr) static thread_local uint8_t buf[kRouteBufferSize];
    const ssize_t held = ReadRouteDump(sock, buf, sizeof buf);
    if (held < 0) {
        ReadFailed(sock);
        return -1;
    }
    WalkRoutes(buf, static_cast<size_t>(held), gw);
    board::Close(sock);
    return 0;
}

bool BuildSearchAck(uint8_t out[kSearchAckLength]) {
    std::memset(out, 0, kSearchAckLength);
    uint32_t addr = 0;
    uint32_t mask = 0;
    uint32_t gw = 0;
    if (GetEth0Addr(&addr, &mask) != 0 || GetDefaultGateway(&gw) != 0) return false;
    for (size_t offset : kDevIdOffsets) std::memcpy(out + offset, GetDeviceId(), 10);
    PutBigEndian32(out + kAddrOffset, addr);
    PutBigEndian32(out + kMaskOffset, mask);
    PutBigEndian32(out + kGatewayOffset, gw);
    return true;
}
