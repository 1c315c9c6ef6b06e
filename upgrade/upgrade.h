// The software upgrade: installing a downloaded upgrade package.
#ifndef PATERM_UPGRADE_UPGRADE_H
#define PATERM_UPGRADE_UPGRADE_H

int UpgradeInstallPackage(const char* path);  // 1 when something was installed, else 0
// Weak until the upgrade library is linked in: callers test it for null.
int UpgradeInstallPackage(const char* path) __attribute__((weak));

#endif  // PATERM_UPGRADE_UPGRADE_H
