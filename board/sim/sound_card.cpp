// The sound card model, its device sessions, its sources and its backdoor
// commands.
#include "board/sim/sound_card.h"

#include <fcntl.h>
#include <linux/soundcard.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <optional>
#include <utility>

#include "board/sim/path_map.h"

namespace sim {
namespace {

constexpr int kMinFragmentShift = 4;   // 16 bytes
constexpr int kMaxFragmentShift = 15;  // 32 KiB
constexpr int kMinFragments = 2;
constexpr size_t kMaxBufferBytes = 256 * 1024;
constexpr int kDefaultAmplitude = 8000;
constexpr int kDefaultFaultErrno = EIO;
constexpr size_t kMaxWavBytes = 64 * 1024 * 1024;
constexpr double kPi = 3.14159265358979323846;

// ---- the signal -------------------------------------------------------------

// The tone's sample at frame n, from the exact frame index: no phase error
// grows over a long capture.
int16_t ToneAt(const SoundCard::Source& source, uint64_t n) {
    const uint64_t step = (n * static_cast<uint64_t>(source.toneHz)) % SoundCard::kRate;
    const double value = source.amplitude * std::sin(2.0 * kPi * static_cast<double>(step) / SoundCard::kRate);
    return static_cast<int16_t>(std::lround(value));
}

// The source with one period of its tone tabled (at most kRate frames).
std::shared_ptr<const SoundCard::Source> WithTonePeriod(std::shared_ptr<const SoundCard::Source> source) {
    if (!source || source->kind != SoundCard::Source::Kind::kTone || !source->tonePeriod.empty() ||
        source->toneHz <= 0)
        return source;
    auto tabled = std::make_shared<SoundCard::Source>(*source);
    const int period = SoundCard::kRate / std::gcd(source->toneHz, SoundCard::kRate);
    tabled->tonePeriod.resize(static_cast<size_t>(period));
    for (int n = 0; n < period; ++n) tabled->tonePeriod[static_cast<size_t>(n)] = ToneAt(*source, static_cast<uint64_t>(n));
    return tabled;
}

// Left and right of frame n of the source.
void FrameAt(const SoundCard::Source& source, uint64_t n, int16_t out[2]) {
    using Kind = SoundCard::Source::Kind;
    out[0] = out[1] = 0;
    if (source.kind == Kind::kTone) {
        out[0] = out[1] = source.tonePeriod.empty() ? ToneAt(source, n)
                                                    : source.tonePeriod[n % source.tonePeriod.size()];
    } else if (source.kind == Kind::kWav && !source.frames.empty()) {
        const size_t at = static_cast<size_t>(n % (source.frames.size() / 2)) * 2;
        out[0] = source.frames[at];
        out[1] = source.frames[at + 1];
    }
}

// count bytes of the capture from byte offset on (S16_LE, left first).
void Fill(const SoundCard::Source& source, uint64_t offset, uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        const uint64_t byte = offset + done;
        int16_t frame[2];
        FrameAt(source, byte / SoundCard::kFrameBytes, frame);
        const uint8_t bytes[SoundCard::kFrameBytes] = {
            static_cast<uint8_t>(frame[0] & 0xFF), static_cast<uint8_t>((frame[0] >> 8) & 0xFF),
            static_cast<uint8_t>(frame[1] & 0xFF), static_cast<uint8_t>((frame[1] >> 8) & 0xFF)};
        const size_t within = static_cast<size_t>(byte % SoundCard::kFrameBytes);
        const size_t take = std::min(SoundCard::kFrameBytes - within, count - done);
        std::memcpy(out + done, bytes + within, take);
        done += take;
    }
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

// A RIFF/WAVE file of 16-bit PCM at 48000 Hz, 1 or 2 channels, as stereo
// frames; null with the reason otherwise.
std::shared_ptr<SoundCard::Source> LoadWav(const std::string& hostPath, std::string* why) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(hostPath, error)) {
        *why = "no such file";
        return nullptr;
    }
    if (std::filesystem::file_size(hostPath, error) > kMaxWavBytes) {
        *why = "larger than 64 MiB";
        return nullptr;
    }
    std::ifstream in(hostPath, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof()) {
        *why = "cannot read the file";
        return nullptr;
    }
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        *why = "not a RIFF/WAVE file";
        return nullptr;
    }
    int channels = 0;
    bool formatOk = false;
    size_t dataAt = 0, dataLen = 0;
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t len = Le32(b, at + 4);
        const size_t body = at + 8;
        if (len > b.size() - body) break;  // a truncated chunk ends the walk
        if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && len >= 16) {
            channels = Le16(b, body + 2);
            formatOk = Le16(b, body) == 1 && (channels == 1 || channels == 2) &&
                       Le32(b, body + 4) == static_cast<uint32_t>(SoundCard::kRate) && Le16(b, body + 14) == 16;
        } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
            dataAt = body;
            dataLen = len;
        }
        at = body + len + (len & 1);
    }
    if (!formatOk) {
        *why = "not 16-bit PCM at 48000 Hz with 1 or 2 channels";
        return nullptr;
    }
    const size_t frameBytes = static_cast<size_t>(channels) * 2;
    const size_t frames = dataLen / frameBytes;
    if (frames == 0) {
        *why = "no audio data";
        return nullptr;
    }
    auto source = std::make_shared<SoundCard::Source>();
    source->kind = SoundCard::Source::Kind::kWav;
    source->frames.resize(frames * 2);
    for (size_t f = 0; f < frames; ++f) {
        const size_t at = dataAt + f * frameBytes;
        source->frames[2 * f] = static_cast<int16_t>(Le16(b, at));
        source->frames[2 * f + 1] = static_cast<int16_t>(Le16(b, channels == 2 ? at + 2 : at));
    }
    return source;
}

