// The decoder chip's SPI protocols, input buffer pacing, resets and audio out.
#include "board/sim/hw/vs1053.h"

#include <algorithm>
#include <utility>

#include "board/sim/hw/registers.h"

namespace sim::hw {
namespace {

constexpr uint16_t kModeDefault = 0x4800;    // SM_SDINEW | SM_LINE1
constexpr uint16_t kStatusDefault = 0x0040;  // chip version 4 (VS1053)
constexpr size_t kFeedChunk = 32;

}  // namespace

void Vs1053::ResetRegisters() {
    std::fill(std::begin(regs_), std::end(regs_), 0);
    regs_[kMode] = kModeDefault;
    regs_[kStatus] = kStatusDefault;
}

void Vs1053::Advance(Clock::time_point now) {
    if (drainRate_ <= 0) {
        fill_ = 0;
    } else if (now > drainedAt_) {
        const double seconds = std::chrono::duration<double>(now - drainedAt_).count();
        if (fill_ > 0 && fill_ <= seconds * drainRate_ && !starved_) ranDry_ = true;
        fill_ = std::max(0.0, fill_ - seconds * drainRate_);
    }
    // A byte clocked a moment before the last look must not drain twice.
    drainedAt_ = std::max(drainedAt_, now);
}

bool Vs1053::DreqAt(Clock::time_point now) {
    Advance(now);
    return xreset_ && !Booting(now) && now >= sciBusyUntil_ && !fault_ &&
           fill_ <= kBufferBytes - kDreqFreeBytes;
}

Vs1053::Clock::duration Vs1053::WriteTime(uint8_t reg) const {
    static constexpr double kMultiplier[8] = {1.0, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5, 5.0};  // CLOCKF SC_MULT
    const double seconds = reg == kClockF ? kClockFWriteXtali / kXtaliHz
                                          : kWriteClki / (kXtaliHz * kMultiplier[regs_[kClockF] >> 13]);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void Vs1053::FlushPending() {
    if (pending_.empty()) return;
    mp3_.Feed(pending_.data(), pending_.size(),
              [this](int rate, int channels, const uint8_t* pcm, size_t bytes) { OnPcm(rate, channels, pcm, bytes); });
    pending_.clear();
}

void Vs1053::OnPcm(int rate, int channels, const uint8_t* pcm, size_t bytes) {
    const uint64_t frames = bytes / (2 * static_cast<size_t>(channels));
    stats_.decodedSamples += frames;
    stats_.decodedSeconds += static_cast<double>(frames) / rate;
    streamSamples_ += frames;
    streamRate_ = rate;
    if (!wavCurrent_ || stats_.wavRate != rate || stats_.wavChannels != channels) {
        // A new stream (or a new format within one) starts the file afresh.
        wavCurrent_ = true;
        stats_.wavSamples = 0;
        stats_.wavRate = rate;
        stats_.wavChannels = channels;
        if (!wavPath_.empty()) wav_.Start(wavPath_, rate, channels);
    }
    stats_.wavSamples += frames;
    if (wav_.IsOpen()) wav_.Append(pcm, bytes);
}

void Vs1053::EndStream() {
    FlushPending();
    mp3_.Restart();
    scanner_.Reset();
    wavCurrent_ = false;
    streamSamples_ = 0;
    fill_ = 0;
    drainRate_ = 0;
    ranDry_ = starved_ = false;
    stats_.bitRate = 0;
}

void Vs1053::WriteRegister(uint8_t reg, uint16_t value, Clock::time_point now) {
    ++stats_.sciWrites;
    sciBusyUntil_ = now + WriteTime(reg & (kRegisters - 1));  // by the clock before the write
    if (reg == kMode) {
        if (value & kSmReset) {
            ++stats_.softwareResets;
            EndStream();
            bootUntil_ = now + kBootTime;
        } else if (value & kSmCancel) {
            ++stats_.cancels;
            EndStream();  // done at once: the bit reads back clear
        }
        value &= static_cast<uint16_t>(~(kSmReset | kSmCancel));
    }
    regs_[reg & (kRegisters - 1)] = value;
}

uint16_t Vs1053::ReadRegister(uint8_t reg) const {
    if (reg == kDecodeTime && streamRate_ > 0) return static_cast<uint16_t>(streamSamples_ / streamRate_);
    return regs_[reg & (kRegisters - 1)];
}

uint8_t Vs1053::SciByte(uint8_t mosi, Clock::time_point now) {
    if (sciIndex_ == 0 && !sciFaulted_ && !DreqAt(now)) {
        ++stats_.sciWhileDreqLow;
        sciFaulted_ = true;  // once for the command, however many of its bytes the chip misses
    }
    if (Booting(now)) {
        ++stats_.ignoredBytes;
        return 0;
    }
    const int index = sciIndex_;
    sci_[index] = mosi;
    sciIndex_ = (index + 1) % 4;  // XCS may stay low for the next command
    if (sciIndex_ == 0) sciFaulted_ = false;
    const uint8_t op = sci_[0], reg = sci_[1];
    if (op != kOpRead && op != kOpWrite) {
        sciIndex_ = 0;  // not a command: wait for the next
        return 0;
    }
    if (op == kOpRead && index >= 2) {
        const uint16_t value = ReadRegister(reg);
        if (index == 3) ++stats_.sciReads;
        return static_cast<uint8_t>(index == 2 ? value >> 8 : value);
    }
    if (op == kOpWrite && index == 3) WriteRegister(reg, static_cast<uint16_t>(sci_[2] << 8 | sci_[3]), now);
    return 0;
}

void Vs1053::SdiByte(uint8_t mosi, Clock::time_point now) {
    if (Booting(now)) {
        ++stats_.ignoredBytes;
        return;
    }
    Advance(now);
    if (fill_ + 1 > kBufferBytes) {
        ++stats_.overrunBytes;
        return;
    }
    ++stats_.sdiBytes;
    if (capture_) captured_.push_back(mosi);
    if (ranDry_ && drainRate_ > 0) {
        ++stats_.underruns;
        starved_ = true;  // one underrun until the buffer has filled again
    }
    ranDry_ = false;
    if (std::optional<MpegHeader> header = scanner_.Push(mosi)) {
        if (drainRate_ <= 0) fill_ = 3;  // the junk before the stream is gone; the header's first bytes wait
        drainRate_ = header->bitRate / 8.0;
        stats_.bitRate = header->bitRate;
    }
    fill_ += 1;
    if (fill_ >= kDreqFreeBytes) starved_ = false;
    pending_.push_back(mosi);
    if (pending_.size() >= kFeedChunk) FlushPending();
}

uint8_t Vs1053::Exchange(uint8_t mosi, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!xreset_) {
        ++stats_.ignoredBytes;
        return 0;
    }
    const bool sci = !xcs_, sdi = !xdcs_;
    if (sci && sdi) {
        ++stats_.busConflicts;
        return 0;
    }
    if (sci) return SciByte(mosi, now);
    if (sdi) {
        SdiByte(mosi, now);
        return 0;
    }
    ++stats_.unselectedBytes;
    if (lastSelect_ == Select::kSci) ++stats_.bytesAfterXcs;
    if (lastSelect_ == Select::kSdi) ++stats_.bytesAfterXdcs;
    return 0xFF;  // nobody drives MISO: the pull-up reads
}

void Vs1053::SetPins(uint32_t outputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = clock_->Now();
    const bool xcs = outputs & gpio::kXcs, xdcs = outputs & gpio::kXdcs, xreset = outputs & gpio::kXreset;
    if (xreset_ && !xreset) {  // into reset
        ++stats_.hardwareResets;
        resetTimes_.push_back(now);
        if (resetTimes_.size() > kResetHistory) resetTimes_.pop_front();
        EndStream();
        ResetRegisters();
        sciIndex_ = 0;
    }
    if (!xreset_ && xreset) bootUntil_ = now + kBootTime;  // out of reset: the chip boots
    if (xcs_ && !xcs) {  // a new SCI command
        sciIndex_ = 0;
        sciFaulted_ = false;
        lastSelect_ = Select::kSci;
    }
    if (xdcs_ && !xdcs) lastSelect_ = Select::kSdi;
    if (!xdcs_ && xdcs) FlushPending();                      // the end of an SDI write
    xcs_ = xcs;
    xdcs_ = xdcs;
    xreset_ = xreset;
}

bool Vs1053::Dreq() {
    std::lock_guard<std::mutex> lock(mutex_);
    return DreqAt(clock_->Now());
}

void Vs1053::SetDreqFault(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = on;
}

void Vs1053::CaptureSdi(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    capture_ = on;
}

std::vector<uint8_t> Vs1053::TakeSdiCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(captured_, {});
}

Vs1053::Stats Vs1053::GetStats() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = clock_->Now();
    const bool dreq = DreqAt(now);
    Stats s = stats_;
    s.wavSeconds = s.wavRate > 0 ? static_cast<double>(s.wavSamples) / s.wavRate : 0;
    s.wavPath = wavPath_;
    s.buffered = static_cast<int>(fill_ + 0.5);
    s.dreqFault = fault_;
    s.inReset = !xreset_;
    s.dreq = dreq;
    s.mode = regs_[kMode];
    s.clockf = regs_[kClockF];
    return s;
}

std::vector<Vs1053::Clock::time_point> Vs1053::HardwareResetTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {resetTimes_.begin(), resetTimes_.end()};
}

void Vs1053::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    EndStream();
    wav_.Close();
    ResetRegisters();
    xcs_ = xdcs_ = xreset_ = false;
    sciIndex_ = 0;
    bootUntil_ = {};
    sciBusyUntil_ = {};
    lastSelect_ = Select::kNone;
    resetTimes_.clear();
    const bool fault = fault_;
    stats_ = Stats{};
    fault_ = fault;
}

}  // namespace sim::hw
