// Netlink sockets by port id, and record delivery.
#include "board/sim/netlink.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board/sim/kernel/netlink_event.h"
#include "board/sim/protocol.h"

namespace sim {

uint64_t NetlinkModel::Open(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t id = nextSocket_++;
    sockets_[id].fd = fd;
    return id;
}

void NetlinkModel::Bind(uint64_t socket, uint32_t portId) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sockets_.find(socket);
        if (it == sockets_.end()) return;
        it->second.portId = portId;
        it->second.bound = true;
        it->second.bindOrder = ++bindCount_;
    }
    log_->Add(LogKind::kNetlinkBind, "protocol 21 port " + std::to_string(portId));
}

void NetlinkModel::FromProgram(uint64_t socket, const uint8_t* data, size_t len) {
    KernelHandler handler;
    uint32_t port = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sockets_.find(socket);
        if (it != sockets_.end()) port = it->second.portId;
        handler = kernelHandler_;
    }
    if (handler) handler(port, data, len);
}

void NetlinkModel::Close(uint64_t socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.erase(socket);
}

bool NetlinkModel::Deliver(uint32_t portId, const uint8_t* data, size_t len, uint32_t senderPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Socket* target = nullptr;
    for (const auto& [id, s] : sockets_)
        if (s.bound && s.portId == portId && (!target || s.bindOrder > target->bindOrder)) target = &s;
    if (!target) return false;
    Message record = Request(Op::kNetlinkRecord);
    record.length = static_cast<uint32_t>(len);
    record.arg0 = senderPort;
    iovec iov[2] = {{&record, sizeof record}, {const_cast<uint8_t*>(data), len}};
    msghdr hdr{};
    hdr.msg_iov = iov;
    hdr.msg_iovlen = 2;
    if (::sendmsg(target->fd, &hdr, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof record + len))
        return false;
    ++delivered_;
    return true;
}

void NetlinkModel::SetKernelHandler(KernelHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    kernelHandler_ = std::move(handler);
}

uint32_t NetlinkModel::LatestBoundPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Socket* latest = nullptr;
    for (const auto& [id, s] : sockets_)
        if (s.bound && (!latest || s.bindOrder > latest->bindOrder)) latest = &s;
    return latest ? latest->portId : 0;
}

uint64_t NetlinkModel::Delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

void NetlinkModel::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("netlink.event", [this](const Json& request) {
        const auto port = IntegerArg(request, "port", 0, UINT32_MAX, 0);
        // A record from another port stands for a process forging kernel events.
        const auto sender = IntegerArg(request, "sender", 0, UINT32_MAX, 0);
        std::vector<uint8_t> record;
        if (auto raw = request.find("raw"); raw != request.end()) {
            if (!port) return ControlError("bad \"port\"");
            if (request.contains("type") || request.contains("value") || request.contains("length"))
                return ControlError("give either \"raw\" or \"type\" (with \"value\" and \"length\")");
            const std::optional<std::string> bytes = BytesArg(*raw);
            if (!bytes || bytes->size() > kMaxRawRecord)
                return ControlError("\"raw\" must be 0 to 16384 bytes: a JSON array of 0..255 or a hex string");
            record.assign(bytes->begin(), bytes->end());
        } else {
            const auto type = IntegerArg(request, "type", 0, 255, std::nullopt);
            const auto value = IntegerArg(request, "value", 0, 255, 0);
            constexpr auto kFull = static_cast<int64_t>(kernel::NetlinkEvents::kRecordBytes);
            // A cut record stands for a faulty sender: a header-only or empty message.
            const auto length = IntegerArg(request, "length", 0, kFull, kFull);
            if (!type || !value) return ControlError("\"type\" and \"value\" must be 0..255");
            if (!port) return ControlError("bad \"port\"");
            if (!length) return ControlError("\"length\" must be 0..18");
            record = kernel::NetlinkEvents::Record(static_cast<uint8_t>(*type), static_cast<uint8_t>(*value), 0);
            record.resize(static_cast<size_t>(*length));
        }
        if (!sender) return ControlError("\"sender\" must be a port id 0..4294967295");
        const uint32_t to = *port ? static_cast<uint32_t>(*port) : LatestBoundPort();
        if (to == 0 || !Deliver(to, record.data(), record.size(), static_cast<uint32_t>(*sender)))
            return ControlError("no netlink socket bound to that port");
        return ControlOk();
    });
}

void NetlinkModel::AddStatus(Json& status) const { status["netlink_port"] = LatestBoundPort(); }

}  // namespace sim
