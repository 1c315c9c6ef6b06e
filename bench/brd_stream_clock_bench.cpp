// The stream clock as the server sees it: a broadcast from the simulated
// board's sound card (a tone), received on a loopback of the bench's own
// for a while (--seconds=N, 60 by default). Reports the packet rate and the
// 99th percentile of how far each send interval strays from one frame
// (512 / 48000 s), both from the kernel's receive timestamps, against their
// targets: 93.75 packets/s within 0.1 %, 1 ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "board/sim/sound_card.h"
#include "broadcast/brd_encode.h"
#include "broadcast/stream_codec.h"
#include "net/net.h"
#include "runtime/vos.h"
#include "tests/broadcast/card_on_board.h"
#include "tests/cgi/private_net.h"

namespace {

constexpr uint16_t kPort = 10001;
constexpr double kFrameSeconds = static_cast<double>(kBrdFrameSamples) / kBrdSampleRate;  // 10.667 ms
constexpr double kTargetRate = 1.0 / kFrameSeconds;                                       // 93.75
constexpr double kRateTolerance = 0.001;
constexpr double kJitterTargetMs = 1.0;
constexpr int kDefaultSeconds = 60;
constexpr int kFirstPacketWaitMs = 5000;
constexpr int kStallMs = 2000;  // a stream silent this long has stopped
constexpr int kBaselineSecondsMax = 15;
constexpr int kToneHz = 1000;
constexpr int kToneAmplitude = 8000;

int SecondsArg(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) return std::max(1, std::atoi(argv[i] + 10));
    return kDefaultSeconds;
}

int64_t Ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

