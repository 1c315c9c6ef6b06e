// Event records and their delivery; the two functions the module exports.
#include "board/sim/kernel/netlink_event.h"

#include <linux/netlink.h>

#include <cstring>

#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

constexpr int kEsrch = 3, kEnodev = 19, kEconnrefused = 111;

}  // namespace

void NetlinkEvents::Load() {
    pid_ = 0;
    loaded_ = true;
}

void NetlinkEvents::Unload() {
    loaded_ = false;
    pid_ = 0;
}

std::vector<uint8_t> NetlinkEvents::Record(uint8_t type, uint8_t value, uint32_t seq) {
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_LENGTH(2);
    header.nlmsg_type = 0;
    header.nlmsg_flags = 0;
    header.nlmsg_seq = seq;
    header.nlmsg_pid = 0;  // from the kernel
    static_assert(sizeof header == 16, "the event record's header is 16 bytes");
    std::vector<uint8_t> record(kRecordBytes);
    std::memcpy(record.data(), &header, sizeof header);
    record[16] = type;
    record[17] = value;
    return record;
}

int NetlinkEvents::Send(uint8_t type, uint8_t value) {
    int result = 0;
    const int pid = pid_.load();
    if (!loaded_) {
        result = -kEnodev;
    } else if (pid <= 0) {
        result = -kEsrch;
    } else {
        const std::vector<uint8_t> record = Record(type, value, seq_++);
        if (!deliver_ || !deliver_(static_cast<uint32_t>(pid), record.data(), record.size())) result = -kEconnrefused;
    }
    ++(result == 0 ? sent_ : dropped_);
    return result;
}

}  // namespace sim::kernel

extern "C" void SetNetLinkUserPid(int pid) {
    sim::kernel::CurrentOrDie("SetNetLinkUserPid").netlink().SetUserPid(pid);
}

extern "C" int SendEventToUserSpaceByNetLink(unsigned char type, unsigned char value) {
    return sim::kernel::CurrentOrDie("SendEventToUserSpaceByNetLink").netlink().Send(type, value);
}
