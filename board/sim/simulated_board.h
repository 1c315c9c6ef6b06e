// The simulated board: its root, its parts and servers, and the power cycles
// of the program. The board is a list of parts (board/sim/part.h), each a
// device or a backdoor with its own control commands; this file assembles
// them and owns only what is the board's own: the program's runs, resets,
// power cuts, and the "status", "log", "power.cut" and "stop" commands.
//
// Every program start is a power-on: the seam's sessions of the old program
// are cut, every part is powered off (calls in flight return) and on (an
// empty /tmp, a closed watchdog, the system clock from the hardware clock,
// the card as the board has it, the emulated kernel booted with its modules
// loaded). The board outlives the program: a program that ends by itself is
// started afresh after 1 s, or, with the watchdog armed, when the watchdog
// expires; "reboot" and an expired watchdog reset it at once.
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
#include "board/sim/control.h"
#include "board/sim/device.h"
#include "board/sim/op_log.h"
#include "board/sim/options.h"
#include "board/sim/part.h"
#include "board/sim/program.h"
#include "board/sim/result.h"
#include "board/sim/root_layout.h"
#include "board/sim/seam_server.h"
#include "board/sim/shell.h"
#include "board/sim/tool_runner.h"

namespace sim {

class NetlinkModel;
class Watchdog;
class WallClock;

class SimulatedBoard {
public:
    static constexpr int64_t kRestartDelayMs = 1000;
    // How long a power cycle waits for the old program's sessions to end.
    static constexpr std::chrono::milliseconds kSessionDrain{3000};

    explicit SimulatedBoard(Options options);
    ~SimulatedBoard();

    // Lays out the root (factory files, EEPROM, NAND), assembles the parts,
    // starts the seam and powers the board on with the program started.
    [[nodiscard]] Result<> Start();
    // Power cycles until a stop is requested or signalFd (may be -1) is readable.
    void Run(int signalFd);
    // Power-off of the parts and the seam; after Run.
    void Shutdown();

    void RequestStop();
    void RequestReset(const std::string& cause);

    const ControlRegistry& controls() const { return controls_; }
    const RootLayout& root() const { return *layout_; }
    OpLog& log() { return *log_; }
    Console& console() { return *console_; }

private:
    struct ResetRecord {
        std::string cause;  // "watchdog", "reboot", "program exit" or "power cut"
        int64_t ms = 0;     // board time
    };

    int64_t NowMs() const;
    void Assemble();
    void AttachBoardCommands();
    Json StatusJson() const;
    Json PowerCutCommand(const Json& request);
    int NextTickMs() const;
    void PowerOff();
    void PowerOn();
    void StartProgram();
    void Reset(const std::string& cause);
    void Supervise();
    void Wake();

    const Options options_;
    const std::chrono::steady_clock::time_point startTime_;
    std::unique_ptr<RootLayout> layout_;
    std::unique_ptr<OpLog> log_;
    std::unique_ptr<Console> console_;
    std::unique_ptr<ToolRunner> tools_;
    std::vector<std::unique_ptr<BoardPart>> parts_;  // in power-on order
    Watchdog* watchdog_ = nullptr;                   // parts the board itself consults
    WallClock* clock_ = nullptr;
    NetlinkModel* netlink_ = nullptr;
    DeviceRegistry devices_;
    ControlRegistry controls_;
    std::unique_ptr<Shell> shell_;
    std::unique_ptr<SeamServer> seam_;
    UniqueFd wakeRead_, wakeWrite_;

    ProgramProcess program_;  // the supervising thread's alone
    std::atomic<bool> stopRequested_{false};
    mutable std::mutex mutex_;  // guards what follows
    std::optional<std::string> pendingReset_;
    std::optional<int64_t> powerCutAtMs_;  // board time of a requested power cut
    uint64_t programStarts_ = 0;
    int programPid_ = 0;
    std::string lastExit_;
    int64_t exitedAtMs_ = -1;
    std::vector<ResetRecord> resets_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SIMULATED_BOARD_H
