// The terminal's own network parameters (address, netmask, gateway): checked,
// then written to the EEPROM, where the system start-up reads them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "board/board.h"
#include "net/server_cmd.h"
#include "player/settings.h"

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void PutLittleEndian32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A run of one bits from bit 31, then only zero bits (0 passes).
bool IsNetmask(uint32_t mask) {
    const uint32_t shifted = (mask >> 1) | (mask & 0x80000000u);
    return mask == (mask & shifted);
}

bool NetParamsValid(uint32_t address, uint32_t mask, uint32_t gateway) {
    if (address == 0) return mask == 0 && gateway == 0;
    return IsNetmask(mask) && ((gateway ^ address) & mask) == 0;
}

}  // namespace

int WriteNetParams(const uint8_t* p) {
    const uint32_t address = BigEndian32(p);
    const uint32_t mask = BigEndian32(p + 4);
    const uint32_t gateway = BigEndian32(p + 8);
    if (!NetParamsValid(address, mask, gateway)) return -1;
    const int fd = board::Open(kEepromPath, O_WRONLY);
    if (fd < 0) {
        printf("Error:  ");
        printf("Error, cannot open %s for writing.\n", kEepromPath);
        return -1;
    }
    uint8_t record[kNetParamsLength];
    PutLittleEndian32(record, address);
    PutLittleEndian32(record + 4, mask);
    PutLittleEndian32(record + 8, gateway);
    const bool written = lseek(fd, kEepromNetParamsOffset, SEEK_SET) == kEepromNetParamsOffset &&
                         board::Write(fd, record, sizeof record) == static_cast<ssize_t>(sizeof record);
    // A reboot follows success: the bytes must be on the part by then. The
    // EEPROM driver may not implement fsync, so its answer is not decisive.
    if (written) fsync(fd);
    board::Close(fd);
    return written ? 0 : -1;
}