Json SourceJson(const SoundCard::Source& source) {
    switch (source.kind) {
    case SoundCard::Source::Kind::kTone:
        return Json{{"kind", "tone"}, {"hz", source.toneHz}, {"amplitude", source.amplitude}};
    case SoundCard::Source::Kind::kWav:
        return Json{{"kind", "wav"}, {"path", source.wavPath}, {"frames", source.frames.size() / 2}};
    default:
        return Json{{"kind", "silence"}};
    }
}

// ---- the bus side -------------------------------------------------------------

class SoundCardSession : public DeviceSession {
public:
    SoundCardSession(SoundCard* model, uint64_t id) : model_(model), id_(id) {}
    IoResult Read(uint8_t* buf, size_t count) override { return model_->Read(id_, buf, count); }
    IoResult Ioctl(unsigned long request, uint64_t, std::vector<uint8_t>* arg) override {
        return model_->Ioctl(id_, request, arg);
    }
    void Release() override { model_->Release(id_); }

private:
    SoundCard* model_;
    uint64_t id_;
};

class SoundCardDevice : public Device {
public:
    explicit SoundCardDevice(SoundCard* model) : model_(model) {}
    OpenResult Open(int flags) override {
        IoResult opened = model_->Open(flags);
        if (opened.error) return OpenResult::Failed(opened.error);
        OpenResult result;
        result.session = std::make_unique<SoundCardSession>(model_, static_cast<uint64_t>(opened.value));
        return result;
    }

private:
    SoundCard* model_;
};

const char* RequestName(unsigned long request) {
    switch (request) {
    case SNDCTL_DSP_SETFMT: return "SNDCTL_DSP_SETFMT";
    case SNDCTL_DSP_CHANNELS: return "SNDCTL_DSP_CHANNELS";
    case SNDCTL_DSP_STEREO: return "SNDCTL_DSP_STEREO";
    case SNDCTL_DSP_SPEED: return "SNDCTL_DSP_SPEED";
    case SNDCTL_DSP_SETFRAGMENT: return "SNDCTL_DSP_SETFRAGMENT";
    default: return "?";
    }
}

}  // namespace

SoundCard::SoundCard(std::string rootDir, OpLog* log)
    : rootDir_(std::move(rootDir)), log_(log), source_(std::make_shared<Source>()) {}

void SoundCard::Attach(DeviceRegistry& devices, ControlRegistry& controls) {
    devices.Add("/dev/dsp", std::make_shared<SoundCardDevice>(this));
    controls.Add("dsp.source", [this](const Json& request) { return SourceCommand(request); });
    controls.Add("dsp.fault", [this](const Json& request) { return FaultCommand(request); });
}

bool SoundCard::Current(uint64_t session) const { return !poweredOff_ && session != 0 && session == session_; }

