// The serial control panel: port start-up, the receive task, the frame
// parser with its key and setting tables, the group-list timer and the
// send operations.
#include "localio/ctrl_panel.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "localio/panel_frame.h"
#include "localio/serial_port.h"
#include "player/player_msg.h"
#include "player/player_state.h"
#include "runtime/vos.h"

namespace {

constexpr const char* kPanelDevice = "/dev/ttyTX0";
constexpr int kPanelSpeed = 115200;
constexpr uint32_t kRcvTaskStack = 4096;
constexpr size_t kReadChunk = 255;
// A dead line (a hung-up port reads 0 or fails at once) must not spin a core.
constexpr uint32_t kReadRetryPauseMs = 20;
// The panel needs a moment between indicator frames.
constexpr useconds_t kIndicatorPauseUs = 5;

// Commands from the panel.
constexpr uint8_t kCmdAnnounce = 0x80;
constexpr uint8_t kCmdKey = 0x81;
constexpr uint8_t kCmdSetting = 0x82;
// Key and setting frames carry two parameter bytes behind length and command.
constexpr int32_t kParamFrameLength = 4;

constexpr uint8_t kLastGroupKey = 10;
constexpr uint8_t kGroupListKey = 11;

// Message type for keys 12 to 22 (index: key - 12).
constexpr std::array<uint16_t, 11> kKeyTable = {
    eSVC_MSG_TYPE_GRP_LIST_PAGE,  // 12
    eSVC_MSG_TYPE_AUTO_KEY,       // 13
    eSVC_MSG_TYPE_BRD_KEY,        // 14
    eSVC_MSG_TYPE_PLAY_STOP,      // 15
    eSVC_MSG_TYPE_NEXT_FILE,      // 16
    eSVC_MSG_TYPE_PREV_FILE,      // 17
    eSVC_MSG_TYPE_PREV_DIR,       // 18
    eSVC_MSG_TYPE_NEXT_DIR,       // 19
    eSVC_MSG_TYPE_CHN3_KEY,       // 20
    eSVC_MSG_TYPE_CHN1_KEY,       // 21
    eSVC_MSG_TYPE_CHN2_KEY,       // 22
};
constexpr uint8_t kFirstTableKey = 12;

// Message type for settings 1 to 7 (index: setting number; 0 posts nothing).
constexpr std::array<uint16_t, 8> kSettingTable = {
    0,
    eSVC_MSG_TYPE_MASTER_LEVEL,  // 1
    eSVC_MSG_TYPE_TREBLE_LEVEL,  // 2
    eSVC_MSG_TYPE_BASS_LEVEL,    // 3
    eSVC_MSG_TYPE_CHN4_LEVEL,    // 4
    eSVC_MSG_TYPE_CHN1_LEVEL,    // 5
    eSVC_MSG_TYPE_CHN2_LEVEL,    // 6
    eSVC_MSG_TYPE_CHN3_LEVEL,    // 7
};

// The port: set once by CtrlPanelInit, read by every sender.
std::atomic<int> gPanelFd{-1};

// The group-list timer's handle, 0 when none runs. The receive task (key
// 11) and the timer task (expiry) race for it: whoever exchanges a running
// handle for 0 closes the list, so exactly one close follows each open.
// No lock is held across the timer calls, whose own lock the expiry
// callback runs under.
std::atomic<uint32_t> gGroupListTimer{0};

void PanelGroupListKey() {
    const uint32_t running = gGroupListTimer.exchange(0);
    if (running != 0) {
        VosTimerStop(running);  // 234 if it expired meanwhile: the expiry saw 0 and posted nothing
        PanelPostMsg(eSVC_MSG_TYPE_GRP_LIST_CLOSE, nullptr, 0);
        return;
    }
    uint32_t handle = 0;
    if (VosTimerStart(kPanelGroupListMs, &handle, PanelTimerExpired, nullptr, 0, 0) != eOD_RET_OK) {
        // A list nothing would close is not opened.
        puts("Start group list timer fail!\r");
        return;
    }
    gGroupListTimer.store(handle);
    PanelPostMsg(eSVC_MSG_TYPE_GRP_LIST_OPEN, nullptr, 0);
}

void PanelKeyFrame(uint8_t key, uint8_t state) {
    if (GetPanelReady() == 0 || state == 0) return;
    if (key <= kLastGroupKey) {
        const uint8_t group = static_cast<uint8_t>(key - 1);  // key 0 gives 255
        PanelPostMsg(eSVC_MSG_TYPE_GRP_KEY, &group, 1);
    } else if (key == kGroupListKey) {
        PanelGroupListKey();
    } else if (key - kFirstTableKey < static_cast<int>(kKeyTable.size())) {
        PanelPostMsg(kKeyTable[key - kFirstTableKey], nullptr, 0);
    }
}

void PanelSettingFrame(uint8_t setting, uint8_t value) {
    if (setting == 0 || setting >= kSettingTable.size()) return;
    PanelPostMsg(kSettingTable[setting], &value, 1);
}

// Feeds received line bytes to the deframer and parses every frame a flag ends.
void PanelRcvBytes(PanelDeframer& deframer, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (deframer.Feed(bytes[i])) PanelParseFrame(deframer.frame(), static_cast<int32_t>(deframer.size()));
}

void PanelSendIndicator(uint8_t command, uint8_t a, uint8_t b) {
    const std::array<uint8_t, 4> payload = {4, command, a, b};
    PanelSendFrame(payload.data(), payload.size());
    usleep(kIndicatorPauseUs);
}

// header: the payload's first bytes; the text (cut to limit) and its zero follow.
void PanelSendTextPayload(const uint8_t* header, size_t headerLength, const char* text, size_t limit) {
    std::array<uint8_t, kPanelTextBuffer> payload{};
    const char* line = text != nullptr ? text : "";
    const size_t length = PanelTextFit(line, limit);
    std::memcpy(payload.data(), header, headerLength);
    payload[0] = static_cast<uint8_t>(payload[0] + length);
    payload[3] = static_cast<uint8_t>(payload[3] + length);
    std::memcpy(payload.data() + headerLength, line, length);
    PanelSendFrame(payload.data(), static_cast<uint32_t>(headerLength + length + 1));
}

}  // namespace

