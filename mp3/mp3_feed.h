// The MP3 feeder: the ring of 4096-byte blocks between the card and the
// play task, and the read session that fills it.
//
// The 10 ms fill timer runs on the timer task, which also drives the
// watchdog's tick, so it never reads the card itself: its callback only
// wakes the session's reader task, which runs Mp3FifoFill. A card read that
// hangs therefore holds up nothing but that reader, and stopping never
// waits for it: the session is finished (no fill touches the ring after
// that), and the reader closes the file when its read returns.
#ifndef PATERM_MP3_MP3_FEED_H
#define PATERM_MP3_MP3_FEED_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

constexpr int kMp3FifoSlots = 16;
constexpr int kMp3BlockBytes = 4096;
constexpr int kMp3PrefillSlots = kMp3FifoSlots - 1;

// One block. The full flag hands the slot over: the reader stores len and
// data before setting it (release), the play task reads them after seeing
// it (acquire), and the other way round when the task clears it.
struct Mp3FifoSlot {
    std::atomic<uint8_t> full{0};
    int32_t len = 0;  // result of the read that filled it
    std::array<uint8_t, kMp3BlockBytes> data{};
};

// Empty when readIdx == writeIdx, full when (writeIdx + 1) % 16 == readIdx.
struct Mp3Fifo {
    std::atomic<uint32_t> timer{0};   // the running fill timer; 0: none (play task)
    std::atomic<int> reading{0};      // 1 while the file may still deliver data
    std::atomic<uint8_t> writeIdx{0};  // next slot to fill (reader)
    std::atomic<uint8_t> readIdx{0};   // next slot to send (play task)
    std::array<Mp3FifoSlot, kMp3FifoSlots> slots;
};

// The one ring of the program.
Mp3Fifo& Mp3FifoRing(void);
// Empties the ring for a new file (play task, no session running).
void Mp3FifoReset(Mp3Fifo* ring);

// Counters of the feed since start, for measurements.
struct Mp3FeedStats {
    uint64_t wakes;   // fill timer expiries
    uint64_t blocks;  // blocks read into the ring after the pre-fill
    uint64_t bytes;   // bytes of those blocks
};
Mp3FeedStats Mp3FeedStatsGet(void);

// One file's reading: owns the file's descriptor from Start on.
class Mp3ReadSession {
public:
    // Hands fd to a reader task, which first pre-fills slots 0 to 14 (each
    // marked full with its read's result, whatever it is). nullptr when no
    // reader task could be had (fd closed then).
    static std::shared_ptr<Mp3ReadSession> Start(int fd, Mp3Fifo* ring);

    // True once the pre-fill is done; false as soon as keepWaiting says so.
    bool WaitPrefilled(const std::function<bool()>& keepWaiting);
    // One fill, at the next chance of the reader (fill timer's callback).
    void Wake();
    // Mp3FifoFill's work, on the reader task.
    void Fill();
    // After this returns no fill touches the ring. The file is closed by
    // then, unless a read is still in the card: the reader closes it when
    // that read returns.
    void Finish();

    Mp3ReadSession(int fd, Mp3Fifo* ring);
    ~Mp3ReadSession();
    Mp3ReadSession(const Mp3ReadSession&) = delete;
    Mp3ReadSession& operator=(const Mp3ReadSession&) = delete;

    void Run();  // the reader task's part

private:
    bool ReadBlock(int32_t* result);
    bool Store(uint8_t slot, int32_t result);
    void CloseFileLocked();

    Mp3Fifo* ring_;
    std::unique_ptr<std::array<uint8_t, kMp3BlockBytes>> buffer_;  // the read lands here, outside the ring
    std::mutex mutex_;  // guards the fields below and every store into the ring
    std::condition_variable changed_;
    int fd_;
    bool live_ = true;
    bool inRead_ = false;
    bool wake_ = false;
    bool prefilled_ = false;
};

// The fill timer's callback (timer task): wakes the session's reader.
int Mp3FifoWake(void* session);
// One fill of the ring from the session's file (reader task).
int Mp3FifoFill(void* session);

#endif  // PATERM_MP3_MP3_FEED_H
