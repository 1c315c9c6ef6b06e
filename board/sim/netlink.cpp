// Netlink sockets by port id, and record delivery.
#include "board/sim/netlink.h"

#include <linux/netlink.h>

#include <cstring>
#include <string>
#include <utility>

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

bool NetlinkModel::Deliver(uint32_t portId, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Socket* target = nullptr;
    for (const auto& [id, s] : sockets_)
        if (s.bound && s.portId == portId && (!target || s.bindOrder > target->bindOrder)) target = &s;
    if (!target) return false;
    Message record = Request(Op::kNetlinkRecord);
    record.length = static_cast<uint32_t>(len);
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

std::vector<uint8_t> NetlinkModel::EventRecord(uint8_t type, uint8_t value) {
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_LENGTH(2);
    header.nlmsg_pid = 0;  // from the kernel
    std::vector<uint8_t> record(sizeof header + 2);
    std::memcpy(record.data(), &header, sizeof header);
    record[sizeof header] = type;
    record[sizeof header + 1] = value;
    return record;
}

}  // namespace sim
