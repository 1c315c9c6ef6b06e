// Byte stuffing of the panel line.
#include "localio/panel_frame.h"

size_t PanelStuffFrame(const uint8_t* payload, size_t length, uint8_t* out, size_t outSize) {
    if (length > kPanelMaxPayload) return 0;
    size_t n = 0;
    auto put = [&](uint8_t b) {
        if (n < outSize) out[n] = b;
        ++n;
    };
    put(kPanelFlag);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = payload[i];
        if (b == kPanelFlag || b == kPanelEscape) {
            put(kPanelEscape);
            put(static_cast<uint8_t>(b ^ kPanelEscapeXor));
        } else {
            put(b);
        }
    }
    put(kPanelFlag);
    return n <= outSize ? n : 0;
}

bool PanelDeframer::Feed(uint8_t byte) {
    if (byte == kPanelFlag) {
        completed_ = overflowed_ ? 0 : position_;
        position_ = 0;
        escapePending_ = false;
        overflowed_ = false;
        return true;
    }
    if (overflowed_) return false;
    uint8_t value = byte;
    if (escapePending_) {
        value = static_cast<uint8_t>(byte ^ kPanelEscapeXor);
        escapePending_ = false;
    } else if (byte == kPanelEscape) {
        escapePending_ = true;
        return false;
    }
    if (position_ == buffer_.size()) {
        // Over-long: drop it whole, up to the next flag, so its tail is
        // never taken for a frame of its own.
        position_ = 0;
        escapePending_ = false;
        overflowed_ = true;
        return false;
    }
    buffer_[position_++] = value;
    return false;
}
