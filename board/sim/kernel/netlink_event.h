// The netlink event module, a stand-in for the one the terminal's kernel
// carries (outside this system): SetNetLinkUserPid registers the process
// that receives events (0: nobody), SendEventToUserSpaceByNetLink sends one
// netlink message on protocol 21 to it: a 16-byte header, the type byte and
// the value byte. Sending never sleeps, so interrupt handlers may call it;
// the board's netlink model drops a record for a socket that is full or
// not there, as netlink does.
#ifndef PATERM_BOARD_SIM_KERNEL_NETLINK_EVENT_H
#define PATERM_BOARD_SIM_KERNEL_NETLINK_EVENT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim::kernel {

class NetlinkEvents {
public:
    using Deliver = std::function<bool(uint32_t port, const uint8_t* data, size_t len)>;
    static constexpr size_t kRecordBytes = 18;

    struct Stats {
        uint64_t sent = 0;
        uint64_t dropped = 0;  // nobody registered, not loaded, or not delivered
    };

    explicit NetlinkEvents(Deliver deliver) : deliver_(std::move(deliver)) {}

    // Module load and unload: the registered process is forgotten.
    void Load();
    void Unload();
    bool Loaded() const { return loaded_.load(); }

    void SetUserPid(int pid) { pid_ = pid; }
    int UserPid() const { return pid_.load(); }
    // 0 when delivered; -ENODEV not loaded, -ESRCH nobody registered,
    // -ECONNREFUSED the process has no socket bound to its id.
    int Send(uint8_t type, uint8_t value);
    Stats GetStats() const { return {sent_.load(), dropped_.load()}; }

    static std::vector<uint8_t> Record(uint8_t type, uint8_t value, uint32_t seq);

private:
    Deliver deliver_;
    std::atomic<bool> loaded_{false};
    std::atomic<int> pid_{0};
    std::atomic<uint32_t> seq_{0};
    std::atomic<uint64_t> sent_{0}, dropped_{0};
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_NETLINK_EVENT_H
