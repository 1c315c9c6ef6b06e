// The board kernel's DMA services: coherent memory (a CPU pointer and a bus
// address, from the machine's SDRAM) and the LPC32xx DMA channel interface
// (claim a channel with its configuration and completion handler, a linked
// list of transfer entries in coherent memory, queue, flush, disable, put).
// Like the real platform code it drives the PL080 through its registers and
// takes the controller's interrupt, calling each channel's handler in
// interrupt context with the cause (DMA_TC_INT, DMA_ERR_INT).
//
// Tests can make the next coherent allocation, channel claim or list
// allocation fail, as memory pressure or a taken channel would.
#ifndef PATERM_BOARD_SIM_KERNEL_DMA_H
#define PATERM_BOARD_SIM_KERNEL_DMA_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "board/sim/hw/machine.h"
#include "board/sim/kernel/include/emu/kabi.h"

namespace sim::kernel {

class Kernel;

class DmaLayer {
public:
    static constexpr int kChannels = 8;
    static constexpr uint32_t kEntryBytes = 16;  // source, destination, next, control
    static constexpr int kMaxTransfer = 0xFFF;

    enum class Fault : uint32_t { kAllocCoherent = 1, kChannelGet = 2, kAllocList = 4 };

    struct ChannelInfo {
        bool claimed = false;
        std::string owner;
        bool hasList = false;
        int entries = 0;
        int queued = 0;
        uint32_t config = 0;   // PL080 channel configuration word
        uint32_t control = 0;  // control word template
    };

    DmaLayer(Kernel* kernel, hw::Machine* machine) : kernel_(kernel), machine_(machine) {}

    // Power-on: takes the controller's interrupt and enables it.
    void Boot();
    // Power-off: channels still claimed are reported and released.
    void Halt();

    void* AllocCoherent(size_t size, uint32_t* handle, unsigned gfp);
    void FreeCoherent(size_t size, void* cpu, uint32_t handle);

    int ChannelGet(const dma_config* config, const char* name, lpc32xx_dma_handler_t handler, void* data);
    int ChannelPut(int ch);
    uint32_t AllocList(int ch, int entries);
    void DeallocList(int ch);
    uint32_t Queue(int ch, uint32_t src, uint32_t dst, int size);
    uint32_t Flush(int ch);
    void Enable(int ch);
    void Disable(int ch);

    void FailNext(Fault fault) { faults_ |= static_cast<uint32_t>(fault); }
    ChannelInfo Channel(int ch) const;

private:
    struct State {
        bool claimed = false;
        std::string owner;
        lpc32xx_dma_handler_t handler = nullptr;
        void* data = nullptr;
        uint32_t config = 0, control = 0;
        uint8_t* list = nullptr;
        uint32_t listBus = 0;
        size_t listBytes = 0;
        int entries = 0;
        int queued = 0;
    };

    static int Interrupt(int irq, void* dev);
    int HandleInterrupt();
    bool TakeFault(Fault fault) { return faults_.fetch_and(~static_cast<uint32_t>(fault)) & static_cast<uint32_t>(fault); }
    bool Owned(int ch, const char* call);  // mutex held; reports misuse
    uint32_t Reg(uint32_t offset);
    void SetReg(uint32_t offset, uint32_t value);
    static uint32_t ChannelReg(int ch, uint32_t reg);
    void FreeList(State& s);  // mutex held

    Kernel* kernel_;
    hw::Machine* machine_;
    std::atomic<uint32_t> faults_{0};
    mutable std::mutex mutex_;
    std::array<State, kChannels> channels_{};
    bool booted_ = false;
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_DMA_H
