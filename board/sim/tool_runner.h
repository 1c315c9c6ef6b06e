// Runs the host tools that stand in for the terminal's /bin (tar, cp, rm,
// mkdir, chmod, ls) with an argument vector, never through a shell: the
// working directory is the board root, standard input is empty, and the
// output goes to the board's console. Tools still running at power-off are
// killed.
#ifndef PATERM_BOARD_SIM_TOOL_RUNNER_H
#define PATERM_BOARD_SIM_TOOL_RUNNER_H

#include <sys/types.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "board/sim/console.h"

namespace sim {

class ToolRunner {
public:
    // console may be null: the output is then dropped.
    explicit ToolRunner(Console* console) : console_(console) {}

    // argv[0] is looked up on the host's PATH. Returns the wait status
    // (as system(3) encodes it), or -1 if the tool could not be started.
    int Run(const std::vector<std::string>& argv, const std::string& cwd);
    // Power cycle: the tools of the old program are killed.
    void KillRunning();
    // Power-off for good: no tool starts any more.
    void KillAll();

private:
    Console* console_;
    std::mutex mutex_;
    std::set<pid_t> running_;
    bool stopped_ = false;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_TOOL_RUNNER_H
