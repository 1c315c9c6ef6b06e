// The kernel image check before the NAND partition is erased: a U-Boot
// image header (magic 0x27051956, big-endian) whose header and data
// checksums are right, whose data is all there and which fits the partition.
#ifndef PATERM_UPGRADE_UIMAGE_H
#define PATERM_UPGRADE_UIMAGE_H

#include <cstdint>
#include <string>

#include "upgrade/gunzip.h"

namespace upgrade {

inline constexpr uint32_t kUImageMagic = 0x27051956;
inline constexpr size_t kUImageHeaderSize = 64;
// nandwrite pads the last page; the padded image must fit.
inline constexpr uint64_t kNandPageSize = 2048;

// 1 when the image of fileSize bytes read from source is sound and fits a
// partition of partitionSize bytes, else 0 with the reason in *why.
int CheckKernelImage(const ByteSource& source, uint64_t fileSize, uint64_t partitionSize, std::string* why);

}  // namespace upgrade

#endif  // PATERM_UPGRADE_UIMAGE_H
