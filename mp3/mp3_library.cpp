// The library's tables and selection: the folder and file tables, the
// current folder and file, the selection commands, the card events and the
// panel's view of the selection. Owned by the player manager task.
#include "mp3/mp3_library.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "localio/ctrl_panel.h"
#include "mp3/mp3_listing.h"
#include "mp3/mp3_play.h"
#include "mp3/mp3_scan.h"

namespace {

constexpr const char* kCardPath = "/mmc";
constexpr char kNoDirText[] = "No MP3 Dir";
// 请插入SD卡: insert the SD card.
constexpr char kInsertCardText[] = "\xC7\xEB\xB2\xE5\xC8\xEB\x53\x44\xBF\xA8";
// Longer names are not shown; the panel line that shows a file number
// counts files 0 to 11.
constexpr size_t kShownNameMax = 126;
constexpr uint8_t kShownFileNumberMax = 11;
constexpr size_t kPathBuffer = 2 * kMp3NameBytes + 32;

// Slot k of each table holds number k. The file table holds the current
// folder's files (empty with no current folder). A current number is
// MP3_NONE or names a valid slot.
Mp3Table Mp3DirTable{};
Mp3Table Mp3FileTable{};
uint8_t curDirId = MP3_NONE;
uint8_t curFileId = MP3_NONE;

bool HasDir() { return curDirId < kMp3Slots && Mp3DirTable[curDirId].valid != 0; }
bool HasFile() { return curFileId < kMp3Slots && Mp3FileTable[curFileId].valid != 0; }

void ClearFiles() {
    Mp3FileTable = Mp3Table{};
    curFileId = MP3_NONE;
}

// The first valid slot of the wrap-around search, or -1.
int FindValidSlot(const Mp3Table& table, uint8_t start, Mp3Direction direction) {
    for (int i = 0; i < kMp3Slots; ++i) {
        const int slot = direction == Mp3Direction::kForward ? (start + i) % kMp3Slots
                                                             : (start + kMp3Slots - i) % kMp3Slots;
        if (table[slot].valid != 0) return slot;
    }
    return -1;
}

uint8_t Following(uint8_t id) { return static_cast<uint8_t>((id + 1) % kMp3Slots); }
uint8_t Preceding(uint8_t id) { return static_cast<uint8_t>((id + kMp3Slots - 1) % kMp3Slots); }

// A name and one space, for a panel line; the panel cuts what does not fit.
std::array<char, kMp3NameBytes + 2> PanelName(const char* name) {
    std::array<char, kMp3NameBytes + 2> text{};
    const size_t length = strnlen(name, kMp3NameBytes - 1);
    std::memcpy(text.data(), name, length);
    text[length] = ' ';
    return text;
}

int CopySelection(const Mp3Table& table, uint8_t id, bool selected, uint8_t* number, char* name) {
    if (number == nullptr || name == nullptr) return -1;
    *number = MP3_NONE;
    std::memset(name, 0, kMp3NameBytes);
    if (!selected) return -1;
    *number = id;
    std::memcpy(name, table[id].name, kMp3NameBytes);
    return 0;
}

}  // namespace

int Mp3ScanRootDir(void) {
    Mp3Stop();
    Mp3DirTable = Mp3Table{};
    curDirId = MP3_NONE;
    const int count = Mp3ScanEntries(kCardPath, Mp3ScanKind::kFolders, Mp3ScanNoise::kReport, Mp3DirTable);
    if (count < 0) {
        printf("Error:  ");
        printf("open root directory error");
        return 0;
    }
    return count;
}

void Mp3ScanCurDir(void) {
    Mp3Stop();
    ClearFiles();
    if (!HasDir()) return;
    Mp3IndexEntry& dir = Mp3DirTable[curDirId];
    char path[kPathBuffer];
    snprintf(path, sizeof path, "%s/%02d%s", kCardPath, dir.id, dir.name);
    const int count = Mp3ScanEntries(path, Mp3ScanKind::kFiles, Mp3ScanNoise::kReport, Mp3FileTable);
    if (count < 0) {
        printf("Error:  ");
        printf("open mp3 directory error : %s\n", path);
        return;
    }
    dir.fileCount = static_cast<uint8_t>(count);
    Mp3FindFile(0, Mp3Direction::kForward);
}

void Mp3FindDir(uint8_t start, Mp3Direction direction) {
    const int slot = FindValidSlot(Mp3DirTable, static_cast<uint8_t>(start % kMp3Slots), direction);
    if (slot < 0) {
        // No folder left: a file of the old table would name a folder that
        // is gone.
        curDirId = MP3_NONE;
        ClearFiles();
        PanelSendTextEx(0, 0, kNoDirText);
        return;
    }
    curDirId = static_cast<uint8_t>(slot);
    Mp3ScanCurDir();
}

