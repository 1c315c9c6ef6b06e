// The NAND partition "/dev/mtd2" (the kernel image) as a file under the
// board root, and what the terminal's flash_eraseall and nandwrite -p do
// to it.
#ifndef PATERM_BOARD_SIM_FLASH_H
#define PATERM_BOARD_SIM_FLASH_H

#include <cstddef>
#include <string>

#include "board/sim/result.h"

namespace sim {

inline constexpr size_t kNandSize = 4 * 1024 * 1024;
inline constexpr size_t kNandPageSize = 2048;

// Makes an erased partition file when it is missing.
[[nodiscard]] Result<> EnsureNandFile(const std::string& path);
// Every byte of the partition becomes 0xFF.
[[nodiscard]] Result<> EraseNand(const std::string& path);
// Writes the image at offset 0, its last page padded with 0xFF; an image
// larger than the partition is refused.
[[nodiscard]] Result<> NandWrite(const std::string& path, const std::string& imagePath);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_FLASH_H
