// PL022 register decoding, the shift register's time line and the byte
// exchange with the SPI device.
#include "board/sim/hw/ssp.h"

#include <algorithm>
#include <utility>

#include "board/sim/hw/registers.h"

namespace sim::hw {
namespace {

// Set on the shifter thread while it replays the moment a byte was due: the
// accesses it makes (and the DMA's, on the same thread) happen then.
thread_local const Ssp* tlsReplaying = nullptr;
thread_local ModelClock::time_point tlsReplayAt{};

// Bytes one wake of the shifter replays at most, so a late wake cannot hold it.
constexpr int kMaxReplay = 4096;

}  // namespace

Ssp::Ssp(const ClockPower* clocks, SpiDevice* device, const ModelClock* clock)
    : clocks_(clocks), device_(device), clock_(clock), shifter_([this] { Shifter(); }) {}

Ssp::~Ssp() { Stop(); }

void Ssp::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (shifter_.joinable()) shifter_.join();
}

bool Ssp::Running() const {
    return (clocks_->SspCtrl() & clkpwr::kSsp0ClockEnable) && (cr1_ & ssp::kSse) && !(cr1_ & ssp::kMs);
}

std::chrono::nanoseconds Ssp::Frame() const {
    const uint64_t bits = (cr0_ & 0xF) + 1;
    const uint64_t scr = (cr0_ >> 8) & 0xFF;
    const uint64_t prescale = std::max<uint32_t>(cpsr_, 2);  // 0 is not a valid divisor: the smallest one
    const uint64_t hz = std::max<uint32_t>(inputHz_, 1);
    return std::chrono::nanoseconds(bits * prescale * (scr + 1) * 1000000000ull / hz);
}

std::chrono::nanoseconds Ssp::FrameTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Frame();
}

void Ssp::ClockOut(uint8_t out, time_point at) {
    if ((cr0_ & 0x3F) != 0x07) ++stats_.misconfigured;  // DSS 8-bit, FRF SPI
    const uint8_t in = (cr1_ & ssp::kLbm) ? out : device_->Exchange(out, at);
    ++stats_.bytesClocked;
    if (rx_.size() >= ssp::kFifoDepth) {
        ++stats_.rxOverruns;
        latched_ |= ssp::kRor;
    } else {
        rx_.push_back(in);
    }
}

Ssp::time_point Ssp::Now() const {
    if (tlsReplaying != this) return clock_->Now();
    return std::max(tlsReplayAt, horizon_);  // never before what someone has seen
}

bool Ssp::AdvanceTo(time_point now) {
    horizon_ = std::max(horizon_, now);
    bool freed = false;
    for (;;) {
        if (shifting_) {
            if (shiftEnd_ > now) break;
            shifting_ = false;
            freeFrom_ = shiftEnd_;
            ClockOut(shiftByte_, shiftEnd_);
        }
        if (tx_.empty() || !Running()) break;
        const Waiting next = tx_.front();
        tx_.pop_front();
        freed = true;
        shifting_ = true;
        shiftByte_ = next.byte;
        shiftEnd_ = std::max(next.entered, freeFrom_) + Frame();
        wake_.notify_one();  // the shifter's next deadline
    }
    if (!rx_.empty() && !shifting_) latched_ |= ssp::kRt;  // nothing more arrives: the receive timeout fires
    return freed;
}

bool Ssp::CatchUp(time_point now) {
    const bool freed = AdvanceTo(now);
    return std::exchange(requestPending_, false) || freed;
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
    if (shifting_ || (!tx_.empty() && Running())) sr |= ssp::kBsy;
    return sr;
}

uint32_t Ssp::Read(uint32_t offset) {
    uint32_t value = 0;
    bool freed, interrupt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        freed = CatchUp(Now());
        switch (offset) {
        case ssp::kCr0: value = cr0_; break;
        case ssp::kCr1: value = cr1_; break;
        case ssp::kDr:
            if (!rx_.empty()) {
                value = rx_.front();
                rx_.pop_front();
            }
            break;
        case ssp::kSr: value = Status(); break;
        case ssp::kCpsr: value = cpsr_; break;
        case ssp::kImsc: value = imsc_; break;
        case ssp::kRis: value = RawInterrupts(); break;
        case ssp::kMis: value = RawInterrupts() & imsc_; break;
        case ssp::kDmacr: value = dmacr_; break;
        default: break;
        }
        interrupt = (RawInterrupts() & imsc_) != 0;
    }
    Notify(freed, interrupt);
    return value;
}

