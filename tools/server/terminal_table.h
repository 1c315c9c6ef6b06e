// The terminals a server has heard from: each device id with the address its
// status reports come from, how many came and the longest pause between two
// of them, so that commands can go to a terminal named by its id and a
// fleet's reports can be checked for lateness. Not thread-safe.
#ifndef PATERM_TOOLS_SERVER_TERMINAL_TABLE_H
#define PATERM_TOOLS_SERVER_TERMINAL_TABLE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace srvproto {

class TerminalTable {
public:
    struct Entry {
        uint32_t addr = 0;        // host order, of the latest report
        uint64_t reports = 0;
        int64_t firstMs = 0, lastMs = 0;
        int64_t longestMs = 0;    // between two reports; 0 until the second
    };

    // A status report from id at addr; true when the id was not known.
    bool OnReport(const std::string& id, uint32_t addr, int64_t nowMs);
    const Entry* Find(const std::string& id) const;
    size_t Size() const { return entries_.size(); }
    // One line per terminal in the order of the ids, e.g.
    // "terminal PT00000011 at 192.168.1.11: 12 reports, last 1.2 s ago, longest interval 5.0 s".
    std::vector<std::string> Lines(int64_t nowMs) const;

private:
    std::map<std::string, Entry> entries_;
};

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_TERMINAL_TABLE_H
