// Runs the programs that stand in for the terminal's /bin (tar, cp, rm,
// mkdir, chmod, ls) and the download tool unpacked to /tmp/wget, with an
// argument vector, never through a shell: the working directory is the
// board root, standard input is empty, the environment is a small fixed
// one (no proxies, HOME the root), and the output goes to the board's
// console. Every run is logged with its vector and status. Programs still
// running at power-off are killed.
#ifndef PATERM_BOARD_SIM_TOOL_RUNNER_H
#define PATERM_BOARD_SIM_TOOL_RUNNER_H

#include <sys/types.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "board/sim/console.h"
#include "board/sim/op_log.h"

namespace sim {

class ToolRunner {
public:
    // console and log may be null: the output, or the log entries, are then dropped.
    explicit ToolRunner(Console* console, OpLog* log = nullptr) : console_(console), log_(log) {}

    // argv[0] is a host path, or a name looked up on the host's PATH.
    // Returns the wait status (as system(3) encodes it), or -1 if the
    // program could not be started.
    int Run(const std::vector<std::string>& argv, const std::string& cwd);
    // Power cycle: the tools of the old program are killed.
    void KillRunning();
    // Power-off for good: no tool starts any more.
    void KillAll();

    // The environment a program gets: PATH, HOME=cwd and LC_ALL=C, nothing else.
    static std::vector<std::string> Environment(const std::string& cwd);

private:
    int Spawn(const std::vector<std::string>& argv, const std::string& cwd);
    void Drain(int fd);  // the program's output to the console
    int Reap(pid_t pid);

    Console* console_;
    OpLog* log_;
    std::mutex mutex_;
    std::set<pid_t> running_;
    bool stopped_ = false;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_TOOL_RUNNER_H
