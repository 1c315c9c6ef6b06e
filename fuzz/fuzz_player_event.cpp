// Kernel event records: the input is the netlink messages the event task
// receives, in records of a length byte and the message; the receive loop
// turns each into player messages, and ends at the input's end as at an
// empty message.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "player/player_event.h"

namespace {
uint32_t gQueue = 0;
const uint8_t* gAt = nullptr;
const uint8_t* gEnd = nullptr;

// One message per record; a length byte of 0 is an empty message, 0xFF a
// failed receive with EINTR, which the loop takes again.
ssize_t RecvFromInput(int, void* buf, size_t len, uint32_t* senderPort) {
    *senderPort = 0;  // the kernel: the records' own bytes decide
    if (gAt == gEnd) return 0;
    const size_t claimed = *gAt++;
    if (claimed == 0xFF) {
        errno = EINTR;
        return -1;
    }
    const size_t n = std::min({claimed, static_cast<size_t>(gEnd - gAt), len});
    if (n == 0) return 0;  // an empty message: the loop's end
    std::memcpy(buf, gAt, n);
    gAt += n;
    return static_cast<ssize_t>(n);
}
}  // namespace

// VosSleepMs, wrapped by the linker for this target only.
extern "C" int32_t __wrap__Z10VosSleepMsj(uint32_t) { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gQueue = fuzzsupport::LoadTerminal();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gAt = data;
    gEnd = data + size;
    PlayerEventReceive(-1, RecvFromInput);
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}
