// One run of the terminal's program: a child process with PATERM_ROOT set
// to the board root and its working directory there, and a pty as its
// console (standard input, output and error), as the terminal's serial
// console is a tty: the program's stdio is then line-buffered, not held
// back in a pipe's block buffer. The board pumps the pty into the console.
// The child dies with the thread that started it (PR_SET_PDEATHSIG), so the
// program never outlives the board.
#ifndef PATERM_BOARD_SIM_PROGRAM_H
#define PATERM_BOARD_SIM_PROGRAM_H

#include <sys/types.h>

#include <string>
#include <thread>

#include "board/sim/console.h"
#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {

class ProgramProcess {
public:
    ProgramProcess() = default;
    ~ProgramProcess() { Kill(); }
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // Forks and runs program with its console on a new pty; the console
    // gets what the program writes.
    [[nodiscard]] Result<> Start(const std::string& program, const std::string& root, Console* console);
    // True once the program has ended by itself; *status is its wait status.
    bool Exited(int* status);
    // SIGKILL and reap; a no-op when nothing runs. Returns the wait status.
    int Kill();
    bool Running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    void FinishPump();

    pid_t pid_ = -1;
    std::thread pump_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PROGRAM_H
