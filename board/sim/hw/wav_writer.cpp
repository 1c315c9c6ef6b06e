// WAV header layout and appends.
#include "board/sim/hw/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace sim::hw {
namespace {

constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool WriteAt(int fd, const uint8_t* data, size_t len, off_t at) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

}  // namespace

bool WavWriter::Start(const std::string& path, int sampleRate, int channels) {
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd_) return false;
    sampleRate_ = sampleRate;
    channels_ = channels;
    dataBytes_ = 0;
    uint8_t h[kHeaderBytes] = {};
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, 36);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);  // fmt chunk size
    Put16(h + 20, 1);   // PCM
    Put16(h + 22, static_cast<uint32_t>(channels));
    Put32(h + 24, static_cast<uint32_t>(sampleRate));
    Put32(h + 28, static_cast<uint32_t>(sampleRate * channels * 2));  // bytes per second
    Put16(h + 32, static_cast<uint32_t>(channels * 2));               // block align
    Put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, 0);
    if (!WriteAt(fd_.Get(), h, sizeof h, 0)) {
        fd_.Reset();
        return false;
    }
    return true;
}

bool WavWriter::WriteSizes() {
    uint8_t riff[4], data[4];
    Put32(riff, static_cast<uint32_t>(36 + dataBytes_));
    Put32(data, static_cast<uint32_t>(dataBytes_));
    return WriteAt(fd_.Get(), riff, 4, 4) && WriteAt(fd_.Get(), data, 4, 40);
}

bool WavWriter::Append(const uint8_t* pcm, size_t bytes) {
    if (!fd_) return false;
    if (dataBytes_ + bytes > kMaxDataBytes) return false;
    if (!WriteAt(fd_.Get(), pcm, bytes, static_cast<off_t>(kHeaderBytes + dataBytes_))) return false;
    dataBytes_ += bytes;
    return WriteSizes();
}

}  // namespace sim::hw