void Ssp::Write(uint32_t offset, uint32_t value) {
    bool request, interrupt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const time_point now = Now();
        request = CatchUp(now);  // what was due happened under the old settings
        const bool wasRunning = Running();
        switch (offset) {
        case ssp::kCr0: cr0_ = value & 0xFFFF; break;
        case ssp::kCr1: cr1_ = value & 0xF; break;
        case ssp::kDr:
            if (tx_.size() >= ssp::kFifoDepth) ++stats_.txDropped;
            else tx_.push_back({static_cast<uint8_t>(value), now});
            break;
        case ssp::kCpsr: cpsr_ = value & 0xFE; break;  // even divisors only
        case ssp::kImsc: imsc_ = value & 0xF; break;
        case ssp::kIcr: latched_ &= ~(value & (ssp::kRor | ssp::kRt)); break;
        case ssp::kDmacr: dmacr_ = value & 0x3; break;
        default: break;
        }
        if (!wasRunning && Running()) freeFrom_ = std::max(freeFrom_, now);  // waiting bytes start now
        AdvanceTo(now);
        request = request || offset == ssp::kCr1 || offset == ssp::kDmacr;
        interrupt = (RawInterrupts() & imsc_) != 0;
    }
    Notify(request, interrupt);
}

void Ssp::Notify(bool request, bool interrupt) {
    if (interrupt_) interrupt_(interrupt);
    if (request && requestChanged_) requestChanged_();
}

bool Ssp::TxDmaRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    AdvanceTo(Now());  // the caller is the DMA controller: it looks again by itself
    const uint32_t ctrl = clocks_->SspCtrl();
    return (ctrl & clkpwr::kSsp0ClockEnable) && (ctrl & clkpwr::kSsp0TxDma) && (dmacr_ & ssp::kTxDmae) &&
           tx_.size() < ssp::kFifoDepth;
}

void Ssp::AtInstant(const std::function<void()>& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The DMA is not woken here: a select line may be changing under the
    // GPIO block's lock. Room that came free is told at the next access,
    // or by the shifter thread at once: this access may have clocked out
    // every waiting byte, and then no byte's end would tell it.
    if (AdvanceTo(Now())) {
        requestPending_ = true;
        wake_.notify_one();
    }
    fn();
}

void Ssp::Settle() {
    bool freed, interrupt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        freed = CatchUp(Now());
        interrupt = (RawInterrupts() & imsc_) != 0;
    }
    Notify(freed, interrupt);
}

void Ssp::Shifter() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (requestPending_ && !clock_->Manual()) {
            lock.unlock();
            Settle();
            lock.lock();
            continue;
        }
        if (!shifting_ || clock_->Manual()) {
            wake_.wait(lock);  // a stepped clock moves only under the test's own accesses
            continue;
        }
        const time_point due = shiftEnd_;
        if (ModelClock::Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        lock.unlock();
        Replay(ModelClock::Clock::now());
        lock.lock();
    }
}

// The shifter wakes late (the host's timers are coarse). Rather than let
// the FIFO run dry until then, it replays each byte's end in turn: the byte
// reaches the device, and the DMA, asked for more at that moment, refills
// the FIFO then, as it would have on time.
void Ssp::Replay(time_point until) {
    for (int i = 0; i < kMaxReplay; ++i) {
        time_point at;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!shifting_ || shiftEnd_ > until) break;
            at = shiftEnd_;
        }
        tlsReplaying = this;
        tlsReplayAt = at;
        Settle();
        tlsReplaying = nullptr;
    }
    Settle();
}

void Ssp::SetInputClock(uint32_t hz) {
    std::lock_guard<std::mutex> lock(mutex_);
    AdvanceTo(Now());
    inputHz_ = hz;
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
        shifting_ = false;
        requestPending_ = false;
        freeFrom_ = {};
        stats_ = Stats{};
    }
    Notify(false, false);
}

}  // namespace sim::hw