SoundCard::Clock::time_point SoundCard::Deadline(uint64_t byte) const {
    // byte / 192000 s = byte * 15625 / 3 ns, exact in integers.
    return openedAt_ + std::chrono::nanoseconds(static_cast<int64_t>(byte) * 15625 / 3);
}

// The hardware keeps only the buffer's worth of capture: what the program
// did not take in time is overwritten, in whole frames.
void SoundCard::TakeOverrun(Clock::time_point now) {
    const int64_t elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now - openedAt_).count();
    const uint64_t captured = static_cast<uint64_t>(elapsedNs) * 3 / 15625;
    const uint64_t buffer = static_cast<uint64_t>(fragments_) << fragmentShift_;
    if (captured <= position_ + buffer) return;
    uint64_t lost = captured - position_ - buffer;
    lost -= lost % kFrameBytes;
    position_ += lost;
    counters_.overrunBytes += lost;
}

IoResult SoundCard::Open(int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poweredOff_) return IoResult::Failed(ENODEV);
    int refusal = 0;
    if (faultErrno_ != 0) refusal = faultErrno_;
    else if ((flags & O_ACCMODE) != O_RDONLY) refusal = EINVAL;  // capture only
    else if (session_ != 0) refusal = EBUSY;
    if (refusal != 0) {
        ++counters_.failedOpens;
        return IoResult::Failed(refusal);
    }
    session_ = ++lastSession_;
    ++counters_.opens;
    openedAt_ = Clock::now();
    position_ = 0;
    reading_ = false;
    fragmentShift_ = kDefaultFragmentShift;
    fragments_ = kDefaultFragments;
    return IoResult::Done(static_cast<long>(session_));
}

IoResult SoundCard::Read(uint64_t session, uint8_t* buf, size_t count) {
    std::shared_ptr<const Source> source;
    uint64_t from = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!Current(session)) return IoResult::Failed(poweredOff_ ? EIO : EBADF);
        if (count == 0) return IoResult::Done(0);
        reading_ = true;
        const Clock::time_point now = Clock::now();
        const auto fragment = std::chrono::nanoseconds((int64_t{1} << fragmentShift_) * 15625 / 3);
        if (now > Deadline(position_ + count) + fragment) ++counters_.lateReads;
        TakeOverrun(now);
        const Clock::time_point due = Deadline(position_ + count);
        wake_.wait_until(lock, due, [&] { return !Current(session); });
        if (!Current(session)) return IoResult::Failed(EIO);
        from = position_;
        position_ += count;
        counters_.bytesRead += count;
        source = source_;
    }
    Fill(*source, from, buf, count);
    return IoResult::Done(static_cast<long>(count));
}

IoResult SoundCard::Ioctl(uint64_t session, unsigned long request, std::vector<uint8_t>* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Current(session)) return IoResult::Failed(poweredOff_ ? EIO : EBADF);
    int asked = 0;
    int answer = 0;
    switch (request) {
    case SNDCTL_DSP_SETFMT: answer = AFMT_S16_LE; break;
    case SNDCTL_DSP_CHANNELS: answer = kChannels; break;
    case SNDCTL_DSP_STEREO: answer = 1; break;
    case SNDCTL_DSP_SPEED: answer = kRate; break;
    case SNDCTL_DSP_GETBLKSIZE:
        WriteIntArg(arg, 1 << fragmentShift_);
        return IoResult::Done(0);
    case SNDCTL_DSP_SETFRAGMENT: {
        if (!ReadIntArg(*arg, &asked)) return IoResult::Failed(EFAULT);
        if (reading_) return IoResult::Failed(EINVAL);  // fixed once capture runs
        const int shift = std::clamp(asked & 0xFFFF, kMinFragmentShift, kMaxFragmentShift);
        const int most = static_cast<int>(kMaxBufferBytes >> shift);
        fragmentShift_ = shift;
        fragments_ = std::clamp((asked >> 16) & 0x7FFF, kMinFragments, most);
        answer = (fragments_ << 16) | fragmentShift_;
        break;
    }
    default:
        return IoResult::Failed(ENOTTY);
    }
    if (request != SNDCTL_DSP_SETFRAGMENT && !ReadIntArg(*arg, &asked)) return IoResult::Failed(EFAULT);
    WriteIntArg(arg, answer);
    char detail[96];
    std::snprintf(detail, sizeof detail, "/dev/dsp %s 0x%x -> 0x%x", RequestName(request), asked, answer);
    log_->Add(LogKind::kIoctl, detail);
    return IoResult::Done(0);
}

