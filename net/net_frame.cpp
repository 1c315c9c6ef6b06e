// Building and checking the NetFrame envelope.
#include "net/net_frame.h"

#include <cstring>

namespace {

uint8_t Sum(const uint8_t* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

}  // namespace

int FrameCheck(const uint8_t* buf, size_t n) {
    if (buf == nullptr || n < 5) return 0;
    if (buf[0] != kNetFrameHead || buf[3] != kNetFrameHead) return 0;
    const size_t len = static_cast<size_t>(buf[1]) | (static_cast<size_t>(buf[2]) << 8);
    // len counts cmd to cs: at least the checksum byte itself.
    if (len < 1 || n != len + 5) return 0;
    if (Sum(buf + 4, len - 1) != buf[len + 3]) return 0;
    if (buf[len + 4] != kNetFrameTail) return 0;
    return static_cast<int>(len);
}

size_t NetFrameBuild(uint8_t* out, size_t cap, uint8_t cmd, const uint8_t* devId, const uint8_t* payload, size_t n) {
    const size_t total = n + kNetFrameOverhead;
    if (total > cap || n + kNetFrameLenBase > 0xFFFF) return 0;
    const size_t len = n + kNetFrameLenBase;
    out[0] = kNetFrameHead;
    out[1] = static_cast<uint8_t>(len & 0xFF);
    out[2] = static_cast<uint8_t>(len >> 8);
    out[3] = kNetFrameHead;
    out[4] = cmd;
    std::memcpy(out + 5, devId, kNetFrameDevIdLength);
    if (payload != nullptr && n != 0) std::memcpy(out + kNetFramePayloadOffset, payload, n);
    out[kNetFramePayloadOffset + n] = Sum(out + 4, len - 1);
    out[kNetFramePayloadOffset + n + 1] = kNetFrameTail;
    return total;
}
