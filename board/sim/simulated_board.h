// The simulated board: its root, models and servers, and the power cycles
// of the program. Every program start is a power-on (an empty /tmp, a
// closed watchdog, the system clock from the hardware clock, the card as
// the board has it). The board outlives the program: a program that ends
// by itself is started afresh after 1 s, or, with the watchdog armed, when
// the watchdog expires; "reboot" and an expired watchdog reset it at once.
//
// Each power-on also reboots the emulated kernel on the board's hardware
// models and loads its modules before the program starts (the netlink event
// module, codecdrv, ctrldrv), so their devices /dev/vs10xx and
// /dev/nOrv_ctrl are served by the modules' own file operations.
#ifndef PATERM_BOARD_SIM_SIMULATED_BOARD_H
#define PATERM_BOARD_SIM_SIMULATED_BOARD_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board/sim/console.h"
#include "board/sim/device.h"
#include "board/sim/hw/machine.h"
#include "board/sim/kernel/kernel.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/options.h"
#include "board/sim/program.h"
#include "board/sim/root_layout.h"
#include "board/sim/seam_server.h"
#include "board/sim/shell.h"
#include "board/sim/tool_runner.h"
#include "board/sim/wall_clock.h"
#include "board/sim/watchdog.h"

namespace sim {

struct ResetRecord {
    std::string cause;  // "watchdog", "reboot" or "program exit"
    int64_t ms = 0;     // board time
};

struct BoardStatus {
    int64_t uptimeMs = 0;
    uint64_t programStarts = 0;
    bool programRunning = false;
    int programPid = 0;
    std::string lastExit;  // how the previous run ended, "" before the first end
    WatchdogModel::Status watchdog;
    std::vector<ResetRecord> resets;
    bool cardPresent = false;
    uint32_t netlinkPort = 0;
};

class SimulatedBoard {
public:
    static constexpr int64_t kRestartDelayMs = 1000;

    explicit SimulatedBoard(Options options);
    ~SimulatedBoard();

    // Lays out the root (factory files, EEPROM, NAND) and starts the seam.
    bool Start(std::string* error);
    // Power cycles until a stop is requested or signalFd (may be -1) is readable.
    void Run(int signalFd);
    // Power-off of the models and the seam; after Run.
    void Shutdown();

    void RequestStop();
    void RequestReset(const std::string& cause);

    BoardStatus Status() const;
    std::vector<LogEntry> LogFrom(uint64_t position, size_t max, uint64_t* next) const;
    void Stall();
    void Resume();
    // A kernel event for the program's netlink socket; port 0: the latest bound.
    bool DeliverEvent(uint32_t port, uint8_t type, uint8_t value);

    // The kernel code outside the system (card slot, audio detector) and the
    // RF remote: events through the netlink event module, to the process
    // registered with it. A result of 0 means delivered (else -errno).
    int SetCardPresent(bool present);
    int RaiseAudioEvent(bool detected);
    bool PressRfKey(int code);
    hw::Vs1053::Stats DecoderStats();
    void SetDreqFault(bool on);
    std::vector<kernel::KernelLogLine> KernelLog(uint64_t from, size_t max, uint64_t* next) const;
    std::vector<kernel::ModuleInfo> KernelModules() const;
    uint64_t KernelBugs() const;

    const RootLayout& root() const { return *layout_; }
    OpLog& log() { return *log_; }

private:
    int64_t NowMs() const;
    void PowerOn();
    void StartProgram();
    void Reset(const std::string& cause);
    void Supervise();
    void Wake();
    void RebootKernel();

    const Options options_;
    const std::chrono::steady_clock::time_point startTime_;
    std::unique_ptr<RootLayout> layout_;
    std::unique_ptr<OpLog> log_;
    std::unique_ptr<Console> console_;
    std::unique_ptr<ToolRunner> tools_;
    std::unique_ptr<WallClock> clock_;
    std::unique_ptr<WatchdogModel> watchdog_;
    std::unique_ptr<NetlinkModel> netlink_;
    DeviceRegistry devices_;
    std::unique_ptr<Shell> shell_;
    std::unique_ptr<SeamServer> seam_;
    UniqueFd wakeRead_, wakeWrite_;
    std::unique_ptr<hw::Machine> machine_;
    std::unique_ptr<kernel::Kernel> kernel_;  // after the machine it runs on: destroyed first
    bool kernelFresh_ = false;                // booted by Start, not yet used by a power-on

    ProgramProcess program_;  // the supervising thread's alone
    std::atomic<bool> stopRequested_{false};
    std::mutex cardMutex_;       // the card's state and its presence file change together
    mutable std::mutex mutex_;  // guards what follows
    std::optional<std::string> pendingReset_;
    uint64_t programStarts_ = 0;
    int programPid_ = 0;
    std::string lastExit_;
    int64_t exitedAtMs_ = -1;
    std::vector<ResetRecord> resets_;
    bool cardPresent_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SIMULATED_BOARD_H
