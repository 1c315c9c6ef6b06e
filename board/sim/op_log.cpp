// The operation log: numbering, the in-memory window and the file mirror.
#include "board/sim/op_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace sim {

OpLog::OpLog(std::function<int64_t()> nowMs, const std::string& mirrorPath) : nowMs_(std::move(nowMs)) {
    if (!mirrorPath.empty())
        mirror_.Reset(::open(mirrorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
}

void OpLog::Add(LogKind kind, std::string detail) {
    // Details are single lines so that the mirror stays one entry per line.
    std::replace(detail.begin(), detail.end(), '\n', ' ');
    std::lock_guard<std::mutex> lock(mutex_);
    LogEntry entry{nextPosition_++, nowMs_(), kind, std::move(detail)};
    if (mirror_) {
        std::string line = std::to_string(entry.position) + " " + std::to_string(entry.ms) + " " +
                           LogKindName(kind) + " " + entry.detail + "\n";
        ssize_t ignored = ::write(mirror_.Get(), line.data(), line.size());
        (void)ignored;  // a full disk must not stop the board
    }
    entries_.push_back(std::move(entry));
    if (entries_.size() > kKeep) entries_.pop_front();
}

std::vector<LogEntry> OpLog::From(uint64_t position, size_t max, uint64_t* next) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LogEntry> out;
    uint64_t first = entries_.empty() ? nextPosition_ : entries_.front().position;
    uint64_t at = std::max(position, first);
    while (at < nextPosition_ && out.size() < max) {
        out.push_back(entries_[at - first]);
        ++at;
    }
    *next = std::max(at, position);
    return out;
}

}  // namespace sim
