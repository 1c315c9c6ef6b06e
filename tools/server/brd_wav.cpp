// Decoding the stream's frames into the WAV file, gaps as silence.
#include "tools/server/brd_wav.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace srvproto {
namespace {

constexpr size_t kFrameBytes = sizeof(BrdPcmFrame);
constexpr int64_t kFrameUnit = int64_t{kBrdFrameSamples} * 1000;  // one frame, in ms x rate

// Frames a pause between two arrivals stands for beyond the one that ended
// it, rounded to whole frames; never more than kMaxGapFillMs of them.
int64_t LostFrames(int64_t elapsedMs) {
    constexpr int64_t kMaxFrames = kMaxGapFillMs * kBrdSampleRate / kFrameUnit;
    const int64_t frames = (elapsedMs * kBrdSampleRate + kFrameUnit / 2) / kFrameUnit - 1;
    return std::clamp<int64_t>(frames, 0, kMaxFrames);
}

}  // namespace

int BrdWavRecorder::Open(const std::string& path, std::string* error) {
    path_ = path;
    const int codec = decoder_.Create();
    if (codec != 0) {
        *error = "opus decoder not created: error " + std::to_string(codec);
        return -1;
    }
    if (!wav_.Start(path, kBrdSampleRate, kBrdChannels)) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int BrdWavRecorder::Append(const BrdPcmFrame& pcm, std::string* error) {
    // WAV samples are little-endian whatever this machine is.
    std::array<uint8_t, kFrameBytes> bytes;
    for (size_t i = 0; i < pcm.size(); ++i) {
        const auto v = static_cast<uint16_t>(pcm[i]);
        bytes[2 * i] = static_cast<uint8_t>(v);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    if (wav_.Append(bytes.data(), bytes.size())) return 0;
    *error = "broadcast WAV " + path_ + " not written";
    return -1;
}

int BrdWavRecorder::FillGap(int64_t elapsedMs, std::string* error) {
    const BrdPcmFrame silence{};
    for (int64_t i = LostFrames(elapsedMs); i > 0; --i) {
        if (Append(silence, error) != 0) return -1;
        ++silent_;
    }
    return 0;
}

int BrdWavRecorder::OnFrame(const uint8_t* frame, size_t n, uint32_t brdId, int64_t nowMs, std::string* error) {
    if (!decoder_.Created()) {
        *error = "broadcast WAV " + path_ + " not open";
        return -1;
    }
    const bool gap = lastMs_ >= 0 && nowMs - lastMs_ > kBrdGapMs;
    if (gap && FillGap(nowMs - lastMs_, error) != 0) return -1;
    if (gap || (lastMs_ >= 0 && brdId != brdId_)) decoder_.Reset();
    lastMs_ = nowMs;
    brdId_ = brdId;
    BrdPcmFrame pcm;
    if (decoder_.Decode(frame, n, &pcm) < 0) {
        // Keeps the timing: a frame the codec refuses lasts as long as any other.
        ++refused_;
        ++silent_;
    } else {
        ++decoded_;
    }
    return Append(pcm, error);
}

std::string BrdWavRecorder::Figures() const {
    std::string text = "decoded to " + path_;
    if (refused_ != 0) text += " (" + std::to_string(refused_) + " frames undecodable)";
    return text;
}

}  // namespace srvproto
