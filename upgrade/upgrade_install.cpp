// Installing the application archive under "/opt/lpc3250" and the kernel
// image into "/dev/mtd2" with the terminal's shell tools, each only after
// its file has been checked, with the tools' results checked too. The
// application tree is replaced so that a power cut leaves one that runs.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "board/board.h"
#include "board/durable_file.h"
#include "upgrade/archive_check.h"
#include "upgrade/uimage.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_internal.h"

namespace upgrade {
namespace {

constexpr const char* kAppArchive = "/tmp/lpc3250.tgz";
constexpr const char* kKernelImage = "/tmp/uImage";
constexpr const char* kKernelPartition = "/dev/mtd2";

// The new tree is unpacked beside the installed one and takes its place by
// two renames only once it is whole, settings included: a power cut at any
// instant leaves a runnable tree, the old one or the new one. The one
// moment without "/opt/lpc3250" (between the renames) is mended at the next
// start (UpgradeRecoverInterrupted).
constexpr const char* kInstalled = "/opt/lpc3250";
constexpr const char* kStaged = "/opt/upgrade/lpc3250";
constexpr const char* kPrevious = "/opt/lpc3250.old";

constexpr const char* kClearCommands[] = {
    "/bin/chmod 777 /opt -R",
    "/bin/rm -rf /opt/upgrade",  // what a cut installation left
    "/bin/rm -rf /opt/lpc3250.old",
    "/bin/mkdir -p /opt/upgrade",
};
constexpr const char* kUnpackCommand = "/bin/tar zxvf /tmp/lpc3250.tgz -C /opt/upgrade/";
// Settings of the running terminal, copied over the new tree's own; the web
// password goes to its own directory.
constexpr const char* kKeepCommands[] = {
    "/bin/chmod 777 /opt/upgrade/lpc3250 -R",
    "/bin/cp -af /opt/lpc3250/devcfg /opt/upgrade/lpc3250/",
    "/bin/cp -af /opt/lpc3250/chncfg /opt/upgrade/lpc3250/",
    "/bin/cp -af /opt/lpc3250/sysExtOpts /opt/upgrade/lpc3250/",
    "/bin/mkdir -p /opt/upgrade/lpc3250/usr/etc/boa",
    "/bin/cp -af /opt/lpc3250/usr/etc/boa/www.passwd /opt/upgrade/lpc3250/usr/etc/boa/",
};
constexpr const char* kKeepExtOpts = kKeepCommands[3];
constexpr const char* kRemovePrevious = "/bin/rm -rf /opt/lpc3250.old";
constexpr const char* kRemoveStaging = "/bin/rm -rf /opt/upgrade";

bool IsDirectory(const char* terminalPath) {
    struct stat st;
    const std::string host = board::Path(terminalPath);
    return !host.empty() && ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const char* terminalPath) {
    struct stat st;
    const std::string host = board::Path(terminalPath);
    return !host.empty() && ::lstat(host.c_str(), &st) == 0;
}

// The staged tree takes the installed one's place: the old one is moved
// aside first (never deleted before the new one is in place).
bool SwapInStagedTree() {
    board::Sync();  // the new tree is on the flash before any name points at it
    if (Exists(kInstalled) && board::Rename(kInstalled, kPrevious) != 0) {
        PrintError("moving %s aside failed, the installed application stays\n", kInstalled);
        return false;
    }
    if (board::Rename(kStaged, kInstalled) != 0) {
        // The old tree goes back, so the terminal starts as it was.
        if (board::Rename(kPrevious, kInstalled) != 0)
            PrintError("%s could not be put back; it is restored at the next start\n", kPrevious);
        PrintError("moving the new application into %s failed, the installed one stays\n", kInstalled);
        return false;
    }
    return true;
}

// A descriptor of the seam read as a byte source.
ByteSource SeamSource(int fd) {
    return [fd](uint8_t* buf, size_t count) { return board::Read(fd, buf, count); };
}

int CheckArchiveFile(std::string* why) {
    int fd = board::Open(kAppArchive, O_RDONLY);
    if (fd < 0) {
        *why = "it cannot be opened";
        return 0;
    }
    int sound = CheckAppArchive(SeamSource(fd), why);
    board::Close(fd);
    return sound;
}

// The partition's size: a file on a simulated board, an MTD device (asked
// for its size) on the terminal.
uint64_t PartitionSize() {
    struct stat st;
    const std::string host = board::Path(kKernelPartition);
    if (host.empty() || ::stat(host.c_str(), &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
    int fd = board::Open(kKernelPartition, O_RDONLY);
    if (fd < 0) return 0;
    mtd_info_user info{};
    bool known = board::Ioctl(fd, MEMGETINFO, &info) == 0;
    board::Close(fd);
    return known ? info.size : 0;
}

int CheckKernelFile(std::string* why) {
    struct stat st;
    const std::string host = board::Path(kKernelImage);
    if (host.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "there is none";
        return 0;
    }
    uint64_t partition = PartitionSize();
    if (partition == 0) {
        *why = "the size of /dev/mtd2 is unknown";
        return 0;
    }
    int fd = board::Open(kKernelImage, O_RDONLY);
    if (fd < 0) {
        *why = "it cannot be opened";
        return 0;
    }
    int sound = CheckKernelImage(SeamSource(fd), static_cast<uint64_t>(st.st_size), partition, why);
    board::Close(fd);
    return sound;
}

}  // namespace

int InstallAppHeld(bool preserveExtOpts) {
    std::string why;
    if (!CheckArchiveFile(&why)) {
        PrintError("the application archive %s is refused, the installed one stays: %s\n", kAppArchive, why.c_str());
        return 0;
    }
    RecoverInterrupted();
    for (const char* clear : kClearCommands) board::System(clear);
    const int status = board::System(kUnpackCommand);
    if (status != 0 || !IsDirectory(kStaged)) {
        PrintError("unpacking %s failed (status %d), the installed application stays\n", kAppArchive, status);
        board::System(kRemoveStaging);
        return 0;
    }
    for (const char* keep : kKeepCommands)
        if (preserveExtOpts || keep != kKeepExtOpts) board::System(keep);
    const bool swapped = SwapInStagedTree();
    // After a failed swap the old tree may still be only at its aside name.
    if (swapped) board::System(kRemovePrevious);
    board::System(kRemoveStaging);
    return swapped ? 1 : 0;
}

// After a cut between the two renames of SwapInStagedTree: the whole new
// tree (it is only ever renamed once complete) goes in; failing that, the
// previous one goes back.
int RecoverInterrupted() {
    if (Exists(kInstalled)) return 0;
    if (IsDirectory(kStaged) && IsDirectory(kPrevious) && board::Rename(kStaged, kInstalled) == 0) {
        printf("an interrupted installation of %s is completed\n", kInstalled);
        return 1;
    }
    if (IsDirectory(kPrevious) && board::Rename(kPrevious, kInstalled) == 0) {
        printf("an interrupted installation left %s out: the previous application is back\n", kInstalled);
        return 1;
    }
    return 0;
}

KernelOutcome InstallKernelChecked() {
    std::string why;
    if (!CheckKernelFile(&why)) {
        PrintError("the kernel image %s is refused, /dev/mtd2 stays as it is: %s\n", kKernelImage, why.c_str());
        return KernelOutcome::kRefused;
    }
    int status = board::System("/usr/sbin/flash_eraseall /dev/mtd2");
    if (status != 0) {
        PrintError("erasing /dev/mtd2 failed (status %d)\n", status);
        return KernelOutcome::kDamaged;
    }
    status = board::System("/usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage");
    if (status != 0) {
        PrintError("writing /dev/mtd2 failed (status %d), it must be written again before a reboot\n", status);
        return KernelOutcome::kDamaged;
    }
    return KernelOutcome::kWritten;
}

int InstallKernelHeld() { return InstallKernelChecked() == KernelOutcome::kWritten ? 1 : 0; }

}  // namespace upgrade

int UpgradeInstallApp(bool preserveExtOpts) {
    upgrade::InstallGuard guard;
    return guard.Held() ? upgrade::InstallAppHeld(preserveExtOpts) : 0;
}

int UpgradeInstallKernel(void) {
    upgrade::InstallGuard guard;
    return guard.Held() ? upgrade::InstallKernelHeld() : 0;
}

int UpgradeRecoverInterrupted(void) {
    upgrade::InstallGuard guard;
    return guard.Held() ? upgrade::RecoverInterrupted() : 0;
}

int UpgradeReserve(void) {
    if (upgrade::InstallGuard::Take()) return 1;
    upgrade::PrintError("an upgrade is being installed already, this one is refused\n");
    return 0;
}

void UpgradeRelease(void) { upgrade::InstallGuard::Give(); }

int UpgradeInstallAppReserved(bool preserveExtOpts) { return upgrade::InstallAppHeld(preserveExtOpts); }

int UpgradeInstallKernelReserved(void) { return upgrade::InstallKernelHeld(); }
