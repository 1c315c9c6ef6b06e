// The board's physical address map and the register layouts the hardware
// models decode: the GPIO block, the clock and power block's SSP_CTRL, SSP0
// (PrimeCell PL022), the DMA controller (PrimeCell PL080) and the SDRAM
// window that coherent DMA buffers live in. Interrupt line numbers too.
#ifndef PATERM_BOARD_SIM_HW_REGISTERS_H
#define PATERM_BOARD_SIM_HW_REGISTERS_H

#include <cstdint>

namespace sim::hw {

// Blocks by physical base address; each decodes a 4 KiB window.
inline constexpr uint32_t kSsp0Base = 0x20084000;
inline constexpr uint32_t kDmaBase = 0x31000000;
inline constexpr uint32_t kClockPowerBase = 0x40004000;
inline constexpr uint32_t kGpioBase = 0x40028000;
inline constexpr uint32_t kBlockSize = 0x1000;

// SDRAM as the DMA controller sees it (bus addresses of coherent buffers).
inline constexpr uint32_t kSdramBase = 0x80000000;
inline constexpr uint32_t kSdramSize = 64u << 20;

namespace gpio {
inline constexpr uint32_t kP3InpState = 0x000;
inline constexpr uint32_t kP3OutpSet = 0x004;
inline constexpr uint32_t kP3OutpClr = 0x008;
inline constexpr uint32_t kP3OutpState = 0x00C;
inline constexpr uint32_t kPMuxSet = 0x100;
inline constexpr uint32_t kPMuxClr = 0x104;
inline constexpr uint32_t kPMuxState = 0x108;
inline constexpr uint32_t kP3MuxSet = 0x110;
inline constexpr uint32_t kP3MuxClr = 0x114;
inline constexpr uint32_t kP3MuxState = 0x118;
// Outputs wired to the decoder, all active low.
inline constexpr uint32_t kXcs = 1u << 0;
inline constexpr uint32_t kXdcs = 1u << 1;
inline constexpr uint32_t kXreset = 1u << 2;
// Inputs: the decoder's DREQ and the RF receiver's four data bits.
inline constexpr uint32_t kDreq = 1u << 2;
inline constexpr uint32_t kRfBits[4] = {1u << 5, 1u << 7, 1u << 3, 1u << 22};
}  // namespace gpio

namespace clkpwr {
inline constexpr uint32_t kSspCtrl = 0x078;
inline constexpr uint32_t kSsp0ClockEnable = 1u << 0;
inline constexpr uint32_t kSsp0TxDma = 1u << 2;  // SSP0 transmit drives DMA request line 15
inline constexpr uint32_t kSsp0RxDma = 1u << 3;  // SSP0 receive drives DMA request line 14
}  // namespace clkpwr

namespace ssp {
inline constexpr uint32_t kCr0 = 0x00;
inline constexpr uint32_t kCr1 = 0x04;
inline constexpr uint32_t kDr = 0x08;
inline constexpr uint32_t kSr = 0x0C;
inline constexpr uint32_t kCpsr = 0x10;
inline constexpr uint32_t kImsc = 0x14;
inline constexpr uint32_t kRis = 0x18;
inline constexpr uint32_t kMis = 0x1C;
inline constexpr uint32_t kIcr = 0x20;
inline constexpr uint32_t kDmacr = 0x24;
// CR1
inline constexpr uint32_t kLbm = 1u << 0;
inline constexpr uint32_t kSse = 1u << 1;
inline constexpr uint32_t kMs = 1u << 2;
// SR
inline constexpr uint32_t kTfe = 1u << 0;
inline constexpr uint32_t kTnf = 1u << 1;
inline constexpr uint32_t kRne = 1u << 2;
inline constexpr uint32_t kRff = 1u << 3;
inline constexpr uint32_t kBsy = 1u << 4;
// RIS / MIS / IMSC / ICR
inline constexpr uint32_t kRor = 1u << 0;
inline constexpr uint32_t kRt = 1u << 1;
inline constexpr uint32_t kRx = 1u << 2;
inline constexpr uint32_t kTx = 1u << 3;
// DMACR
inline constexpr uint32_t kRxDmae = 1u << 0;
inline constexpr uint32_t kTxDmae = 1u << 1;
inline constexpr int kFifoDepth = 8;
}  // namespace ssp

namespace dma {
inline constexpr uint32_t kIntStatus = 0x000;
inline constexpr uint32_t kIntTcStatus = 0x004;
inline constexpr uint32_t kIntTcClear = 0x008;
inline constexpr uint32_t kIntErrorStatus = 0x00C;
inline constexpr uint32_t kIntErrClr = 0x010;
inline constexpr uint32_t kRawIntTcStatus = 0x014;
inline constexpr uint32_t kRawIntErrorStatus = 0x018;
inline constexpr uint32_t kEnbldChns = 0x01C;
inline constexpr uint32_t kConfiguration = 0x030;
inline constexpr uint32_t kChannelBase = 0x100;
inline constexpr uint32_t kChannelStride = 0x20;
// Per channel, from its base.
inline constexpr uint32_t kSrcAddr = 0x00;
inline constexpr uint32_t kDestAddr = 0x04;
inline constexpr uint32_t kLli = 0x08;
inline constexpr uint32_t kControl = 0x0C;
inline constexpr uint32_t kConfig = 0x10;
inline constexpr int kChannels = 8;
// Channel Config bits.
inline constexpr uint32_t kEnable = 1u << 0;
inline constexpr uint32_t kSrcPeripheralShift = 1;
inline constexpr uint32_t kDestPeripheralShift = 6;
inline constexpr uint32_t kPeripheralMask = 0xF;
inline constexpr uint32_t kFlowShift = 11;
inline constexpr uint32_t kFlowMask = 0x7;
inline constexpr uint32_t kErrorIntMask = 1u << 14;  // IE
inline constexpr uint32_t kTcIntMask = 1u << 15;     // ITC
inline constexpr uint32_t kHalt = 1u << 18;
// Flow control values (DMA controller as flow controller).
inline constexpr uint32_t kFlowM2M = 0;
inline constexpr uint32_t kFlowM2P = 1;
inline constexpr uint32_t kFlowP2M = 2;
// Channel Control bits.
inline constexpr uint32_t kTransferSizeMask = 0xFFF;
inline constexpr uint32_t kSrcWidthShift = 18;
inline constexpr uint32_t kDestWidthShift = 21;
inline constexpr uint32_t kWidthMask = 0x7;
inline constexpr uint32_t kSrcIncrement = 1u << 26;
inline constexpr uint32_t kDestIncrement = 1u << 27;
inline constexpr uint32_t kTcInterrupt = 1u << 31;  // I
// Request lines.
inline constexpr int kRequestSsp0Rx = 14;
inline constexpr int kRequestSsp0Tx = 15;
inline constexpr int kRequestLines = 16;
}  // namespace dma

namespace irq {
inline constexpr int kLines = 96;
inline constexpr int kDma = 28;
inline constexpr int kSsp0 = 20;
inline constexpr int kRfDetect = 90;
}  // namespace irq

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_REGISTERS_H
