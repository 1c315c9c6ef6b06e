// The board seam on a PC. Terminal paths live under the board root named by
// PATERM_ROOT. When the simulated board runs (DIR/sim/board.sock accepts a
// connection) devices, the kernel event socket, the wall clock and the shell
// are its business; otherwise the seam runs standalone, as the CGI programs
// do under a web server: files only, no devices, no clock setting, no shell.
// Netlink protocols other than the kernel events' are real sockets of the
// host namespace in both modes. Every descriptor is close-on-exec.
// The wire protocol is board/sim/protocol.h; docs/board.md tells the story.
#include "board/board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "board/host_netlink.h"
#include "board/sim/path_map.h"
#include "board/sim/protocol.h"
#include "board/sim/unique_fd.h"
#include "board/sim/unix_socket.h"

namespace board {
namespace {

using sim::Message;
using sim::Op;
using sim::UniqueFd;

// What a descriptor of this process is to the seam. Device sessions and
// netlink sockets are connections to the board and need the protocol.
enum class FdKind : uint8_t { kPlain = 0, kDevice, kNetlink };

constexpr int kMaxFds = 1024;  // the terminal's descriptor limit
// Static storage: every entry starts zeroed, i.e. kPlain.
std::array<std::atomic<FdKind>, kMaxFds> gFdKinds;
// One lock per session so that two threads never interleave a request and
// its reply on one connection.
std::array<std::mutex, kMaxFds> gSessionLocks;

FdKind KindOf(int fd) {
    if (fd < 0 || fd >= kMaxFds) return FdKind::kPlain;
    return gFdKinds[fd].load(std::memory_order_acquire);
}

int Fail(int error) {
    errno = error;
    return -1;
}

// The board root; empty when PATERM_ROOT is unset or empty.
std::string Root() {
    const char* root = std::getenv("PATERM_ROOT");
    return root ? root : "";
}

// A fresh connection to the running board, or an invalid descriptor when
// no board runs on this root (standalone). Close-on-exec, as every
// descriptor of the seam: sessions and netlink sockets are connections.
UniqueFd ConnectBoard(const std::string& root) {
    if (root.empty()) return UniqueFd();
    return sim::ConnectUnix(root + sim::kSeamSocketPath, SOCK_SEQPACKET | SOCK_CLOEXEC);
}

// Sends a request and receives its reply. False (errno set) if the board
// went away: a request the board does not answer is an I/O error.
bool Exchange(int fd, const Message& request, const void* payload, size_t len, Message* reply,
              void* in = nullptr, size_t inCap = 0, size_t* inLen = nullptr, int* passedFd = nullptr,
              int recvFlags = 0) {
    if (!sim::SendPacket(fd, request, payload, len)) {
        errno = EIO;
        return false;
    }
    size_t got = 0;
    sim::RecvStatus status = sim::RecvPacket(fd, reply, in, inCap, &got, passedFd, recvFlags);
    if (status != sim::RecvStatus::kPacket || reply->op != static_cast<uint32_t>(Op::kReply)) {
        if (passedFd && *passedFd >= 0) ::close(std::exchange(*passedFd, -1));
        errno = EIO;
        return false;
    }
    if (inLen) *inLen = got;
    return true;
}

// The result of a reply as the Linux call would give it.
long ResultOf(const Message& reply) {
    if (reply.result < 0) return Fail(reply.error ? reply.error : EIO);
    return static_cast<long>(reply.result);
}

bool IsDevicePath(const std::string& normalPath) {
    return sim::PathIsUnder(normalPath, "/dev") && normalPath != "/dev";
}

// Standalone: only a regular file standing in for a device can be opened
// (the EEPROM "/dev/i2c-eeprom0"); no other device exists.
int OpenStandaloneDevice(const std::string& hostPath, int flags, mode_t mode) {
    struct stat st;
    if (::stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(ENODEV);
    return ::open(hostPath.c_str(), flags & ~O_CREAT, mode);
}

int OpenBoardDevice(UniqueFd conn, const std::string& normalPath, int flags, mode_t mode) {
    Message request = sim::Request(Op::kOpen);
    request.flags = static_cast<uint32_t>(flags);
    request.arg0 = mode;
    Message reply;
    int passed = -1;
    if (!Exchange(conn.Get(), request, normalPath.data(), normalPath.size(), &reply, nullptr, 0, nullptr,
                  &passed, MSG_CMSG_CLOEXEC))
        return -1;
    if (reply.result < 0) {
        if (passed >= 0) ::close(passed);
        return Fail(reply.error ? reply.error : EIO);
    }
    if (reply.flags == static_cast<uint32_t>(sim::OpenAnswer::kDescriptor)) {
        return passed >= 0 ? passed : Fail(EIO);
    }
    if (passed >= 0) ::close(passed);
    if (conn.Get() >= kMaxFds) return Fail(EMFILE);
    int fd = conn.Release();
    gFdKinds[fd].store(FdKind::kDevice, std::memory_order_release);
    return fd;
}

// Ends a session and waits until the board has released the device, as
// close(2) returns after the driver's release: a device closed by one task
// is free for the next open at once. The board ends its side when done;
// the wait is bounded in case it is stuck.
void AwaitRelease(int fd) {
    constexpr int kReleaseWaitMs = 2000;
    if (::shutdown(fd, SHUT_WR) != 0) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReleaseWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd ended = {fd, POLLIN, 0};
        const int rc = ::poll(&ended, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return;
        char drain[64];
        const ssize_t got = ::recv(fd, drain, sizeof drain, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

}  // namespace

std::string Path(const char* terminalPath) {
    if (!terminalPath) return std::string();
    if (terminalPath[0] != '/') return terminalPath;
    std::string root = Root();
    // No root: an empty path, which every call refuses with ENOENT.
    if (root.empty()) return std::string();
    return sim::MapUnderRoot(root, terminalPath);
}

int Open(const char* terminalPath, int flags, mode_t mode) {
    if (!terminalPath) return Fail(EFAULT);
    // The board is told the caller's flags; close-on-exec is this process's
    // business, and always set (a board's descriptor is received with it).
    const int hostFlags = flags | O_CLOEXEC;
    if (terminalPath[0] != '/') return ::open(terminalPath, hostFlags, mode);
    std::string root = Root();
    if (root.empty()) return Fail(ENOENT);
    std::string normal = sim::NormalizeTerminalPath(terminalPath);
    std::string hostPath = sim::MapUnderRoot(root, normal);
    if (!IsDevicePath(normal)) return ::open(hostPath.c_str(), hostFlags, mode);
    UniqueFd conn = ConnectBoard(root);
    if (!conn) return OpenStandaloneDevice(hostPath, hostFlags, mode);
    return OpenBoardDevice(std::move(conn), normal, flags, mode);
}

int Close(int fd) {
    FdKind kind = KindOf(fd);
    if (kind == FdKind::kDevice) {
        // Waits for a request in flight on this session to finish.
        std::lock_guard<std::mutex> lock(gSessionLocks[fd]);
        gFdKinds[fd].store(FdKind::kPlain, std::memory_order_release);
        AwaitRelease(fd);
        return ::close(fd);
    }
    if (kind == FdKind::kNetlink) gFdKinds[fd].store(FdKind::kPlain, std::memory_order_release);
    return ::close(fd);
}

ssize_t Read(int fd, void* buf, size_t count) {
    if (KindOf(fd) != FdKind::kDevice) return ::read(fd, buf, count);
    std::lock_guard<std::mutex> lock(gSessionLocks[fd]);
    if (KindOf(fd) != FdKind::kDevice) return ::read(fd, buf, count);
    Message request = sim::Request(Op::kRead);
    request.arg0 = std::min(count, sim::kMaxPayload);
    Message reply;
    size_t got = 0;
    if (!Exchange(fd, request, nullptr, 0, &reply, buf, request.arg0, &got)) return -1;
    long result = ResultOf(reply);
    return result < 0 ? -1 : static_cast<ssize_t>(std::min<size_t>(static_cast<size_t>(result), got));
}

ssize_t Write(int fd, const void* buf, size_t count) {
    if (KindOf(fd) != FdKind::kDevice) return ::write(fd, buf, count);
    std::lock_guard<std::mutex> lock(gSessionLocks[fd]);
    if (KindOf(fd) != FdKind::kDevice) return ::write(fd, buf, count);
    Message reply;
    if (!Exchange(fd, sim::Request(Op::kWrite), buf, std::min(count, sim::kMaxPayload), &reply)) return -1;
    return ResultOf(reply);
}

int Ioctl(int fd, unsigned long request, void* arg) {
    if (KindOf(fd) != FdKind::kDevice) return ::ioctl(fd, request, arg);
    std::lock_guard<std::mutex> lock(gSessionLocks[fd]);
    if (KindOf(fd) != FdKind::kDevice) return ::ioctl(fd, request, arg);
    const sim::IoctlArgLayout layout = sim::IoctlLayout(request);
    Message message = sim::Request(Op::kIoctl);
    message.arg0 = request;
    message.arg1 = reinterpret_cast<uintptr_t>(arg);
    // A null argument is passed on as its raw value only; the device decides
    // whether it needed the bytes, as a driver would.
    const bool copyIn = layout.copyIn && arg;
    const bool copyOut = layout.copyOut && arg;
    // The copy-out lands in a separate area so that a failing request leaves
    // the caller's argument untouched. Heap, not stack: task stacks are small.
    std::vector<unsigned char> out(copyOut ? layout.size : 0);
    Message reply;
    size_t got = 0;
    if (!Exchange(fd, message, copyIn ? arg : nullptr, copyIn ? layout.size : 0, &reply, out.data(), out.size(),
                  &got))
        return -1;
    long result = ResultOf(reply);
    if (result >= 0 && copyOut) std::memcpy(arg, out.data(), std::min(got, layout.size));
    return static_cast<int>(result);
}

int Access(const char* terminalPath, int mode) {
    if (!terminalPath) return Fail(EFAULT);
    if (terminalPath[0] == '/' && Root().empty()) return Fail(ENOENT);
    return ::access(Path(terminalPath).c_str(), mode);
}

// Protocols the board does not model (rtnetlink) are sockets of the
// namespace the program runs in.
int NetlinkSocket(int protocol) {
    if (protocol != sim::kEventNetlinkProtocol) return host::NetlinkSocket(protocol);
    UniqueFd conn = ConnectBoard(Root());
    if (!conn) return Fail(EPROTONOSUPPORT);
    Message request = sim::Request(Op::kNetlink);
    request.arg0 = static_cast<uint64_t>(protocol);
    Message reply;
    if (!Exchange(conn.Get(), request, nullptr, 0, &reply)) return -1;
    if (ResultOf(reply) < 0) return -1;
    if (conn.Get() >= kMaxFds) return Fail(EMFILE);
    int fd = conn.Release();
    gFdKinds[fd].store(FdKind::kNetlink, std::memory_order_release);
    return fd;
}

int NetlinkBind(int fd, uint32_t portId) {
    FdKind kind = KindOf(fd);
    if (kind == FdKind::kDevice) return Fail(ENOTSOCK);
    if (kind == FdKind::kPlain) return host::NetlinkBind(fd, portId);
    Message bind = sim::Request(Op::kNetlinkBind);
    bind.arg0 = portId;
    return sim::SendPacket(fd, bind) ? 0 : Fail(EIO);
}

ssize_t NetlinkSend(int fd, const void* buf, size_t len) {
    FdKind kind = KindOf(fd);
    if (kind == FdKind::kDevice) return Fail(ENOTSOCK);
    if (kind == FdKind::kPlain) return host::NetlinkSend(fd, buf, len);
    if (len > sim::kMaxPayload) return Fail(EMSGSIZE);
    if (!sim::SendPacket(fd, sim::Request(Op::kNetlinkSend), buf, len)) return Fail(EIO);
    return static_cast<ssize_t>(len);
}

ssize_t NetlinkRecvFrom(int fd, void* buf, size_t len, uint32_t* senderPort) {
    FdKind kind = KindOf(fd);
    if (kind == FdKind::kDevice) return Fail(ENOTSOCK);
    if (kind == FdKind::kPlain) return host::NetlinkRecvFrom(fd, buf, len, senderPort);
    Message record;
    size_t got = 0;
    switch (sim::RecvPacket(fd, &record, buf, len, &got)) {
    case sim::RecvStatus::kClosed:
        return 0;
    case sim::RecvStatus::kError:
        return -1;
    case sim::RecvStatus::kPacket:
        break;
    }
    if (record.op != static_cast<uint32_t>(Op::kNetlinkRecord)) return Fail(EPROTO);
    if (senderPort != nullptr) *senderPort = static_cast<uint32_t>(record.arg0);
    return static_cast<ssize_t>(got);
}

ssize_t NetlinkRecv(int fd, void* buf, size_t len) { return NetlinkRecvFrom(fd, buf, len, nullptr); }

int GetTimeOfDay(struct timeval* tv) {
    UniqueFd conn = ConnectBoard(Root());
    // Standalone there is no board clock: reading the host clock is harmless.
    if (!conn) return ::gettimeofday(tv, nullptr);
    Message reply;
    if (!Exchange(conn.Get(), sim::Request(Op::kClockGet), nullptr, 0, &reply)) return -1;
    if (ResultOf(reply) < 0) return -1;
    if (!tv) return 0;
    struct timeval host;
    ::gettimeofday(&host, nullptr);
    int64_t us = static_cast<int64_t>(host.tv_sec) * 1000000 + host.tv_usec + static_cast<int64_t>(reply.arg0);
    int64_t sec = us / 1000000;
    int64_t rem = us % 1000000;
    if (rem < 0) {
        rem += 1000000;
        --sec;
    }
    tv->tv_sec = static_cast<time_t>(sec);
    tv->tv_usec = static_cast<suseconds_t>(rem);
    return 0;
}

int SetTimeOfDay(const struct timeval* tv) {
    if (tv && (tv->tv_usec < 0 || tv->tv_usec >= 1000000)) return Fail(EINVAL);
    UniqueFd conn = ConnectBoard(Root());
    // Standalone the host clock is never touched.
    if (!conn) return Fail(EPERM);
    if (!tv) return 0;
    Message request = sim::Request(Op::kClockSet);
    request.arg0 = static_cast<uint64_t>(static_cast<int64_t>(tv->tv_sec));
    request.arg1 = static_cast<uint64_t>(tv->tv_usec);
    Message reply;
    if (!Exchange(conn.Get(), request, nullptr, 0, &reply)) return -1;
    return static_cast<int>(ResultOf(reply));
}

int System(const char* commandLine) {
    UniqueFd conn = ConnectBoard(Root());
    // system(NULL) asks whether a shell exists: only the board has one.
    if (!commandLine) return conn ? 1 : 0;
    if (!conn) return Fail(ENOSYS);
    size_t len = std::strlen(commandLine);
    if (len > sim::kMaxPayload) return Fail(E2BIG);
    Message reply;
    if (!Exchange(conn.Get(), sim::Request(Op::kSystem), commandLine, len, &reply)) return -1;
    return static_cast<int>(ResultOf(reply));
}

// Only the board root's filesystem: the host's others are none of the
// terminal's business.
int Sync() {
    UniqueFd root(::open(Path("/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return -1;
    return ::syncfs(root.Get());
}

}  // namespace board
