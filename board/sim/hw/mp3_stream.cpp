// libmpg123 in feed mode, with 16-bit output forced for every rate.
#include "board/sim/hw/mp3_stream.h"

#include <mpg123.h>

#include <mutex>

namespace sim::hw {
namespace {

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

}  // namespace

Mp3Stream::Mp3Stream() { Open(); }

Mp3Stream::~Mp3Stream() { Close(); }

void Mp3Stream::Open() {
    InitLibraryOnce();
    int error = 0;
    handle_ = mpg123_new(nullptr, &error);
    if (!handle_) return;
    mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(handle_);
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i) mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open_feed(handle_) != MPG123_OK) Close();
    sampleRate_ = channels_ = 0;
}

void Mp3Stream::Close() {
    if (!handle_) return;
    mpg123_close(handle_);
    mpg123_delete(handle_);
    handle_ = nullptr;
}

void Mp3Stream::Restart() {
    Close();
    Open();
}

void Mp3Stream::Feed(const uint8_t* data, size_t len, const PcmSink& sink) {
    if (!handle_ || len == 0) return;
    if (mpg123_feed(handle_, data, len) != MPG123_OK) return;
    for (;;) {
        off_t frame = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int rc = mpg123_decode_frame(handle_, &frame, &audio, &bytes);
        if (rc == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0, encoding = 0;
            mpg123_getformat(handle_, &rate, &channels, &encoding);
            sampleRate_ = static_cast<int>(rate);
            channels_ = channels;
            continue;
        }
        if (rc != MPG123_OK) return;  // needs more bytes (or skipped a bad frame)
        if (bytes > 0 && sampleRate_ > 0) sink(sampleRate_, channels_, audio, bytes);
    }
}

}  // namespace sim::hw
