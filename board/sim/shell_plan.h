// How the board carries out a shell command line of the program. No host
// shell is involved: the line is split on blanks, no metacharacter means
// anything, and only the commands the terminal's software runs are known.
// Host tools, and the download tool the program unpacks to /tmp/wget, get
// every absolute path mapped under the board root and their globs expanded
// after mapping (URLs pass as they are); a ".." component anywhere, a path
// attached to an option, or a path into the board's own directory /sim
// refuses the command.
#ifndef PATERM_BOARD_SIM_SHELL_PLAN_H
#define PATERM_BOARD_SIM_SHELL_PLAN_H

#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class ShellAction {
    kHostTool,      // argv: the host tool (or DIR/tmp/wget) and its mapped arguments
    kReboot,        // "reboot"
    kHwclockWrite,  // "hwclock -w"
    kFlashErase,    // "/usr/sbin/flash_eraseall /dev/mtd2"
    kNandWrite,     // "/usr/sbin/nandwrite -p /dev/mtd2 FILE": file
    kNotFound,      // status 127, as a shell gives for an unknown command
    kRefused,       // status 1: a known command with arguments the board will not run
};

struct ShellPlan {
    ShellAction action = ShellAction::kNotFound;
    std::vector<std::string> argv;
    std::string file;  // host path of the NAND image
    std::string reason;  // why kNotFound or kRefused
};

// A download gives up after this long without progress (connect, read), so
// that a dead server cannot hold the program's system(3) for long.
inline constexpr int kDownloadTimeoutS = 10;

std::vector<std::string> SplitCommandLine(std::string_view line);
ShellPlan PlanCommand(const std::string& root, std::string_view line);

// The status system(3) returns for a shell that exited with code.
constexpr int ExitStatus(int code) { return (code & 0xFF) << 8; }

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SHELL_PLAN_H
