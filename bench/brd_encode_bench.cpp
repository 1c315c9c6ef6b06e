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

struct PathRig {
    simtest::InProcessBoard board;
    std::shared_ptr<MemoryCard> card = std::make_shared<MemoryCard>();
    clockid_t taskClock{};
    bool ready = false;
};

PathRig* gRig = nullptr;

void BM_BroadcastPath(benchmark::State& state) {
    if (gRig == nullptr || !gRig->ready) {
        state.SkipWithError("no in-process board");
        return;
    }
    double others = 0;
    for (auto _ : state) {
        const double before = ThreadCpuSeconds(gRig->taskClock);
        const double processBefore = ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double selfBefore = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        gRig->card->Serve(kFramesPerSecond);
        const double task = ThreadCpuSeconds(gRig->taskClock) - before;
        state.SetIterationTime(task);
        others += ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore - task -
                  (ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - selfBefore);
    }
    // The board's side of the reads (its session thread), charged apart.
    state.counters["board_ms"] = 1e3 * others / static_cast<double>(state.iterations());
}

// What the capture read costs the calling thread on a PC: the seam's round
// trip to the board (a plain read(2) from the driver's buffer on the
// terminal), for the same second of frames.
void BM_SeamCaptureRead(benchmark::State& state) {
    const int fd = gRig != nullptr ? board::Open("/dev/dsp1", O_RDONLY) : -1;
    if (fd < 0) {
        state.SkipWithError("no in-process board");
        return;
    }
    std::vector<uint8_t> pcm(kBrdPcmBytes);
    for (auto _ : state) {
        const double before = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (int f = 0; f < kFramesPerSecond; ++f) benchmark::DoNotOptimize(board::Read(fd, pcm.data(), pcm.size()));
        state.SetIterationTime(ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before);
    }
    board::Close(fd);
}

// What the send costs the calling thread: one datagram of a frame's size
// to the sink, addressed per call as the task does.
void BM_StreamSend(benchmark::State& state) {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kSinkPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t packet[kBrdPacketBytes] = {};
    for (auto _ : state) {
        const double before = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (int f = 0; f < kFramesPerSecond; ++f)
            benchmark::DoNotOptimize(sendto(sock, packet, sizeof packet, MSG_DONTWAIT,
                                            reinterpret_cast<const sockaddr*>(&to), sizeof to));
        state.SetIterationTime(ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before);
    }
    close(sock);
}

// ---- baseline: the codec alone -------------------------------------------

void BM_BareEncode(benchmark::State& state) {
    OpusCustomMode* mode = opus_custom_mode_create(kBrdSampleRate, kBrdFrameSamples, nullptr);
    OpusCustomEncoder* encoder = opus_custom_encoder_create(mode, kBrdChannels, nullptr);
    opus_custom_encoder_ctl(encoder, OPUS_SET_VBR(0));
    opus_custom_encoder_ctl(encoder, OPUS_SET_BITRATE(128000));
    opus_custom_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(2));
    unsigned char out[kBrdFrameBytes];
    for (auto _ : state) {
        const double before = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (int f = 0; f < kFramesPerSecond; ++f) {
            const int16_t* pcm = gAudio.data() + static_cast<size_t>(f) * kBrdFrameSamples * kBrdChannels;
            benchmark::DoNotOptimize(opus_custom_encode(encoder, pcm, kBrdFrameSamples, out, kBrdFrameBytes));
        }
        state.SetIterationTime(ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before);
    }
    opus_custom_encoder_destroy(encoder);
    opus_custom_mode_destroy(mode);
}

BENCHMARK(BM_BroadcastPath)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareEncode)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SeamCaptureRead)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamSend)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) perIteration_[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // Path / bare encode, the path less `less` first; -1 when a run is missing.
    double Ratio(const char* less = nullptr) const {
        auto path = perIteration_.find("BM_BroadcastPath");
        auto bare = perIteration_.find("BM_BareEncode");
        auto minus = perIteration_.find(less ? less : "");
        if (path == perIteration_.end() || bare == perIteration_.end() || bare->second <= 0) return -1;
        if (less && minus == perIteration_.end()) return -1;
        return (path->second - (less ? minus->second : 0)) / bare->second;
    }

private:
    std::map<std::string, double> perIteration_;
};

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
    spare->Release();  // serves at once, for the seam's own cost
    rig->board.devices().Add("/dev/dsp1", spare);
    rig->ready = rig->board.ready() && BrdEncodeTaskStart() == 0 && FindTaskClock(&rig->taskClock);
    if (rig->ready) {
        gServerIp.store(privateNet && sink.bound() ? htonl(INADDR_LOOPBACK) : 0);
        BrdEncodeStart("127.0.0.1", kSinkPort);
        rig->card->Serve(kFramesPerSecond);  // warm-up: set-up done, caches filled
        gRig = rig.get();
    }
    if (!privateNet) printf("no private network namespace (needs root): frames are encoded, not sent\n");

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ratio = reporter.Ratio();
    const double withoutSeam = reporter.Ratio("BM_SeamCaptureRead");
    if (ratio > 0) printf("broadcast path CPU per second of audio, path/bare encode: %.3f\n", ratio);
    if (withoutSeam > 0)
        printf("the same less the seam's capture read (a driver read on the terminal): %.3f\n", withoutSeam);
    benchmark::Shutdown();

    if (rig->ready) {
        gRig = nullptr;
        rig->card->Release();
        BrdEncodeStop();
    }
    return 0;
}
