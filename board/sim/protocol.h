// The wire protocol between the board seam (board/board_sim.cpp, inside the
// program) and the simulated board (paterm-sim) on DIR/sim/board.sock, an
// AF_UNIX SOCK_SEQPACKET socket. Each request opens its own connection and
// every packet is one Message followed by its payload. Device sessions and
// netlink sockets keep their connection: it is the program's descriptor.
// Both ends run on one host, so fields are in host byte order.
#ifndef PATERM_BOARD_SIM_PROTOCOL_H
#define PATERM_BOARD_SIM_PROTOCOL_H

#include <linux/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace sim {

// The seam socket, relative to the board root.
inline constexpr const char* kSeamSocketPath = "/sim/board.sock";
// Largest payload of one packet; longer reads and writes are partial.
inline constexpr size_t kMaxPayload = 65536;
// The only netlink protocol the board models: the terminal's kernel events.
inline constexpr int kEventNetlinkProtocol = 21;

enum class Op : uint32_t {
    kReply = 0,          // result, error; payload depends on the request
    kOpen = 1,           // payload: normalised terminal path; flags: open(2) flags; arg0: mode
    kRead = 2,           // arg0: byte count; reply payload: the bytes read
    kWrite = 3,          // payload: the bytes
    kIoctl = 4,          // arg0: request; arg1: raw argument; payload: argument bytes (IoctlLayout)
    kNetlink = 5,        // arg0: protocol
    kNetlinkBind = 6,    // one-way; arg0: port id
    kNetlinkSend = 7,    // one-way; payload: a netlink message for the kernel
    kNetlinkRecord = 8,  // board to program; payload: a netlink message; arg0: sender port id
    kClockGet = 9,       // reply arg0: system clock minus host clock, microseconds (int64)
    kClockSet = 10,      // arg0: seconds, arg1: microseconds
    kSystem = 11,        // payload: command line; reply result: status as system(3) gives it
};

// Reply flags of kOpen: the board keeps the connection as the device, or
// passes a real descriptor with SCM_RIGHTS and ends the connection.
enum class OpenAnswer : uint32_t { kSession = 1, kDescriptor = 2 };

struct Message {
    uint32_t op = 0;
    uint32_t flags = 0;
    int64_t result = 0;
    int32_t error = 0;
    uint32_t length = 0;  // payload bytes that follow
    uint64_t arg0 = 0;
    uint64_t arg1 = 0;
};
static_assert(sizeof(Message) == 40, "the header layout is part of the protocol");

inline Message Request(Op op) {
    Message m;
    m.op = static_cast<uint32_t>(op);
    return m;
}

inline Message Reply(int64_t result, int error = 0) {
    Message m;
    m.op = static_cast<uint32_t>(Op::kReply);
    m.result = result;
    m.error = error;
    return m;
}

// Argument bytes of an _IOC-encoded ioctl request: _IOC_SIZE bytes, copied
// to the board for every direction (a read request may carry input, as a
// GPIO read carries its pin) and back for _IOC_READ. Requests without a
// direction (I2C_SLAVE 0x0703, legacy tty requests) carry only the raw value.
struct IoctlArgLayout {
    size_t size = 0;
    bool copyIn = false;
    bool copyOut = false;
};

// Board drivers whose argument record is larger than their request number
// says: the GPIO driver copies its whole pin/value record (8 bytes) in and
// out under numbers that encode 4.
struct IoctlRecordSize {
    unsigned long request;
    size_t size;
};
inline constexpr IoctlRecordSize kIoctlRecordSizes[] = {
    {0x80046700UL, 8},  // GPIO read: pin in, value out
    {0x40046700UL, 8},  // GPIO set: pin and value in
};

constexpr IoctlArgLayout IoctlLayout(unsigned long request) {
    for (const IoctlRecordSize& record : kIoctlRecordSizes)
        if (record.request == request) return {record.size, true, (_IOC_DIR(request) & _IOC_READ) != 0};
    const unsigned long dir = _IOC_DIR(request);
    const size_t size = _IOC_SIZE(request);
    if (dir == _IOC_NONE || size == 0) return {};
    return {size, true, (dir & _IOC_READ) != 0};
}

// Sends one packet: msg (its length set here), the payload and, when
// passFd >= 0, that descriptor. Never raises SIGPIPE.
inline bool SendPacket(int fd, Message msg, const void* payload, size_t len, int passFd = -1) {
    msg.length = static_cast<uint32_t>(len);
    iovec iov[2] = {{&msg, sizeof msg}, {const_cast<void*>(payload), len}};
    msghdr hdr{};
    hdr.msg_iov = iov;
    hdr.msg_iovlen = len > 0 ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
        std::memset(control, 0, sizeof control);
        hdr.msg_control = control;
        hdr.msg_controllen = sizeof control;
        cmsghdr* cmsg = CMSG_FIRSTHDR(&hdr);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cmsg), &passFd, sizeof(int));
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd, &hdr, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof msg + len);
}

inline bool SendPacket(int fd, const Message& msg) { return SendPacket(fd, msg, nullptr, 0); }

enum class RecvStatus { kPacket, kClosed, kError };

// Receives one packet: the header into *msg, up to cap payload bytes into
// payload (*len gets the count; a longer payload is cut), and a passed
// descriptor into *passedFd (-1 if none). recvFlags may hold MSG_CMSG_CLOEXEC.
inline RecvStatus RecvPacket(int fd, Message* msg, void* payload, size_t cap, size_t* len,
                             int* passedFd = nullptr, int recvFlags = 0) {
    iovec iov[2] = {{msg, sizeof *msg}, {payload, cap}};
    msghdr hdr{};
    hdr.msg_iov = iov;
    hdr.msg_iovlen = cap > 0 ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    hdr.msg_control = control;
    hdr.msg_controllen = sizeof control;
    if (passedFd) *passedFd = -1;
    ssize_t n;
    do {
        n = ::recvmsg(fd, &hdr, recvFlags);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return RecvStatus::kClosed;
    if (n < 0) return RecvStatus::kError;
    for (cmsghdr* c = CMSG_FIRSTHDR(&hdr); c; c = CMSG_NXTHDR(&hdr, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        int got = -1;
        std::memcpy(&got, CMSG_DATA(c), sizeof got);
        if (passedFd) *passedFd = got;
        else ::close(got);
    }
    if (static_cast<size_t>(n) < sizeof *msg) {
        if (passedFd && *passedFd >= 0) ::close(std::exchange(*passedFd, -1));
        errno = EPROTO;
        return RecvStatus::kError;
    }
    *len = static_cast<size_t>(n) - sizeof *msg;
    return RecvStatus::kPacket;
}

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PROTOCOL_H
