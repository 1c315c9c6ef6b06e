// The decoder on an in-process board: the emulated kernel with codecdrv
// loaded serves "/dev/vs10xx" through the seam, the test reads the VS1053b
// model through its backdoor ("decoder.stats", the SDI capture), and a
// player queue stands in for the manager task. Also MP3 streams of silent
// 320 kbit/s frames, so a second of audio is 40,000 bytes.
#ifndef PATERM_TESTS_MP3_DECODER_ON_BOARD_H
#define PATERM_TESTS_MP3_DECODER_ON_BOARD_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/sim/control.h"
#include "board/sim/decoder_part.h"
#include "board/sim/kernel_part.h"
#include "player/player_msg.h"
#include "runtime/vos.h"
#include "tests/sim/in_process_board.h"

namespace mp3test {

constexpr int kFrameBytes = 1044;  // 144 * 320000 / 44100, no padding

// size bytes of 320 kbit/s, 44.1 kHz mono frames that decode as silence;
// the last frame is cut short when size is not a multiple of a frame.
inline std::vector<uint8_t> SilentStream(size_t size, uint8_t mark = 0) {
    std::vector<uint8_t> bytes(size, 0);
    for (size_t at = 0; at < size; at += kFrameBytes) {
        const uint8_t header[4] = {0xFF, 0xFB, 0xE0, 0xC0};
        for (size_t k = 0; k < 4 && at + k < size; ++k) bytes[at + k] = header[k];
        // Ancillary bytes at the end of each frame tell blocks apart.
        const size_t end = std::min(size, at + kFrameBytes);
        bytes[end - 1] = static_cast<uint8_t>(mark + at / kFrameBytes);
    }
    return bytes;
}

class DecoderOnBoard {
public:
    DecoderOnBoard()
        : kernel_(std::make_unique<sim::KernelPart>("", "", &board_.Netlink(), &board_.log())),
          decoder_(kernel_.get(), &board_.log()) {
        kernel_->Attach(board_.devices(), controls_);
        decoder_.Attach(board_.devices(), controls_);
        kernel_->PowerOn();
        kernel_->machine().decoder().CaptureSdi(true);
    }
    ~DecoderOnBoard() {
        kernel_->PowerOff();
        board_.PowerOff();
    }
    DecoderOnBoard(const DecoderOnBoard&) = delete;
    DecoderOnBoard& operator=(const DecoderOnBoard&) = delete;

    bool ready() const { return board_.ready(); }
    const std::string& error() const { return board_.error(); }
    std::string At(const std::string& terminalPath) const { return board_.At(terminalPath); }
    sim::Json Control(const sim::Json& request) { return controls_.Dispatch(request).body; }
    sim::Json Stats() { return Control({{"cmd", "decoder.stats"}}); }
    // Every byte the chip's SDI accepted since the last call.
    std::vector<uint8_t> TakeCapture() {
        kernel_->machine().Settle();
        return kernel_->machine().decoder().TakeSdiCapture();
    }

private:
    simtest::InProcessBoard board_;
    sim::ControlRegistry controls_;
    std::unique_ptr<sim::KernelPart> kernel_;
    sim::DecoderPart decoder_;
};

// A fresh runtime (timer task included) and a player queue the test reads.
inline uint32_t StartRuntimeWithQueue() {
    VosStart();
    uint32_t queueId = 0;
    VosQueueCreate(200, 8, &queueId);
    gPlayerQueueId.store(static_cast<int32_t>(queueId));
    return queueId;
}

// The type of the next message within timeoutMs, or 0.
inline uint16_t NextMessageType(uint32_t queueId, uint32_t timeoutMs) {
    void* raw = nullptr;
    if (VosQueueReceive(queueId, 0, timeoutMs, &raw) != eOD_RET_OK) return 0;
    const uint16_t type = static_cast<PlayerMsg*>(raw)->msgType;
    free(raw);
    return type;
}

}  // namespace mp3test

#endif  // PATERM_TESTS_MP3_DECODER_ON_BOARD_H
