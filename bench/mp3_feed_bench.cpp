// MP3 playback's feed against the stream it feeds, measured in one run.
//
// A 320 kbit/s MP3 (made at build time with lame) plays to its end through
// the real path on an in-process board: the play task, the ring, the card
// reader woken by the 10 ms fill timer, the seam, codecdrv on the emulated
// kernel and the VS1053b model, whose input buffer drains in real time at
// the stream's bit rate. The run must end with every byte at the chip and
// no underrun. The headroom is what the feed can move (one 4096-byte block
// per fill timer expiry, at the expiry rate seen in this run) over what the
// stream consumes (the bit rate the chip found in the stream's headers).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "board/board.h"
#include "mp3/mp3_feed.h"
#include "mp3/mp3_play.h"
#include "mp3/mp3_play_source.h"
#include "player/player_state.h"
#include "tests/mp3/decoder_on_board.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kCardPath[] = "/mmc/01bench/01tone320.mp3";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Sample {
    Clock::time_point at;
    uint64_t wakes;
};

}  // namespace

int main() {
    std::ifstream in(PATERM_FEED_MP3, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.empty()) {
        std::fprintf(stderr, "no MP3 at %s\n", PATERM_FEED_MP3);
        return 2;
    }

    mp3test::DecoderOnBoard board;
    if (!board.ready()) {
        std::fprintf(stderr, "board: %s\n", board.error().c_str());
        return 2;
    }
    board.TakeCapture();  // not kept: the bench counts bytes only
    ::mkdir(board.At("/mmc").c_str(), 0755);
    ::mkdir(board.At("/mmc/01bench").c_str(), 0755);
    std::ofstream(board.At(kCardPath), std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));

    const uint32_t queue = mp3test::StartRuntimeWithQueue();
    PlayerStateClear();
    if (Mp3PlayTaskStart() != 0) return 2;
    Mp3SetFileSource([] { return board::Open(kCardPath, O_RDONLY); });

    Mp3Fifo& ring = Mp3FifoRing();
    const Clock::time_point begin = Clock::now();
    const uint64_t wakesBefore = Mp3FeedStatsGet().wakes;
    Mp3Play();

    std::vector<Sample> wakes;  // each change of the expiry count
    int lowest = kMp3FifoSlots;  // fewest full slots while the file was still being read
    int bitRate = 0;
    bool ended = false;
    const Clock::time_point limit = begin + std::chrono::seconds(10 + file.size() / 20000);
    for (int pass = 0; Clock::now() < limit && !ended; ++pass) {
        const uint64_t w = Mp3FeedStatsGet().wakes;
        if (wakes.empty() ? w != wakesBefore : w != wakes.back().wakes) wakes.push_back({Clock::now(), w});
        if (ring.timer.load() != 0 && ring.reading.load() == 1 && Clock::now() - begin > 500ms) {
            const int level = (ring.writeIdx.load() - ring.readIdx.load() + kMp3FifoSlots) % kMp3FifoSlots;
            lowest = std::min(lowest, level);
        }
        if (pass % 200 == 100) bitRate = std::max(bitRate, board.Stats()["bit_rate"].get<int>());
        ended = mp3test::NextMessageType(queue, 5) == eSVC_MSG_TYPE_PLAY_END;
    }
    const double playSeconds = Seconds(Clock::now() - begin);
    Mp3Stop();

    const sim::Json stats = board.Stats();
    const uint64_t underruns = stats["underruns"].get<uint64_t>();
    const uint64_t received = stats["bytes_received"].get<uint64_t>();
    const uint64_t expected = file.size() + 2 * 1024;  // the driver's zeros at open and close
    const double consumed = bitRate / 8.0;              // bytes per second the chip takes
    const double expiries =
        wakes.size() < 2 ? 0 : (wakes.back().wakes - wakes.front().wakes) / Seconds(wakes.back().at - wakes.front().at);
    const double capacity = expiries * kMp3BlockBytes;
    const double headroom = consumed > 0 ? capacity / consumed : 0;

    std::printf("\n");  // after the play task's messages
    std::fflush(stdout);
    std::fprintf(stderr,
                 "mp3 feed: %zu bytes at %d bit/s played in %.2f s (audio %.2f s)\n"
                 "  chip: %llu of %llu bytes received, %llu underruns\n"
                 "  feed: %.1f fill expiries/s x %d bytes = %.0f bytes/s; stream takes %.0f bytes/s\n"
                 "  headroom %.2f (wanted >= 2); fewest full ring slots while reading: %d of %d\n",
                 file.size(), bitRate, playSeconds, consumed > 0 ? file.size() / consumed : 0.0,
                 static_cast<unsigned long long>(received), static_cast<unsigned long long>(expected),
                 static_cast<unsigned long long>(underruns), expiries, kMp3BlockBytes, capacity, consumed, headroom,
                 lowest, kMp3FifoSlots - 1);
    if (!ended) std::fprintf(stderr, "  FAIL: the file did not end\n");
    if (underruns != 0) std::fprintf(stderr, "  FAIL: the chip ran dry\n");
    if (received != expected) std::fprintf(stderr, "  FAIL: bytes lost or repeated\n");
    if (headroom < 2) std::fprintf(stderr, "  note: headroom below 2\n");
    return ended && underruns == 0 && received == expected ? 0 : 1;
}
