// Whole writes and the description of a child's wait status: the two small
// chores every part of the board that writes a descriptor or runs a process
// shares.
#ifndef PATERM_BOARD_SIM_FD_IO_H
#define PATERM_BOARD_SIM_FD_IO_H

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "board/sim/result.h"

namespace sim {

// Writes all of data, retrying short writes and EINTR. Sockets are written
// with send(MSG_NOSIGNAL) so that a vanished reader never raises SIGPIPE.
[[nodiscard]] inline Result<> WriteAll(int fd, std::string_view data, bool socket = false) {
    while (!data.empty()) {
        ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) : ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::FromErrno("write");
        if (n == 0) return Error{EIO, "write: nothing taken"};
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

inline Result<> WriteAll(int fd, const void* data, size_t len, bool socket = false) {
    return WriteAll(fd, std::string_view(static_cast<const char*>(data), len), socket);
}

// "exit 3", "signal 9" for a wait status; "not started" for -1.
inline std::string DescribeExitStatus(int status) {
    if (status < 0) return "not started";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace sim

#endif  // PATERM_BOARD_SIM_FD_IO_H
