// Installing the application archive under "/opt/lpc3250" and the kernel
// image into "/dev/mtd2" with the terminal's shell tools, each only after
// its file has been checked, with the tools' results checked too.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "board/board.h"
#include "upgrade/archive_check.h"
#include "upgrade/uimage.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_internal.h"

namespace upgrade {
namespace {

constexpr const char* kAppArchive = "/tmp/lpc3250.tgz";
constexpr const char* kKernelImage = "/tmp/uImage";
constexpr const char* kKernelPartition = "/dev/mtd2";

// Settings kept across the replacement of the tree, in order; the web
// password goes back to its own directory.
constexpr const char* kSaveCommands[] = {
    "/bin/cp -af /opt/lpc3250/devcfg /opt/temp/",
    "/bin/cp -af /opt/lpc3250/chncfg /opt/temp/",
    "/bin/cp -af /opt/lpc3250/sysExtOpts /opt/temp/",
    "/bin/cp -af /opt/lpc3250/usr/etc/boa/www.passwd /opt/temp/",
};
constexpr const char* kSaveExtOpts = kSaveCommands[2];
constexpr const char* kRestoreCommands[] = {
    "/bin/chmod 777 /opt/lpc3250 -R",
    "/bin/cp -af /opt/temp/* /opt/lpc3250/",
    "/bin/rm -rf /opt/lpc3250/www.passwd",
    "/bin/cp -f /opt/temp/www.passwd /opt/lpc3250/usr/etc/boa/",
    "/bin/rm -rf /opt/temp",
};

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
    board::System("/bin/chmod 777 /opt -R");
    board::System("/bin/mkdir -p /opt/temp");
    for (const char* save : kSaveCommands)
        if (preserveExtOpts || save != kSaveExtOpts) board::System(save);
    board::System("/bin/rm -rf /opt/lpc3250");
    int status = board::System("/bin/tar zxvf /tmp/lpc3250.tgz -C /opt/");
    if (status != 0)
        PrintError("unpacking %s failed (status %d), the application is incomplete\n", kAppArchive, status);
    // The saved settings go back even into an incomplete tree: they exist nowhere else.
    for (const char* restore : kRestoreCommands) board::System(restore);
    return status == 0 ? 1 : 0;
}

int InstallKernelHeld() {
    std::string why;
    if (!CheckKernelFile(&why)) {
        PrintError("the kernel image %s is refused, /dev/mtd2 stays as it is: %s\n", kKernelImage, why.c_str());
        return 0;
    }
    int status = board::System("/usr/sbin/flash_eraseall /dev/mtd2");
    if (status != 0) {
        PrintError("erasing /dev/mtd2 failed (status %d)\n", status);
        return 0;
    }
    status = board::System("/usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage");
    if (status != 0) {
        PrintError("writing /dev/mtd2 failed (status %d), it must be written again before a reboot\n", status);
        return 0;
    }
    return 1;
}

}  // namespace upgrade

int UpgradeInstallApp(bool preserveExtOpts) {
    upgrade::InstallGuard guard;
    return guard.Held() ? upgrade::InstallAppHeld(preserveExtOpts) : 0;
}

int UpgradeInstallKernel(void) {
    upgrade::InstallGuard guard;
    return guard.Held() ? upgrade::InstallKernelHeld() : 0;
}

int UpgradeReserve(void) {
    if (upgrade::InstallGuard::Take()) return 1;
    upgrade::PrintError("an upgrade is being installed already, this one is refused\n");
    return 0;
}

void UpgradeRelease(void) { upgrade::InstallGuard::Give(); }

int UpgradeInstallAppReserved(bool preserveExtOpts) { return upgrade::InstallAppHeld(preserveExtOpts); }

int UpgradeInstallKernelReserved(void) { return upgrade::InstallKernelHeld(); }
