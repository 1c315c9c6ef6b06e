// Where a terminal path lives under a board root. The map is purely lexical:
// "." and empty components vanish and ".." stops at the terminal's "/", so no
// terminal path can reach a host path above the root. Symbolic links are not
// looked at; the board root holds none that point outside it.
#ifndef PATERM_BOARD_SIM_PATH_MAP_H
#define PATERM_BOARD_SIM_PATH_MAP_H

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// "/a/./b//../c/" -> "/a/c"; "/../.." -> "/". The argument must be absolute.
inline std::string NormalizeTerminalPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string out;
    for (std::string_view part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? std::string("/") : out;
}

// The host path of an absolute terminal path: root + normalised path
// ("/" itself is the root). Relative paths come back unchanged.
inline std::string MapUnderRoot(std::string_view root, std::string_view terminalPath) {
    if (terminalPath.empty() || terminalPath.front() != '/') return std::string(terminalPath);
    std::string normal = NormalizeTerminalPath(terminalPath);
    std::string out(root);
    if (normal != "/") out += normal;
    return out;
}

// True when any component of the path is "..".
inline bool HasDotDotComponent(std::string_view path) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (path.substr(pos, end - pos) == "..") return true;
        pos = end + 1;
    }
    return false;
}

// True for a normalised path equal to prefix or below it ("/dev" covers "/dev/x").
inline bool PathIsUnder(std::string_view normalPath, std::string_view prefix) {
    if (normalPath.substr(0, prefix.size()) != prefix) return false;
    return normalPath.size() == prefix.size() || normalPath[prefix.size()] == '/';
}

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PATH_MAP_H
