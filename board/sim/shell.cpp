// Carrying out a planned shell command.
#include "board/sim/shell.h"

#include "board/sim/fd_io.h"
#include "board/sim/flash.h"

namespace sim {

int Shell::Run(const std::string& line) {
    ShellPlan plan = PlanCommand(root_->dir(), line);
    std::string note;
    int status = Execute(plan, &note);
    std::string entry = "\"" + line + "\" -> " + DescribeExitStatus(status);
    if (!note.empty()) entry += " (" + note + ")";
    log_->Add(LogKind::kShell, entry);
    if (plan.action == ShellAction::kNotFound) log_->Add(LogKind::kUnmodelled, "shell command \"" + line + "\"");
    if (plan.action == ShellAction::kReboot) reboot_();
    return status;
}

int Shell::Execute(const ShellPlan& plan, std::string* note) {
    std::string error;
    switch (plan.action) {
    case ShellAction::kHostTool: {
        int status = tools_->Run(plan.argv, root_->dir());
        if (status >= 0) return status;
        *note = "cannot start " + plan.argv[0];  // a shell's "cannot execute", or a power-off
        console_->Append("sh: " + *note + "\n");
        return ExitStatus(127);
    }
    case ShellAction::kReboot:
        *note = "the board resets";
        return 0;
    case ShellAction::kHwclockWrite:
        clock_->WriteHardware();
        return 0;
    case ShellAction::kFlashErase:
        if (Result<> erased = EraseNand(root_->Host("/dev/mtd2")); !erased) {
            error = erased.error().Text();
            break;
        }
        console_->Append("Erasing /dev/mtd2: done\n");
        return 0;
    case ShellAction::kNandWrite:
        if (Result<> written = NandWrite(root_->Host("/dev/mtd2"), plan.file); !written) {
            error = written.error().Text();
            break;
        }
        console_->Append("Writing data to /dev/mtd2: done\n");
        return 0;
    case ShellAction::kNotFound:
        console_->Append("sh: " + plan.reason + "\n");
        *note = plan.reason;
        return ExitStatus(127);
    case ShellAction::kRefused:
        *note = "refused: " + plan.reason;
        return ExitStatus(1);
    }
    console_->Append(error + "\n");
    *note = error;
    return ExitStatus(1);
}

}  // namespace sim
