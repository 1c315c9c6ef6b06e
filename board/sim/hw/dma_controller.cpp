// PL080 registers, linked list items and the element mover.
#include "board/sim/hw/dma_controller.h"

namespace sim::hw {
namespace {

// Set on the thread that moves elements, so that a request raised by one of
// its own writes is noted instead of taking the lock again.
thread_local const DmaController* tlsPumping = nullptr;

// Elements one pump moves at most: a circular list must not hold a thread.
constexpr uint64_t kMaxElementsPerPump = 1u << 22;

uint32_t WidthBytes(uint32_t code) { return code == 0 ? 1 : code == 1 ? 2 : 4; }

bool InSdram(uint32_t address) { return address >= kSdramBase && address - kSdramBase < kSdramSize; }

}  // namespace

void DmaController::SetRequestLine(int line, std::function<bool()> active) {
    if (line >= 0 && line < dma::kRequestLines) requests_[line] = std::move(active);
}

uint32_t DmaController::TcStatus() const {
    uint32_t mask = 0;
    for (int i = 0; i < dma::kChannels; ++i)
        if (channels_[i].config & dma::kTcIntMask) mask |= 1u << i;
    return rawTc_ & mask;
}

uint32_t DmaController::ErrorStatus() const {
    uint32_t mask = 0;
    for (int i = 0; i < dma::kChannels; ++i)
        if (channels_[i].config & dma::kErrorIntMask) mask |= 1u << i;
    return rawError_ & mask;
}

void DmaController::UpdateInterrupt() {
    if (interrupt_) interrupt_((TcStatus() | ErrorStatus()) != 0);
}

uint32_t DmaController::Read(uint32_t offset) {
    if (tlsPumping == this) return 0;  // a transfer reading the controller: not modelled
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= dma::kChannelBase) {
        const uint32_t rel = offset - dma::kChannelBase;
        const int index = static_cast<int>(rel / dma::kChannelStride);
        if (index >= dma::kChannels) return 0;
        const Channel& c = channels_[index];
        switch (rel % dma::kChannelStride) {
        case dma::kSrcAddr: return c.src;
        case dma::kDestAddr: return c.dest;
        case dma::kLli: return c.lli;
        case dma::kControl: return c.control;
        case dma::kConfig: return c.config;
        default: return 0;
        }
    }
    switch (offset) {
    case dma::kIntStatus: return TcStatus() | ErrorStatus();
    case dma::kIntTcStatus: return TcStatus();
    case dma::kIntErrorStatus: return ErrorStatus();
    case dma::kRawIntTcStatus: return rawTc_;
    case dma::kRawIntErrorStatus: return rawError_;
    case dma::kConfiguration: return configuration_;
    case dma::kEnbldChns: {
        uint32_t enabled = 0;
        for (int i = 0; i < dma::kChannels; ++i)
            if (channels_[i].config & dma::kEnable) enabled |= 1u << i;
        return enabled;
    }
    default: return 0;
    }
}

void DmaController::Write(uint32_t offset, uint32_t value) {
    if (tlsPumping == this) {  // a transfer writing the controller: not modelled
        again_ = true;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= dma::kChannelBase) {
        const uint32_t rel = offset - dma::kChannelBase;
        const int index = static_cast<int>(rel / dma::kChannelStride);
        if (index >= dma::kChannels) return;
        Channel& c = channels_[index];
        switch (rel % dma::kChannelStride) {
        case dma::kSrcAddr: c.src = value; break;
        case dma::kDestAddr: c.dest = value; break;
        case dma::kLli: c.lli = value & ~3u; break;
        case dma::kControl:
            c.control = value;
            c.itemBytes = (value & dma::kTransferSizeMask) * WidthBytes((value >> dma::kSrcWidthShift) & dma::kWidthMask);
            break;
        case dma::kConfig: c.config = value & 0x7FFFF; break;
        default: return;
        }
        UpdateInterrupt();
        Pump();
        return;
    }
    switch (offset) {
    case dma::kIntTcClear: rawTc_ &= ~value; break;
    case dma::kIntErrClr: rawError_ &= ~value; break;
    case dma::kConfiguration:
        configuration_ = value & 0x7;
        Pump();
        break;
    default: return;
    }
    UpdateInterrupt();
}