void Mp3FindFile(uint8_t start, Mp3Direction direction) {
    const int slot = FindValidSlot(Mp3FileTable, static_cast<uint8_t>(start % kMp3Slots), direction);
    curFileId = slot < 0 ? MP3_NONE : static_cast<uint8_t>(slot);
    // A folder without a playable file still shows its own line.
    Mp3ShowCurFile();
}

void Mp3WriteMusicInfo(int folderCount) {
    Mp3ListingRequest request;
    if (folderCount > 0) {
        for (const Mp3IndexEntry& dir : Mp3DirTable) {
            if (dir.valid == 0) continue;
            Mp3ListingFolder folder{dir.id, {}};
            std::memcpy(folder.name, dir.name, kMp3NameBytes);
            request.push_back(folder);
        }
    }
    Mp3ListingPost(std::move(request));
}

void Mp3CardReady(void) {
    Mp3WriteMusicInfo(Mp3ScanRootDir());
    Mp3FindDir(0, Mp3Direction::kForward);
}

void Mp3CardAbsent(void) {
    Mp3DirTable = Mp3Table{};
    curDirId = MP3_NONE;
    ClearFiles();
    PanelSendTextEx(0, 0, kNoDirText);
    PanelSendText(kInsertCardText);
    Mp3WriteMusicInfo(0);
}

void Mp3NextDir(void) {
    Mp3Stop();
    if (HasDir()) Mp3FindDir(Following(curDirId), Mp3Direction::kForward);
}

void Mp3PrevDir(void) {
    Mp3Stop();
    if (HasDir()) Mp3FindDir(Preceding(curDirId), Mp3Direction::kBackward);
}

void Mp3NextFile(void) {
    Mp3Stop();
    if (HasFile()) Mp3FindFile(Following(curFileId), Mp3Direction::kForward);
}

void Mp3PrevFile(void) {
    Mp3Stop();
    if (HasFile()) Mp3FindFile(Preceding(curFileId), Mp3Direction::kBackward);
}

int Mp3SelectFile(uint8_t n) {
    if (n >= kMp3Slots || Mp3FileTable[n].valid == 0) return 0;
    Mp3Stop();
    curFileId = n;
    Mp3ShowCurFile();
    return 1;
}

int Mp3SelectDirFile(uint8_t f, uint8_t n) {
    if (f >= kMp3Slots || n >= kMp3Slots || Mp3DirTable[f].valid == 0 || !HasDir()) return 0;
    if (f == curDirId) return Mp3SelectFile(n);
    const uint8_t oldDir = curDirId;
    Mp3FindDir(f, Mp3Direction::kForward);
    if (HasFile()) {
        // The folder's first file stays selected when file n is missing.
        Mp3SelectFile(n);
        return 1;
    }
    Mp3FindDir(oldDir, Mp3Direction::kForward);
    return 0;
}

int Mp3GetCurDir(uint8_t* number, char* name) { return CopySelection(Mp3DirTable, curDirId, HasDir(), number, name); }

int Mp3GetCurFile(uint8_t* number, char* name) {
    return CopySelection(Mp3FileTable, curFileId, HasFile(), number, name);
}

void Mp3ShowCurFile(void) {
    if (!HasDir()) {
        PanelSendTextEx(0, 0, kNoDirText);
        return;
    }
    const Mp3IndexEntry& dir = Mp3DirTable[curDirId];
    const Mp3IndexEntry* file = HasFile() ? &Mp3FileTable[curFileId] : nullptr;
    if (file != nullptr && strnlen(file->name, kMp3NameBytes) > kShownNameMax) return;
    if (strnlen(dir.name, kMp3NameBytes) <= kShownNameMax) {
        const uint8_t shownFile = curFileId > kShownFileNumberMax ? 0 : curFileId;
        PanelSendTextEx(shownFile, dir.fileCount, PanelName(dir.name).data());
    }
    if (file == nullptr) return;
    PanelSendNumber(Mp3PlaySeconds());
    PanelSendText(PanelName(file->name).data());
}

bool Mp3CurFilePath(char* path, size_t size) {
    if (path == nullptr || size == 0) return false;
    path[0] = '\0';
    if (!HasDir() || !HasFile()) return false;
    const int length = snprintf(path, size, "%s/%02d%s/%02d%s.mp3", kCardPath, curDirId, Mp3DirTable[curDirId].name,
                                curFileId, Mp3FileTable[curFileId].name);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        path[0] = '\0';  // a cut path would name another file
        return false;
    }
    return true;
}
