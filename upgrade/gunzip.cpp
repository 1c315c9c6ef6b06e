// The gzip reader on zlib's inflate: one member, its CRC-32 and length
// checked by zlib against the trailer, nothing allowed after it.
#include "upgrade/gunzip.h"

#include <zlib.h>

#include <array>

namespace upgrade {
namespace {

constexpr size_t kChunk = 16384;
constexpr int kGzipOnly = 16 + MAX_WBITS;  // gzip header and trailer, no raw or zlib streams

// Owns a z_stream set up for inflating gzip.
class GzipStream {
public:
    GzipStream() { ready_ = inflateInit2(&z_, kGzipOnly) == Z_OK; }
    ~GzipStream() {
        if (ready_) inflateEnd(&z_);
    }
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;
    bool ready() const { return ready_; }
    z_stream& z() { return z_; }

private:
    z_stream z_{};
    bool ready_ = false;
};

// True when the source holds nothing more (a failed read counts as more:
// the archive cannot be vouched for).
bool SourceIsExhausted(const ByteSource& source) {
    uint8_t byte;
    return source(&byte, 1) == 0;
}

}  // namespace

GunzipResult Gunzip(const ByteSource& source, const ByteSink& sink) {
    GzipStream stream;
    if (!stream.ready()) return GunzipResult::kBad;
    z_stream& z = stream.z();
    std::array<uint8_t, kChunk> in{}, out{};
    for (;;) {
        if (z.avail_in == 0) {
            const ssize_t got = source(in.data(), in.size());
            if (got <= 0) return GunzipResult::kCut;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return GunzipResult::kBad;
        const size_t produced = out.size() - z.avail_out;
        if (produced > 0 && !sink(out.data(), produced)) return GunzipResult::kStopped;
        if (rc == Z_STREAM_END) return z.avail_in == 0 && SourceIsExhausted(source) ? GunzipResult::kOk : GunzipResult::kBad;
    }
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t count) {
    return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(count)));
}

}  // namespace upgrade
