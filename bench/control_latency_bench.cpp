// Control latency: a panel key frame written to the simulated board's panel
// line until the status report that shows its effect reaches the server.
// The real program runs on the board in the bench's own network namespace
// with its server at 127.0.0.1, where the bench listens on the server port.
// Group key 1 toggles bit 0 of the group mask, which the terminal reports at
// once; each press waits for the report carrying the new mask (the 5-second
// reports in between carry the old one and are passed over). Prints the
// 50th and 99th percentiles over --presses=N (1000) against their targets,
// 1 ms and 5 ms. Each press is followed by one through a baseline in the
// bench itself: the same three thread hand-overs as board, serial task and
// manager task (a socket, two pipes) ending in a datagram to a listener of
// its own, so a tail the machine's load makes shows in both. Needs root (the
// namespace). Exit status 0 when both targets are met, 1 when one is
// missed, 2 when the run could not be made.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/fd_io.h"
#include "board/sim/unix_socket.h"
#include "localio/panel_frame.h"
#include "net/net.h"
#include "net/net_frame.h"
#include "net/server_cmd.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"
#include "tools/panel/panel_model.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultPresses = 1000;
constexpr double kP50TargetMs = 1.0;
constexpr double kP99TargetMs = 5.0;
constexpr uint8_t kGroupKey = 1;           // group 0: bit 0 of the mask
constexpr size_t kMaskOffset = 33;         // in the status payload, little-endian
constexpr int kReportWaitMs = 1000;        // one press's report; more is a loss
constexpr auto kStartWait = 20s;           // panel ready and the first report
constexpr const char* kDeviceId = "PT00000007";
constexpr uint16_t kBaselinePort = 8299;

int PressesArg(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--presses=", 10) == 0) return std::max(1, std::atoi(argv[i] + 10));
    return kDefaultPresses;
}

// The group mask of a status report from the terminal, or nothing for any
// other datagram.
std::optional<uint16_t> ReportedMask(const cgitest::Bytes& d) {
    if (d.size() < kNetFramePayloadOffset + kMaskOffset + 2 + 2 || d[0] != kNetFrameHead || d[4] != PLAYER_CMD_STATUS)
        return std::nullopt;
    const uint8_t* payload = d.data() + kNetFramePayloadOffset;
    return static_cast<uint16_t>(payload[kMaskOffset] | payload[kMaskOffset + 1] << 8);
}

// The panel's end of the line: announces itself, answers hellos, and keeps
// the line drained so the terminal's LED frames never back up.
class PanelLine {
public:
    explicit PanelLine(const std::string& path) : fd_(sim::ConnectUnix(path, SOCK_STREAM | SOCK_CLOEXEC)) {}
    bool ok() const { return fd_.Valid(); }
    bool Send(const panel::Bytes& bytes) {
        return static_cast<bool>(sim::WriteAll(fd_.Get(), bytes.data(), bytes.size(), /*socket=*/true));
    }
    // Reads what waits (up to timeoutMs for the first byte); true once the
    // terminal has acknowledged an announce.
    bool Pump(int timeoutMs) {
        pollfd p = {fd_.Get(), POLLIN, 0};
        while (::poll(&p, 1, timeoutMs) == 1) {
            uint8_t chunk[512];
            const ssize_t n = ::recv(fd_.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                if (!deframer_.Feed(chunk[i]) || deframer_.size() < 2) continue;
                const uint8_t* f = deframer_.frame();
                if (f[0] == 0x02 && f[1] == 0x00) Send(panel::AnnounceFrame());  // hello: the terminal (re)started
                if (deframer_.size() >= 3 && f[0] == 0x02 && f[1] == 0x01 && f[2] == 0x00) acknowledged_ = true;
            }
            timeoutMs = 0;
        }
        return acknowledged_;
    }

private:
    sim::UniqueFd fd_;
    PanelDeframer deframer_;
    bool acknowledged_ = false;
};

// The baseline path: a byte written to In() passes three threads (each
// blocked in a read, as the board's line thread, the serial task and the
// manager task are) and leaves as one datagram to 127.0.0.1:port.
class RelayChain {
public:
    explicit RelayChain(uint16_t port) : port_(port) {
        int pair[2];
        ok_ = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0;
        if (ok_) {
            in_.Reset(pair[0]);
            hop_[0].Reset(pair[1]);
        }
        for (size_t i = 1; ok_ && i < hop_.size(); ++i) {
            int pipeEnds[2];
            ok_ = ::pipe2(pipeEnds, O_CLOEXEC) == 0;
            if (!ok_) break;
            hop_[i].Reset(pipeEnds[0]);
            out_[i - 1].Reset(pipeEnds[1]);
        }
        for (size_t i = 0; ok_ && i < hop_.size(); ++i) threads_.emplace_back([this, i] { Relay(i); });
    }
    ~RelayChain() {
        in_.Reset();  // the end of input ends each thread in turn
        for (std::thread& t : threads_) t.join();
    }
    bool ok() const { return ok_; }
    bool Press() { return ::write(in_.Get(), "k", 1) == 1; }

private:
    void Relay(size_t i) {
        char byte = 0;
        while (::read(hop_[i].Get(), &byte, 1) == 1) {
            if (i + 1 < hop_.size()) {
                if (::write(out_[i].Get(), &byte, 1) != 1) break;
            } else {
                cgitest::SendTo(port_, {static_cast<uint8_t>(byte)});
            }
        }
        if (i + 1 < hop_.size()) out_[i].Reset();
    }

