// Building and creating the EEPROM file.
#include "board/sim/eeprom.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

Result<bool> EnsureEepromFile(const std::string& path, const Options& options) {
    if (::access(path.c_str(), F_OK) == 0) return false;
    // O_EXCL: never overwrite a file that appeared meanwhile.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd && errno == EEXIST) return false;
    if (!fd) return Error::FromErrno("cannot create the EEPROM file " + path);
    std::array<uint8_t, kEepromSize> image = EepromImage(options);
    if (Result<> written = WriteAll(fd.Get(), image.data(), image.size()); !written) {
        // A short file left behind would be taken for the board's memory on the next start.
        ::unlink(path.c_str());
        return Error{written.error().code, "cannot write the EEPROM file " + path};
    }
    return true;
}

std::string IgnoredEepromOptions(const std::string& path, const Options& options) {
    if (options.eepromOptionsGiven.empty() || ::access(path.c_str(), F_OK) != 0) return "";
    std::string names;
    for (const std::string& name : options.eepromOptionsGiven) names += (names.empty() ? "" : ", ") + name;
    return names;
}

}  // namespace sim
