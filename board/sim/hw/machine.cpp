// Wiring the models together.
#include "board/sim/hw/machine.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

Machine::Machine(const std::string& decoderWav)
    : decoder_(decoderWav, &clock_), rf_(&interrupts_), ssp0_(&clocks_, &decoder_, &clock_), dma_(&bus_, &memory_) {
    bus_.Map(kSsp0Base, kBlockSize, &ssp0_);
    bus_.Map(kDmaBase, kBlockSize, &dma_);
    bus_.Map(kClockPowerBase, kBlockSize, &clocks_);
    bus_.Map(kGpioBase, kBlockSize, &gpio_);

    // The chip sees every byte the SSP finished before a pin changes or DREQ
    // is read, and none after.
    gpio_.SetInputSource([this] {
        bool dreq = false;
        ssp0_.AtInstant([&] { dreq = decoder_.Dreq(); });
        return (dreq ? gpio::kDreq : 0) | rf_.InputBits();
    });
    gpio_.SetOutputListener([this](uint32_t outputs) { ssp0_.AtInstant([&] { decoder_.SetPins(outputs); }); });
    ssp0_.SetRequestListener([this] { dma_.Kick(); });
    ssp0_.SetInterruptLine([this](bool level) { interrupts_.SetLevel(irq::kSsp0, level); });
    dma_.SetRequestLine(dma::kRequestSsp0Tx, [this] { return ssp0_.TxDmaRequest(); });
    dma_.SetInterruptLine([this](bool level) { interrupts_.SetLevel(irq::kDma, level); });
    PowerOn();
}

// The SSP's thread calls into the DMA controller and the chip: it ends first.
Machine::~Machine() { ssp0_.Stop(); }

void Machine::PowerOn() {
    interrupts_.Reset();
    decoder_.PowerOn();
    rf_.PowerOn();
    gpio_.PowerOn();
    clocks_.PowerOn();
    ssp0_.PowerOn();
    dma_.PowerOn();
}

}  // namespace sim::hw