void PanelAttachPort(int fd) { gPanelFd.store(fd); }

int CtrlPanelInit(void) {
    const int fd = OpenSerialPort(kPanelDevice);
    if (fd < 0) {
        puts("Open serial port for control panel Error");
        return -1;
    }
    SetSerialSpeed(fd, kPanelSpeed);
    if (SetSerialParity(fd, 8, 1, 'N') != 0) {
        puts("Set Parity Error");
        board::Close(fd);  // a port in an unknown format is not used at all
        return -1;
    }
    SetupSerial(fd);
    PanelAttachPort(fd);
    OdTaskId task = 0;
    if (VosTaskCreate(CtrlPanelSerialRcvTask, nullptr, eOD_PRIO_NORMAL, kRcvTaskStack, &task) != eOD_RET_OK)
        puts("Start CtrlPanelSerialRcvTask fail! \r");
    return 0;
}

void* CtrlPanelSerialRcvTask(void* /*argument*/) {
    PanelSendHello();
    PanelDeframer deframer;
    std::array<uint8_t, kReadChunk> chunk{};
    for (;;) {
        const ssize_t n = board::Read(gPanelFd.load(), chunk.data(), chunk.size());
        if (n <= 0) {
            VosSleepMs(kReadRetryPauseMs);
            continue;
        }
        PanelRcvBytes(deframer, chunk.data(), static_cast<size_t>(n));
    }
    return nullptr;
}

void PanelParseFrame(const uint8_t* buffer, int32_t length) {
    if (length < 2) return;
    switch (buffer[1]) {
    case kCmdAnnounce:
        PanelSendAck();
        PanelPostMsg(eSVC_MSG_TYPE_PANEL_READY, nullptr, 0);
        break;
    case kCmdKey:
        // A short frame has no key or state of its own: nothing to act on.
        if (length >= kParamFrameLength) PanelKeyFrame(buffer[2], buffer[3]);
        break;
    case kCmdSetting:
        if (length >= kParamFrameLength) PanelSettingFrame(buffer[2], buffer[3]);
        break;
    default:
        break;
    }
}

int PanelTimerExpired(void* /*argument*/) {
    if (gGroupListTimer.exchange(0) != 0) PanelPostMsg(eSVC_MSG_TYPE_GRP_LIST_CLOSE, nullptr, 0);
    return 0;
}

void PanelSendFrame(const uint8_t* payload, uint32_t length) {
    // Descriptor 0 is a valid port when standard input was closed.
    const int fd = gPanelFd.load();
    if (length > kPanelMaxPayload || fd < 0) return;
    std::array<uint8_t, kPanelMaxWire> wire{};
    const size_t size = PanelStuffFrame(payload, length, wire.data(), wire.size());
    if (size != 0) board::Write(fd, wire.data(), size);
}

void PanelSendHello(void) {
    const std::array<uint8_t, 2> payload = {2, 0x00};
    PanelSendFrame(payload.data(), payload.size());
}

// Three bytes, although the length byte says two: the panel expects it so.
void PanelSendAck(void) {
    const std::array<uint8_t, 3> payload = {2, 0x01, 0x00};
    PanelSendFrame(payload.data(), payload.size());
}

void PanelSendLed(uint8_t index, uint8_t state) { PanelSendIndicator(0x02, static_cast<uint8_t>(index + 1), state); }

void PanelSendSwitch(uint8_t number, uint8_t value) { PanelSendIndicator(0x05, number, value); }

void PanelSendNumber(uint32_t value) {
    const std::array<uint8_t, 8> payload = {8,
                                            0x04,
                                            0x02,
                                            0x04,
                                            static_cast<uint8_t>(value >> 24),
                                            static_cast<uint8_t>(value >> 16),
                                            static_cast<uint8_t>(value >> 8),
                                            static_cast<uint8_t>(value)};
    PanelSendFrame(payload.data(), payload.size());
}

void PanelSendText(const char* text) {
    const uint8_t header[] = {5, 0x04, 0x01, 1};
    PanelSendTextPayload(header, sizeof header, text, kPanelTextMax);
}

void PanelSendTextEx(uint8_t x, uint8_t y, const char* text) {
    const uint8_t header[] = {7, 0x04, 0x00, 3, x, y};
    PanelSendTextPayload(header, sizeof header, text, kPanelTextExMax);
}

size_t PanelTextFit(const char* text, size_t limit) {
    const size_t length = strnlen(text, limit + 1);
    if (length <= limit) return length;
    // Longer than the limit, so every byte up to the limit is text.
    size_t fit = 0;
    while (fit < limit) {
        const size_t width = static_cast<uint8_t>(text[fit]) >= 0x80 ? 2 : 1;
        if (fit + width > limit) break;
        fit += width;
    }
    return fit;
}
