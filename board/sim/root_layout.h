// The board root on disk: the terminal's directories, the board's own
// directory DIR/sim, the lock that keeps a second board off the same root,
// and the power-on chores (an empty /tmp, the card's presence file).
#ifndef PATERM_BOARD_SIM_ROOT_LAYOUT_H
#define PATERM_BOARD_SIM_ROOT_LAYOUT_H

#include <string>
#include <string_view>

#include "board/sim/unique_fd.h"

namespace sim {

// The card's presence on the terminal is the existence of this device node.
inline constexpr const char* kCardNode = "/dev/mmcblk0p1";

class RootLayout {
public:
    explicit RootLayout(std::string dir) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }
    // Host path of a terminal path (lexically clamped under the root).
    std::string Host(std::string_view terminalPath) const;
    // Host path of one of the board's own files, DIR/sim/name.
    std::string SimFile(std::string_view name) const;

    // Creates the directories and takes the root's lock for the life of this object.
    bool Prepare(std::string* error);
    // /tmp is RAM on the terminal: every power-on starts it empty.
    bool EmptyTmp();
    void SetCardPresent(bool present);

private:
    std::string dir_;
    UniqueFd lock_;
};

// Makes dir absolute and lexically clean; creates it when missing.
bool ResolveRoot(const std::string& dir, std::string* absolute, std::string* error);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_ROOT_LAYOUT_H
