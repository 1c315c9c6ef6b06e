// The EEPROM "/dev/i2c-eeprom0" as a 256-byte file under the board root.
// A new file is the erased part (all 0xFF) with what the factory writes:
// the device ID, the watchdog flag and, when given, the management server's
// address (little-endian a*2^24 + b*2^16 + c*2^8 + d). An existing file is
// the board's memory: the options that would fill a new one are void then.
#ifndef PATERM_BOARD_SIM_EEPROM_H
#define PATERM_BOARD_SIM_EEPROM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "board/sim/options.h"
#include "board/sim/result.h"

namespace sim {

inline constexpr const char* kEepromNode = "/dev/i2c-eeprom0";
inline constexpr size_t kEepromSize = 256;
inline constexpr size_t kEepromDeviceIdOffset = 0;
inline constexpr size_t kEepromDeviceIdSize = 10;
inline constexpr size_t kEepromWatchdogFlagOffset = 16;
inline constexpr size_t kEepromServerIpOffset = 44;

std::array<uint8_t, kEepromSize> EepromImage(const Options& options);

// Creates the file from EepromImage when it is missing; an existing file is
// used as it is. True if the file was created now.
[[nodiscard]] Result<bool> EnsureEepromFile(const std::string& path, const Options& options);

// "--device-id, --server-ip": the EEPROM options given for an EEPROM file
// that already exists at path, which therefore have no effect; "" if none.
std::string IgnoredEepromOptions(const std::string& path, const Options& options);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_EEPROM_H
