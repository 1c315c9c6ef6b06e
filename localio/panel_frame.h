// The panel line's frame format, shared by the terminal, the simulated
// board's panel port and the panel emulator: flag 0x7E, the payload with
// 0x7E and 0x7D sent as 0x7D followed by the byte XOR 0x40, flag 0x7E.
// There is no checksum; payload byte 0 is a length, byte 1 the command.
#ifndef PATERM_LOCALIO_PANEL_FRAME_H
#define PATERM_LOCALIO_PANEL_FRAME_H

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint8_t kPanelFlag = 0x7E;
constexpr uint8_t kPanelEscape = 0x7D;
constexpr uint8_t kPanelEscapeXor = 0x40;
// The longest payload a sender accepts, and the receive buffer: a frame may
// carry one byte more than a sender would ever send.
constexpr size_t kPanelMaxPayload = 255;
constexpr size_t kPanelRxBuffer = 256;
// Two flags and every payload byte escaped.
constexpr size_t kPanelMaxWire = 2 + 2 * kPanelMaxPayload;

// Writes flag, stuffed payload, flag into out. Returns the byte count, or 0
// when the payload is longer than kPanelMaxPayload or out is too small.
size_t PanelStuffFrame(const uint8_t* payload, size_t length, uint8_t* out, size_t outSize);

// The receive side, fed one line byte at a time. Every flag ends the frame
// being collected (possibly empty: two flags in a row) and starts the next.
// A data byte that would be the 257th of a frame discards the frame, and
// everything up to the next flag with it.
class PanelDeframer {
public:
    // True when byte was a flag: frame()/size() then hold the frame it ended,
    // valid until the next Feed.
    bool Feed(uint8_t byte);
    const uint8_t* frame() const { return buffer_.data(); }
    size_t size() const { return completed_; }

private:
    std::array<uint8_t, kPanelRxBuffer> buffer_{};
    size_t position_ = 0;
    size_t completed_ = 0;
    bool escapePending_ = false;
    bool overflowed_ = false;
};

#endif  // PATERM_LOCALIO_PANEL_FRAME_H
