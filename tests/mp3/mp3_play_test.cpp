// MP3 playback to "/dev/vs10xx" on an in-process board: the bytes the
// decoder chip received, the end of a file, pause, stop, a card whose read
// hangs and a decoder that stops taking data.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "mp3/mp3_feed.h"
#include "mp3/mp3_play.h"
#include "mp3/mp3_play_source.h"
#include "player/player_state.h"
#include "tests/mp3/decoder_on_board.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Runs Mp3Stop on a thread of its own: how long it took, or a negative
// duration when it had not returned within the limit (the thread is then
// left blocked, and the test fails).
std::chrono::milliseconds TimedStop(std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    const auto begin = Clock::now();
    std::thread([done] {
        Mp3Stop();
        done->store(true);
    }).detach();
    if (!WaitFor([&] { return done->load(); }, limit)) return -1ms;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// What one playback leaves at the chip: the zeros of the driver's open, the
// file, the zeros after the close's cancel.
Bytes Played(const Bytes& file) { return Cat({Bytes(1024, 0), file, Bytes(1024, 0)}); }

class Mp3PlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board_.ready()) << board_.error();
        queue_ = mp3test::StartRuntimeWithQueue();
        PlayerStateClear();
        ASSERT_EQ(Mp3PlayTaskStart(), 0);
    }
    void TearDown() override {
        Mp3Stop();
        Mp3SetFileSource(nullptr);
    }

    // A file on the card; the player opens it through the seam.
    void UseFile(const Bytes& bytes) {
        ::mkdir(board_.At("/mmc").c_str(), 0755);
        ::mkdir(board_.At("/mmc/01test").c_str(), 0755);
        std::ofstream(board_.At("/mmc/01test/01tone.mp3"), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        Mp3SetFileSource([] { return board::Open("/mmc/01test/01tone.mp3", O_RDONLY); });
    }
    uint64_t Received() { return board_.Stats()["bytes_received"].get<uint64_t>(); }

    mp3test::DecoderOnBoard board_;
    uint32_t queue_ = 0;
};

// A short file ends at the first pre-fill slot past its end; a file of whole
// blocks ends at the slot after its last block. The chip gets each file
// exactly once, pausing writes nothing, resuming goes on where it was, and
// the ended file is not begun again while the stop is late.
TEST_F(Mp3PlayTest, FilesReachTheChipWholeOnceAndEndWithTheEndMessage) {
    const Bytes shortFile = mp3test::SilentStream(41760, 0);        // 10 blocks and 800 bytes
    const Bytes blockFile = mp3test::SilentStream(20 * 4096, 100);  // 20 whole blocks
    testing::internal::CaptureStdout();

    UseFile(shortFile);
    Mp3Play();
    EXPECT_EQ(mp3test::NextMessageType(queue_, 10000), eSVC_MSG_TYPE_PLAY_END);
    Mp3PlayTick();
    Mp3PlayTick();
    EXPECT_EQ(Mp3PlaySeconds(), 2u) << "still playing until the controller stops";
    std::this_thread::sleep_for(500ms);  // a late stop: longer than the task's restart pause
    Mp3Stop();
    EXPECT_EQ(Mp3IsPlaying(), 0);
    EXPECT_EQ(Mp3PlaySeconds(), 0u);
    EXPECT_TRUE(board_.TakeCapture() == Played(shortFile)) << "the short file, once";
    std::string out = testing::internal::GetCapturedStdout();
    const size_t over = out.find("Error:  read data is over, data len:0!\n");
    const size_t quit = out.find("data is error, quit the player, len:0\n");
    EXPECT_NE(over, std::string::npos) << out;
    EXPECT_NE(quit, std::string::npos) << out;
    EXPECT_LT(over, quit);

    testing::internal::CaptureStdout();
    UseFile(blockFile);
    Mp3Play();
    ASSERT_TRUE(WaitFor([&] { return Received() > 8 * 4096; }, 5000ms));
    Mp3SetPaused(1);
    std::this_thread::sleep_for(300ms);  // the write in progress ends
    const uint64_t paused = Received();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Received(), paused) << "nothing is written while paused";
    EXPECT_LT(paused, 1024u + blockFile.size());
    Mp3PlayTick();
    EXPECT_EQ(Mp3PlaySeconds(), 0u) << "paused time does not count";
    Mp3Play();  // only resumes: the file is not restarted
    EXPECT_EQ(Mp3IsPaused(), 0);
    EXPECT_EQ(mp3test::NextMessageType(queue_, 10000), eSVC_MSG_TYPE_PLAY_END);
    Mp3Stop();
    EXPECT_TRUE(board_.TakeCapture() == Played(blockFile)) << "the block file, once, in order";
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("data is error, quit the player, len:0\n"), std::string::npos) << out;
    EXPECT_EQ(board_.Stats()["overrun_bytes"].get<uint64_t>(), 0u);

    // Stopped already: no wait, the counter reset all the same.
    const auto took = TimedStop(1000ms);
    EXPECT_GE(took.count(), 0) << "Mp3Stop while stopped waited";
    EXPECT_LT(took, 100ms);
    EXPECT_EQ(mp3test::NextMessageType(queue_, 300), 0) << "one end message per file";
}

