// The kernel log ring and printk.
#include "board/sim/kernel/klog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "board/sim/fd_io.h"
#include "board/sim/kernel/context.h"
#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {

std::string FormatLine(const KernelLogLine& line) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "[%5lld.%06lld] ", static_cast<long long>(line.usec / 1000000),
                  static_cast<long long>(line.usec % 1000000));
    return stamp + line.text;
}

KernelLog::KernelLog(const std::string& mirrorPath) : poweredOn_(std::chrono::steady_clock::now()) {
    if (!mirrorPath.empty())
        mirror_.Reset(::open(mirrorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
}

void KernelLog::Finish() {
    KernelLogLine line = std::move(partial_);
    partial_ = KernelLogLine{};
    hasPartial_ = false;
    const KernelLogLine& kept = lines_.Push(std::move(line));
    // The mirror is a convenience; the ring is the log.
    if (mirror_) (void)WriteAll(mirror_.Get(), "<" + std::to_string(kept.level) + ">" + FormatLine(kept) + "\n");
}

void KernelLog::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!text.empty()) {
        if (!hasPartial_) {
            hasPartial_ = true;
            partial_.usec = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                                   poweredOn_)
                                .count();
            partial_.level = kDefaultLevel;
            if (text.size() >= 3 && text[0] == '<' && text[1] >= '0' && text[1] <= '7' && text[2] == '>') {
                partial_.level = text[1] - '0';
                text.remove_prefix(3);
            }
        }
        size_t end = text.find('\n');
        std::string_view piece = text.substr(0, end);
        if (partial_.text.size() < kMaxLine)
            partial_.text.append(piece.substr(0, kMaxLine - partial_.text.size()));
        if (end == std::string_view::npos) break;
        Finish();
        text.remove_prefix(end + 1);
    }
}

void KernelLog::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.Clear();
    partial_ = KernelLogLine{};
    hasPartial_ = false;
    poweredOn_ = std::chrono::steady_clock::now();
    if (mirror_) {
        (void)WriteAll(mirror_.Get(), "--- power-on ---\n");
    }
}

std::vector<KernelLogLine> KernelLog::From(uint64_t seq, size_t max, uint64_t* next) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.From(seq, max, next);
}

std::vector<KernelLogLine> KernelLog::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {lines_.entries().begin(), lines_.entries().end()};
}

size_t KernelLog::Count(std::string_view needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const KernelLogLine& line : lines_.entries())
        if (line.text.find(needle) != std::string::npos) ++n;
    return n;
}

std::string KernelLog::Dump() const {
    std::string out;
    for (const KernelLogLine& line : Lines()) out += FormatLine(line) + "\n";
    return out;
}

}  // namespace sim::kernel

extern "C" int printk(const char* fmt, ...) {
    char text[sim::kernel::KernelLog::kMaxLine];
    std::va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    sim::kernel::CurrentOrDie("printk").log().Write(text);
    return n;
}
