// The broadcast path's CPU per second of audio against a bare
// opus_custom_encode loop over the same audio, measured in the same run.
//
// The path is the real BrdEncodeTask on an in-process board: its capture
// reads cross the board seam to an in-memory sound card that answers at
// once (no pacing, so only CPU is measured), then encode, header and a
// non-blocking send to a sink on a private loopback. Each iteration lets
// the card serve one second of frames and charges the task's thread CPU
// time; the baseline charges the bench thread's CPU time for encoding the
// same frames.
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <linux/soundcard.h>
#include <opus_custom.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/board.h"
#include "broadcast/brd_encode.h"
#include "net/net.h"
#include "runtime/vos.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/in_process_board.h"

namespace {

constexpr int kFramesPerSecond = 94;  // 93.75 rounded up
constexpr uint16_t kSinkPort = 10000;

// One second of a 1 kHz tone with some noise, stereo, as the card delivers it.
std::vector<int16_t> MakeAudio() {
    std::vector<int16_t> pcm(static_cast<size_t>(kFramesPerSecond) * kBrdFrameSamples * kBrdChannels);
    uint32_t noise = 12345;
    for (size_t i = 0; i < pcm.size() / 2; ++i) {
        noise = noise * 1103515245 + 12345;
        const double tone = 8000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / kBrdSampleRate);
        pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(tone + static_cast<int>((noise >> 16) % 512) - 256);
    }
    return pcm;
}

const std::vector<int16_t> gAudio = MakeAudio();

double ThreadCpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// ---- the broadcast path ----------------------------------------------------

// The card of the bench: serves reads from gAudio at once while it has
// frames to give, and holds the next read until it is given more.
class MemoryCard : public sim::Device {
public:
    sim::OpenResult Open(int) override {
        sim::OpenResult result;
        result.session = std::make_unique<Session>(this);
        return result;
    }
    // Lets frames more reads through, then waits until the task asks for
    // the one after them: by then it has encoded and sent the last.
    void Serve(int frames) {
        std::unique_lock<std::mutex> lock(mutex_);
        budget_ += frames;
        changed_.notify_all();
        changed_.wait(lock, [&] { return budget_ == 0 && waiting_; });
    }
    // From now on reads are served without holding them: the task's stop
    // then ends its pass as usual.
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        unlimited_ = true;
        changed_.notify_all();
    }

private:
    class Session : public sim::DeviceSession {
    public:
        explicit Session(MemoryCard* card) : card_(card) {}
        sim::IoResult Read(uint8_t* buf, size_t count) override { return card_->Read(buf, count); }
        sim::IoResult Ioctl(unsigned long, uint64_t, std::vector<uint8_t>*) override {
            return sim::IoResult::Done(0);  // the argument goes back as asked: what the encoder wants
        }

    private:
        MemoryCard* card_;
    };

    sim::IoResult Read(uint8_t* buf, size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return budget_ > 0 || unlimited_; });
        waiting_ = false;
        if (!unlimited_) --budget_;
        const auto* bytes = reinterpret_cast<const uint8_t*>(gAudio.data());
        const size_t total = gAudio.size() * sizeof(int16_t);
        for (size_t done = 0; done < count;) {
            const size_t take = std::min(count - done, total - offset_);
            std::memcpy(buf + done, bytes + offset_, take);
            done += take;
            offset_ = (offset_ + take) % total;
        }
        return sim::IoResult::Done(static_cast<long>(count));
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int budget_ = 0;
    bool waiting_ = false;
    bool unlimited_ = false;
    size_t offset_ = 0;
};

// The bare libopus custom encoder with the path's settings.
class BareEncoder {
public:
    BareEncoder()
        : mode_(opus_custom_mode_create(kBrdSampleRate, kBrdFrameSamples, nullptr)),
          encoder_(mode_ ? opus_custom_encoder_create(mode_, kBrdChannels, nullptr) : nullptr) {
        if (encoder_ == nullptr) return;
        opus_custom_encoder_ctl(encoder_, OPUS_SET_VBR(0));
        opus_custom_encoder_ctl(encoder_, OPUS_SET_BITRATE(128000));
        opus_custom_encoder_ctl(encoder_, OPUS_SET_COMPLEXITY(2));
    }
    ~BareEncoder() {
        if (encoder_) opus_custom_encoder_destroy(encoder_);
        if (mode_) opus_custom_mode_destroy(mode_);
    }
    BareEncoder(const BareEncoder&) = delete;
    BareEncoder& operator=(const BareEncoder&) = delete;

    bool ok() const { return encoder_ != nullptr; }
    // One second of gAudio, as the card gives it to the path.
    void EncodeSecond() {
        unsigned char out[kBrdFrameBytes];
        for (int f = 0; f < kFramesPerSecond; ++f) {
            const int16_t* pcm = gAudio.data() + static_cast<size_t>(f) * kBrdFrameSamples * kBrdChannels;
            benchmark::DoNotOptimize(opus_custom_encode(encoder_, pcm, kBrdFrameSamples, out, kBrdFrameBytes));
        }
    }

private:
    OpusCustomMode* mode_;
    OpusCustomEncoder* encoder_;
};

struct PathRig {
    simtest::InProcessBoard board;
    std::shared_ptr<MemoryCard> card = std::make_shared<MemoryCard>();
    clockid_t taskClock{};
    bool ready = false;
    BareEncoder bare;
    int spareCard = -1;  // a card that answers at once, for the seam's own cost
    int sendSocket = -1;
    sockaddr_in sink{};
};

PathRig* gRig = nullptr;

