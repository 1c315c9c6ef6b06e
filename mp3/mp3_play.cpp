// MP3 playback: the play state, the play gate, the play task and its play
// loop, which writes full ring slots to the decoder device.
#include "mp3/mp3_play.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "board/board.h"
#include "localio/ctrl_panel.h"
#include "mp3/mp3_feed.h"
#include "mp3/mp3_library.h"
#include "mp3/mp3_play_source.h"
#include "player/central_steps.h"
#include "player/player_msg.h"
#include "player/player_state.h"
#include "runtime/vos.h"

namespace {

constexpr char kDecoderDevice[] = "/dev/vs10xx";
constexpr uint32_t kFillPeriodMs = 10;
constexpr uint32_t kStartDelayMs = 200;   // the pre-fill plays while the timer starts refilling
constexpr uint32_t kTimerDrainMs = 100;   // after the fill timer stops
constexpr uint32_t kRestartDelayMs = 200;
constexpr useconds_t kIdleUs = 10000;     // a pass with nothing to write waits this long

// Two states: whoever holds the unit decides. Taken by one thread and given
// by another, so a mutex will not do; it never counts above one.
class PlayGate {
public:
    void Take() {
        std::unique_lock<std::mutex> lock(mutex_);
        given_.wait(lock, [this] { return unit_; });
        unit_ = false;
    }
    void Give() {
        std::lock_guard<std::mutex> lock(mutex_);
        unit_ = true;
        given_.notify_one();
    }
    void Hold() {  // the controller holds it: stopped
        std::lock_guard<std::mutex> lock(mutex_);
        unit_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable given_;
    bool unit_ = false;
};

// Never destroyed: the play task may still wait on it while the program exits.
PlayGate& gMp3PlayGate = *new PlayGate;
std::atomic<int> gMp3Playing{0};
std::atomic<int> gMp3Paused{0};
std::atomic<uint32_t> gMp3PlaySeconds{0};
// Counts the starts of Mp3Play: the task plays a file once per start, so a
// file that ended is not begun again before the controller's stop.
std::atomic<uint64_t> gMp3Starts{0};

std::mutex gSourceMutex;
Mp3FileSource gSource;  // empty: the library's current file

int OpenCurrentFile() {
    char path[512];
    if (!Mp3CurFilePath(path, sizeof path)) {
        printf("Error:  ");
        printf("no mp3 file selected \n");
        return -1;
    }
    const int fd = board::Open(path, O_RDONLY);
    if (fd < 0) {
        printf("Error:  ");
        printf("can not open file %s \n", path);
    }
    return fd;
}

int OpenFile() {
    Mp3FileSource source;
    {
        std::lock_guard<std::mutex> lock(gSourceMutex);
        source = gSource;
    }
    return source ? source() : OpenCurrentFile();
}

bool StillWanted() { return gMp3Playing.load(std::memory_order_relaxed) == 1; }

void StopFillTimer(Mp3Fifo* ring) {
    const uint32_t timer = ring->timer.exchange(0, std::memory_order_acq_rel);
    if (timer != 0) VosTimerStop(timer);
}

// The play loop: full slots to the device while playback is wanted.
void PlayLoop(Mp3Fifo* ring, int device) {
    while (StillWanted()) {
        if (ring->reading.load(std::memory_order_acquire) == 0) {
            StopFillTimer(ring);
            printf("file playing ended ");
        }
        if (gMp3Paused.load(std::memory_order_relaxed) == 1) {
            usleep(kIdleUs);
            continue;
        }
        const uint8_t r = ring->readIdx.load(std::memory_order_relaxed);  // this task is its only writer
        Mp3FifoSlot& slot = ring->slots[r];
        if (r == ring->writeIdx.load(std::memory_order_acquire) || slot.full.load(std::memory_order_acquire) == 0) {
            printf("fifo is empty ");
            usleep(kIdleUs);
            continue;
        }
        const uint16_t len = static_cast<uint16_t>(slot.len);
        if (len == 0 || len > kMp3BlockBytes) {
            printf("data is error, quit the player, len:%d\n", len);
            break;
        }
        if (board::Write(device, slot.data.data(), len) < 0) {
            printf("Error:  ");
            printf("write mp3 data error!");
            break;
        }
        slot.full.store(0, std::memory_order_release);
        ring->readIdx.store(static_cast<uint8_t>((r + 1) % kMp3FifoSlots), std::memory_order_release);
    }
}

}  // namespace

void Mp3SetFileSource(Mp3FileSource source) {
    std::lock_guard<std::mutex> lock(gSourceMutex);
    gSource = std::move(source);
}

void Mp3PlayDescriptor(int fd, const char* devicePath) {
    Mp3Fifo& ring = Mp3FifoRing();
    Mp3FifoReset(&ring);
    std::shared_ptr<Mp3ReadSession> session = Mp3ReadSession::Start(fd, &ring);
    if (!session) {
        printf("Error:  ");
        printf("start mp3 reader fail!\n");
        return;
    }
    if (!session->WaitPrefilled(StillWanted)) {  // stopped while the card was slow
        session->Finish();
        return;
    }
    const int device = board::Open(devicePath, O_WRONLY);
    if (device < 0) {
        printf("Error:  ");
        printf("open vs10xx failed");
        session->Finish();
        return;
    }
    ring.reading.store(1, std::memory_order_release);
    uint32_t timer = 0;
    if (VosTimerStart(kFillPeriodMs, &timer, Mp3FifoWake, session.get(), 0, 1) != eOD_RET_OK) {
        printf("Error:  ");
        printf("start mp3 fill timer fail!\n");
    } else {
        ring.timer.store(timer, std::memory_order_release);
        VosSleepMs(kStartDelayMs);
        PlayLoop(&ring, device);
    }
    if (ring.timer.load(std::memory_order_acquire) != 0) {
        StopFillTimer(&ring);
        VosSleepMs(kTimerDrainMs);
    }
    board::Close(device);
    session->Finish();
}

void Mp3PlayFile(void) {
    Mp3FifoRing().timer.store(0, std::memory_order_release);
    const int fd = OpenFile();
    if (fd < 0) return;
    Mp3PlayDescriptor(fd, kDecoderDevice);
}

void* Mp3PlayTask(void*) {
    uint64_t served = 0;
    for (;;) {
        gMp3PlayGate.Take();
        const uint64_t start = gMp3Starts.load(std::memory_order_acquire);
        if (StillWanted() && start != served) {
            served = start;
            Mp3PlayFile();
            if (StillWanted()) PlayerMsgPostKnl(eSVC_MSG_TYPE_PLAY_END, nullptr, 0);
        }
        gMp3PlayGate.Give();
        VosSleepMs(kRestartDelayMs);
    }
    return nullptr;
}

int Mp3PlayTaskStart(void) {
    gMp3PlayGate.Hold();
    gMp3Playing.store(0, std::memory_order_relaxed);
    OdTaskId id = 0;
    if (VosTaskCreate(Mp3PlayTask, nullptr, eOD_PRIO_NORMAL, 4096, &id) != eOD_RET_OK) {
        printf("Start Mp3PlayTask fail! \r");
        return -1;
    }
    return 0;
}

void Mp3Play(void) {
    if (gMp3Playing.load(std::memory_order_relaxed) == 0) {
        gMp3Playing.store(1, std::memory_order_relaxed);
        gMp3Starts.fetch_add(1, std::memory_order_release);
        gMp3PlayGate.Give();
    }
    gMp3Paused.store(0, std::memory_order_relaxed);
    if (GetAutoMode() != 0 && GetBrdState() == 0) PlayerBrdRequest();
}

void Mp3Stop(void) {
    if (gMp3Playing.load(std::memory_order_relaxed) == 1) {
        gMp3Playing.store(0, std::memory_order_relaxed);
        gMp3PlayGate.Take();  // the task has closed file and device
    }
    gMp3PlaySeconds.store(0, std::memory_order_relaxed);
    gMp3Paused.store(0, std::memory_order_relaxed);
    uint8_t dir = MP3_NONE, file = MP3_NONE;
    char name[kMp3NameBytes];
    if (Mp3GetCurDir(&dir, name) == 0 && Mp3GetCurFile(&file, name) == 0) PanelSendNumber(0);
    if (GetAutoMode() != 0 && GetBrdState() != 0 && GetAudioDetected() == 0) PlayerBrdStop();
}

void Mp3PlayTick(void) {
    if (gMp3Playing.load(std::memory_order_relaxed) != 1 || gMp3Paused.load(std::memory_order_relaxed) != 0) return;
    PanelSendNumber(gMp3PlaySeconds.fetch_add(1, std::memory_order_relaxed) + 1);
}

int Mp3IsPlaying(void) { return gMp3Playing.load(std::memory_order_relaxed); }
int Mp3IsPaused(void) { return gMp3Paused.load(std::memory_order_relaxed); }
void Mp3SetPaused(int paused) { gMp3Paused.store(paused, std::memory_order_relaxed); }
uint32_t Mp3PlaySeconds(void) { return gMp3PlaySeconds.load(std::memory_order_relaxed); }
