// The terminals learned from their status reports.
#include "tools/server/terminal_table.h"

#include <cstdio>

#include "tools/server/terminal_answers.h"

namespace srvproto {
namespace {

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

bool TerminalTable::OnReport(const std::string& id, uint32_t addr, int64_t nowMs) {
    auto [it, fresh] = entries_.try_emplace(id);
    Entry& e = it->second;
    if (fresh) {
        e.firstMs = nowMs;
    } else if (nowMs - e.lastMs > e.longestMs) {
        e.longestMs = nowMs - e.lastMs;
    }
    e.addr = addr;
    e.lastMs = nowMs;
    ++e.reports;
    return fresh;
}

const TerminalTable::Entry* TerminalTable::Find(const std::string& id) const {
    const auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> TerminalTable::Lines(int64_t nowMs) const {
    std::vector<std::string> lines;
    for (const auto& [id, e] : entries_) {
        lines.push_back("terminal " + id + " at " + DottedAddress(e.addr) + ": " + std::to_string(e.reports) +
                        " reports, last " + Seconds(nowMs - e.lastMs) + " ago, longest interval " +
                        (e.reports > 1 ? Seconds(e.longestMs) : std::string("none")));
    }
    return lines;
}

}  // namespace srvproto
