// Dispatching seam requests to the device models, the netlink model, the
// clock and the shell.
#include "board/sim/seam_server.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "board/sim/path_map.h"
#include "board/sim/unix_socket.h"

namespace sim {
namespace {

constexpr size_t kMaxSeamConnections = 512;

std::string Hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

const char* AccessMode(int flags) {
    switch (flags & O_ACCMODE) {
    case O_RDONLY: return "O_RDONLY";
    case O_WRONLY: return "O_WRONLY";
    default: return "O_RDWR";
    }
}

bool SendReply(int fd, const IoResult& result, const void* payload = nullptr, size_t len = 0) {
    return SendPacket(fd, Reply(result.value, result.error), payload, len);
}

}  // namespace

Result<> SeamServer::Start(const std::string& socketPath) {
    UniqueFd listener = ListenUnix(socketPath, SOCK_SEQPACKET | SOCK_CLOEXEC, 64);
    if (!listener) return Error::FromErrno("cannot listen on " + socketPath);
    server_ = std::make_unique<SocketServer>(std::move(listener), [this](int fd) { Serve(fd); },
                                             kMaxSeamConnections);
    return server_->Start();
}

void SeamServer::Stop() {
    if (server_) server_->Stop();
}

void SeamServer::ShutdownSessions() { server_->ShutdownConnections(); }

bool SeamServer::WaitSessions(std::chrono::milliseconds wait) { return server_->WaitConnections(wait); }

void SeamServer::Serve(int fd) {
    std::vector<uint8_t> payload(kMaxPayload);
    Message request;
    size_t len = 0;
    if (RecvPacket(fd, &request, payload.data(), payload.size(), &len) != RecvStatus::kPacket) return;
    switch (static_cast<Op>(request.op)) {
    case Op::kOpen:
        ServeOpen(fd, request, std::string(reinterpret_cast<const char*>(payload.data()), len));
        return;
    case Op::kNetlink:
        ServeNetlink(fd, request);
        return;
    case Op::kClockGet: {
        Message reply = Reply(0);
        reply.arg0 = static_cast<uint64_t>(services_.clock->SystemOffsetUs());
        SendPacket(fd, reply);
        return;
    }
    case Op::kClockSet:
        services_.clock->SetSystem(static_cast<int64_t>(request.arg0), static_cast<int64_t>(request.arg1));
        SendPacket(fd, Reply(0));
        return;
    case Op::kSystem: {
        std::string line(reinterpret_cast<const char*>(payload.data()), len);
        SendPacket(fd, Reply(services_.shell->Run(line)));
        return;
    }
    default:
        services_.log->Add(LogKind::kUnmodelled, "seam request " + std::to_string(request.op));
        SendPacket(fd, Reply(-1, EINVAL));
        return;
    }
}

void SeamServer::ServeOpen(int fd, const Message& request, const std::string& rawPath) {
    // The board trusts no path it is sent: normalise again.
    std::string path = rawPath.empty() || rawPath[0] != '/' ? "/" + rawPath : rawPath;
    path = NormalizeTerminalPath(path);
    std::shared_ptr<Device> device = services_.devices->Find(path);
    if (!device) {
        services_.log->Add(LogKind::kUnmodelled, "open " + path + ": no such device (ENODEV)");
        SendPacket(fd, Reply(-1, ENODEV));
        return;
    }
    const int flags = static_cast<int>(request.flags);
    OpenResult opened = device->Open(flags);
    std::string what = path + " " + AccessMode(flags);
    if (opened.error) {
        services_.log->Add(LogKind::kOpen, what + " failed: " + std::strerror(opened.error));
        SendPacket(fd, Reply(-1, opened.error));
        return;
    }
    if (opened.descriptor) {
        services_.log->Add(LogKind::kOpen, what + " (descriptor)");
        Message reply = Reply(0);
        reply.flags = static_cast<uint32_t>(OpenAnswer::kDescriptor);
        SendPacket(fd, reply, nullptr, 0, opened.descriptor.Get());
        return;
    }
    services_.log->Add(LogKind::kOpen, what + " (session)");
    Message reply = Reply(0);
    reply.flags = static_cast<uint32_t>(OpenAnswer::kSession);
    if (SendPacket(fd, reply)) ServeSession(fd, opened.session.get(), path);
    opened.session->Release();
    services_.log->Add(LogKind::kClose, path);
    // The program's close waits for this end: the device is released, as a
    // driver's release has run when close(2) returns.
    ::shutdown(fd, SHUT_RDWR);
}

void SeamServer::ServeSession(int fd, DeviceSession* session, const std::string& path) {
    std::vector<uint8_t> payload(kMaxPayload);
    std::vector<uint8_t> out(kMaxPayload);
    for (;;) {
        Message request;
        size_t len = 0;
        if (RecvPacket(fd, &request, payload.data(), payload.size(), &len) != RecvStatus::kPacket) return;
        bool sent = false;
        switch (static_cast<Op>(request.op)) {
        case Op::kRead: {
            size_t count = std::min<uint64_t>(request.arg0, out.size());
            IoResult r = session->Read(out.data(), count);
            size_t back = r.value > 0 ? std::min<size_t>(static_cast<size_t>(r.value), count) : 0;
            sent = SendReply(fd, r, out.data(), back);
            break;
        }
        case Op::kWrite:
            sent = SendReply(fd, session->Write(payload.data(), len));
            break;
        case Op::kIoctl: {
            const unsigned long number = static_cast<unsigned long>(request.arg0);
            const IoctlArgLayout layout = IoctlLayout(number);
            // Whatever the direction, the model sees the bytes the program
            // sent (none for a null argument: zeros, with rawArg 0).
            std::vector<uint8_t> arg(layout.size, 0);
            std::copy_n(payload.begin(), std::min(len, arg.size()), arg.begin());
            IoResult r = session->Ioctl(number, request.arg1, &arg);
            if (r.error == ENOTTY)
                services_.log->Add(LogKind::kUnmodelled, "ioctl " + Hex(number) + " on " + path + " (ENOTTY)");
            bool copyOut = layout.copyOut && r.value >= 0;
            sent = SendReply(fd, r, copyOut ? arg.data() : nullptr, copyOut ? arg.size() : 0);
            break;
        }
        default:
            services_.log->Add(LogKind::kUnmodelled, "seam request " + std::to_string(request.op) + " on " + path);
            sent = SendReply(fd, IoResult::Failed(EINVAL));
        }
        if (!sent) return;
    }
}

void SeamServer::ServeNetlink(int fd, const Message& request) {
    // Only the kernel events are modelled; the seam opens other protocols
    // (rtnetlink) as sockets of the program's own namespace.
    if (static_cast<int>(request.arg0) != kEventNetlinkProtocol) {
        SendPacket(fd, Reply(-1, EPROTONOSUPPORT));
        return;
    }
    uint64_t socket = services_.netlink->Open(fd);
    if (SendPacket(fd, Reply(0))) {
        std::vector<uint8_t> payload(kMaxPayload);
        for (;;) {
            Message message;
            size_t len = 0;
            if (RecvPacket(fd, &message, payload.data(), payload.size(), &len) != RecvStatus::kPacket) break;
            if (message.op == static_cast<uint32_t>(Op::kNetlinkBind))
                services_.netlink->Bind(socket, static_cast<uint32_t>(message.arg0));
            else if (message.op == static_cast<uint32_t>(Op::kNetlinkSend))
                services_.netlink->FromProgram(socket, payload.data(), len);
        }
    }
    services_.netlink->Close(socket);
}

}  // namespace sim
