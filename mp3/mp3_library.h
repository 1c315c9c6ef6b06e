// The MP3 library on the SD card ("/mmc"): the numbered folders and the
// numbered files of the current folder, the current selection, the panel's
// view of it and the "/tmp/musicInfo" listing for outside readers.
//
// Everything here runs in the player manager task. The play task reads the
// selection only while it holds the play gate, and every operation that
// changes the tables stops playback first (Mp3Stop), so the tables are
// steady while a file plays. The listing, which works out every file's
// playing time, runs on a worker of its own (mp3/mp3_listing.h) from a copy
// of the folder table, so a full card never holds up the manager task.
#ifndef PATERM_MP3_MP3_LIBRARY_H
#define PATERM_MP3_MP3_LIBRARY_H

#include <cstddef>
#include <cstdint>

// No folder or file selected.
constexpr uint8_t MP3_NONE = 255;
// Folders and files are numbered 00 to 10.
constexpr int kMp3Slots = 11;
constexpr size_t kMp3NameBytes = 128;
// Present while a card is in the slot.
constexpr const char* kMp3CardNode = "/dev/mmcblk0p1";

// One slot of the folder or the file table.
struct Mp3IndexEntry {
    uint8_t id;
    uint8_t valid;
    uint8_t fileCount;        // folders: files found by the last scan of it
    char name[kMp3NameBytes];  // without the two digits (files: and ".mp3")
    int32_t lengthSeconds;    // files: playing time, from the listing
};

// Card events and start-up.
void Mp3CardReady(void);
void Mp3CardAbsent(void);

// Selection commands; each stops playback first.
void Mp3NextDir(void);
void Mp3PrevDir(void);
void Mp3NextFile(void);
void Mp3PrevFile(void);
// 1 when file n of the current folder exists and is now selected, else 0.
int Mp3SelectFile(uint8_t n);
// 1 when folder f became current (and file n if it exists), else 0.
int Mp3SelectDirFile(uint8_t f, uint8_t n);

// The current folder or file: its number (255 for none) and its whole
// 128-byte name field. 0, or -1 with no selection or a null argument.
int Mp3GetCurDir(uint8_t* number, char* name);
int Mp3GetCurFile(uint8_t* number, char* name);

// The selection on the control panel: folder line, play time, file name.
void Mp3ShowCurFile(void);

// The path of the current file ("/mmc/%02d%s/%02d%s.mp3"), as a terminal
// path. False when there is no current folder or file.
bool Mp3CurFilePath(char* path, size_t size);

// The steps the operations above are made of.
enum class Mp3Direction { kForward, kBackward };
// Reads the card's folders into the folder table (no folder current
// afterwards); returns how many were accepted.
int Mp3ScanRootDir(void);
// Reads the current folder's files into the file table and selects the first.
void Mp3ScanCurDir(void);
// From slot start on, the start slot first and the one behind it last: the
// first valid folder becomes current and is scanned / the first valid file
// becomes current and is shown. None found: no folder (and so no file) / no file.
void Mp3FindDir(uint8_t start, Mp3Direction direction);
void Mp3FindFile(uint8_t start, Mp3Direction direction);
// Has the listing worker write "/tmp/musicInfo" for the folders of the
// folder table (folderCount 0: the empty listing). Returns at once.
void Mp3WriteMusicInfo(int folderCount);

#endif  // PATERM_MP3_MP3_LIBRARY_H
