// The board's hardware, assembled: the bus with its register blocks (GPIO,
// clock and power, SSP0, DMA controller), SDRAM for coherent buffers, the
// interrupt controller, and the devices wired to them (the VS1053b decoder
// on SSP0 and GPIO, the RF receiver on GPIO and line 90). One machine per
// board; the emulated kernel runs on it. The models share one clock.
#ifndef PATERM_BOARD_SIM_HW_MACHINE_H
#define PATERM_BOARD_SIM_HW_MACHINE_H

#include <string>

#include "board/sim/hw/bus.h"
#include "board/sim/hw/clock_power.h"
#include "board/sim/hw/dma_controller.h"
#include "board/sim/hw/gpio.h"
#include "board/sim/hw/interrupt_controller.h"
#include "board/sim/hw/memory.h"
#include "board/sim/hw/model_clock.h"
#include "board/sim/hw/rf_receiver.h"
#include "board/sim/hw/ssp.h"
#include "board/sim/hw/vs1053.h"

namespace sim::hw {

class Machine {
public:
    // decoderWav: where the decoder writes its audio ("" for nowhere).
    explicit Machine(const std::string& decoderWav);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Every model to its power-on state (the DREQ fault switch stays).
    void PowerOn();
    // Bytes the SSP has clocked by now reach the chip (before a look at its
    // statistics).
    void Settle() { ssp0_.Settle(); }

    ModelClock& clock() { return clock_; }
    Bus& bus() { return bus_; }
    Memory& memory() { return memory_; }
    InterruptController& interrupts() { return interrupts_; }
    Gpio& gpio() { return gpio_; }
    ClockPower& clocks() { return clocks_; }
    Ssp& ssp0() { return ssp0_; }
    DmaController& dma() { return dma_; }
    Vs1053& decoder() { return decoder_; }
    RfReceiver& rf() { return rf_; }

private:
    ModelClock clock_;
    Bus bus_;
    Memory memory_;
    InterruptController interrupts_;
    Vs1053 decoder_;
    RfReceiver rf_;
    Gpio gpio_;
    ClockPower clocks_;
    Ssp ssp0_;
    DmaController dma_;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_MACHINE_H
