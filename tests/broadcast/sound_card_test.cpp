// The simulated sound card as the program meets it through the seam: one
// user, the only format answered back, capture paced from the open with the
// exact signal, late reads counted, power-off ending a read.
#include <fcntl.h>
#include <linux/soundcard.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "tests/broadcast/card_on_board.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kFragment = 2048;
using Ms = std::chrono::duration<double, std::milli>;
constexpr Ms kFragmentTime{1000.0 * kFragment / 192000};

int16_t ToneSample(uint64_t frame) {
    const double phase = 2.0 * M_PI * static_cast<double>((frame * 1000) % 48000) / 48000.0;
    return static_cast<int16_t>(std::lround(8000 * std::sin(phase)));
}

int SetAndAnswer(int fd, unsigned long request, int value) {
    return board::Ioctl(fd, request, &value) == 0 ? value : -1;
}

TEST(SoundCard, PacedExactToneForOneUserLateReadsCountedPowerOffEndsARead) {
    brdtest::CardOnBoard b;
    ASSERT_TRUE(b.ready());
    ASSERT_EQ(b.Control({{"cmd", "dsp.source"}, {"tone", 1000}, {"amplitude", 8000}})["ok"], true);
    EXPECT_EQ(b.Control({{"cmd", "dsp.source"}, {"tone", 1000}, {"wav", "/mmc/a.wav"}})["ok"], false);
    EXPECT_EQ(b.Control({{"cmd", "dsp.source"}, {"wav", "/../etc/passwd"}})["ok"], false);

    const Clock::time_point beforeOpen = Clock::now();
    const int fd = board::Open("/dev/dsp", O_RDONLY);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(board::Open("/dev/dsp", O_RDONLY), -1);
    EXPECT_EQ(errno, EBUSY);
    // Whatever is asked, the card answers with the one format it does.
    EXPECT_EQ(SetAndAnswer(fd, SNDCTL_DSP_SETFMT, AFMT_U8), AFMT_S16_LE);
    EXPECT_EQ(SetAndAnswer(fd, SNDCTL_DSP_CHANNELS, 1), 2);
    EXPECT_EQ(SetAndAnswer(fd, SNDCTL_DSP_SPEED, 44100), 48000);
    EXPECT_EQ(SetAndAnswer(fd, SNDCTL_DSP_SETFRAGMENT, 0x0010000B), 0x0010000B);

    // Ten fragments: not before their time, and the tone's exact samples,
    // left then right, with no phase step between reads.
    std::vector<uint8_t> pcm(10 * kFragment);
    for (size_t at = 0; at < pcm.size(); at += kFragment)
        ASSERT_EQ(board::Read(fd, pcm.data() + at, kFragment), static_cast<ssize_t>(kFragment));
    EXPECT_GE(Ms(Clock::now() - beforeOpen), 10 * kFragmentTime);
    size_t wrong = 0;
    for (uint64_t frame = 0; frame < pcm.size() / 4; ++frame) {
        int16_t left, right;
        std::memcpy(&left, &pcm[frame * 4], 2);
        std::memcpy(&right, &pcm[frame * 4 + 2], 2);
        wrong += left != ToneSample(frame) || right != ToneSample(frame);
    }
    EXPECT_EQ(wrong, 0u);

    // Falling behind: the read is late, and the capture kept running
    // meanwhile, so the next fragments are there at once.
    const uint64_t lateBefore = b.DspStatus()["late_reads"];
    std::this_thread::sleep_for(5 * kFragmentTime);
    ASSERT_EQ(board::Read(fd, pcm.data(), kFragment), static_cast<ssize_t>(kFragment));
    EXPECT_EQ(b.DspStatus()["late_reads"], lateBefore + 1);
    const Clock::time_point catchUp = Clock::now();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(board::Read(fd, pcm.data(), kFragment), static_cast<ssize_t>(kFragment));
    EXPECT_LT(Ms(Clock::now() - catchUp), 3 * kFragmentTime);
    EXPECT_EQ(b.DspStatus()["bytes_read"], 14 * kFragment);

    // Close has released the card when it returns.
    EXPECT_EQ(b.DspStatus()["open"], true);
    EXPECT_EQ(board::Close(fd), 0);
    EXPECT_EQ(b.DspStatus()["open"], false);

    // A long read in flight ends with the power.
    const int again = board::Open("/dev/dsp", O_RDONLY);
    ASSERT_GE(again, 0);
    std::vector<uint8_t> big(65536);  // 341 ms of capture
    auto reading = std::async(std::launch::async, [&] {
        const ssize_t got = board::Read(again, big.data(), big.size());
        return got < 0 ? -errno : static_cast<int>(got);
    });
    std::this_thread::sleep_for(30ms);
    b.card().PowerOff();
    // Left to run, the read would have returned all its bytes.
    ASSERT_EQ(reading.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reading.get(), -EIO);
    board::Close(again);
}

}  // namespace
