// Reading a gzip file (one member, deflate) as a stream, with its CRC-32 and
// length checked, for checking an application archive on the terminal
// before anything installed is touched. Output goes to a sink in chunks;
// memory use is fixed, whatever the archive's size. zlib does the inflating.
#ifndef PATERM_UPGRADE_GUNZIP_H
#define PATERM_UPGRADE_GUNZIP_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace upgrade {

// Like read(2): bytes read, 0 at the end, negative on failure.
using ByteSource = std::function<ssize_t(uint8_t* buf, size_t count)>;
// Takes one chunk of output; false stops the reading.
using ByteSink = std::function<bool(const uint8_t* data, size_t count)>;

enum class GunzipResult {
    kOk,       // one complete member, CRC-32 and length as its trailer says, nothing after it
    kBad,      // not gzip, corrupt data, a checksum mismatch or bytes after the member
    kCut,      // the input ended (or failed to read) before the member did
    kStopped,  // the sink refused a chunk
};

GunzipResult Gunzip(const ByteSource& source, const ByteSink& sink);

// CRC-32 (IEEE, as gzip and uImage headers use), continued from crc.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t count);

}  // namespace upgrade

#endif  // PATERM_UPGRADE_GUNZIP_H
