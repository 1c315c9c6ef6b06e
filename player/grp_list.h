// The group list on the control panel: while the user keeps it open, the
// server's names of up to ten broadcast groups, shown five at a time next
// to the group keys with each group's selection. Runs only in the player
// manager task, inside the central control.
#ifndef PATERM_PLAYER_GRP_LIST_H
#define PATERM_PLAYER_GRP_LIST_H

#include <cstddef>
#include <cstdint>

#include "player/player_msg.h"

constexpr size_t kGrpListEntries = 10;
constexpr size_t kGrpListPageEntries = 5;
constexpr size_t kGrpNameField = 21;
// The longest name the panel shows: 17 bytes, then its 0.
constexpr size_t kGrpNameMax = 17;

// One group of the list, as the panel frame carries it.
#pragma pack(push, 1)
struct GrpListEntry {
    uint8_t index;     // group number on the panel, 1 to 10; 0 = never filled
    uint8_t selected;  // 1 when the group's bit is set in brdGrpMask
    uint8_t len;       // name bytes sent, its 0 included; 0 = empty entry
    uint8_t name[kGrpNameField];  // GB2312, at most 17 bytes and a 0
};
#pragma pack(pop)
static_assert(sizeof(GrpListEntry) == 24, "an entry is index, selected, len and a 21-byte name");

// open 1 (the list key): the list is open and the server is asked for the
// names. open 0 (the key again, or the panel's timer): closed, back to page
// 0, the panel's list closed; the names are kept for the next opening.
void PlayerGrpList(int open);

// The message handlers behind the dispatch table (types 32 to 35).
namespace central {
void OnGrpInfo(const PlayerMsg* m);
void OnGrpListOpen(const PlayerMsg* m);
void OnGrpListClose(const PlayerMsg* m);
void OnGrpListPage(const PlayerMsg* m);
}  // namespace central

#endif  // PATERM_PLAYER_GRP_LIST_H
