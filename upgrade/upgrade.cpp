// The upgrade package: reading its header and descriptions, copying the
// application archive and the kernel image out of it, and the installation
// of a whole package.
#include "upgrade/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "upgrade/upgrade_internal.h"

namespace upgrade {

void PrintError(const char* format, ...) {
    printf("Error:  ");
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

bool InstallGuard::Held() const {
    if (!held_) PrintError("an upgrade is being installed already, this one is refused\n");
    return held_;
}

}  // namespace upgrade

namespace {

using upgrade::PrintError;

constexpr char kMagic[8] = {'n', 'O', 'r', 'v', 'a', 'F', 'i', 'w'};
constexpr size_t kHeaderSize = 16;
constexpr size_t kDescSize = 16;
constexpr size_t kCopyChunk = 60000;

struct ExtractKind {
    uint8_t kind0;
    uint8_t kind1;
    const char* output;
    const char* name;
};
constexpr ExtractKind kApp = {0xA2, 0x50, "/tmp/lpc3250.tgz", "application archive"};
constexpr ExtractKind kKernel = {0x50, 0x50, "/tmp/uImage", "kernel image"};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Reads until count bytes or the end; the bytes read, or -1 on a failure.
ssize_t ReadFull(int fd, uint8_t* buf, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = board::Read(fd, buf + got, count - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool WriteFull(int fd, const uint8_t* buf, size_t count) {
    while (count > 0) {
        ssize_t n = board::Write(fd, buf, count);
        if (n <= 0) return false;
        buf += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

int CannotOpen(const char* path) {
    PrintError("Error, cannot open %s for reading.\n", path);
    return 0;
}

bool ReadHeader(UpgradePkg* pkg, off_t fileSize) {
    uint8_t header[kHeaderSize];
    if (ReadFull(pkg->fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
        PrintError("Read upgrade file header fail, can't upgrade");
        return false;
    }
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        PrintError("The magic number is not expected, stop upgrade");
        return false;
    }
    // The record holds ten descriptions; more would run past it.
    if (header[8] == 0 || header[8] > kUpgradeMaxFiles) {
        PrintError("The file number is not expected, stop upgrade");
        return false;
    }
    pkg->fileNumber = header[8];
    pkg->totalLength = static_cast<int32_t>(Le32(header + 12));
    printf("upgradeFileHeader.fileNumber:%d, upgradeFileHeader.totalLength:%d\n", pkg->fileNumber, pkg->totalLength);
    if (static_cast<off_t>(Le32(header + 12)) != fileSize) {
        PrintError("The file length is not expected, stop upgrade, totolLength:%d, fileLen:%d\n", pkg->totalLength,
                   static_cast<int>(fileSize));
        return false;
    }
    return true;
}

bool ReadDescriptions(UpgradePkg* pkg) {
    for (int i = 0; i < pkg->fileNumber; ++i) {
        uint8_t d[kDescSize];
        if (ReadFull(pkg->fd, d, sizeof d) != static_cast<ssize_t>(sizeof d)) {
            PrintError("Read upgrade file description fail, can't upgrade");
            return false;
        }
        pkg->files[i] = UpgradeFileDesc{d[0], d[1], Le32(d + 4), Le32(d + 8), Le32(d + 12)};
    }
    return true;
}

const UpgradeFileDesc* FindKind(const UpgradePkg* pkg, const ExtractKind& kind) {
    for (int i = 0; i < pkg->fileNumber && i < kUpgradeMaxFiles; ++i)
        if (pkg->files[i].kind0 == kind.kind0 && pkg->files[i].kind1 == kind.kind1) return &pkg->files[i];
    return nullptr;
}

// Copies the data area to out; false unless every byte of it was copied.
bool CopyArea(int pkgFd, const UpgradeFileDesc& desc, int out) {
    if (lseek(pkgFd, static_cast<off_t>(desc.offset), SEEK_SET) != static_cast<off_t>(desc.offset)) return false;
    std::vector<uint8_t> buffer(kCopyChunk);
    for (uint32_t left = desc.length; left > 0;) {
        ssize_t n = board::Read(pkgFd, buffer.data(), std::min<size_t>(left, kCopyChunk));
        if (n <= 0) return false;
        if (!WriteFull(out, buffer.data(), static_cast<size_t>(n))) return false;
        left -= static_cast<uint32_t>(n);
    }
    return true;
}

int Extract(const UpgradePkg* pkg, const ExtractKind& kind) {
    if (pkg->fd < 0 || pkg->fileNumber == 0) {
        PrintError("fileHeader info is not invalid");
        return 0;
    }
    const UpgradeFileDesc* desc = FindKind(pkg, kind);
    if (desc == nullptr) {
        PrintError("cant find upgrade version!!!!!!!!!");
        return 0;
    }
    if (desc->version == UPGRADE_CUR_VERSION) {
        PrintError("the required version:%x is same as current version, no need to upgrade\n", desc->version);
        return 0;
    }
    if (uint64_t{desc->offset} + desc->length > static_cast<uint64_t>(static_cast<uint32_t>(pkg->totalLength))) {
        PrintError("the %s lies past the end of the package, stop upgrade\n", kind.name);
        return 0;
    }
    int out = board::Open(kind.output, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        PrintError("can't open file:%s\n", kind.output);
        return 0;
    }
    bool copied = CopyArea(pkg->fd, *desc, out);
    bool closed = board::Close(out) == 0;
    if (copied && closed) return 1;
    // A partial file must never be installed, by this run or a later one.
    ::unlink(board::Path(kind.output).c_str());
    PrintError("the %s could not be copied whole to %s, stop upgrade\n", kind.name, kind.output);
    return 0;
}

}  // namespace

int UpgradePkgOpen(UpgradePkg* pkg, const char* path) {
    pkg->fd = -1;
    struct stat st;
    const std::string host = board::Path(path);
    if (host.empty() || ::stat(host.c_str(), &st) != 0) return CannotOpen(path);
    int fd = board::Open(path, O_RDONLY);
    if (fd <= 0) {
        if (fd == 0) board::Close(fd);
        return CannotOpen(path);
    }
    pkg->fd = fd;
    if (!ReadHeader(pkg, st.st_size) || !ReadDescriptions(pkg)) return 0;
    return 1;
}

int UpgradePkgExtractApp(const UpgradePkg* pkg) { return Extract(pkg, kApp); }

int UpgradePkgExtractKernel(const UpgradePkg* pkg) { return Extract(pkg, kKernel); }

void UpgradePkgClose(UpgradePkg* pkg) {
    if (pkg->fd > 0) board::Close(pkg->fd);
    std::memset(pkg, 0, sizeof *pkg);
}

int UpgradeInstallPackage(const char* path) {
    upgrade::InstallGuard guard;
    if (!guard.Held()) return 0;
    UpgradePkg pkg;
    std::memset(&pkg, 0, sizeof pkg);
    UpgradePkgClose(&pkg);
    if (UpgradePkgOpen(&pkg, path) == 0) {
        printf("start to upgrade kernel\n");
        UpgradePkgClose(&pkg);
        return 0;
    }
    int installed = 0;
    if (UpgradePkgExtractApp(&pkg) == 1) {
        printf("get upgrade tar file success, start to tar xvf upgrade  app file\n");
        installed = upgrade::InstallAppHeld(true);
    }
    printf("start to upgrade kernel\n");
    if (UpgradePkgExtractKernel(&pkg) == 1) {
        printf("get kernel file success, start to upgrade kernel file\n");
        // A refused image leaves the old kernel in place, so an application
        // installed above still wants its reboot; a partition the write
        // left broken must not be booted.
        switch (upgrade::InstallKernelChecked()) {
            case upgrade::KernelOutcome::kWritten: installed = 1; break;
            case upgrade::KernelOutcome::kRefused: break;
            case upgrade::KernelOutcome::kDamaged: installed = 0; break;
        }
    }
    UpgradePkgClose(&pkg);
    return installed;
}
