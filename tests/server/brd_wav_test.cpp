// The broadcast recorder against the terminal's own encoding: frames of the
// system libopus, decoded by the self-built decoder, must come back as the
// tone that went in, channel by channel; pauses become silence of their
// length (capped), and a new broadcast decodes cleanly after one.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "tests/server/brd_tone.h"
#include "tools/server/brd_wav.h"

namespace {

std::vector<size_t> Range(size_t first, size_t end) {
    std::vector<size_t> frames(end - first);
    std::iota(frames.begin(), frames.end(), first);
    return frames;
}

TEST(BrdWav, TerminalEncodedToneComesBackWithPausesAsSilence) {
    const auto first = brdtone::EncodeTone(200, 7);
    const auto second = brdtone::EncodeTone(60, 8);  // a new broadcast: a new encoder
    ASSERT_EQ(first.size(), 200u);
    ASSERT_EQ(second.size(), 60u);
    for (const auto& p : first) ASSERT_EQ(p[6] | (p[7] << 8), 171);

    char path[] = "/tmp/paterm-brd-wav-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    srvproto::BrdWavRecorder rec;
    std::string error;
    ASSERT_EQ(rec.Open(path, &error), 0) << error;

    // Arrivals 32/3 ms apart; 500 ms without frames after the 100th (46
    // frames lost), an hour before the new broadcast (capped at 10 s).
    int64_t now = 1000;
    auto feed = [&](const brdtone::Bytes& p, uint32_t brdId, int64_t at) {
        ASSERT_EQ(rec.OnFrame(p.data() + 16, 171, brdId, at, &error), 0) << error;
    };
    for (int i = 0; i < 200; ++i) {
        now += i == 100 ? 500 : (i % 3 == 0 ? 10 : 11);
        feed(first[i], 7, now);
    }
    now += 3600 * 1000;
    for (int i = 0; i < 60; ++i) feed(second[i], 8, now += 11);
    // A frame the codec refuses keeps its place as silence.
    EXPECT_EQ(rec.OnFrame(first[0].data() + 16, 0, 8, now += 11, &error), 0);

    constexpr size_t kLost = 46, kCapped = 10000 * 48000 / 512000;
    EXPECT_EQ(rec.DecodedFrames(), 260u);
    EXPECT_EQ(rec.SilentFrames(), kLost + kCapped + 1);
    EXPECT_NE(rec.Figures().find("(1 frames undecodable)"), std::string::npos) << rec.Figures();

    // The file as it stands, without closing: its header is valid already.
    const brdtone::Wav wav = brdtone::ReadWav(path);
    ASSERT_TRUE(wav.ok);
    ASSERT_EQ(wav.Frames(), 260 + kLost + kCapped + 1);
    const size_t resumed = 100 + kLost, next = 200 + kLost + kCapped;
    for (size_t f = 0; f < wav.Frames(); ++f) {
        const bool silent = (f >= 100 && f < resumed) || (f >= 200 + kLost && f < next) || f == wav.Frames() - 1;
        ASSERT_EQ(wav.SilentFrame(f), silent) << "frame " << f;
    }
    // The codec needs a few frames to settle; continuous tone across the pause.
    brdtone::ExpectTone(wav, Range(4, 100), "before the pause");
    brdtone::ExpectTone(wav, Range(next + 4, next + 60), "new broadcast");
    std::remove(path);
}

}  // namespace
