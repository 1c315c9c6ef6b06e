// Test support for the network side: a terminal identity in an EEPROM image
// on a temporary board root, frames addressed to it, the player queue, and a
// fake board that records the shell lines the program runs.
#ifndef PATERM_TESTS_NET_NET_TEST_SUPPORT_H
#define PATERM_TESTS_NET_NET_TEST_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/protocol.h"
#include "board/sim/unix_socket.h"
#include "net/net_frame.h"
#include "player/player_msg.h"
#include "player/settings.h"
#include "runtime/vos.h"
#include "tests/support/board_root.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

constexpr const char* kDeviceId = "PT12345678";
constexpr const char* kEeprom = "/dev/i2c-eeprom0";

// A 256-byte EEPROM image: erased, the device id at 0, the watchdog flag 0,
// and the server address bytes 44..47 when given.
inline Bytes EepromImage(const Bytes& serverBytes = {}) {
    Bytes image(256, 0xFF);
    std::memcpy(image.data(), kDeviceId, 10);
    image[16] = 0;
    for (size_t i = 0; i < serverBytes.size() && i < 4; ++i) image[44 + i] = serverBytes[i];
    return image;
}

// The terminal's identity loaded from an EEPROM on root.
inline void LoadIdentity(const testsupport::TempBoardRoot& root, const Bytes& serverBytes = {}) {
    root.write(kEeprom, EepromImage(serverBytes));
    PlayerLoadSettings();
}

inline Bytes Frame(uint8_t cmd, const Bytes& payload, const char* devId = kDeviceId) {
    Bytes frame(payload.size() + kNetFrameOverhead);
    frame.resize(NetFrameBuild(frame.data(), frame.size(), cmd, reinterpret_cast<const uint8_t*>(devId),
                               payload.empty() ? nullptr : payload.data(), payload.size()));
    return frame;
}

inline Bytes Payload(const Bytes& frame) {
    return Bytes(frame.begin() + kNetFramePayloadOffset, frame.end() - 2);
}

// A fresh runtime and player queue, read by the test instead of the manager task.
inline uint32_t CreatePlayerQueue() {
    OdWrap__Init();
    uint32_t queueId = 0;
    VosQueueCreate(200, 8, &queueId);
    gPlayerQueueId.store(static_cast<int32_t>(queueId));
    return queueId;
}

struct Posted {
    uint16_t src = 0xFFFF;
    uint16_t type = 0;
    Bytes data;
};

// Every message waiting on the queue, oldest first.
inline std::vector<Posted> TakeAll(uint32_t queueId) {
    std::vector<Posted> all;
    for (int i = 0; i < 1000; ++i) {
        void* raw = nullptr;
        if (VosQueueReceive(queueId, 1, 0, &raw) != eOD_RET_OK) break;
        auto* message = static_cast<PlayerMsg*>(raw);
        all.push_back({message->src, message->msgType, Bytes(message->data, message->data + message->len)});
        free(message);
    }
    return all;
}

// The next message within timeoutMs, or one of type 0 (none).
inline Posted TakeWithin(uint32_t queueId, uint32_t timeoutMs) {
    void* raw = nullptr;
    if (VosQueueReceive(queueId, 0, timeoutMs, &raw) != eOD_RET_OK) return {};
    auto* message = static_cast<PlayerMsg*>(raw);
    Posted posted{message->src, message->msgType, Bytes(message->data, message->data + message->len)};
    free(message);
    return posted;
}

// Serves root/sim/board.sock: shell lines are recorded and succeed, device
// opens get a descriptor of the mapped file (the EEPROM), the board clock
// reads as the host's and records what it is set to, anything else fails. Start it after PlayerLoadSettings: from then on the seam is in
// board mode.
class ShellRecorder {
public:
    explicit ShellRecorder(const std::string& root) : root_(root) {
        ::mkdir((root + "/sim").c_str(), 0755);
        listener_ = sim::ListenUnix(root + sim::kSeamSocketPath, SOCK_SEQPACKET | SOCK_CLOEXEC, 16);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ShellRecorder() {
        stop_ = true;
        thread_.join();
        ::unlink((root_ + sim::kSeamSocketPath).c_str());
    }
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    bool listening() const { return listener_.Valid(); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Seconds of every clock setting, oldest first.
    std::vector<int64_t> clockSets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return clockSets_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            sim::UniqueFd conn(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (conn) Answer(conn.Get());
        }
    }
    void Answer(int fd) {
        sim::Message request;
        std::vector<char> payload(sim::kMaxPayload);
        size_t len = 0;
        if (sim::RecvPacket(fd, &request, payload.data(), payload.size(), &len) != sim::RecvStatus::kPacket) return;
        const std::string text(payload.data(), len);
        if (request.op == static_cast<uint32_t>(sim::Op::kSystem)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(text);
            }
            sim::SendPacket(fd, sim::Reply(0));
        } else if (request.op == static_cast<uint32_t>(sim::Op::kClockGet)) {
            sim::SendPacket(fd, sim::Reply(0));  // no offset from the host clock
        } else if (request.op == static_cast<uint32_t>(sim::Op::kClockSet)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                clockSets_.push_back(static_cast<int64_t>(request.arg0));
            }
            sim::SendPacket(fd, sim::Reply(0));
        } else if (request.op == static_cast<uint32_t>(sim::Op::kOpen)) {
            OpenFile(fd, text, static_cast<int>(request.flags));
        } else {
            sim::SendPacket(fd, sim::Reply(-1, ENOSYS));
        }
    }
    void OpenFile(int fd, const std::string& path, int flags) {
        sim::UniqueFd file(::open((root_ + path).c_str(), (flags & ~O_CREAT) | O_CLOEXEC));
        if (!file) {
            sim::SendPacket(fd, sim::Reply(-1, ENODEV));
            return;
        }
        sim::Message reply = sim::Reply(0);
        reply.flags = static_cast<uint32_t>(sim::OpenAnswer::kDescriptor);
        sim::SendPacket(fd, reply, nullptr, 0, file.Get());
    }

    std::string root_;
    sim::UniqueFd listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<int64_t> clockSets_;
    std::thread thread_;
};

}  // namespace nettest

#endif  // PATERM_TESTS_NET_NET_TEST_SUPPORT_H
