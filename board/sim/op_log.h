// The board's operation log: what the program did to the board (device
// opens, shell commands, clock settings) and what the board did to the
// program (starts, exits, resets). Entries are numbered from 0 for the life
// of the board, kept in memory for the control interface (the newest
// kKeep of them) and mirrored line by line to DIR/sim/board.log.
#ifndef PATERM_BOARD_SIM_OP_LOG_H
#define PATERM_BOARD_SIM_OP_LOG_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim/paged_ring.h"
#include "board/sim/unique_fd.h"

namespace sim {

enum class LogKind : uint8_t {
    kBoard,
    kOpen,
    kClose,
    kIoctl,
    kShell,
    kClock,
    kReboot,
    kReset,
    kProgramStart,
    kProgramExit,
    kUnmodelled,
    kNetlinkBind,
    kWatchdog,
    kControl,
    kRun,  // a host program the board ran, with its argument vector
};

inline constexpr std::array<const char*, 15> kLogKindNames = {
    "board", "open",          "close",        "ioctl",      "shell",        "clock",    "reboot",  "reset",
    "program-start", "program-exit", "unmodelled", "netlink-bind", "watchdog", "control", "run",
};

inline const char* LogKindName(LogKind kind) { return kLogKindNames[static_cast<size_t>(kind)]; }

struct LogEntry {
    uint64_t position = 0;
    int64_t ms = 0;  // board time
    LogKind kind = LogKind::kBoard;
    std::string detail;
};

class OpLog {
public:
    static constexpr size_t kKeep = 10000;

    // nowMs gives board time; mirrorPath (may be empty) is truncated here.
    OpLog(std::function<int64_t()> nowMs, const std::string& mirrorPath);

    void Add(LogKind kind, std::string detail);
    // A board event a person at the console should see as well (power-on,
    // reset, stop, card and RF events): logged, then handed to the echo.
    void Event(LogKind kind, const std::string& detail);
    // Set once while the board is assembled, before any Event.
    void SetEventEcho(std::function<void(const std::string&)> echo) { echo_ = std::move(echo); }
    // At most max entries from position on; *next is where the following
    // call should start. Positions older than the kept entries are skipped.
    std::vector<LogEntry> From(uint64_t position, size_t max, uint64_t* next) const;

private:
    std::function<int64_t()> nowMs_;
    std::function<void(const std::string&)> echo_;
    mutable std::mutex mutex_;
    PagedRing<LogEntry, &LogEntry::position> entries_{kKeep};
    UniqueFd mirror_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_OP_LOG_H
