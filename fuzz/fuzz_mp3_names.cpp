// Names on the SD card: the input's names (split at '\n') become entries of
// a folder on the board root, files or directories by their first byte;
// the entry test scans them, and every accepted name is escaped as the
// music listing writes it. The escaped text must never end the quoted
// value early or hold a raw control byte.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mp3/mp3_library.h"
#include "mp3/mp3_listing.h"
#include "mp3/mp3_scan.h"

namespace {

constexpr const char* kFolder = "/mmc/00fuzz";
constexpr size_t kMaxEntryName = 255;
constexpr int kMaxEntries = 16;

void CheckQuotedValue(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\') {
            if (++i == text.size()) std::abort();  // escapes the closing quote
            continue;
        }
        if (byte == '"' || byte < 0x20) std::abort();
    }
}

void CheckListingName(const char* gb2312) { CheckQuotedValue(Mp3ListingName(gb2312)); }

// Creates the entry; a name the file system refuses is skipped.
void MakeEntry(const std::string& folder, std::string name) {
    if (name.empty()) return;
    const bool directory = (name[0] & 1) != 0;
    name.erase(0, 1);
    std::string clean;
    for (char c : name)
        if (c != '/' && c != '\0') clean += c;
    if (clean.empty() || clean == "." || clean == ".." || clean.size() > kMaxEntryName) return;
    const std::string path = folder + "/" + clean;
    if (directory) {
        ::mkdir(path.c_str(), 0755);
    } else if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fclose(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::BoardRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The raw bytes as a name, whatever they hold.
    char raw[kMp3NameBytes] = {};
    input.copy(raw, sizeof raw - 1);
    CheckListingName(raw);

    const std::string folder = fuzzsupport::HostPath(kFolder);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder, ignored);
    size_t at = 0;
    for (int i = 0; i < kMaxEntries && at < input.size(); ++i) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        MakeEntry(folder, input.substr(at, end - at));
        at = end + 1;
    }
    for (const Mp3ScanKind kind : {Mp3ScanKind::kFiles, Mp3ScanKind::kFolders}) {
        Mp3Table table{};
        Mp3ScanEntries(kFolder, kind, Mp3ScanNoise::kQuiet, table);
        for (const Mp3IndexEntry& entry : table)
            if (entry.valid) CheckListingName(entry.name);
    }
    return 0;
}
