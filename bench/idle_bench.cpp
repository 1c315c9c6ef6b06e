// The program at rest: paterm on an idle simulated board (no server, no
// panel, no card events) for --seconds=N (60), in the bench's own network
// namespace. Prints the CPU it used (utime + stime from /proc) as a share of
// one core over its whole life and over the run after its start-up, and its
// resident size (VmRSS) at the end, against the targets 1 % and 8 MB, with
// the busiest threads so a miss shows where the time goes. As a baseline,
// a thread of the bench sleeps in 10 ms steps (the audio-input task's poll
// period, by select as the runtime sleeps) over the same time: its share is
// what the poll's wake-ups alone cost on this machine. Needs root (the
// namespace). Exit status 0 when both targets are met, 1 when one is
// missed, 2 when the run could not be made.
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace std::chrono_literals;

constexpr int kDefaultSeconds = 60;
constexpr int kStartupSeconds = 10;  // start-up work (unpacking, the 5-second registration) lies before this
constexpr double kCpuTargetPercent = 1.0;
constexpr long kRssTargetKb = 8 * 1024;
constexpr size_t kThreadsShown = 5;

int SecondsArg(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) return std::max(kStartupSeconds + 1, std::atoi(argv[i] + 10));
    return kDefaultSeconds;
}

struct Times {
    std::string waitsIn;  // threads: the kernel function it sleeps in (the tasks carry no names)
    double cpuSeconds = 0;  // utime + stime
    double startSeconds = 0;  // since boot
};

// The stat line of a process or thread; the name is in parentheses and may
// hold blanks, so the fields are counted from the closing one.
bool ReadStat(const std::string& path, Times* out) {
    const std::string text = simtest::ReadFile(path);
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    std::vector<std::string> fields;  // fields[0] is field 3, the state
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t blank = text.find(' ', at);
        fields.push_back(text.substr(at, blank == std::string::npos ? std::string::npos : blank - at));
        if (blank == std::string::npos) break;
        at = blank + 1;
    }
    if (fields.size() < 20) return false;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    out->cpuSeconds = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;  // fields 14, 15
    out->startSeconds = std::atof(fields[19].c_str()) / tick;                                   // field 22
    return true;
}

double Uptime() { return std::atof(simtest::ReadFile("/proc/uptime").c_str()); }

long RssKb(pid_t pid) {
    const std::string status = simtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

std::vector<std::pair<int, Times>> Threads(pid_t pid) {
    std::vector<std::pair<int, Times>> threads;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return threads;
    while (const dirent* e = ::readdir(d)) {
        Times t;
        if (e->d_name[0] == '.' || !ReadStat(dir + "/" + e->d_name + "/stat", &t)) continue;
        t.waitsIn = simtest::ReadFile(dir + "/" + e->d_name + "/wchan");
        threads.emplace_back(std::atoi(e->d_name), t);
    }
    ::closedir(d);
    std::sort(threads.begin(), threads.end(), [](const auto& a, const auto& b) { return a.second.cpuSeconds > b.second.cpuSeconds; });
    return threads;
}

// Sleeps 10 ms at a time until stopped; the CPU share it used on the way.
class SleepLoop {
public:
    SleepLoop() : thread_([this] { Run(); }) {}
    ~SleepLoop() { Stop(); }
    double Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return share_;
    }

private:
    void Run() {
        timespec cpu0{}, cpu1{}, wall0{}, wall1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        clock_gettime(CLOCK_MONOTONIC, &wall0);
        while (!stop_) {
            timeval step{0, 10000};
            select(0, nullptr, nullptr, nullptr, &step);
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        clock_gettime(CLOCK_MONOTONIC, &wall1);
        auto seconds = [](const timespec& a, const timespec& b) { return (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9; };
        share_ = seconds(cpu0, cpu1) / seconds(wall0, wall1);
    }

    std::atomic<bool> stop_{false};
    double share_ = 0;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = SecondsArg(argc, argv);
    if (!cgitest::EnterPrivateNetwork()) {
        std::fputs("idle_bench: needs root for a private network namespace\n", stderr);
        return 2;
    }
    simtest::BoardRun run;
    run.UseProgram(PATERM_EXE);
    pid_t pid = 0;
    if (run.Start({"--device-id", "PT00000007"}))
        simtest::WaitUntil([&] { return (pid = run.Status().value("program_pid", 0)) > 0; }, 10s);
    Times start;
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    if (pid <= 0 || !ReadStat(stat, &start)) {
        std::fputs("idle_bench: the program did not start\n", stderr);
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(start.startSeconds + kStartupSeconds - Uptime()));
    Times settled;
    const double settledAt = Uptime();
    if (!ReadStat(stat, &settled)) return 2;
    const auto threadsSettled = Threads(pid);
    SleepLoop baseline;
    std::this_thread::sleep_for(std::chrono::duration<double>(start.startSeconds + seconds - Uptime()));
    const double baselinePercent = 100.0 * baseline.Stop();
    Times end;
    const double endAt = Uptime();
    const long rssKb = RssKb(pid);
    if (!ReadStat(stat, &end) || rssKb < 0) {
        std::fputs("idle_bench: the program ended during the run\n", stderr);
        return 2;
    }
    const auto threads = Threads(pid);
    Times board;
    ReadStat("/proc/" + std::to_string(run.pid()) + "/stat", &board);
    run.Stop();

    const double life = endAt - end.startSeconds;
    const double lifePercent = 100.0 * end.cpuSeconds / life;
    const double restPercent = 100.0 * (end.cpuSeconds - settled.cpuSeconds) / (endAt - settledAt);
    const bool met = lifePercent <= kCpuTargetPercent && rssKb <= kRssTargetKb;
    std::printf("idle program, %.1f s: CPU %.3f s = %.3f %% of a core (target %.1f %%), after start-up %.3f %%; "
                "VmRSS %ld kB (target %ld kB): %s\n",
                life, end.cpuSeconds, lifePercent, kCpuTargetPercent, restPercent, rssKb, kRssTargetKb,
                met ? "met" : "MISSED");
    std::printf("busiest threads (tid, position in creation order, CPU s, waiting in): ");
    for (size_t i = 0; i < threads.size() && i < kThreadsShown; ++i) {
        const int tid = threads[i].first;
        const auto older = std::count_if(threads.begin(), threads.end(), [&](const auto& t) { return t.first < tid; });
        std::printf("%s%d #%ld %.2f %s", i ? ", " : "", tid, static_cast<long>(older), threads[i].second.cpuSeconds,
                    threads[i].second.waitsIn.c_str());
    }
    std::printf(" of %zu; the board (paterm-sim) itself %.2f s\n", threads.size(), board.cpuSeconds);
    // The busiest thread over the same window as the baseline.
    double busiestPercent = 0;
    if (!threads.empty()) {
        double before = 0;
        for (const auto& t : threadsSettled)
            if (t.first == threads[0].first) before = t.second.cpuSeconds;
        busiestPercent = 100.0 * (threads[0].second.cpuSeconds - before) / (endAt - settledAt);
    }
    std::printf("baseline, a bare 10 ms sleep loop here: %.3f %% of a core; the busiest thread after start-up "
                "%.3f %% (ratio %.1f)\n",
                baselinePercent, busiestPercent, baselinePercent > 0 ? busiestPercent / baselinePercent : 0.0);
    return met ? 0 : 1;
}
