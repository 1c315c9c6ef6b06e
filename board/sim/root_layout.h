// The board root on disk: the terminal's directories, the board's own
// directory DIR/sim, the lock that keeps a second board off the same root,
// the check that a root holds nothing but the terminal's tree, and the
// power-on chores (an empty /tmp, the card's presence file).
#ifndef PATERM_BOARD_SIM_ROOT_LAYOUT_H
#define PATERM_BOARD_SIM_ROOT_LAYOUT_H

#include <string>
#include <string_view>

#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {

// The card's presence on the terminal is the existence of this device node.
inline constexpr const char* kCardNode = "/dev/mmcblk0p1";

// The only entries a board root holds at its top: the terminal's own
// directories and the board's DIR/sim.
inline constexpr const char* kRootEntries[] = {"dev", "etc", "mmc", "opt", "sim", "tmp"};

class RootLayout {
public:
    explicit RootLayout(std::string dir) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }
    // Host path of a terminal path (lexically clamped under the root).
    std::string Host(std::string_view terminalPath) const;
    // Host path of one of the board's own files, DIR/sim/name.
    std::string SimFile(std::string_view name) const;

    // Creates the directories and takes the root's lock for the life of this object.
    [[nodiscard]] Result<> Prepare();
    // /tmp is RAM on the terminal: every power-on starts it empty.
    [[nodiscard]] Result<void> EmptyTmp();

private:
    std::string dir_;
    UniqueFd lock_;
};

// dir made absolute and lexically clean; created when missing. A directory
// holding anything but kRootEntries is refused: the board empties and
// fills a root, so a home directory given by mistake must stay untouched.
[[nodiscard]] Result<std::string> ResolveRoot(const std::string& dir);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_ROOT_LAYOUT_H