void DmaController::Kick() {
    if (tlsPumping == this) {
        again_ = true;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Pump();
}

void DmaController::Pump() {
    tlsPumping = this;
    for (uint64_t n = 0; n < kMaxElementsPerPump; ++n) {
        Step step = StepOnce();
        if (step == Step::kMoved) continue;
        if (!again_) break;
        again_ = false;
    }
    tlsPumping = nullptr;
}

bool DmaController::Ready(const Channel& c) const {
    if (!(c.config & dma::kEnable) || (c.config & dma::kHalt)) return false;
    const uint32_t flow = (c.config >> dma::kFlowShift) & dma::kFlowMask;
    if (flow == dma::kFlowM2M) return true;
    if (flow != dma::kFlowM2P) return true;  // StepOnce fails what it does not model
    const auto& request = requests_[(c.config >> dma::kDestPeripheralShift) & dma::kPeripheralMask];
    return request && request();
}

bool DmaController::ReadElement(uint32_t address, uint32_t width, uint32_t* value) {
    if (!InSdram(address)) return width == 4 && bus_->Read32(address, value);
    uint32_t v = 0;
    for (uint32_t i = 0; i < width; ++i) {
        uint8_t byte = 0;
        if (!memory_->Read8(address + i, &byte)) return false;
        v |= static_cast<uint32_t>(byte) << (8 * i);
    }
    *value = v;
    return true;
}

bool DmaController::WriteElement(uint32_t address, uint32_t value) {
    if (InSdram(address)) return memory_->Write8(address, static_cast<uint8_t>(value));
    return bus_->Write32(address, value);
}

DmaController::Step DmaController::StepOnce() {
    if (!(configuration_ & 1)) return Step::kNone;
    for (int index = 0; index < dma::kChannels; ++index) {
        Channel& c = channels_[index];
        if (!(c.config & dma::kEnable)) continue;
        if (!Ready(c)) continue;
        const uint32_t flow = (c.config >> dma::kFlowShift) & dma::kFlowMask;
        if (flow != dma::kFlowM2P && flow != dma::kFlowM2M) {
            Fail(index);
            return Step::kMoved;
        }
        if ((c.control & dma::kTransferSizeMask) == 0) {
            FinishItem(index);
            return Step::kMoved;
        }
        const uint32_t width = WidthBytes((c.control >> dma::kSrcWidthShift) & dma::kWidthMask);
        uint32_t element = 0;
        const bool injected = failNext_ & (1u << index);
        failNext_ &= ~(1u << index);
        if (injected || !ReadElement(c.src, width, &element) || !WriteElement(c.dest, element)) {
            Fail(index);
            return Step::kMoved;
        }
        if (c.control & dma::kSrcIncrement) c.src += width;
        if (c.control & dma::kDestIncrement) c.dest += width;
        c.control = (c.control & ~dma::kTransferSizeMask) | ((c.control & dma::kTransferSizeMask) - 1);
        c.stats.bytes += width;
        if ((c.control & dma::kTransferSizeMask) == 0) FinishItem(index);
        return Step::kMoved;
    }
    return Step::kNone;
}

void DmaController::FinishItem(int index) {
    Channel& c = channels_[index];
    ++c.stats.items;
    c.stats.lastItemBytes = c.itemBytes;
    if (c.itemBytes > c.stats.maxItemBytes) c.stats.maxItemBytes = c.itemBytes;
    if (c.control & dma::kTcInterrupt) rawTc_ |= 1u << index;
    if (c.lli != 0) {
        uint32_t item[4];
        for (int i = 0; i < 4; ++i)
            if (!memory_->Read32(c.lli + 4 * i, &item[i])) return Fail(index);
        c.src = item[0];
        c.dest = item[1];
        c.lli = item[2] & ~3u;
        c.control = item[3];
        c.itemBytes =
            (item[3] & dma::kTransferSizeMask) * WidthBytes((item[3] >> dma::kSrcWidthShift) & dma::kWidthMask);
    } else {
        c.config &= ~dma::kEnable;
    }
    UpdateInterrupt();
}

void DmaController::Fail(int index) {
    Channel& c = channels_[index];
    ++c.stats.errors;
    c.config &= ~dma::kEnable;
    rawError_ |= 1u << index;
    UpdateInterrupt();
}

DmaController::ChannelStats DmaController::GetChannelStats(int channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel < 0 || channel >= dma::kChannels) return {};
    return channels_[channel].stats;
}

void DmaController::FailNextElement(int channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel >= 0 && channel < dma::kChannels) failNext_ |= 1u << channel;
}

void DmaController::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_ = {};
    configuration_ = rawTc_ = rawError_ = failNext_ = 0;
    again_ = false;
    UpdateInterrupt();
}

}  // namespace sim::hw