void SoundCard::Release(uint64_t session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Current(session)) return;  // the old program's session, cut at power-off
    session_ = 0;
    wake_.notify_all();
}

// ---- the backdoor -------------------------------------------------------------

void SoundCard::SetSource(std::shared_ptr<const Source> source) {
    source = WithTonePeriod(std::move(source));  // outside the lock: reads go on meanwhile
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
}

void SoundCard::SetFault(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultErrno_ = error;
}

SoundCard::Status SoundCard::GetStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Status s = counters_;
    s.open = session_ != 0;
    s.faultErrno = faultErrno_;
    return s;
}

void SoundCard::AddStatus(Json& status) const {
    const Status s = GetStatus();
    Json source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = SourceJson(*source_);
    }
    status["dsp"] = Json{{"open", s.open},
                         {"source", std::move(source)},
                         {"opens", s.opens},
                         {"failed_opens", s.failedOpens},
                         {"bytes_read", s.bytesRead},
                         {"late_reads", s.lateReads},
                         {"overrun_bytes", s.overrunBytes},
                         {"fault_errno", s.faultErrno}};
}

ControlReply SoundCard::SourceCommand(const Json& request) {
    auto source = std::make_shared<Source>();
    const bool tone = request.contains("tone"), wav = request.contains("wav");
    const bool silence = request.contains("silence");
    if (tone + wav + silence != 1) return ControlError("give one of \"tone\", \"wav\" or \"silence\"");
    if (tone) {
        const auto hz = IntegerArg(request, "tone", 1, kRate / 2 - 1, std::nullopt);
        if (!hz) return ControlError("\"tone\" must be 1..23999 (Hz)");
        const auto amplitude = IntegerArg(request, "amplitude", 0, 32767, kDefaultAmplitude);
        if (!amplitude) return ControlError("\"amplitude\" must be 0..32767");
        source->kind = Source::Kind::kTone;
        source->toneHz = static_cast<int>(*hz);
        source->amplitude = static_cast<int>(*amplitude);
    } else if (wav) {
        const Json& path = request["wav"];
        if (!path.is_string() || path.get<std::string>().empty() || path.get<std::string>()[0] != '/' ||
            HasDotDotComponent(path.get<std::string>()))
            return ControlError("\"wav\" must be an absolute path inside the board root, without \"..\"");
        const std::string terminalPath = NormalizeTerminalPath(path.get<std::string>());
        std::string why;
        std::shared_ptr<Source> loaded = LoadWav(MapUnderRoot(rootDir_, terminalPath), &why);
        if (!loaded) return ControlError(terminalPath + ": " + why);
        loaded->wavPath = terminalPath;
        source = std::move(loaded);
    } else if (request["silence"] != true) {
        return ControlError("\"silence\" must be true");
    }
    Json described = SourceJson(*source);
    SetSource(std::move(source));
    log_->Add(LogKind::kControl, "dsp.source " + described.dump());
    Json reply = ControlOk();
    reply["source"] = std::move(described);
    return reply;
}

ControlReply SoundCard::FaultCommand(const Json& request) {
    const auto error = IntegerArg(request, "errno", 0, 4095, kDefaultFaultErrno);
    if (!error) return ControlError("\"errno\" must be 0..4095 (0 clears the fault)");
    SetFault(static_cast<int>(*error));
    log_->Add(LogKind::kControl, *error != 0 ? "dsp.fault: opens of /dev/dsp fail with errno " + std::to_string(*error)
                                             : "dsp.fault cleared");
    Json reply = ControlOk();
    reply["fault_errno"] = *error;
    return reply;
}

// ---- power cycle ----------------------------------------------------------------

void SoundCard::PowerOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    poweredOff_ = true;
    session_ = 0;
    wake_.notify_all();
}

void SoundCard::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    poweredOff_ = false;
    session_ = 0;
    position_ = 0;
    reading_ = false;
    counters_ = Status{};
}

}  // namespace sim
