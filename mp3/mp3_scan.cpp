// The entry test: two leading digits give the slot (00 to 10); the first
// entry readdir returns for a slot keeps it; folders must be directories,
// files regular files ending in exactly ".mp3". Symbolic links are never
// followed, so a link is neither.
#include "mp3/mp3_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "board/board.h"

namespace {

constexpr char kMp3Suffix[] = ".mp3";
constexpr size_t kMp3SuffixLength = sizeof kMp3Suffix - 1;
constexpr size_t kNumberDigits = 2;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The slot number of an entry name, or -1 when it takes no part.
int EntryNumber(const char* name) {
    if (!IsDigit(name[0]) || !IsDigit(name[1])) return -1;
    const int number = (name[0] - '0') * 10 + (name[1] - '0');
    return number < kMp3Slots ? number : -1;
}

bool EndsInMp3(const char* name, size_t length) {
    return length >= kMp3SuffixLength && std::memcmp(name + length - kMp3SuffixLength, kMp3Suffix, kMp3SuffixLength) == 0;
}

void PrintError(Mp3ScanNoise noise, const char* format, int number) {
    if (noise == Mp3ScanNoise::kQuiet) return;
    printf("Error:  ");
    printf(format, number);
}

// The entry test for one name; true when it took its slot.
bool AcceptEntry(const char* dirPath, const char* name, Mp3ScanKind kind, Mp3ScanNoise noise, Mp3Table& table) {
    const bool report = noise == Mp3ScanNoise::kReport;
    const int number = EntryNumber(name);
    if (number < 0) return false;
    if (table[number].valid != 0) {
        if (report) printf("Index is valid : %d \n", number);
        return false;
    }
    const size_t length = strnlen(name, kMp3NameBytes);
    if (length >= kMp3NameBytes) {
        if (report) printf("%s", kind == Mp3ScanKind::kFolders ? "folder name is too long  " : "file name is too long  ");
        return false;
    }
    const std::string entryPath = std::string(dirPath) + "/" + name;
    struct stat attributes {};
    if (lstat(board::Path(entryPath.c_str()).c_str(), &attributes) != 0) {
        PrintError(noise, "can not read attribute : %d \n", number);
        return false;
    }
    size_t nameEnd = length;
    if (kind == Mp3ScanKind::kFolders) {
        if (!S_ISDIR(attributes.st_mode)) {
            PrintError(noise, "Index is not director : %d \n", number);
            return false;
        }
    } else {
        if (!S_ISREG(attributes.st_mode)) {
            PrintError(noise, "Index is not a file : %d \n", number);
            return false;
        }
        if (!EndsInMp3(name, length)) return false;
        nameEnd -= kMp3SuffixLength;
    }
    // Under 128 bytes in all, so the name after the digits always fits with its zero.
    Mp3IndexEntry& slot = table[number];
    slot = Mp3IndexEntry{};
    std::memcpy(slot.name, name + kNumberDigits, nameEnd - kNumberDigits);
    slot.id = static_cast<uint8_t>(number);
    slot.valid = 1;
    return true;
}

}  // namespace

int Mp3ScanEntries(const char* dirPath, Mp3ScanKind kind, Mp3ScanNoise noise, Mp3Table& table) {
    const DirHandle dir(opendir(board::Path(dirPath).c_str()));
    if (!dir) return -1;
    int accepted = 0;
    while (const dirent* entry = readdir(dir.get()))
        if (AcceptEntry(dirPath, entry->d_name, kind, noise, table)) ++accepted;
    return accepted;
}
