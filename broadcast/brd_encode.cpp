// BrdEncodeTask: one broadcast at a time, from the gate to the sound card,
// the codec and the stream socket, and back. The gate (a runtime semaphore)
// is held by the task while it streams and by the central control while
// no broadcast runs; it is the only hand-over of the destination.
#include "broadcast/brd_encode.h"

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "board/board.h"
#include "broadcast/stream_codec.h"
#include "net/net.h"
#include "player/player_state.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kTaskStackBytes = 4096;
constexpr int kComplexity = 2;
constexpr int kPrediction = 1;
constexpr size_t kAddressTextMax = 31;
constexpr int kDspFragments = 0x0010000B;  // at most 16 fragments of 2^11 = 2048 bytes
constexpr useconds_t kIdlePauseUs = 1000;
// A set-up that keeps failing is retried after 1, 2, 4 ... ms, at most 1 s.
constexpr uint32_t kRetryFirstMs = 1;
constexpr uint32_t kRetryMaxMs = 1000;

// ---- the hand-shake with the central control ------------------------------

// 1 while a broadcast is wanted. Written by the central control, read by the
// task once per frame and between short reads.
std::atomic<int> gBrdRun{0};
// Broadcasts started so far: a new one begins a new failure streak.
std::atomic<uint32_t> gBrdStarts{0};
// The gate exists: Start and Stop are no-ops before (or without) the task.
std::atomic<bool> gBrdReady{false};
uint32_t BrdEncodeGate;
// The destination, written by BrdEncodeStart only while the central
// control holds the gate; the task reads it after taking the gate.
char gBrdAddressText[kAddressTextMax + 1];
uint16_t gBrdPort;

// Cuts a retry wait short when the broadcast ends or a new one starts.
std::mutex gRetryMutex;
std::condition_variable gRetryWake;

void WakeRetry() {
    { std::lock_guard<std::mutex> lock(gRetryMutex); }  // a waiter is either waiting or sees the change
    gRetryWake.notify_all();
}

// ---- owned by BrdEncodeTask -----------------------------------------------

// Fixed buffers, reused for every frame: task stacks are small.
struct __attribute__((packed)) BrdPacket {
    BrdAudioHdr hdr;
    uint8_t data[kBrdFrameBytes];
};
static_assert(sizeof(BrdPacket) == kBrdPacketBytes, "header and frame are contiguous");
BrdPacket gPacket;
int16_t gPcm[kBrdPcmBytes / sizeof(int16_t)];

// What one pass of the task holds; released socket first, the card last.
struct BrdPass {
    StreamCodecMode* mode = nullptr;
    StreamCodecEncoder* encoder = nullptr;
    int dsp = -1;
    int sock = -1;
    uint16_t port = 0;
};

// The failures of one broadcast since its last good set-up are reported
// once, and retried less and less often.
struct BrdRetry {
    uint32_t broadcast = 0;
    uint32_t delayMs = 0;
    bool reported = false;
};

void PrintError(const char* text) {
    printf("Error:  ");
    puts(text);
}

void ReleasePass(BrdPass* pass) {
    if (pass->sock >= 0) close(pass->sock);
    StreamCodecEncoderDestroy(pass->encoder);
    StreamCodecModeDestroy(pass->mode);
    if (pass->dsp >= 0) board::Close(pass->dsp);
    *pass = BrdPass{};
}

// One OSS setting; the card answers with what it set, which must be what
// was asked: a stream at another rate or layout would be noise.
bool SetDsp(int fd, unsigned long request, int wanted) {
    int value = wanted;
    return board::Ioctl(fd, request, &value) >= 0 && value == wanted;
}

bool OpenSoundCard(BrdPass* pass, bool report) {
    pass->dsp = board::Open("/dev/dsp", O_RDONLY);
    if (pass->dsp < 0) {
        if (report) {
            printf("Error:  ");
            printf("open sound card failed!  %d \n", pass->dsp);
        }
        return false;
    }
    int fragments = kDspFragments;
    return SetDsp(pass->dsp, SNDCTL_DSP_SETFMT, AFMT_S16_LE) && SetDsp(pass->dsp, SNDCTL_DSP_CHANNELS, kBrdChannels) &&
           SetDsp(pass->dsp, SNDCTL_DSP_SPEED, kBrdSampleRate) &&
           board::Ioctl(pass->dsp, SNDCTL_DSP_SETFRAGMENT, &fragments) >= 0;
}

void FillHeader() {
    gPacket.hdr = BrdAudioHdr{};
    gPacket.hdr.tag = 0x0A;
    gPacket.hdr.frameShift = kBrdFrameShift;
    gPacket.hdr.rateCode = kBrdRateCode;
    gPacket.hdr.channels = kBrdChannels;
    gPacket.hdr.tag2 = 1;
    gPacket.hdr.brdId = htole32(static_cast<uint32_t>(GetBrdId()));
}

// Codec, sound card, header, socket. False on a failure, reported when asked.
bool SetUpPass(BrdPass* pass, bool report) {
    pass->mode = StreamCodecModeCreate(kBrdSampleRate, kBrdFrameSamples);
    if (pass->mode == nullptr) {
        if (report) PrintError("create celt mode error!");
        return false;
    }
    pass->encoder = StreamCodecEncoderCreate(pass->mode, kBrdChannels);
    if (pass->encoder == nullptr) {
        if (report) PrintError("create celt encoder error!");
        return false;
    }
    StreamCodecEncoderSetup(pass->encoder, kComplexity, kPrediction);
    if (!OpenSoundCard(pass, report)) return false;
    FillHeader();
    pass->port = gBrdPort;
    // Without a socket the frames are encoded and dropped.
    pass->sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return true;
}

