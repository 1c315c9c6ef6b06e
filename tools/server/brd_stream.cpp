// Checking audio datagrams and keeping the stream's figures.
#include "tools/server/brd_stream.h"

namespace srvproto {
namespace {

// Fixed header bytes 0-5 of every packet the terminal produces.
constexpr uint8_t kTag = 0x0A, kFrameShift = 9, kRateCode = 6, kChannels = 2, kTag2 = 1;

uint32_t Le32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int DecodeBrdHeader(const uint8_t* buf, size_t n, BrdHeader* out) {
    *out = BrdHeader();
    if (buf == nullptr || n < kBrdHeaderLength) return kBrdShort;
    if (buf[0] != kTag || buf[1] != kFrameShift || buf[2] != kRateCode || buf[3] != kChannels || buf[4] != kTag2 ||
        buf[5] != 0 || Le32(buf + 8) != 0)
        return kBrdBadFormat;
    out->frameShift = buf[1];
    out->rateCode = buf[2];
    out->channels = buf[3];
    out->dataLen = static_cast<uint16_t>(buf[6] | (buf[7] << 8));
    out->brdId = Le32(buf + 12);
    if (out->dataLen != kBrdFrameLength || n != kBrdHeaderLength + out->dataLen) return kBrdBadLength;
    return kBrdOk;
}

bool BrdStreamStats::OnPacket(const uint8_t* buf, size_t n, int64_t nowMs) {
    if (windowStartMs_ < 0) windowStartMs_ = nowMs;
    ++windowPackets_;
    BrdHeader h;
    if (DecodeBrdHeader(buf, n, &h) != kBrdOk) {
        ++windowBad_;
        return false;
    }
    if (lastValidMs_ >= 0 && nowMs - lastValidMs_ > kBrdGapMs) ++windowGaps_;
    lastValidMs_ = nowMs;
    if (haveBrdId_ && h.brdId != brdId_) ++brdIdChanges_;
    brdId_ = h.brdId;
    haveBrdId_ = true;
    ++totalFrames_;
    return true;
}

BrdStreamStats::Window BrdStreamStats::TakeWindow(int64_t nowMs) {
    Window w;
    w.packets = windowPackets_;
    const int64_t span = windowStartMs_ < 0 ? 0 : nowMs - windowStartMs_;
    w.perSecond = span > 0 ? static_cast<uint32_t>((static_cast<int64_t>(windowPackets_) * 1000 + span / 2) / span)
                           : windowPackets_;
    w.badHeaders = windowBad_;
    w.gaps = windowGaps_;
    w.brdId = brdId_;
    w.totalFrames = totalFrames_;
    windowStartMs_ = nowMs;
    windowPackets_ = windowBad_ = windowGaps_ = 0;
    return w;
}

}  // namespace srvproto
