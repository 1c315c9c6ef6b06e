// The panel's group list: the table of group names the server sent, the
// walk that fills it from a names message, the page key and the list frames.
#include "player/grp_list.h"

#include <array>
#include <cstring>

#include "localio/code_convert.h"
#include "localio/ctrl_panel.h"
#include "net/server_cmd.h"
#include "player/player_state.h"

namespace {

constexpr uint8_t kListCommand = 6;
constexpr uint8_t kListShow = 1;
constexpr uint8_t kListClose = 0;
constexpr size_t kListHeader = 3;  // length, command, show or close
// The names follow the block's own 2-byte length field.
constexpr size_t kNamesOffset = 2;
constexpr size_t kConvertArea = 256;
// A name of up to this many bytes is shown whole.
constexpr size_t kWholeName = 16;
constexpr uint8_t kPages = 2;

// Written only by the player manager task. Closing the list keeps it, so a
// reopened list pages through the old names until new ones arrive.
std::array<GrpListEntry, kGrpListEntries> gGrpList{};

uint8_t GroupSelected(uint32_t group) { return GetBrdGrpBit(group) != 0 ? 1 : 0; }

void SetEmpty(GrpListEntry& entry) {
    entry.len = 0;
    std::memset(entry.name, 0, sizeof entry.name);
}

// A longer name is cut to 16 or 17 bytes so that it never ends inside a
// two-byte character: with an odd count of single-byte characters among the
// first 16 bytes, the 16th byte starts a character whose second half is kept.
void SetName(GrpListEntry& entry, const uint8_t* gb, size_t length) {
    size_t keep = length;
    if (length > kWholeName) {
        size_t single = 0;
        for (size_t i = 0; i < kWholeName; ++i) single += (gb[i] & 0x80) == 0 ? 1 : 0;
        keep = single % 2 == 1 ? kGrpNameMax : kWholeName;
    }
    SetEmpty(entry);
    std::memcpy(entry.name, gb, keep);
    entry.len = static_cast<uint8_t>(keep + 1);
}

// False when the name is no valid UTF-8 or has no GB2312 form.
bool ConvertName(GrpListEntry& entry, const uint8_t* utf8, size_t length) {
    std::array<uint8_t, kConvertArea> gb{};
    size_t inputLeft = length;
    size_t outputLeft = gb.size();
    if (Utf8ToGb2312(reinterpret_cast<const char*>(utf8), &inputLeft, reinterpret_cast<char*>(gb.data()),
                     &outputLeft) != 0)
        return false;
    SetName(entry, gb.data(), gb.size() - outputLeft);
    return true;
}

void SendPage(uint8_t page) {
    std::array<uint8_t, kListHeader + kGrpListPageEntries * sizeof(GrpListEntry)> frame{};
    size_t at = kListHeader;
    const size_t first = page * kGrpListPageEntries;
    for (size_t g = first; g < first + kGrpListPageEntries; ++g) {
        const GrpListEntry& entry = gGrpList[g];
        frame[at++] = entry.index;
        frame[at++] = entry.selected;
        frame[at++] = entry.len;
        std::memcpy(&frame[at], entry.name, entry.len);
        at += entry.len;
    }
    frame[0] = static_cast<uint8_t>(at);
    frame[1] = kListCommand;
    frame[2] = kListShow;
    PanelSendFrame(frame.data(), static_cast<uint32_t>(at));
}

void SendClose() {
    const std::array<uint8_t, kListHeader> frame = {kListHeader, kListCommand, kListClose};
    PanelSendFrame(frame.data(), frame.size());
}

}  // namespace

void PlayerGrpList(int open) {
    if (open != 0) {
        SetGrpListActive(1);
        StatusReport(1);
        return;
    }
    SetGrpListActive(0);
    SetGrpListPage(0);
    SendClose();
}

namespace central {

// The names area is read only inside the message: a length byte or a name
// running past it ends the walk, and the rest of the list is empty. A name
// that does not convert ends the handling with no frame; the entries
// rewritten before it keep their new names.
void OnGrpInfo(const PlayerMsg* m) {
    if (GetGrpListActive() == 0) return;
    const int shown = GetGrpListPage();
    const uint8_t page = shown == 0 || shown == 1 ? static_cast<uint8_t>(shown) : 0;
    const uint8_t* names = m->data + kNamesOffset;
    const size_t size = m->len > kNamesOffset ? m->len - kNamesOffset : 0;
    size_t at = 0;
    bool ended = false;
    for (size_t g = 0; g < kGrpListEntries; ++g) {
        GrpListEntry& entry = gGrpList[g];
        entry.index = static_cast<uint8_t>(g + 1);
        entry.selected = GroupSelected(static_cast<uint32_t>(g));
        if (!ended && at >= size) ended = true;
        const size_t length = ended ? 0 : names[at++];
        if (!ended && length > size - at) ended = true;
        if (ended || length == 0) {
            SetEmpty(entry);
            continue;
        }
        if (!ConvertName(entry, names + at, length)) return;
        at += length;
    }
    SendPage(page);
}

void OnGrpListOpen(const PlayerMsg* /*m*/) { PlayerGrpList(1); }

void OnGrpListClose(const PlayerMsg* /*m*/) { PlayerGrpList(0); }

void OnGrpListPage(const PlayerMsg* /*m*/) {
    if (GetGrpListActive() == 0) return;
    const uint8_t page = static_cast<uint8_t>((GetGrpListPage() + 1) % kPages);
    SetGrpListPage(page);
    const size_t first = page * kGrpListPageEntries;
    for (size_t g = first; g < first + kGrpListPageEntries; ++g) {
        GrpListEntry& entry = gGrpList[g];
        if (entry.index <= kGrpListEntries) entry.selected = entry.index == 0 ? 0 : GroupSelected(entry.index - 1u);
    }
    SendPage(page);
}

}  // namespace central
