// Address decoding for the register blocks.
#include "board/sim/hw/bus.h"

namespace sim::hw {

void Bus::Map(uint32_t base, uint32_t size, MmioDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    regions_[base] = {size, device};
}

MmioDevice* Bus::Find(uint32_t address, uint32_t* offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    if (address - it->first >= it->second.size) return nullptr;
    *offset = address - it->first;
    return it->second.device;
}

bool Bus::Read32(uint32_t address, uint32_t* value) {
    uint32_t offset = 0;
    MmioDevice* device = Find(address, &offset);
    if (!device) {
        ++unmapped_;
        lastUnmapped_ = address;
        *value = 0;
        return false;
    }
    *value = device->Read(offset);
    return true;
}

bool Bus::Write32(uint32_t address, uint32_t value) {
    uint32_t offset = 0;
    MmioDevice* device = Find(address, &offset);
    if (!device) {
        ++unmapped_;
        lastUnmapped_ = address;
        return false;
    }
    device->Write(offset, value);
    return true;
}

}  // namespace sim::hw
