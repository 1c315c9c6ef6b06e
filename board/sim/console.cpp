// The console sink: the log file and the echo.
#include "board/sim/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sim {
namespace {

void WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed echo must not stop the board
        data += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace

Console::Console(const std::string& logPath, bool echo)
    : log_(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)), echo_(echo) {}

void Console::Append(const char* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log_) WriteAll(log_.Get(), data, len);
    if (echo_) WriteAll(STDOUT_FILENO, data, len);
}

}  // namespace sim
