// InProcessBoard: the simulated board's root, shell and seam server inside
// the test process, with the seam pointed at the root, for tests that need
// the board's real shell and devices without starting paterm-sim.
#ifndef PATERM_TESTS_SIM_IN_PROCESS_BOARD_H
#define PATERM_TESTS_SIM_IN_PROCESS_BOARD_H

#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/sim/console.h"
#include "board/sim/device.h"
#include "board/sim/factory.h"
#include "board/sim/flash.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/protocol.h"
#include "board/sim/root_layout.h"
#include "board/sim/seam_server.h"
#include "board/sim/shell.h"
#include "board/sim/tool_runner.h"
#include "board/sim/wall_clock.h"
#include "tests/sim/sim_harness.h"

namespace simtest {

class InProcessBoard {
public:
    // withFactory: the factory's files too (the download tool's archive).
    explicit InProcessBoard(bool withFactory = false)
        : layout_(root_.path()),
          log_([] { return int64_t{0}; }, ""),
          console_(aside_.path() + "/console.log", false),
          tools_(&console_, &log_),
          clock_(aside_.path() + "/clock", aside_.path() + "/hwclock", &log_),
          shell_(&layout_, &tools_, &clock_, &log_, &console_, [] {}),
          netlink_(&log_),
          server_(sim::SeamServices{&devices_, &netlink_, &clock_, &shell_, &log_}) {
        sim::Result<> ready = layout_.Prepare();
        if (ready && withFactory) ready = sim::FactoryInstall(layout_, &tools_, &log_);
        if (ready) ready = sim::EnsureNandFile(layout_.Host("/dev/mtd2"));
        if (ready) ready = server_.Start(root_.path() + sim::kSeamSocketPath);
        ready_ = ready.ok();
        if (!ready) error_ = ready.error().Text();
        ::setenv("PATERM_ROOT", root_.path().c_str(), 1);
    }
    ~InProcessBoard() { PowerOff(); }
    InProcessBoard(const InProcessBoard&) = delete;
    InProcessBoard& operator=(const InProcessBoard&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return error_; }
    std::string At(const std::string& terminalPath) const { return root_.path() + terminalPath; }
    int Run(const std::string& line) { return shell_.Run(line); }
    // For a test's own device models, served through the seam like the board's.
    sim::DeviceRegistry& devices() { return devices_; }
    sim::OpLog& log() { return log_; }
    void PowerOff() {
        server_.Stop();
        shell_.Shutdown();
    }

    // Log entries of a kind, in order.
    std::vector<std::string> Entries(sim::LogKind kind) const {
        uint64_t next = 0;
        std::vector<std::string> details;
        for (const sim::LogEntry& e : log_.From(0, sim::OpLog::kKeep, &next))
            if (e.kind == kind) details.push_back(e.detail);
        return details;
    }
    // The command lines the shell carried out, in order.
    std::vector<std::string> ShellLines() const {
        std::vector<std::string> lines;
        for (const std::string& d : Entries(sim::LogKind::kShell)) lines.push_back(d.substr(1, d.find("\" -> ") - 1));
        return lines;
    }
    // Host programs the board ran whose argument vector holds text.
    size_t CountRuns(const std::string& text) const {
        size_t count = 0;
        for (const std::string& d : Entries(sim::LogKind::kRun))
            if (d.find(text) != std::string::npos) ++count;
        return count;
    }

private:
    TempDir root_, aside_;  // the console and clocks stay out of the root
    sim::RootLayout layout_;
    sim::OpLog log_;
    sim::Console console_;
    sim::ToolRunner tools_;
    sim::WallClock clock_;
    sim::Shell shell_;
    sim::DeviceRegistry devices_;
    sim::NetlinkModel netlink_;
    sim::SeamServer server_;
    bool ready_ = false;
    std::string error_;
};

}  // namespace simtest

#endif  // PATERM_TESTS_SIM_IN_PROCESS_BOARD_H
