// The upgrade URL command: the package is downloaded from the server with
// "/tmp/wget" and handed to the installer; an installation ends in a reboot.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "net/net.h"
#include "net/server_cmd.h"
#include "upgrade/upgrade.h"

namespace {

constexpr size_t kCommandSize = 500;

bool IsUrlPathChar(char c) {
    return c != '\0' && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~/%", c) != nullptr);
}

void PrintError(const char* format, const char* path) {
    printf("Error:  ");
    printf(format, path);
}

// The path is pasted into a shell line after the server address: only a
// plain absolute URL path may get there, so neither a shell nor another
// host ("http://a.b.c.d" + "x.example/...") can be reached through it.
bool PathAccepted(const char* path) {
    if (std::strlen(path) > kUpgradePathMax) {
        PrintError("App download url is not invalid, url:%s\n", path);
        return false;
    }
    if (!UpgradePathIsSafe(path)) {
        PrintError("App download url is not a plain URL path, refused, url:%s\n", path);
        return false;
    }
    return true;
}

// Downloads the package; false when there is no server to download from.
bool Download(const char* path) {
    const uint32_t server = gServerIp.load(std::memory_order_relaxed);
    if (server == 0) {
        PrintError("App download needs a server address, url:%s\n", path);
        return false;
    }
    char address[INET_ADDRSTRLEN];
    in_addr serverAddr;
    serverAddr.s_addr = server;
    inet_ntop(AF_INET, &serverAddr, address, sizeof address);
    char command[kCommandSize];
    snprintf(command, sizeof command, "/tmp/wget  --no-check-certificate http://%s%s -O %s", address, path,
             kUpgradePackagePath);
    printf("App upgrade command is:%s\n", command);
    const int result = board::System(command);
    printf("download complete, ret:%d\n", result);
    board::System("ls -al /tmp/upgrade_app.bin");
    return true;
}

void Install() {
    if (UpgradeInstallPackage(kUpgradePackagePath) != 1) return;
    sleep(1);
    board::System("reboot");
}

}  // namespace

bool UpgradePathIsSafe(const char* path) {
    if (path[0] != '/') return false;
    for (const char* c = path; *c != '\0'; ++c)
        if (!IsUrlPathChar(*c)) return false;
    return true;
}

void UpgradeUrlHandle(const char* path, size_t n) {
    printf("receive server upgrade app url, len:%ud, url info:%s\n", static_cast<unsigned>(n - 15), path);
    if (!PathAccepted(path) || !Download(path)) return;
    Install();
}
