// The DMA controller, a PrimeCell PL080 with eight channels: the global
// status, clear and configuration registers and each channel's source,
// destination, linked list item, control and configuration registers.
// A channel enabled with memory-to-peripheral flow moves one element each
// time its destination's request line is active, follows the linked list
// in memory item by item, and raises its terminal count interrupt after an
// item whose control word asks for it; an access nobody decodes stops the
// channel with an error interrupt. Moving an element takes no modelled
// time: elements move on the thread that enabled the channel or raised the
// request, with the controller's lock held (an element written to the
// controller itself is an error). A transfer to SSP0 is paced by the
// port's FIFO room, so its terminal count fires when the last byte has
// entered the FIFO, while up to 8 bytes still wait to be clocked out.
#ifndef PATERM_BOARD_SIM_HW_DMA_CONTROLLER_H
#define PATERM_BOARD_SIM_HW_DMA_CONTROLLER_H

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>

#include "board/sim/hw/bus.h"
#include "board/sim/hw/memory.h"
#include "board/sim/hw/registers.h"

namespace sim::hw {

class DmaController : public MmioDevice {
public:
    struct ChannelStats {
        uint64_t items = 0;  // linked list items completed
        uint64_t bytes = 0;
        uint64_t errors = 0;
        uint32_t maxItemBytes = 0;
        uint32_t lastItemBytes = 0;
    };

    DmaController(Bus* bus, Memory* memory) : bus_(bus), memory_(memory) {}

    // Set while the machine is assembled.
    void SetRequestLine(int line, std::function<bool()> active);
    void SetInterruptLine(std::function<void(bool)> line) { interrupt_ = std::move(line); }

    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;

    // A request line may have become active.
    void Kick();

    ChannelStats GetChannelStats(int channel) const;
    void PowerOn();
    // The channel's next element fails as a bus error would (tests).
    void FailNextElement(int channel);

private:
    struct Channel {
        uint32_t src = 0, dest = 0, lli = 0, control = 0, config = 0;
        uint32_t itemBytes = 0;
        ChannelStats stats;
    };
    enum class Step { kNone, kMoved, kWaiting };

    void Pump();                                     // mutex held
    Step StepOnce();                                 // mutex held; one element of one channel
    bool Ready(const Channel& c) const;              // mutex held
    void FinishItem(int index);                      // mutex held
    void Fail(int index);                            // mutex held
    void UpdateInterrupt();                          // mutex held
    uint32_t TcStatus() const;                       // mutex held
    uint32_t ErrorStatus() const;                    // mutex held
    bool ReadElement(uint32_t address, uint32_t width, uint32_t* value);
    bool WriteElement(uint32_t address, uint32_t value);

    Bus* bus_;
    Memory* memory_;
    std::array<std::function<bool()>, dma::kRequestLines> requests_;
    std::function<void(bool)> interrupt_;
    mutable std::mutex mutex_;
    std::array<Channel, dma::kChannels> channels_{};
    uint32_t configuration_ = 0;
    uint32_t rawTc_ = 0, rawError_ = 0;
    uint32_t failNext_ = 0;  // channels whose next element fails
    bool again_ = false;  // a transfer changed a request while the pump ran
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_DMA_CONTROLLER_H
