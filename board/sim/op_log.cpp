// The operation log: numbering, the in-memory window and the file mirror.
#include "board/sim/op_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "board/sim/fd_io.h"

namespace sim {

OpLog::OpLog(std::function<int64_t()> nowMs, const std::string& mirrorPath) : nowMs_(std::move(nowMs)) {
    if (!mirrorPath.empty())
        mirror_.Reset(::open(mirrorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
}

void OpLog::Add(LogKind kind, std::string detail) {
    // Details are single lines so that the mirror stays one entry per line.
    std::replace(detail.begin(), detail.end(), '\n', ' ');
    std::lock_guard<std::mutex> lock(mutex_);
    const LogEntry& kept = entries_.Push(LogEntry{0, nowMs_(), kind, std::move(detail)});
    // A full disk must not stop the board: the mirror is best effort.
    if (mirror_)
        (void)WriteAll(mirror_.Get(), std::to_string(kept.position) + " " + std::to_string(kept.ms) + " " +
                                          LogKindName(kind) + " " + kept.detail + "\n");
}

void OpLog::Event(LogKind kind, const std::string& detail) {
    Add(kind, detail);
    // A reset's entry is its bare cause; on the console it must say what happened.
    if (echo_) echo_(kind == LogKind::kReset ? "reset: " + detail : detail);
}

std::vector<LogEntry> OpLog::From(uint64_t position, size_t max, uint64_t* next) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.From(position, max, next);
}

}  // namespace sim
