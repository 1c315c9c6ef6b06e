// The kernel log: what printk writes, split into lines with their level
// (the "<n>" prefix, 4 when there is none) and the time since power-on, in
// a ring of the newest lines. Sequence numbers count on across power-ons
// (the ring itself starts empty at each); every line is also appended to a
// mirror file for the life of the board.
#ifndef PATERM_BOARD_SIM_KERNEL_KLOG_H
#define PATERM_BOARD_SIM_KERNEL_KLOG_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "board/sim/paged_ring.h"
#include "board/sim/unique_fd.h"

namespace sim::kernel {

struct KernelLogLine {
    uint64_t seq = 0;
    int64_t usec = 0;  // since power-on
    int level = 4;
    std::string text;  // without the level prefix and the line end
};

class KernelLog {
public:
    static constexpr size_t kKeep = 4096;
    static constexpr size_t kMaxLine = 1024;
    static constexpr int kDefaultLevel = 4;

    // mirrorPath ("" for none) is truncated here.
    explicit KernelLog(const std::string& mirrorPath);

    // printk's text; a line without its end waits for the next call.
    void Write(std::string_view text);
    // Power-on: an empty ring and a fresh clock.
    void PowerOn();

    std::vector<KernelLogLine> From(uint64_t seq, size_t max, uint64_t* next) const;
    std::vector<KernelLogLine> Lines() const;
    size_t Count(std::string_view needle) const;
    // As dmesg prints it: "[    1.234567] text" a line.
    std::string Dump() const;

private:
    void Finish();  // mutex held

    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point poweredOn_;
    PagedRing<KernelLogLine, &KernelLogLine::seq> lines_{kKeep};
    KernelLogLine partial_;
    bool hasPartial_ = false;
    UniqueFd mirror_;
};

std::string FormatLine(const KernelLogLine& line);

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_KLOG_H
