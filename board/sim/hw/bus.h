// The board's physical address space as the CPU and the DMA controller see
// it: 4 KiB register blocks of the hardware models by base address. An
// access nobody decodes is counted (and reads as 0) rather than silently
// taken, so tests can tell a driver touched a register that is not there.
#ifndef PATERM_BOARD_SIM_HW_BUS_H
#define PATERM_BOARD_SIM_HW_BUS_H

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

namespace sim::hw {

// A register block: offsets are relative to its base.
class MmioDevice {
public:
    virtual ~MmioDevice() = default;
    virtual uint32_t Read(uint32_t offset) = 0;
    virtual void Write(uint32_t offset, uint32_t value) = 0;
};

class Bus {
public:
    // Fixed at assembly time, before any access.
    void Map(uint32_t base, uint32_t size, MmioDevice* device);

    // False for an address no block decodes.
    bool Read32(uint32_t address, uint32_t* value);
    bool Write32(uint32_t address, uint32_t value);

    uint64_t Unmapped() const { return unmapped_.load(); }
    uint32_t LastUnmapped() const { return lastUnmapped_.load(); }

private:
    struct Region {
        uint32_t size;
        MmioDevice* device;
    };
    MmioDevice* Find(uint32_t address, uint32_t* offset);

    std::mutex mutex_;  // guards the map while it is assembled
    std::map<uint32_t, Region> regions_;
    std::atomic<uint64_t> unmapped_{0};
    std::atomic<uint32_t> lastUnmapped_{0};
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_BUS_H
