// The serial control panel's port "/dev/ttyTX0". On the terminal it is a
// UART with the panel at the far end; here it is a pty: the program gets
// the slave (a real descriptor, so its termios calls and select work), the
// board holds the master. One line thread of the board reads the master,
// unstuffs what the terminal sends and keeps the frames, and writes what
// is queued for the terminal.
//
// Backdoor: "panel.send" (a frame or raw bytes onto the line),
// "panel.frames" (the terminal's frames, numbered, read a page at a time),
// and DIR/sim/panel.sock, where one external panel program at a time gets
// the line's raw bytes both ways (a second client is closed at once).
//
// Power-off closes the pty, so the old program's side is cut; power-on
// makes a fresh, raw one. The frame numbering and a connected panel
// program carry over.
#ifndef PATERM_BOARD_SIM_PANEL_PORT_H
#define PATERM_BOARD_SIM_PANEL_PORT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/op_log.h"
#include "board/sim/paged_ring.h"
#include "board/sim/part.h"
#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {

class PanelPort : public BoardPart {
public:
    static constexpr const char* kDevicePath = "/dev/ttyTX0";
    static constexpr size_t kKeepFrames = 4096;
    static constexpr size_t kMaxFramesPerReply = 1000;
    // Bytes queued for a terminal that reads nothing are bounded.
    static constexpr size_t kMaxPending = 65536;
    static constexpr size_t kMaxRaw = 4096;

    struct Frame {
        uint64_t position = 0;
        int64_t ms = 0;  // board time
        std::vector<uint8_t> payload;
    };

    PanelPort(std::function<int64_t()> nowMs, std::string socketPath, OpLog* log);
    ~PanelPort() override;
    PanelPort(const PanelPort&) = delete;
    PanelPort& operator=(const PanelPort&) = delete;

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOff() override;
    void PowerOn() override;
    void AddStatus(Json& status) const override;

    // The bus side: a fresh descriptor of the pty's slave.
    OpenResult Open(int flags);

    // The backdoor: bytes queued onto the line whole, in order.
    [[nodiscard]] Result<> SendToTerminal(const std::string& bytes);
    std::vector<Frame> FramesFrom(uint64_t from, size_t max, uint64_t* next) const;

private:
    struct Line;  // the line thread's own descriptors

    void Serve();
    void Wake();
    bool TakeLine(Line& line);  // false once stopping
    void ReadTerminal(Line& line);
    void WriteTerminal(Line& line);
    void AcceptClient(Line& line);
    void ReadClient(Line& line);
    void DropClient(Line& line, const char* why);
    void RecordFrame(const uint8_t* payload, size_t size);

    std::function<int64_t()> nowMs_;
    const std::string socketPath_;
    OpLog* log_;
    UniqueFd listener_;
    UniqueFd wakeRead_, wakeWrite_;
    std::thread thread_;
    std::atomic<bool> clientConnected_{false};

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable lineTaken_;
    bool stopping_ = false;
    std::shared_ptr<UniqueFd> master_;  // null while powered off
    UniqueFd boardSlave_;               // held, so the master never sees a hang-up between programs
    std::string slaveName_;
    uint64_t generation_ = 0;           // one per power-off and power-on
    uint64_t takenGeneration_ = 0;      // the line thread works on this one
    std::string toTerminal_;
    PagedRing<Frame, &Frame::position> frames_{kKeepFrames};
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PANEL_PORT_H
