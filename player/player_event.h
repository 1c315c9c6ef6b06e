// The kernel event receiver: the netlink socket on which kernel code sends
// its events (SD card, RF remote keys, audio detection), the registration of
// this process with the control device, and the task that turns each event
// into player messages.
#ifndef PATERM_PLAYER_PLAYER_EVENT_H
#define PATERM_PLAYER_PLAYER_EVENT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Event types: the byte after the netlink header.
enum : uint8_t {
    eKNL_MSG_TYPE_MMC_INSERT = 0,
    eKNL_MSG_TYPE_MMC_REMOVE = 1,
    eKNL_MSG_TYPE_RF_KEY = 2,  // value: the key code, 0 to 15
    eKNL_MSG_TYPE_AUDIO_DETECTED = 3,
    eKNL_MSG_TYPE_AUDIO_LOST = 4,
};

// The kernel events' netlink protocol.
constexpr int kPlayerEventNetlinkProtocol = 21;
// One event: the 16-byte netlink header, the type byte and the value byte.
constexpr size_t kPlayerEventHeaderBytes = 16;
constexpr size_t kPlayerEventRecordBytes = kPlayerEventHeaderBytes + 2;
constexpr size_t kPlayerEventBufferBytes = 8208;

// "/dev/nOrv_ctrl": registers the process that receives the events
// (write direction, type 'x', number 0, a 4-byte int).
constexpr unsigned long IOCTL_NORV_CTRL_SET_USER_PID = 0x40047800;

// Creates PlayerEventRevTask; prints its failure. Always 0.
int PlayerEventStart(void);

// Opens the socket, registers the process id after a five-second wait with
// the control device open, then receives for ever. Ends the whole process
// when the socket, the device or the receive fails; a bind failure ends
// only this task.
void* PlayerEventRevTask(void* unused);

// How the receive loop reads one message and learns the port id it came
// from (0: the kernel): the seam's NetlinkRecvFrom on the terminal and the
// board; a stand-in in tests.
using PlayerEventRecvFn = ssize_t (*)(int fd, void* buf, size_t len, uint32_t* senderPort);

// The receive loop: takes messages from sock until the channel ends and
// posts what each event asks for. Returns the exit status the process is to
// end with: 0 after an empty message ("Exit."), 1 after a receive error.
// Only a message that is an event record is acted on (PlayerEventIsRecord).
int PlayerEventReceive(int sock, PlayerEventRecvFn recv);

// An event record: from the kernel (sender port 0), holding its type and
// value, with a header whose length covers them and no more than the got
// bytes that arrived (a longer message was cut to the buffer). Anything
// else is junk on the channel or a process posing as the kernel.
bool PlayerEventIsRecord(const uint8_t* message, size_t got, uint32_t senderPort);

#endif  // PATERM_PLAYER_PLAYER_EVENT_H
