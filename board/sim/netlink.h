// The kernel side of the program's netlink sockets (protocol 21, the
// terminal's kernel events). Each socket is a seam connection; binding
// registers its port id. Kernel models deliver a record (a netlink message:
// 16-byte header, then the payload) to the socket bound to a port id, from
// any thread (an emulated interrupt included). Delivery never blocks: a
// socket whose queue is full drops the record, as netlink does.
//
// Backdoor: "netlink.event" delivers an event record straight to a socket,
// past the kernel, or any bytes as one message (malformed records), from the
// kernel or from another port (a forged sender). The sockets themselves are seam connections: the seam
// server cuts them at power-off.
#ifndef PATERM_BOARD_SIM_NETLINK_H
#define PATERM_BOARD_SIM_NETLINK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class NetlinkModel : public BoardPart {
public:
    // Messages the program sends to the kernel (port id 0), for kernel models.
    using KernelHandler = std::function<void(uint32_t fromPort, const uint8_t* data, size_t len)>;

    explicit NetlinkModel(OpLog* log) : log_(log) {}

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void AddStatus(Json& status) const override;

    // A new socket on connection fd (which stays valid until Close).
    uint64_t Open(int fd);
    void Bind(uint64_t socket, uint32_t portId);
    void FromProgram(uint64_t socket, const uint8_t* data, size_t len);
    void Close(uint64_t socket);

    // senderPort: the port id the record comes from (0: the kernel).
    bool Deliver(uint32_t portId, const uint8_t* data, size_t len, uint32_t senderPort = 0);
    // The largest message the backdoor delivers: past the program's
    // 8208-byte receive buffer, as an oversize record would be.
    static constexpr size_t kMaxRawRecord = 16384;
    void SetKernelHandler(KernelHandler handler);

    // The port id bound most recently by a socket still open (0: none).
    uint32_t LatestBoundPort() const;
    uint64_t Delivered() const;

private:
    struct Socket {
        int fd = -1;
        uint32_t portId = 0;
        bool bound = false;
        uint64_t bindOrder = 0;
    };

    OpLog* log_;
    mutable std::mutex mutex_;  // also keeps a socket's fd open while a record is sent on it
    std::map<uint64_t, Socket> sockets_;
    uint64_t nextSocket_ = 1;
    uint64_t bindCount_ = 0;
    uint64_t delivered_ = 0;
    KernelHandler kernelHandler_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_NETLINK_H