// CPU seconds charged per second of audio, summed over the iterations.
struct Charges {
    double path = 0;    // the encoder task's thread
    double board = 0;   // the board's side of the task's reads (its session thread)
    double bare = 0;    // the bare encode loop
    double seamRead = 0;  // a second of capture reads through the seam, alone
    double send = 0;      // a second of datagrams to the sink, alone
    int64_t seconds = 0;
};

Charges gCharges;

// What a second of capture reads through the seam costs the caller: the
// round trip to the board (a plain read(2) from the driver's buffer on the
// terminal).
void SeamReadSecond(PathRig& rig) {
    std::vector<uint8_t> pcm(kBrdPcmBytes);
    for (int f = 0; f < kFramesPerSecond; ++f)
        benchmark::DoNotOptimize(board::Read(rig.spareCard, pcm.data(), pcm.size()));
}

// What a second of sends costs the caller: a frame-sized datagram to the
// sink, addressed per call as the task does.
void SendSecond(PathRig& rig) {
    uint8_t packet[kBrdPacketBytes] = {};
    for (int f = 0; f < kFramesPerSecond; ++f)
        benchmark::DoNotOptimize(sendto(rig.sendSocket, packet, sizeof packet, MSG_DONTWAIT,
                                        reinterpret_cast<const sockaddr*>(&rig.sink), sizeof rig.sink));
}

template <typename Work>
double ChargeSelf(Work work) {
    const double before = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    work();
    return ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
}

// Each iteration is one second of audio through the path, then the same
// second through the bare encoder, then the path's two system parts alone:
// all of them interleaved on one CPU, so a change in the machine's load
// falls on every side alike.
void BM_PathAgainstBareEncode(benchmark::State& state) {
    if (gRig == nullptr || !gRig->ready) {
        state.SkipWithError("no in-process board");
        return;
    }
    PathRig& rig = *gRig;
    for (auto _ : state) {
        const double taskBefore = ThreadCpuSeconds(rig.taskClock);
        const double processBefore = ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double self = ChargeSelf([&] { rig.card->Serve(kFramesPerSecond); });
        const double path = ThreadCpuSeconds(rig.taskClock) - taskBefore;
        gCharges.board += ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore - path - self;
        gCharges.path += path;
        const double bare = ChargeSelf([&] { rig.bare.EncodeSecond(); });
        gCharges.bare += bare;
        gCharges.seamRead += ChargeSelf([&] { SeamReadSecond(rig); });
        gCharges.send += ChargeSelf([&] { SendSecond(rig); });
        ++gCharges.seconds;
        state.SetIterationTime(path);
    }
    state.counters["bare_ms"] = benchmark::Counter(1e3 * gCharges.bare / static_cast<double>(gCharges.seconds));
}

BENCHMARK(BM_PathAgainstBareEncode)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

void PrintCharges(const Charges& c) {
    if (c.seconds == 0 || c.bare <= 0) return;
    const double n = static_cast<double>(c.seconds);
    printf("CPU per second of audio (ms): path %.3f, bare encode %.3f; of the path: seam capture read %.3f, "
           "send %.3f; the board's side of the reads %.3f\n",
           1e3 * c.path / n, 1e3 * c.bare / n, 1e3 * c.seamRead / n, 1e3 * c.send / n, 1e3 * c.board / n);
    printf("broadcast path CPU per second of audio, path/bare encode: %.3f\n", c.path / c.bare);
    printf("the same less the seam's capture read (a driver read on the terminal): %.3f\n",
           (c.path - c.seamRead) / c.bare);
    printf("the same less the send as well (the path's own work, encode included): %.3f\n",
           (c.path - c.seamRead - c.send) / c.bare);
    printf("the path with the board's side of its reads: %.3f\n", (c.path + c.board) / c.bare);
}

// The task is the last one created: its thread's CPU clock.
bool FindTaskClock(clockid_t* clock) {
    const int32_t count = OdWrap__TaskCount();
    return count > 0 && pthread_getcpuclockid(OdWrap__TaskAt(count - 1), clock) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // One CPU for every thread, as on the terminal: a wake-up across CPUs
    // of a virtual machine costs more than the read it ends.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
    sched_setaffinity(0, sizeof(one), &one);
    // The stream goes to a sink on a loopback of the bench's own.
    const bool privateNet = cgitest::EnterPrivateNetwork();
    cgitest::UdpListener sink(kSinkPort);
    VosStart();
    auto rig = std::make_unique<PathRig>();
    rig->board.devices().Add("/dev/dsp", rig->card);
    auto spare = std::make_shared<MemoryCard>();
    spare->Release();
    rig->board.devices().Add("/dev/dsp1", spare);
    rig->sink.sin_family = AF_INET;
    rig->sink.sin_port = htons(kSinkPort);
    rig->sink.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rig->sendSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    rig->ready = rig->board.ready() && rig->bare.ok() && BrdEncodeTaskStart() == 0 && FindTaskClock(&rig->taskClock);
    if (rig->ready) {
        rig->spareCard = board::Open("/dev/dsp1", O_RDONLY);
        gServerIp.store(privateNet && sink.bound() ? htonl(INADDR_LOOPBACK) : 0);
        BrdEncodeStart("127.0.0.1", kSinkPort);
        rig->card->Serve(kFramesPerSecond);  // warm-up: set-up done, caches filled
        rig->ready = rig->spareCard >= 0;
        gRig = rig.get();
    }
    if (!privateNet) printf("no private network namespace (needs root): frames are encoded, not sent\n");

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    PrintCharges(gCharges);
    benchmark::Shutdown();

    if (gRig != nullptr) {
        gRig = nullptr;
        rig->card->Release();
        BrdEncodeStop();
        board::Close(rig->spareCard);
    }
    if (rig->sendSocket >= 0) close(rig->sendSocket);
    return 0;
}
