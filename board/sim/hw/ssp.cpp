// PL022 register decoding and the byte exchange with the SPI device.
#include "board/sim/hw/ssp.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

bool Ssp::Running() const {
    return (clocks_->SspCtrl() & clkpwr::kSsp0ClockEnable) && (cr1_ & ssp::kSse) && !(cr1_ & ssp::kMs);
}

void Ssp::Shift() {
    while (Running() && !tx_.empty()) {
        const uint8_t out = tx_.front();
        tx_.pop_front();
        if ((cr0_ & 0x3F) != 0x07) ++stats_.misconfigured;  // DSS 8-bit, FRF SPI
        const uint8_t in = (cr1_ & ssp::kLbm) ? out : device_->Exchange(out);
        ++stats_.bytesClocked;
        if (rx_.size() >= ssp::kFifoDepth) {
            ++stats_.rxOverruns;
            latched_ |= ssp::kRor;
        } else {
            rx_.push_back(in);
        }
    }
    if (!rx_.empty()) latched_ |= ssp::kRt;  // nothing more arrives: the receive timeout fires
}

uint32_t Ssp::RawInterrupts() const {
    uint32_t ris = latched_;
    if (rx_.size() >= ssp::kFifoDepth / 2) ris |= ssp::kRx;
    if (tx_.size() <= ssp::kFifoDepth / 2) ris |= ssp::kTx;
    return ris;
}

uint32_t Ssp::Status() const {
    uint32_t sr = 0;
    if (tx_.empty()) sr |= ssp::kTfe;
    if (tx_.size() < ssp::kFifoDepth) sr |= ssp::kTnf;
    if (!rx_.empty()) sr |= ssp::kRne;
    if (rx_.size() >= ssp::kFifoDepth) sr |= ssp::kRff;
    if (!tx_.empty() && Running()) sr |= ssp::kBsy;
    return sr;
}

uint32_t Ssp::Read(uint32_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (offset) {
    case ssp::kCr0: return cr0_;
    case ssp::kCr1: return cr1_;
    case ssp::kDr: {
        if (rx_.empty()) return 0;
        uint8_t byte = rx_.front();
        rx_.pop_front();
        return byte;
    }
    case ssp::kSr: return Status();
    case ssp::kCpsr: return cpsr_;
    case ssp::kImsc: return imsc_;
    case ssp::kRis: return RawInterrupts();
    case ssp::kMis: return RawInterrupts() & imsc_;
    case ssp::kDmacr: return dmacr_;
    default: return 0;
    }
}

void Ssp::Write(uint32_t offset, uint32_t value) {
    bool request, interrupt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (offset) {
        case ssp::kCr0: cr0_ = value & 0xFFFF; break;
        case ssp::kCr1: cr1_ = value & 0xF; break;
        case ssp::kDr:
            if (tx_.size() >= ssp::kFifoDepth) ++stats_.txDropped;
            else tx_.push_back(static_cast<uint8_t>(value));
            break;
        case ssp::kCpsr: cpsr_ = value & 0xFE; break;  // even divisors only
        case ssp::kImsc: imsc_ = value & 0xF; break;
        case ssp::kIcr: latched_ &= ~(value & (ssp::kRor | ssp::kRt)); break;
        case ssp::kDmacr: dmacr_ = value & 0x3; break;
        default: break;
        }
        Shift();
        request = (offset == ssp::kCr1 || offset == ssp::kDmacr);
        interrupt = (RawInterrupts() & imsc_) != 0;
    }
    Notify(request, interrupt);
}

void Ssp::Notify(bool request, bool interrupt) {
    if (interrupt_) interrupt_(interrupt);
    if (request && requestChanged_) requestChanged_();
}

bool Ssp::TxDmaRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t ctrl = clocks_->SspCtrl();
    return (ctrl & clkpwr::kSsp0ClockEnable) && (ctrl & clkpwr::kSsp0TxDma) && (dmacr_ & ssp::kTxDmae) &&
           tx_.size() < ssp::kFifoDepth;
}

Ssp::Stats Ssp::GetStats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Ssp::PowerOn() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cr0_ = cr1_ = cpsr_ = imsc_ = dmacr_ = latched_ = 0;
        tx_.clear();
        rx_.clear();
        stats_ = Stats{};
    }
    Notify(false, false);
}

}  // namespace sim::hw
