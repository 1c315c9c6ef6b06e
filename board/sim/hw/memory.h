// SDRAM as a bus master sees it, for the buffers the kernel hands out as
// coherent DMA memory: each block is host memory that the CPU side reaches
// by pointer and the DMA controller by bus address. Blocks are page
// aligned and never overlap; a freed window may be handed out again.
#ifndef PATERM_BOARD_SIM_HW_MEMORY_H
#define PATERM_BOARD_SIM_HW_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace sim::hw {

class Memory {
public:
    static constexpr uint32_t kPage = 4096;

    struct Block {
        uint8_t* host = nullptr;  // null when the window is full
        uint32_t bus = 0;
    };

    // size bytes, zeroed.
    Block Allocate(size_t size);
    // False (and nothing freed) unless bus, host and size name one block.
    bool Free(uint32_t bus, const void* host, size_t size);

    // One byte by bus address; false outside every block.
    bool Read8(uint32_t bus, uint8_t* value) const;
    bool Read32(uint32_t bus, uint32_t* value) const;  // little-endian
    bool Write8(uint32_t bus, uint8_t value);

    size_t Outstanding() const;
    size_t OutstandingBytes() const;

private:
    struct Allocation {
        std::unique_ptr<uint8_t[]> bytes;
        size_t size;
    };
    const Allocation* Find(uint32_t bus, uint32_t* offset) const;

    mutable std::mutex mutex_;
    std::map<uint32_t, Allocation> blocks_;  // by bus address
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_MEMORY_H