// A card whose read never returns (a pipe whose writer stalls) holds up
// neither the stop nor the timer task; the read that returns after the stop
// puts nothing into the ring, and the file is closed then.
TEST_F(Mp3PlayTest, StopReturnsWhileACardReadHangsAndTheLateReadLeavesTheRingAlone) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    // Whatever fails, the card answers at the end, so the stop in TearDown returns.
    struct CloseAtEnd {
        int fd;
        ~CloseAtEnd() { ::close(fd); }
    } writer{pipeFds[1]};
    ASSERT_GT(::fcntl(pipeFds[1], F_SETPIPE_SZ, 256 * 1024), 17 * 4096);
    const Bytes head = mp3test::SilentStream(17 * 4096);
    ASSERT_EQ(::write(pipeFds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
    const int readEnd = pipeFds[0];
    Mp3SetFileSource([readEnd] { return readEnd; });

    static std::atomic<uint32_t> ticks{0};
    uint32_t tickTimer = 0;  // a timer of the same service as the fill timer, as the watchdog's tick is
    auto tick = [](void*) { ticks.fetch_add(1); return 0; };
    ASSERT_EQ(VosTimerStart(100, &tickTimer, tick, nullptr, 0, 1), 0u);
    testing::internal::CaptureStdout();
    Mp3Play();
    // The 15 pre-fill blocks and 2 refills are played; the next read waits.
    ASSERT_TRUE(WaitFor([&] { return Received() >= 1024u + head.size(); }, 8000ms));
    const uint32_t ticksBefore = ticks.load();
    std::this_thread::sleep_for(500ms);
    EXPECT_GE(ticks.load(), ticksBefore + 3) << "the timer task was held up";

    const auto took = TimedStop(2000ms);
    ASSERT_GE(took.count(), 0) << "Mp3Stop hung with the card";
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(Mp3IsPlaying(), 0);
    VosTimerStop(tickTimer);

    Mp3Fifo& ring = Mp3FifoRing();
    const uint8_t writeIdx = ring.writeIdx.load();
    std::vector<uint8_t> full;
    for (const Mp3FifoSlot& s : ring.slots) full.push_back(s.full.load());
    const Mp3FeedStats before = Mp3FeedStatsGet();

    // The card answers at last.
    const Bytes tail = mp3test::SilentStream(4096, 50);
    ASSERT_EQ(::write(pipeFds[1], tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    pollfd hangup{pipeFds[1], 0, 0};
    EXPECT_EQ(::poll(&hangup, 1, 2000), 1) << "the reader did not close the file after its read";
    EXPECT_TRUE(hangup.revents & POLLERR);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ring.writeIdx.load(), writeIdx);
    for (size_t i = 0; i < ring.slots.size(); ++i) EXPECT_EQ(ring.slots[i].full.load(), full[i]) << "slot " << i;
    EXPECT_EQ(Mp3FeedStatsGet().blocks, before.blocks);

    EXPECT_TRUE(board_.TakeCapture() == Played(head)) << "what the card gave, once";
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("fifo is empty "), std::string::npos);
    EXPECT_EQ(mp3test::NextMessageType(queue_, 300), 0) << "a stop is not the end of the file";
}

// A decoder whose DREQ stays low: the driver gives the write up, playback
// ends with the end message like any failure, and the stop does not wait
// on the dead chip.
TEST_F(Mp3PlayTest, DeadDecoderEndsPlaybackAndTheStopReturns) {
    UseFile(mp3test::SilentStream(60 * 4096));
    testing::internal::CaptureStdout();
    Mp3Play();
    ASSERT_TRUE(WaitFor([&] { return Received() > 4 * 4096; }, 5000ms));
    EXPECT_EQ(board_.Control({{"cmd", "decoder.dreq_fault"}, {"on", true}})["ok"], true);
    EXPECT_EQ(mp3test::NextMessageType(queue_, 5000), eSVC_MSG_TYPE_PLAY_END);
    const auto took = TimedStop(2000ms);
    EXPECT_GE(took.count(), 0) << "Mp3Stop hung on the dead chip";
    EXPECT_LT(took, 500ms);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error:  write mp3 data error!"), std::string::npos) << out;
    EXPECT_GT(board_.Stats()["chip_resets"].get<uint64_t>(), 0u);
}

// With no file selected the attempt ends like a failed open.
TEST_F(Mp3PlayTest, NoSelectedFileEndsLikeAFailedOpen) {
    testing::internal::CaptureStdout();
    Mp3Play();
    EXPECT_EQ(mp3test::NextMessageType(queue_, 3000), eSVC_MSG_TYPE_PLAY_END);
    Mp3Stop();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error:  no mp3 file selected \n"), std::string::npos);
    EXPECT_TRUE(board_.TakeCapture().empty()) << "the decoder was opened";
}

}  // namespace
