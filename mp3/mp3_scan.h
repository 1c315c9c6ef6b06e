// The entry test shared by every scan of the card: which directory entries
// become numbered folders or files, and the messages for the dropped ones.
#ifndef PATERM_MP3_MP3_SCAN_H
#define PATERM_MP3_MP3_SCAN_H

#include <array>

#include "mp3/mp3_library.h"

using Mp3Table = std::array<Mp3IndexEntry, kMp3Slots>;

enum class Mp3ScanKind { kFolders, kFiles };
enum class Mp3ScanNoise { kReport, kQuiet };

// Applies the entry test to every entry of the directory at a terminal path,
// in readdir order, filling the table's empty slots (an entry whose slot is
// taken is dropped). Returns how many entries were accepted, or -1 when the
// directory cannot be opened; that failure prints nothing, since each caller
// words it differently. kQuiet: dropped entries print nothing.
int Mp3ScanEntries(const char* dirPath, Mp3ScanKind kind, Mp3ScanNoise noise, Mp3Table& table);

#endif  // PATERM_MP3_MP3_SCAN_H
