// Wiring the models together.
#include "board/sim/hw/machine.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

Machine::Machine(const std::string& decoderWav)
    : decoder_(decoderWav), rf_(&interrupts_), ssp0_(&clocks_, &decoder_), dma_(&bus_, &memory_) {
    bus_.Map(kSsp0Base, kBlockSize, &ssp0_);
    bus_.Map(kDmaBase, kBlockSize, &dma_);
    bus_.Map(kClockPowerBase, kBlockSize, &clocks_);
    bus_.Map(kGpioBase, kBlockSize, &gpio_);

    gpio_.SetInputSource([this] { return (decoder_.Dreq() ? gpio::kDreq : 0) | rf_.InputBits(); });
    gpio_.SetOutputListener([this](uint32_t outputs) { decoder_.SetPins(outputs); });
    ssp0_.SetRequestListener([this] { dma_.Kick(); });
    ssp0_.SetInterruptLine([this](bool level) { interrupts_.SetLevel(irq::kSsp0, level); });
    dma_.SetRequestLine(dma::kRequestSsp0Tx, [this] { return ssp0_.TxDmaRequest(); });
    dma_.SetInterruptLine([this](bool level) { interrupts_.SetLevel(irq::kDma, level); });
    PowerOn();
}

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
