// The feeder's ring, its read sessions and the reader tasks that run them.
#include "mp3/mp3_feed.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include "board/board.h"
#include "runtime/vos.h"

namespace {

using namespace std::chrono_literals;

// A read still in the card when the session is finished gets this long to
// return before the reader is left to close the file (a hung card).
constexpr auto kReadGrace = 100ms;

Mp3Fifo gMp3Fifo;

std::atomic<uint64_t> gWakes{0};
std::atomic<uint64_t> gBlocks{0};
std::atomic<uint64_t> gBytes{0};

// Reader tasks: one normally serves every session; another is created only
// while all of them are held in reads that have not returned (hung cards),
// so a stuck reader never stops the next file.
class ReaderPool {
public:
    bool Submit(std::shared_ptr<Mp3ReadSession> session) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_ == 0) {
            OdTaskId id = 0;
            if (VosTaskCreate(&ReaderPool::Task, this, eOD_PRIO_NORMAL, 4096, &id) != eOD_RET_OK) return false;
            ++idle_;  // counted at once, so a second submit does not create another
        }
        --idle_;
        pending_.push_back(std::move(session));
        waiting_.notify_one();
        return true;
    }

private:
    static void* Task(void* argument) {
        auto* pool = static_cast<ReaderPool*>(argument);
        for (;;) pool->Next()->Run();
        return nullptr;
    }
    std::shared_ptr<Mp3ReadSession> Next() {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_.wait(lock, [this] { return !pending_.empty(); });
        std::shared_ptr<Mp3ReadSession> session = std::move(pending_.front());
        pending_.pop_front();
        return session;
    }
    void Idle() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++idle_;
    }
    friend class ::Mp3ReadSession;

    std::mutex mutex_;
    std::condition_variable waiting_;
    std::deque<std::shared_ptr<Mp3ReadSession>> pending_;
    int idle_ = 0;  // tasks that will take the next session without delay
};

// Never destroyed: reader tasks wait on it until the program exits.
ReaderPool& gReaders = *new ReaderPool;

}  // namespace

Mp3Fifo& Mp3FifoRing(void) { return gMp3Fifo; }

void Mp3FifoReset(Mp3Fifo* ring) {
    for (Mp3FifoSlot& slot : ring->slots) slot.full.store(0, std::memory_order_relaxed);
    ring->reading.store(0, std::memory_order_relaxed);
    ring->readIdx.store(0, std::memory_order_relaxed);
    ring->writeIdx.store(0, std::memory_order_release);  // the session starts after this
}

Mp3FeedStats Mp3FeedStatsGet(void) {
    return {gWakes.load(std::memory_order_relaxed), gBlocks.load(std::memory_order_relaxed),
            gBytes.load(std::memory_order_relaxed)};
}

Mp3ReadSession::Mp3ReadSession(int fd, Mp3Fifo* ring)
    : ring_(ring), buffer_(std::make_unique<std::array<uint8_t, kMp3BlockBytes>>()), fd_(fd) {}

Mp3ReadSession::~Mp3ReadSession() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFileLocked();
}

std::shared_ptr<Mp3ReadSession> Mp3ReadSession::Start(int fd, Mp3Fifo* ring) {
    auto session = std::make_shared<Mp3ReadSession>(fd, ring);
    if (!gReaders.Submit(session)) return nullptr;  // the session's destructor closes fd
    return session;
}

void Mp3ReadSession::CloseFileLocked() {
    if (fd_ < 0) return;
    board::Close(fd_);
    fd_ = -1;
}

// Reads one block into the session's own buffer, never into the ring: a
// read that returns after Finish must have nothing of the ring in hand.
bool Mp3ReadSession::ReadBlock(int32_t* result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_) return false;
        inRead_ = true;
    }
    const ssize_t n = board::Read(fd_, buffer_->data(), buffer_->size());
    std::lock_guard<std::mutex> lock(mutex_);
    inRead_ = false;
    changed_.notify_all();
    *result = static_cast<int32_t>(n);
    return live_;
}

// Puts the block just read into a slot and hands the slot over; nothing
// once the session is finished.
bool Mp3ReadSession::Store(uint8_t slot, int32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_) return false;
    Mp3FifoSlot& s = ring_->slots[slot];
    if (result > 0) std::copy_n(buffer_->data(), result, s.data.data());
    s.len = result;
    s.full.store(1, std::memory_order_release);
    ring_->writeIdx.store(static_cast<uint8_t>((slot + 1) % kMp3FifoSlots), std::memory_order_release);
    return true;
}

void Mp3ReadSession::Run() {
    for (uint8_t slot = 0; slot < kMp3PrefillSlots; ++slot) {
        int32_t result = 0;
        if (!ReadBlock(&result) || !Store(slot, result)) break;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    prefilled_ = true;
    changed_.notify_all();
    for (;;) {
        changed_.wait(lock, [this] { return wake_ || !live_; });
        if (!live_) break;
        wake_ = false;
        lock.unlock();
        Fill();
        lock.lock();
    }
    CloseFileLocked();  // still open only when Finish left it to this task
    lock.unlock();
    gReaders.Idle();
}

bool Mp3ReadSession::WaitPrefilled(const std::function<bool()>& keepWaiting) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!prefilled_) {
        if (!keepWaiting()) return false;
        changed_.wait_for(lock, 10ms);
    }
    return true;
}

void Mp3ReadSession::Wake() {
    gWakes.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = true;  // wakes do not add up: one fill per expiry at most
    changed_.notify_all();
}

void Mp3ReadSession::Fill() {
    Mp3Fifo& ring = *ring_;
    if (ring.timer.load(std::memory_order_acquire) == 0 || ring.reading.load(std::memory_order_acquire) == 0) return;
    const uint8_t w = ring.writeIdx.load(std::memory_order_relaxed);  // this task is its only writer
    if ((w + 1) % kMp3FifoSlots == ring.readIdx.load(std::memory_order_acquire)) return;
    if (ring.slots[w].full.load(std::memory_order_acquire) != 0) {
        printf("Error:  ");
        printf("fifo flag is error");
        return;
    }
    int32_t result = 0;
    if (!ReadBlock(&result)) return;
    if (result <= 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!live_) return;
            ring.reading.store(0, std::memory_order_release);
        }
        printf("Error:  ");
        printf("read data is over, data len:%d!\n", result);
    }
    if (!Store(w, result)) return;
    gBlocks.fetch_add(1, std::memory_order_relaxed);
    if (result > 0) gBytes.fetch_add(static_cast<uint64_t>(result), std::memory_order_relaxed);
}

void Mp3ReadSession::Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    live_ = false;
    changed_.notify_all();
    // A merely slow read returns within the grace and the file is closed
    // here; a hung one is left to the reader.
    changed_.wait_for(lock, kReadGrace, [this] { return !inRead_; });
    if (!inRead_) CloseFileLocked();
}

int Mp3FifoWake(void* session) {
    static_cast<Mp3ReadSession*>(session)->Wake();
    return 0;
}

int Mp3FifoFill(void* session) {
    static_cast<Mp3ReadSession*>(session)->Fill();
    return 0;
}
