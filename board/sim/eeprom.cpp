// Building and creating the EEPROM file.
#include "board/sim/eeprom.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "board/sim/fd_io.h"
#include "board/sim/unique_fd.h"

namespace sim {

std::array<uint8_t, kEepromSize> EepromImage(const Options& options) {
    std::array<uint8_t, kEepromSize> image;
    image.fill(0xFF);
    size_t idLen = std::min(options.deviceId.size(), kEepromDeviceIdSize);
    std::copy_n(options.deviceId.begin(), idLen, image.begin() + kEepromDeviceIdOffset);
    image[kEepromWatchdogFlagOffset] = static_cast<uint8_t>(options.watchdogFlag);
    if (options.serverIp) {
        uint32_t ip = *options.serverIp;
        for (size_t i = 0; i < 4; ++i) image[kEepromServerIpOffset + i] = static_cast<uint8_t>(ip >> (8 * i));
    }
    return image;
}

bool EnsureEepromFile(const std::string& path, const Options& options, bool* created) {
    *created = false;
    if (::access(path.c_str(), F_OK) == 0) return true;
    // O_EXCL: never overwrite a file that appeared meanwhile.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return false;
    std::array<uint8_t, kEepromSize> image = EepromImage(options);
    if (!WriteAll(fd.Get(), image.data(), image.size())) return false;
    *created = true;
    return true;
}

std::string IgnoredEepromOptions(const std::string& path, const Options& options) {
    if (options.eepromOptionsGiven.empty() || ::access(path.c_str(), F_OK) != 0) return "";
    std::string names;
    for (const std::string& name : options.eepromOptionsGiven) names += (names.empty() ? "" : ", ") + name;
    return names;
}

}  // namespace sim
