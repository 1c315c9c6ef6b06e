// The console sink: the log file, the echo, and the board's own lines.
#include "board/sim/console.h"

#include <fcntl.h>
#include <unistd.h>

#include "board/sim/fd_io.h"

namespace sim {

Console::Console(const std::string& logPath, bool echo)
    : log_(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)), echo_(echo) {}

void Console::Write(const char* data, size_t len) {
    if (len == 0) return;
    // A full disk or a closed echo must not stop the board: errors are dropped.
    if (log_) (void)WriteAll(log_.Get(), data, len);
    if (echo_) (void)WriteAll(STDOUT_FILENO, data, len);
    atLineStart_ = data[len - 1] == '\n';
}

void Console::Append(const char* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    Write(data, len);
}

void Console::BoardLine(const std::string& text) {
    std::string lines;
    size_t start = 0;
    do {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines += "[board] " + text.substr(start, end - start) + "\n";
        start = end + 1;
    } while (start < text.size());
    std::lock_guard<std::mutex> lock(mutex_);
    if (!atLineStart_) Write("\n", 1);
    Write(lines.data(), lines.size());
}

}  // namespace sim
