// How the board carries out a shell command line of the program. No host
// shell is involved: the line is split on blanks, no metacharacter means
// anything, and only the commands the terminal's software runs are known.
// Host tools get every absolute path mapped under the board root and their
// globs expanded after mapping; a ".." component anywhere, or a path into
// the board's own directory /sim, refuses the command.
#ifndef PATERM_BOARD_SIM_SHELL_PLAN_H
#define PATERM_BOARD_SIM_SHELL_PLAN_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class ShellAction {
    kHostTool,      // argv: the host tool and its mapped arguments
    kReboot,        // "reboot"
    kHwclockWrite,  // "hwclock -w"
    kFlashErase,    // "/usr/sbin/flash_eraseall /dev/mtd2"
    kNandWrite,     // "/usr/sbin/nandwrite -p /dev/mtd2 FILE": file
    kWget,          // "/tmp/wget [--no-check-certificate] http://HOST[:PORT]/PATH -O FILE"
    kNotFound,      // status 127, as a shell gives for an unknown command
    kRefused,       // status 1: a known command with arguments the board will not run
};

struct ShellPlan {
    ShellAction action = ShellAction::kNotFound;
    std::vector<std::string> argv;
    std::string file;  // host path: the NAND image, or the download's output
    std::string host;  // download: numeric IPv4 host, port and path
    uint16_t port = 80;
    std::string urlPath;
    std::string reason;  // why kNotFound or kRefused
};

std::vector<std::string> SplitCommandLine(std::string_view line);
ShellPlan PlanCommand(const std::string& root, std::string_view line);

// The status system(3) returns for a shell that exited with code.
constexpr int ExitStatus(int code) { return (code & 0xFF) << 8; }

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SHELL_PLAN_H
