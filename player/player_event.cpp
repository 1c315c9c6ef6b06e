// PlayerEventRevTask: owns the kernel event socket and the control device
// descriptor, and maps each event to its player messages.
#include "player/player_event.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "player/player_msg.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kEventTaskStack = 4096;
constexpr const char* kCtrlDevice = "/dev/nOrv_ctrl";
// The kernel side learns our process id only after this priming.
constexpr int kCtrlPrimeWrites = 5;
constexpr uint32_t kCtrlPrimeSleepMs = 1000;

constexpr uint8_t kRfStopKey = 12;
constexpr uint8_t kRfLastFileKey = 11;

// What one event becomes: a post, possibly a second one of the same type,
// and the waits around them. A card needs a second to settle before the
// central control reads it.
struct EventAction {
    uint16_t msgType = 0;  // 0: the event posts nothing
    bool withValue = false;  // the event value as a 1-byte payload
    uint32_t waitBeforeMs = 0;
    uint32_t repeatAfterMs = 0;  // post again after this wait; 0: once
    const char* note = nullptr;  // printed with puts before posting
};

constexpr EventAction ActionFor(uint8_t type, uint8_t value) {
    switch (type) {
    case eKNL_MSG_TYPE_MMC_INSERT:
        return {eSVC_MSG_TYPE_MMC_INSERT, false, 1000, 0, nullptr};
    case eKNL_MSG_TYPE_MMC_REMOVE:
        return {eSVC_MSG_TYPE_MMC_REMOVE, false, 0, 2, nullptr};
    case eKNL_MSG_TYPE_RF_KEY:
        if (value == kRfStopKey) return {eSVC_MSG_TYPE_RF_STOP, false, 0, 0, nullptr};
        if (value <= kRfLastFileKey) return {eSVC_MSG_TYPE_RF_FILE_PLAY, true, 0, 0, nullptr};
        return {};
    case eKNL_MSG_TYPE_AUDIO_DETECTED:
        return {eSVC_MSG_TYPE_AUTO_DECTED, false, 0, 0, "rcv eKNL_MSG_TYPE_AUDIO_DETECTED "};
    case eKNL_MSG_TYPE_AUDIO_LOST:
        return {eSVC_MSG_TYPE_AUTO_LOST, false, 0, 0, "rcv eSVC_MSG_TYPE_AUTO_LOST "};
    default:
        return {};
    }
}

static_assert(ActionFor(eKNL_MSG_TYPE_RF_KEY, 13).msgType == 0, "RF keys 13 to 15 post nothing");
static_assert(ActionFor(eKNL_MSG_TYPE_RF_KEY, 0).msgType == eSVC_MSG_TYPE_RF_FILE_PLAY, "RF key 0 is a file key");

void PrintError(const char* text) {
    printf("Error:  ");
    printf("%s", text);
}

void Dispatch(uint8_t type, uint8_t value) {
    const EventAction action = ActionFor(type, value);
    if (action.msgType == 0) return;
    if (action.note != nullptr) puts(action.note);
    if (action.waitBeforeMs != 0) VosSleepMs(action.waitBeforeMs);
    const uint8_t* payload = action.withValue ? &value : nullptr;
    const uint16_t len = action.withValue ? 1 : 0;
    PlayerMsgPostKnl(action.msgType, payload, len);
    if (action.repeatAfterMs == 0) return;
    VosSleepMs(action.repeatAfterMs);
    PlayerMsgPostKnl(action.msgType, payload, len);
}

// Socket failures a blocking receive can report and still work afterwards:
// a signal, or a receive queue that overflowed (events were lost, the
// socket is fine).
bool Transient(int error) { return error == EINTR || error == ENOBUFS; }

// The kernel learns where to answer from this header-only message.
void Hello(int sock, uint32_t pid) {
    nlmsghdr hello;
    std::memset(&hello, 0, sizeof hello);
    hello.nlmsg_len = sizeof hello;
    hello.nlmsg_pid = pid;
    board::NetlinkSend(sock, &hello, sizeof hello);
}

// Opens the control device, keeps it open, and registers pid after the
// priming writes. Ends the process when the device cannot be opened.
void RegisterWithCtrlDevice(int pid) {
    const int ctrl = board::Open(kCtrlDevice, O_RDWR);
    if (ctrl <= 0) {
        PrintError("Error, cannot open spi");
        exit(1);
    }
    for (int i = 0; i < kCtrlPrimeWrites; ++i) {
        const uint8_t prime = 0;
        board::Write(ctrl, &prime, 1);
        VosSleepMs(kCtrlPrimeSleepMs);
    }
    printf("user space userPid:%x\n", pid);
    int userPid = pid;
    if (board::Ioctl(ctrl, IOCTL_NORV_CTRL_SET_USER_PID, &userPid) < 0) {
        printf("Error:  ");
        printf("IOCTL fail! IOCTL_NORV_CTRL_SET_USER_PID device:%s\r\n", kCtrlDevice);
    }
}

}  // namespace

bool PlayerEventIsRecord(const uint8_t* message, size_t got, uint32_t senderPort) {
    if (senderPort != 0 || got < kPlayerEventRecordBytes) return false;
    nlmsghdr header;
    std::memcpy(&header, message, sizeof header);
    return header.nlmsg_len >= kPlayerEventRecordBytes && header.nlmsg_len <= got;
}

int PlayerEventReceive(int sock, PlayerEventRecvFn recv) {
    std::vector<uint8_t> buffer(kPlayerEventBufferBytes);
    for (;;) {
        // Cleared each time so that nothing of an earlier event survives.
        std::memset(buffer.data(), 0, buffer.size());
        // A receive that does not say who sent is no kernel's.
        uint32_t sender = UINT32_MAX;
        const ssize_t got = recv(sock, buffer.data(), buffer.size(), &sender);
        if (got == 0) {
            PrintError("Exit.");
            return 0;
        }
        if (got < 0) {
            if (Transient(errno)) continue;
            PrintError("recvmsg:");
            return 1;
        }
        // A message without its type and value carries no event (read from
        // the cleared buffer it would pass for a card insertion); one whose
        // header does not fit what arrived, or from a process, is no event.
        if (!PlayerEventIsRecord(buffer.data(), static_cast<size_t>(got), sender)) continue;
        Dispatch(buffer[kPlayerEventHeaderBytes], buffer[kPlayerEventHeaderBytes + 1]);
    }
}

void* PlayerEventRevTask(void* /*unused*/) {
    const int sock = board::NetlinkSocket(kPlayerEventNetlinkProtocol);
    if (sock < 0) {
        PrintError("can not create a netlink socket");
        exit(0);
    }
    const auto pid = static_cast<uint32_t>(getpid());
    if (board::NetlinkBind(sock, pid) < 0) {
        PrintError("bind() error");
        board::Close(sock);
        return nullptr;
    }
    Hello(sock, pid);
    RegisterWithCtrlDevice(static_cast<int>(pid));
    exit(PlayerEventReceive(sock, board::NetlinkRecvFrom));
}

int PlayerEventStart(void) {
    OdTaskId taskId = 0;
    if (VosTaskCreate(PlayerEventRevTask, nullptr, eOD_PRIO_NORMAL, kEventTaskStack, &taskId) != eOD_RET_OK)
        printf("Start PlayerEventRevTask fail! \r");
    return 0;
}