// A UDP receiver whose datagrams carry the kernel's arrival time.
class StampedReceiver {
public:
    explicit StampedReceiver(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
              bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~StampedReceiver() {
        if (fd_ >= 0) close(fd_);
    }
    StampedReceiver(const StampedReceiver&) = delete;
    StampedReceiver& operator=(const StampedReceiver&) = delete;

    bool ok() const { return ok_; }

    // The arrival time (ns, CLOCK_REALTIME) of the next audio packet of a
    // whole frame, or -1 when none came within timeoutMs.
    int64_t Next(int timeoutMs) {
        for (;;) {
            pollfd waiting = {fd_, POLLIN, 0};
            if (poll(&waiting, 1, timeoutMs) != 1) return -1;
            uint8_t packet[512];
            iovec iov = {packet, sizeof packet};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr hdr{};
            hdr.msg_iov = &iov;
            hdr.msg_iovlen = 1;
            hdr.msg_control = control;
            hdr.msg_controllen = sizeof control;
            const ssize_t got = recvmsg(fd_, &hdr, MSG_DONTWAIT);
            if (got != static_cast<ssize_t>(kBrdPacketBytes) || packet[0] != 0x0A) continue;
            for (cmsghdr* c = CMSG_FIRSTHDR(&hdr); c; c = CMSG_NXTHDR(&hdr, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
                timespec at;
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                return Ns(at);
            }
            timespec now;  // no stamp: the receive time is the next best
            clock_gettime(CLOCK_REALTIME, &now);
            return Ns(now);
        }
    }

private:
    int fd_;
    bool ok_ = false;
};

// The q-th quantile (0..1) of values, nearest rank.
double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    const size_t at = std::min(values.size() - 1, rank == 0 ? 0 : rank - 1);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

int64_t ThreadCpuNs(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return Ns(t);
}

// The baseline at the stream's pace: the codec alone encodes the card's tone
// one frame per frame time, sleeping to absolute deadlines in between, as
// the task waits for the card. CPU ms per second of audio, or -1.
double PacedBareEncodeMs(int seconds) {
    StreamCodecMode* mode = StreamCodecModeCreate(kBrdSampleRate, kBrdFrameSamples);
    StreamCodecEncoder* encoder = StreamCodecEncoderCreate(mode, kBrdChannels);
    if (encoder == nullptr) {
        StreamCodecModeDestroy(mode);
        return -1;
    }
    StreamCodecEncoderSetup(encoder, 2, 1);
    const int frames = static_cast<int>(seconds * kTargetRate);
    // One period of the tone, computed as the card does; frames are cut from it.
    const int period = kBrdSampleRate / std::gcd(kToneHz, kBrdSampleRate);
    std::vector<int16_t> wave(static_cast<size_t>(period));
    for (int n = 0; n < period; ++n) {
        const uint64_t step = (static_cast<uint64_t>(n) * kToneHz) % kBrdSampleRate;
        wave[static_cast<size_t>(n)] = static_cast<int16_t>(
            std::lround(kToneAmplitude * std::sin(2.0 * M_PI * static_cast<double>(step) / kBrdSampleRate)));
    }
    std::vector<int16_t> pcm(static_cast<size_t>(kBrdFrameSamples) * kBrdChannels);
    uint8_t out[kBrdFrameBytes];
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    const int64_t cpuBefore = ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID);
    for (int f = 0; f < frames; ++f) {
        int64_t next = Ns(due) + static_cast<int64_t>(kFrameSeconds * 1e9);
        due = timespec{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        for (int i = 0; i < kBrdFrameSamples; ++i) {
            const uint64_t n = static_cast<uint64_t>(f) * kBrdFrameSamples + static_cast<uint64_t>(i);
            pcm[2 * i] = pcm[2 * i + 1] = wave[static_cast<size_t>(n % static_cast<uint64_t>(period))];
        }
        StreamCodecEncode(encoder, pcm.data(), kBrdFrameSamples, out, kBrdFrameBytes);
    }
    const double ms = static_cast<double>(ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID) - cpuBefore) * 1e-6;
    StreamCodecEncoderDestroy(encoder);
    StreamCodecModeDestroy(mode);
    return ms * kTargetRate / frames;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = SecondsArg(argc, argv);
    if (!cgitest::EnterPrivateNetwork()) {
        printf("stream clock: no private network namespace (needs root): FAIL\n");
        return 1;
    }
    StampedReceiver receiver(kPort);
    brdtest::CardOnBoard board;
    auto tone = std::make_shared<sim::SoundCard::Source>();
    tone->kind = sim::SoundCard::Source::Kind::kTone;
    tone->toneHz = kToneHz;
    tone->amplitude = kToneAmplitude;
    board.card().SetSource(tone);
    VosStart();
    if (!receiver.ok() || !board.ready() || BrdEncodeTaskStart() != 0) {
        printf("stream clock: no receiver or no board: FAIL\n");
        return 1;
    }
    gServerIp.store(htonl(INADDR_LOOPBACK));
    BrdEncodeStart("127.0.0.1", kPort);

    // The task is the last one created: its thread's CPU clock.
    clockid_t taskClock = CLOCK_PROCESS_CPUTIME_ID;
    if (OdWrap__TaskCount() > 0) pthread_getcpuclockid(OdWrap__TaskAt(OdWrap__TaskCount() - 1), &taskClock);
    timespec cpuBefore, taskBefore;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
    clock_gettime(taskClock, &taskBefore);
    std::vector<int64_t> arrivals;
    arrivals.reserve(static_cast<size_t>(seconds * kTargetRate * 1.1) + 16);
    int64_t first = receiver.Next(kFirstPacketWaitMs);
    if (first >= 0) arrivals.push_back(first);
    const int64_t end = first + static_cast<int64_t>(seconds) * 1000000000;
    bool stalled = false;
    while (first >= 0) {
        const int64_t at = receiver.Next(kStallMs);
        stalled = at < 0;
        if (stalled || at > end) break;
        arrivals.push_back(at);
    }
    timespec cpuAfter, taskAfter;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
    clock_gettime(taskClock, &taskAfter);
    BrdEncodeStop();
    const sim::SoundCard::Status card = board.card().GetStatus();

    if (arrivals.size() < 2) {
        printf("stream clock: %zu packets received: FAIL\n", arrivals.size());
        return 1;
    }
    const double span = static_cast<double>(arrivals.back() - arrivals.front()) * 1e-9;
    const double rate = static_cast<double>(arrivals.size() - 1) / span;
    std::vector<double> strayMs;
    strayMs.reserve(arrivals.size() - 1);
    for (size_t i = 1; i < arrivals.size(); ++i)
        strayMs.push_back(std::fabs(static_cast<double>(arrivals[i] - arrivals[i - 1]) * 1e-6 - kFrameSeconds * 1e3));
    const double p50 = Quantile(strayMs, 0.5);
    const double p99 = Quantile(strayMs, 0.99);
    const double worst = *std::max_element(strayMs.begin(), strayMs.end());
    const double rateError = std::fabs(rate - kTargetRate) / kTargetRate;
    const bool rateOk = rateError <= kRateTolerance && !stalled;
    const bool jitterOk = p99 <= kJitterTargetMs;

    if (stalled) printf("stream clock: no packet for %d ms: the stream stopped\n", kStallMs);
    printf("stream clock over %.1f s: %zu packets, card late reads %llu, overrun bytes %llu\n", span, arrivals.size(),
           static_cast<unsigned long long>(card.lateReads), static_cast<unsigned long long>(card.overrunBytes));
    // Every thread of the bench: the task, the board's side of its reads,
    // this receiver.
    const double taskMs = static_cast<double>(Ns(taskAfter) - Ns(taskBefore)) * 1e-6 / span;
    const double bareMs = PacedBareEncodeMs(std::min(seconds, kBaselineSecondsMax));
    printf("CPU per second of audio: the encoder task %.3f ms, all threads %.3f ms; "
           "the codec alone at the same pace %.3f ms (task/codec %.2f)\n",
           taskMs, static_cast<double>(Ns(cpuAfter) - Ns(cpuBefore)) * 1e-6 / span, bareMs,
           bareMs > 0 ? taskMs / bareMs : 0.0);
    printf("packets/s: %.4f (target %.2f within 0.1 %%, off by %.4f %%): %s\n", rate, kTargetRate, 100 * rateError,
           rateOk ? "PASS" : "FAIL");
    printf("send interval jitter p99: %.3f ms (median %.3f ms, worst %.3f ms; target <= %.1f ms): %s\n", p99, p50,
           worst, kJitterTargetMs, jitterOk ? "PASS" : "FAIL");
    return rateOk && jitterOk && !stalled ? 0 : 1;
}
