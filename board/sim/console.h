// The board's console: what the program (and the shell tools it runs) print,
// and the board's own short event lines. Appended to DIR/sim/console.log and
// echoed to the board's own standard output unless the board runs quietly.
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
    // Bytes as the program wrote them, line ends untouched.
    void Append(const char* data, size_t len);
    void Append(const std::string& text) { Append(text.data(), text.size()); }
    // A board event ("reset: watchdog") as "[board] reset: watchdog" on a
    // line of its own: a new line is started first when the console is
    // mid-line, and each line of text gets the prefix.
    void BoardLine(const std::string& text);

private:
    void Write(const char* data, size_t len);  // mutex_ held

    std::mutex mutex_;  // keeps chunks from two writers whole
    UniqueFd log_;
    bool echo_;
    bool atLineStart_ = true;  // the last byte written was a line end
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CONSOLE_H
