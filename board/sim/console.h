// The board's console: what the program (and the shell tools it runs) print.
// Appended to DIR/sim/console.log and echoed to the board's own standard
// output unless the board runs quietly.
#ifndef PATERM_BOARD_SIM_CONSOLE_H
#define PATERM_BOARD_SIM_CONSOLE_H

#include <cstddef>
#include <mutex>
#include <string>

#include "board/sim/unique_fd.h"

namespace sim {

class Console {
public:
    Console(const std::string& logPath, bool echo);
    void Append(const char* data, size_t len);
    void Append(const std::string& text) { Append(text.data(), text.size()); }

private:
    std::mutex mutex_;  // keeps chunks from two writers whole
    UniqueFd log_;
    bool echo_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CONSOLE_H
