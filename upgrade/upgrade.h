// Software upgrade: the package downloaded to "/tmp/upgrade_app.bin", its
// header and file descriptions, the extraction of the application archive
// and the kernel image to "/tmp", and their installation under
// "/opt/lpc3250" and into "/dev/mtd2". One installation runs at a time.
#ifndef PATERM_UPGRADE_UPGRADE_H
#define PATERM_UPGRADE_UPGRADE_H

#include <cstdint>

// The version of the running software; a package file of this version is
// not installed again.
inline constexpr uint32_t UPGRADE_CUR_VERSION = 0x04050001;

// A package holds at most this many file descriptions.
inline constexpr int kUpgradeMaxFiles = 10;

struct UpgradeFileDesc {
    uint8_t kind0;
    uint8_t kind1;
    uint32_t version;
    uint32_t length;
    uint32_t offset;
};

// The parsed package while one upgrade runs; fd is -1 (or 0 once cleared) when none.
struct UpgradePkg {
    int32_t fd;
    uint16_t fileNumber;
    int32_t totalLength;
    UpgradeFileDesc files[kUpgradeMaxFiles];
};

// Installs what the package at path holds. 1 when the application archive,
// the kernel image or both were installed (the caller then reboots), else 0;
// 0 also when an installation already runs or an installation step failed.
int UpgradeInstallPackage(const char* path);

// 1 when the header and all descriptions are read and valid, else 0.
int UpgradePkgOpen(UpgradePkg* pkg, const char* path);
// 1 when "/tmp/lpc3250.tgz" (resp. "/tmp/uImage") was written whole, else 0.
int UpgradePkgExtractApp(const UpgradePkg* pkg);
int UpgradePkgExtractKernel(const UpgradePkg* pkg);
// Closes the package file and clears the record.
void UpgradePkgClose(UpgradePkg* pkg);

// Installs "/tmp/lpc3250.tgz" under "/opt", keeping the terminal's settings
// files and web password (and "sysExtOpts" when preserveExtOpts). 1 on
// success; 0 when the archive is refused (the installed tree is then left
// as it was), the unpacking fails or another installation runs.
int UpgradeInstallApp(bool preserveExtOpts);
// At start-up, before the settings are read: an application installation
// cut by a power loss between moving the old tree aside and moving the new
// one in is completed (or, failing that, the old tree is put back). 1 when
// the tree was mended, else 0.
int UpgradeRecoverInterrupted(void);
// Writes "/tmp/uImage" to "/dev/mtd2" once it is known to be a whole
// kernel image that fits. 1 on success, 0 on failure (no reboot then).
int UpgradeInstallKernel(void);

// For a caller that writes "/tmp/lpc3250.tgz" or "/tmp/uImage" itself (a
// peer download): the installation is reserved from the first byte written
// to the installation, so no package is extracted over the file meanwhile,
// nor the reverse. 1 when reserved, 0 (said so) when another installation
// or reservation runs. UpgradeRelease ends a reservation this caller holds.
int UpgradeReserve(void);
void UpgradeRelease(void);
// UpgradeInstallApp and UpgradeInstallKernel for the holder of a
// reservation, which stays held (the caller releases it).
int UpgradeInstallAppReserved(bool preserveExtOpts);
int UpgradeInstallKernelReserved(void);

#endif  // PATERM_UPGRADE_UPGRADE_H