    uint16_t port_;
    bool ok_ = false;
    sim::UniqueFd in_;
    std::array<sim::UniqueFd, 3> hop_;  // read ends
    std::array<sim::UniqueFd, 2> out_;  // write ends to the next hop
    std::vector<std::thread> threads_;
};

// Time the threads of a process have spent runnable but not running (ns,
// /proc/PID/task/*/schedstat): what the machine's load took from them.
double RunQueueWaitMs(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double ns = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const std::string stat = simtest::ReadFile(dir + "/" + e->d_name + "/schedstat");
            const size_t blank = stat.find(' ');
            if (blank != std::string::npos) ns += std::atof(stat.c_str() + blank + 1);
        }
        ::closedir(d);
    }
    return ns / 1e6;
}

double Percentile(std::vector<double> sorted, double share) {
    std::sort(sorted.begin(), sorted.end());
    const size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    const int presses = PressesArg(argc, argv);
    if (!cgitest::EnterPrivateNetwork()) {
        std::fputs("control_latency_bench: needs root for a private network namespace\n", stderr);
        return 2;
    }
    cgitest::UdpListener server(kServerPort);
    simtest::BoardRun run;
    run.UseProgram(PATERM_EXE);
    if (!server.bound() || !run.Start({"--server-ip", "127.0.0.1", "--device-id", kDeviceId})) {
        std::fputs("control_latency_bench: the board or the server port did not start\n", stderr);
        return 2;
    }
    PanelLine panelLine(run.root() + "/sim/panel.sock");
    if (!panelLine.ok() || !panelLine.Send(panel::AnnounceFrame())) {
        std::fputs("control_latency_bench: no panel line\n", stderr);
        return 2;
    }

    // Ready: the panel acknowledged and a first report gives the mask.
    const auto until = Clock::now() + kStartWait;
    std::optional<uint16_t> mask;
    bool ready = false;
    while (Clock::now() < until && !(ready && mask)) {
        ready = panelLine.Pump(ready ? 0 : 50);
        if (auto d = server.Receive(50))
            if (auto reported = ReportedMask(*d)) mask = reported;
    }
    if (!ready || !mask) {
        std::fprintf(stderr, "control_latency_bench: %s\n%s", ready ? "no status report" : "the panel was not acknowledged",
                     run.Console().c_str());
        return 2;
    }

    cgitest::UdpListener baselineListener(kBaselinePort);
    RelayChain baseline(kBaselinePort);
    if (!baselineListener.bound() || !baseline.ok()) {
        std::fputs("control_latency_bench: the baseline did not start\n", stderr);
        return 2;
    }
    std::vector<double> latencyMs, baselineMs;
    latencyMs.reserve(static_cast<size_t>(presses));
    baselineMs.reserve(static_cast<size_t>(presses));
    const pid_t program = run.Status().value("program_pid", 0);
    const double waitedBefore[] = {RunQueueWaitMs(program), RunQueueWaitMs(run.pid()), RunQueueWaitMs(::getpid())};
    const panel::Bytes key = panel::KeyFrame(kGroupKey);
    for (int i = 0; i < presses; ++i) {
        const uint16_t expected = static_cast<uint16_t>(*mask ^ 1u);
        const auto sent = Clock::now();
        if (!panelLine.Send(key)) {
            std::fputs("control_latency_bench: the panel line closed\n", stderr);
            return 2;
        }
        std::optional<uint16_t> seen;
        while (seen != expected) {
            const auto left = kReportWaitMs - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
            auto d = left > 0 ? server.Receive(static_cast<int>(left)) : std::nullopt;
            if (!d) {
                std::fprintf(stderr, "control_latency_bench: press %d: no report of mask 0x%04X within %d ms\n", i,
                             expected, kReportWaitMs);
                return 2;
            }
            seen = ReportedMask(*d);
        }
        latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        mask = expected;
        panelLine.Pump(0);

        const auto pressed = Clock::now();
        if (!baseline.Press() || !baselineListener.Receive(kReportWaitMs)) {
            std::fputs("control_latency_bench: the baseline lost a press\n", stderr);
            return 2;
        }
        baselineMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
    }
    const double waited[] = {RunQueueWaitMs(program) - waitedBefore[0], RunQueueWaitMs(run.pid()) - waitedBefore[1],
                             RunQueueWaitMs(::getpid()) - waitedBefore[2]};
    run.Stop();

    const double p50 = Percentile(latencyMs, 0.50);
    const double p99 = Percentile(latencyMs, 0.99);
    const double worst = *std::max_element(latencyMs.begin(), latencyMs.end());
    const double baseP50 = Percentile(baselineMs, 0.50);
    const double baseP99 = Percentile(baselineMs, 0.99);
    const bool met = p50 <= kP50TargetMs && p99 <= kP99TargetMs;
    std::printf("control latency, panel key to status report, %d presses: p50 %.3f ms (target %.1f), "
                "p99 %.3f ms (target %.1f), max %.3f ms: %s\n",
                presses, p50, kP50TargetMs, p99, kP99TargetMs, worst, met ? "met" : "MISSED");
    std::printf("baseline, three thread hand-overs and a datagram, interleaved: p50 %.3f ms, p99 %.3f ms; "
                "ratio p50 %.1f, p99 %.1f\n",
                baseP50, baseP99, p50 / baseP50, p99 / baseP99);
    std::printf("run-queue wait per press (runnable, not running): paterm %.3f ms, paterm-sim %.3f ms, "
                "the bench with its baseline %.3f ms\n",
                waited[0] / presses, waited[1] / presses, waited[2] / presses);
    return met ? 0 : 1;
}
