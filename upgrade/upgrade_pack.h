// Upgrade packages in the terminal's format, built and read on a PC: the
// integrators' tool paterm-pack and the tests make their packages here.
#ifndef PATERM_UPGRADE_UPGRADE_PACK_H
#define PATERM_UPGRADE_UPGRADE_PACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/upgrade.h"

namespace upgrade {

struct PackKind {
    uint8_t kind0;
    uint8_t kind1;
    const char* name;
};

// The kinds a package carries. The terminal installs the first two and
// skips the file system image (its kind is one the terminal does not know).
inline constexpr PackKind kPackApp = {0xA2, 0x50, "app"};
inline constexpr PackKind kPackKernel = {0x50, 0x50, "kernel"};
inline constexpr PackKind kPackRootfs = {0x46, 0x53, "rootfs"};
inline constexpr PackKind kPackKinds[] = {kPackApp, kPackKernel, kPackRootfs};

inline constexpr char kPackMagic[8] = {'n', 'O', 'r', 'v', 'a', 'F', 'i', 'w'};
inline constexpr size_t kPackHeaderSize = 16;
inline constexpr size_t kPackDescSize = 16;

struct PackEntry {
    uint8_t kind0;
    uint8_t kind1;
    uint32_t version;
    std::vector<uint8_t> data;
};

// The package: header, descriptions, then the data areas in order. Empty
// when there are no entries, more than kUpgradeMaxFiles, or over 4 GiB.
std::vector<uint8_t> BuildPackage(const std::vector<PackEntry>& entries);

struct PackListing {
    uint8_t fileNumber = 0;
    uint32_t totalLength = 0;
    std::vector<UpgradeFileDesc> files;
};

// Reads a package as the terminal does, and also requires every data area
// to lie inside it. 1 when sound, else 0 with the reason in *why.
int ReadPackage(const std::vector<uint8_t>& bytes, PackListing* listing, std::string* why);

// The name of a kind ("app", ...) or "unknown".
const char* PackKindName(uint8_t kind0, uint8_t kind1);

}  // namespace upgrade

#endif  // PATERM_UPGRADE_UPGRADE_PACK_H
