// The board's shell: carries out the command lines the program hands to
// system(3) (see shell_plan.h for what is recognised) and answers with the
// status system(3) would give. Every command and its status go to the
// operation log; what a command prints goes to the console. Programs, the
// unpacked /tmp/wget too, run through the ToolRunner.
#ifndef PATERM_BOARD_SIM_SHELL_H
#define PATERM_BOARD_SIM_SHELL_H

#include <functional>
#include <string>

#include "board/sim/console.h"
#include "board/sim/op_log.h"
#include "board/sim/root_layout.h"
#include "board/sim/shell_plan.h"
#include "board/sim/tool_runner.h"
#include "board/sim/wall_clock.h"

namespace sim {

class Shell {
public:
    Shell(const RootLayout* root, ToolRunner* tools, WallClock* clock, OpLog* log, Console* console,
          std::function<void()> reboot)
        : root_(root), tools_(tools), clock_(clock), log_(log), console_(console), reboot_(std::move(reboot)) {}

    int Run(const std::string& line);
    // Power-off: programs still running (a download too) are killed, and no
    // new one starts.
    void Shutdown() { tools_->KillAll(); }

private:
    int Execute(const ShellPlan& plan, std::string* note);

    const RootLayout* root_;
    ToolRunner* tools_;
    WallClock* clock_;
    OpLog* log_;
    Console* console_;
    std::function<void()> reboot_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SHELL_H