// To the server as it is known now, never blocking the capture.
void SendFrame(const BrdPass& pass, size_t frameBytes) {
    const uint32_t serverIp = gServerIp.load(std::memory_order_relaxed);
    if (serverIp == 0 || pass.sock < 0) return;
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(pass.port);
    to.sin_addr.s_addr = serverIp;
    (void)sendto(pass.sock, &gPacket, sizeof(BrdAudioHdr) + frameBytes, MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Frames until the run flag drops (true) or the capture fails (false). The
// first whole frame ends a failure streak.
bool StreamPass(const BrdPass& pass, BrdRetry* retry) {
    auto* pcmBytes = reinterpret_cast<uint8_t*>(gPcm);
    while (gBrdRun.load(std::memory_order_acquire) == 1) {
        const ssize_t got = BrdCaptureRead(pass.dsp, pcmBytes, kBrdPcmBytes, &gBrdRun);
        if (got < 0) {
            const int error = errno;
            if (!retry->reported) {
                printf("Error:  ");
                printf("read sound card failed!  %d \n", error);
            }
            return false;
        }
        if (static_cast<size_t>(got) < kBrdPcmBytes) break;  // stopped within the frame
        retry->delayMs = 0;
        retry->reported = false;
        const int n = StreamCodecEncode(pass.encoder, gPcm, kBrdFrameSamples, gPacket.data, kBrdFrameBytes);
        if (n <= 0) {
            printf("Error:  ");
            printf("celt_encode() returned %d\n", n);
            continue;
        }
        gPacket.hdr.dataLen = htole16(static_cast<uint16_t>(n));
        SendFrame(pass, static_cast<size_t>(n));
    }
    return true;
}

// Sleeps before the next set-up; a stop or a new start ends the wait early.
void WaitBeforeRetry(BrdRetry* retry) {
    retry->delayMs = retry->delayMs == 0 ? kRetryFirstMs : std::min(retry->delayMs * 2, kRetryMaxMs);
    std::unique_lock<std::mutex> lock(gRetryMutex);
    gRetryWake.wait_for(lock, std::chrono::milliseconds(retry->delayMs), [retry] {
        return gBrdRun.load() == 0 || gBrdStarts.load() != retry->broadcast;
    });
}

}  // namespace

ssize_t BrdCaptureRead(int fd, uint8_t* buf, size_t count, const std::atomic<int>* running) {
    size_t done = 0;
    while (done < count && running->load(std::memory_order_acquire) == 1) {
        const ssize_t got = board::Read(fd, buf + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;  // the card went away
            return -1;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int BrdEncodeTaskStart(void) {
    gBrdRun.store(0);
    OdTaskId task = 0;
    if (OdWrap__SemCreate(0, &BrdEncodeGate) != eOD_RET_OK) {
        printf("Start BrdEncodeTask fail! \r");
        return -1;
    }
    gBrdReady.store(true);
    if (VosTaskCreate(BrdEncodeTask, nullptr, eOD_PRIO_HIGH, kTaskStackBytes, &task) != eOD_RET_OK) {
        gBrdReady.store(false);
        OdWrap__semDeletle(BrdEncodeGate);
        printf("Start BrdEncodeTask fail! \r");
        return -1;
    }
    return 0;
}

void BrdEncodeStart(const char* addressText, uint16_t port) {
    if (!gBrdReady.load() || gBrdRun.load() != 0) return;
    std::memset(gBrdAddressText, 0, sizeof gBrdAddressText);
    if (addressText != nullptr) std::strncpy(gBrdAddressText, addressText, kAddressTextMax);
    gBrdPort = port;
    gBrdStarts.fetch_add(1);
    gBrdRun.store(1, std::memory_order_release);
    WakeRetry();
    OdWrap__SemRelease(BrdEncodeGate);
}

void BrdEncodeStop(void) {
    int running = 1;
    if (!gBrdReady.load() || !gBrdRun.compare_exchange_strong(running, 0)) return;
    WakeRetry();
    // Back once the task has let go: the card is closed, the codec gone.
    OdWrap__SemWait(BrdEncodeGate, -1);
}

void* BrdEncodeTask(void* /*argument*/) {
    BrdRetry retry;
    for (;;) {
        if (OdWrap__SemWait(BrdEncodeGate, -1) != eOD_RET_OK) {
            usleep(kIdlePauseUs);
            continue;
        }
        const uint32_t broadcast = gBrdStarts.load();
        if (broadcast != retry.broadcast) retry = BrdRetry{broadcast, 0, false};
        BrdPass pass;
        const bool ok = SetUpPass(&pass, !retry.reported) && StreamPass(pass, &retry);
        ReleasePass(&pass);
        if (!ok && !retry.reported) {
            PrintError("got some error");
            retry.reported = true;
        }
        OdWrap__SemRelease(BrdEncodeGate);
        if (ok) usleep(kIdlePauseUs);
        else WaitBeforeRetry(&retry);
    }
    return nullptr;
}
