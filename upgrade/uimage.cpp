// Checking a kernel image's header and data against its own checksums.
#include "upgrade/uimage.h"

#include <algorithm>
#include <cstring>

namespace upgrade {
namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads exactly count bytes; false on a short read.
bool ReadFull(const ByteSource& source, uint8_t* buf, size_t count) {
    while (count > 0) {
        ssize_t n = source(buf, count);
        if (n <= 0) return false;
        buf += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

int Refuse(std::string* why, const std::string& text) {
    *why = text;
    return 0;
}

}  // namespace

int CheckKernelImage(const ByteSource& source, uint64_t fileSize, uint64_t partitionSize, std::string* why) {
    if (fileSize == 0) return Refuse(why, "the kernel image is empty");
    uint8_t header[kUImageHeaderSize];
    if (fileSize < kUImageHeaderSize || !ReadFull(source, header, sizeof header))
        return Refuse(why, "the kernel image is shorter than its header");
    if (BigEndian32(header) != kUImageMagic) return Refuse(why, "the kernel image has no image magic");
    uint32_t headerCrc = BigEndian32(header + 4);
    std::memset(header + 4, 0, 4);
    if (Crc32(0, header, sizeof header) != headerCrc) return Refuse(why, "the kernel image header is damaged");
    uint64_t dataSize = BigEndian32(header + 12);
    if (kUImageHeaderSize + dataSize > fileSize) return Refuse(why, "the kernel image is cut short");
    uint64_t padded = (fileSize + kNandPageSize - 1) / kNandPageSize * kNandPageSize;
    if (padded > partitionSize) return Refuse(why, "the kernel image does not fit the partition");
    uint8_t chunk[4096];
    uint32_t crc = 0;
    for (uint64_t left = dataSize; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof chunk));
        if (!ReadFull(source, chunk, n)) return Refuse(why, "the kernel image cannot be read");
        crc = Crc32(crc, chunk, n);
        left -= n;
    }
    if (crc != BigEndian32(header + 24)) return Refuse(why, "the kernel image data is damaged");
    return 1;
}

}  // namespace upgrade
