// Where a terminal path lives under a board root. The map is purely lexical
// (std::filesystem's lexically_normal): "." and empty components vanish and
// ".." stops at the terminal's "/", so no terminal path can reach a host
// path above the root. Symbolic links are not looked at; the board root
// holds none that point outside it.
#ifndef PATERM_BOARD_SIM_PATH_MAP_H
#define PATERM_BOARD_SIM_PATH_MAP_H

#include <filesystem>
#include <string>
#include <string_view>

namespace sim {

// "/a/./b//../c/" -> "/a/c"; "/../.." -> "/". A relative argument is read
// as if it started at "/".
inline std::string NormalizeTerminalPath(std::string_view path) {
    // The leading "/" makes every ".." meet the root, where lexically_normal drops it.
    std::filesystem::path anchored("/" + std::string(path));
    std::string rest = anchored.lexically_normal().relative_path().string();
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    return "/" + rest;
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
    for (const std::filesystem::path& part : std::filesystem::path(std::string(path)))
        if (part == "..") return true;
    return false;
}

// True for a normalised path equal to prefix or below it ("/dev" covers "/dev/x").
inline bool PathIsUnder(std::string_view normalPath, std::string_view prefix) {
    if (normalPath.substr(0, prefix.size()) != prefix) return false;
    return normalPath.size() == prefix.size() || normalPath[prefix.size()] == '/';
}

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PATH_MAP_H
