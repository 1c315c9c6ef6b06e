// An accelerated soak of the terminal: the real program on the simulated
// board with a card of MP3 files and two management server simulators, in
// the test's own network namespace, driven by a seeded random sequence of
// what its users do, about one action a second: broadcasts requested from
// the panel, granted, stopped and switched by the server's mode, MP3 files
// played, paused and stopped from the remote and the panel, the card pulled
// and put back, panel keys and settings, web settings saved and read, and
// the server changing (the announcing server falls silent, the other one
// announces and is adopted once the first is lost).
//
// A sampler reads the program's resident memory, descriptors and threads
// from /proc and the board's resets and watchdog feeds every few seconds
// into a CSV file. At the end, with all activity stopped: no reset and no
// restart, descriptors and threads back at the quiet baseline taken after
// the warm-up, resident memory grown by less than its bound, the settings
// files valid, and a broadcast, a file and a web save still work.
//
// SOAK_SECONDS (default 25) sets the random phase, SOAK_SEED the sequence,
// SOAK_CSV where the samples go (default soak-samples.csv in the build).
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/cgi/cgi_run.h"
#include "tests/cgi/private_net.h"
#include "tests/e2e/server_process.h"
#include "tests/sim/sim_harness.h"
#include "tests/support/mp3_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2etest::Server;
using simtest::BoardRun;
using simtest::WaitUntil;

const std::string kDeviceId = "PT00000007";
const std::string kExtOptsFile = "/opt/lpc3250/sysExtOpts";

long EnvNumber(const char* name, long fallback, long low, long high) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && n >= low && n <= high ? n : fallback;
}

// --- the program's resources ----------------------------------------------

// Entries of a /proc directory (descriptors, threads), -1 when it is gone.
int CountEntries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

long VmRssKb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// What each descriptor refers to, for a leak's diagnosis.
std::multiset<std::string> Descriptors(int pid) {
    std::multiset<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return targets;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char buf[512];
        const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), buf, sizeof buf - 1);
        targets.insert(n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?");
    }
    ::closedir(d);
    return targets;
}

struct Sample {
    double seconds = 0;
    std::string phase;
    uint64_t actions = 0;
    int pid = 0;
    long rssKb = -1;
    int fds = -1;
    int threads = -1;
    int starts = -1;
    int resets = -1;
    int64_t feeds = -1;
};

Sample Take(BoardRun& run, Clock::time_point begin, const std::string& phase, uint64_t actions) {
    Sample s;
    s.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    s.phase = phase;
    s.actions = actions;
    const sim::Json st = run.Status();
    s.pid = st.value("program_pid", 0);
    s.starts = st.value("program_starts", -1);
    if (const sim::Json* resets = simtest::Member(st, "resets")) s.resets = static_cast<int>(resets->size());
    if (const sim::Json* wd = simtest::Member(st, "watchdog")) s.feeds = wd->value("feeds", int64_t{-1});
    if (s.pid > 0) {
        const std::string proc = "/proc/" + std::to_string(s.pid);
        s.rssKb = VmRssKb(s.pid);
        s.fds = CountEntries(proc + "/fd");
        s.threads = CountEntries(proc + "/task");
    }
    return s;
}

constexpr const char* kCsvHeader =
    "seconds,phase,actions,program_pid,vmrss_kb,fds,threads,program_starts,resets,watchdog_feeds\n";

std::string CsvLine(const Sample& s) {
    char line[256];
    std::snprintf(line, sizeof line, "%.1f,%s,%llu,%d,%ld,%d,%d,%d,%d,%lld\n", s.seconds, s.phase.c_str(),
                  static_cast<unsigned long long>(s.actions), s.pid, s.rssKb, s.fds, s.threads, s.starts, s.resets,
                  static_cast<long long>(s.feeds));
    return line;
}

// Samples every period on a thread of its own; the test adds its own. Each
// sample goes into the CSV file at once, so a run that fails keeps them.
class Sampler {
public:
    Sampler(BoardRun& run, std::chrono::milliseconds period, const std::string& csv)
        : run_(run), begin_(Clock::now()), csv_(csv, std::ios::trunc) {
        csv_ << kCsvHeader << std::flush;
        thread_ = std::thread([this, period] { Loop(period); });
    }
    ~Sampler() { Stop(); }
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    void SetPhase(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = phase;
    }
    void CountAction() { ++actions_; }
    uint64_t actions() const { return actions_; }
    Sample Now() {
        std::string phase;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            phase = phase_;
        }
        Sample s = Take(run_, begin_, phase, actions_);
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.push_back(s);
        csv_ << CsvLine(s) << std::flush;
        return s;
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    std::vector<Sample> samples() {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    bool written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<bool>(csv_);
    }

private:
    void Loop(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            lock.unlock();
            Now();
            lock.lock();
            wake_.wait_for(lock, period, [this] { return stop_; });
        }
    }

    BoardRun& run_;
    Clock::time_point begin_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::string phase_ = "start";
    std::atomic<uint64_t> actions_{0};
    std::vector<Sample> samples_;
    std::ofstream csv_;
    std::thread thread_;
};

// --- the terminal's users ---------------------------------------------------

// Under the sanitizers freed memory waits in a quarantine and shadow
// memory grows with what is touched: resident memory is reported, not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string ExtOpts(int delay, int autoFlag) {
    return std::string{static_cast<char>(delay & 0xFF), static_cast<char>((delay >> 8) & 0xFF),
                       static_cast<char>(autoFlag), 0, 0, 0, 0, 0};
}

bool DspOpen(BoardRun& run) {
    const sim::Json status = run.Status();
    const sim::Json* dsp = simtest::Member(status, "dsp");
    return dsp != nullptr && dsp->value("open", false);
}

int64_t DecoderBytes(BoardRun& run) {
    return run.Control(R"({"cmd":"decoder.stats"})").value("bytes_received", int64_t{-1});
}

// The decoder takes no byte for a second: nothing plays.
bool DecoderIdle(BoardRun& run) {
    const int64_t before = DecoderBytes(run);
    std::this_thread::sleep_for(1000ms);
    return DecoderBytes(run) == before;
}

constexpr int kBroadcastKey = 14;
constexpr int kPlayStopKey = 15;
constexpr int kRfStopKey = 12;
constexpr auto kServerChangeEvery = 40s;  // the old server is lost after about 20 s of silence

// The kinds of action and how often each comes.
enum class Kind {
    PanelKey, PanelSetting, PanelAnnounce, BroadcastKey, Grant, ServerStop, ServerMode, RfFile, RfStop,
    PanelPlay, PanelBrowse, Card, WebSave, WebRead, ServerChange, Count
};
struct KindInfo {
    const char* name;
    int weight;
};
constexpr std::array<KindInfo, static_cast<size_t>(Kind::Count)> kKinds = {{
    {"panel key", 14},
    {"panel setting", 5},
    {"panel announce", 2},
    {"broadcast key", 8},
    {"server grant", 9},
    {"server stop", 5},
    {"server mode", 4},
    {"rf file key", 10},
    {"rf stop key", 4},
    {"panel play/stop", 6},
    {"panel browse", 4},
    {"card out/in", 4},
    {"web save", 5},
    {"web read", 2},
    {"server change", 2},
}};

class Users {
public:
    Users(BoardRun& run, Server& first, Server& second, Sampler& sampler, uint64_t seed, const std::string& log)
        : run_(run), servers_{&first, &second}, sampler_(sampler), random_(seed), log_(log, std::ios::trunc) {}

    void Do(Kind kind) {
        if (kind >= Kind::Count) return;
        // Board time, to line the actions up with the board's logs.
        log_ << run_.Status().value("uptime_ms", int64_t{-1}) << " " << kKinds[static_cast<size_t>(kind)].name;
        inAction_ = true;
        switch (kind) {
            case Kind::PanelKey: Key(Pick(0, 22)); break;
            case Kind::PanelSetting: {
                const int setting = Pick(1, 7);
                Panel("[4,130," + std::to_string(setting) + "," + std::to_string(Pick(0, 255)) + "]");
                break;
            }
            case Kind::PanelAnnounce: Panel("[0,128]"); break;
            case Kind::BroadcastKey: Key(kBroadcastKey); break;
            case Kind::Grant: Announcer().Command("grant " + std::to_string(++brdId_ % 60000 + 1)); break;
            case Kind::ServerStop: Announcer().Command("stop " + std::to_string(brdId_ % 60000 + 1)); break;
            case Kind::ServerMode: Announcer().Command(std::string("mode ") + kModes[Pick(0, 2)]); break;
            case Kind::RfFile: Rf(Pick(0, 11)); break;
            case Kind::RfStop: Rf(Pick(0, 3) == 0 ? Pick(13, 15) : kRfStopKey); break;
            case Kind::PanelPlay: Key(kPlayStopKey); break;
            case Kind::PanelBrowse: Key(Pick(16, 19)); break;
            case Kind::Card:
                run_.Control(cardIn_ ? R"({"cmd":"card.remove"})" : R"({"cmd":"card.insert"})");
                cardIn_ = !cardIn_;
                break;
            case Kind::WebSave: WebSave(Pick(0, 65535), Pick(0, 1)); break;
            case Kind::WebRead: WebRead(); break;
            case Kind::ServerChange:
                announcer_ = 1 - announcer_;
                lastChange_ = Clock::now();
                Announce();
                break;
            case Kind::Count: break;
        }
        inAction_ = false;
        log_ << std::endl;
        ++done_[static_cast<size_t>(kind)];
        sampler_.CountAction();
    }

    // A kind by weight; a server change waits until the last one has settled.
    Kind Next() {
        int total = 0;
        for (const KindInfo& k : kKinds) total += k.weight;
        for (;;) {
            int r = Pick(0, total - 1);
            size_t i = 0;
            while (r >= kKinds[i].weight) r -= kKinds[i++].weight;
            const Kind kind = static_cast<Kind>(i);
            if (kind != Kind::ServerChange || Clock::now() - lastChange_ >= kServerChangeEvery) return kind;
        }
    }

    // The pause before the next action: half a second to a second and a half.
    std::chrono::milliseconds Pause() { return std::chrono::milliseconds(Pick(500, 1500)); }

    // The announcing server keeps the terminal's adoption alive.
    void Announce() {
        Announcer().Command("announce");
        lastAnnounce_ = Clock::now();
    }
    void AnnounceIfDue() {
        if (Clock::now() - lastAnnounce_ >= 2s) Announce();
    }

    // Everything stopped: no broadcast, no file, the card in, auto mode off.
    bool Quiet() {
        servers_[0]->Command("mode off");
        Rf(kRfStopKey);
        if (!cardIn_) {
            run_.Control(R"({"cmd":"card.insert"})");
            cardIn_ = true;
        }
        return WaitUntil(
            [&] {
                AnnounceIfDue();
                if (DspOpen(run_) || !DecoderIdle(run_)) {
                    servers_[0]->Command("mode off");
                    Rf(kRfStopKey);
                    return false;
                }
                return true;
            },
            30s);
    }

    bool WebSave(int delay, int autoFlag) {
        cgitest::CgiRequest request;
        request.method = "POST";
        request.contentType = "application/x-www-form-urlencoded";
        request.body =
            std::string("auto_enabled=") + (autoFlag ? "enable" : "disable") + "&delay=" + std::to_string(delay);
        const bool answered = cgitest::RunCgi(EXTOPTS_EXE, request, run_.root()).exitCode == 0;
        if (answered) lastSaved_ = ExtOpts(delay, autoFlag);
        return answered;
    }
    bool WebRead() {
        cgitest::CgiRequest request;
        const cgitest::CgiReply reply = cgitest::RunCgi(GETEXTOPTS_EXE, request, run_.root());
        return reply.exitCode == 0 && reply.output.find("\"success\"") != std::string::npos;
    }

    bool Key(int key) { return Panel("[4,129," + std::to_string(key) + ",1]"); }
    bool Rf(int code) {
        return run_.Control(R"({"cmd":"rf.key","code":)" + std::to_string(code) + "}").value("ok", false);
    }

    Server& Announcer() { return *servers_[static_cast<size_t>(announcer_)]; }
    const std::string& lastSaved() const { return lastSaved_; }
    uint64_t Done(Kind kind) const { return done_[static_cast<size_t>(kind)]; }

private:
    static constexpr const char* kModes[3] = {"off", "on", "auto"};

    // A random number; those an action draws go into its log line.
    int Pick(int low, int high) {
        const int n = std::uniform_int_distribution<int>(low, high)(random_);
        if (inAction_) log_ << " " << n;
        return n;
    }
    bool Panel(const std::string& payload) {
        return run_.Control(R"({"cmd":"panel.send","payload":)" + payload + "}").value("ok", false);
    }

    BoardRun& run_;
    std::array<Server*, 2> servers_;
    Sampler& sampler_;
    std::mt19937_64 random_;
    std::ofstream log_;
    bool inAction_ = false;
    int announcer_ = 0;
    bool cardIn_ = true;
    uint32_t brdId_ = 0;
    std::string lastSaved_;
    Clock::time_point lastChange_ = Clock::now() - kServerChangeEvery;
    Clock::time_point lastAnnounce_ = Clock::now() - 1h;
    std::array<uint64_t, static_cast<size_t>(Kind::Count)> done_{};
};

// Descriptors and threads unchanged over four samples a second apart.
bool Stable(Sampler& sampler, Users& users, Sample* settled) {
    int same = 0;
    Sample last = sampler.Now();
    return WaitUntil(
        [&] {
            users.AnnounceIfDue();
            std::this_thread::sleep_for(1000ms);
            const Sample s = sampler.Now();
            same = s.fds == last.fds && s.threads == last.threads && s.fds > 0 ? same + 1 : 0;
            last = s;
            *settled = s;
            return same >= 3;
        },
        40s);
}

std::string Summary(const std::vector<Sample>& samples, const Sample& warm, const Sample& end) {
    Sample max;
    for (const Sample& s : samples) {
        max.rssKb = std::max(max.rssKb, s.rssKb);
        max.fds = std::max(max.fds, s.fds);
        max.threads = std::max(max.threads, s.threads);
        max.feeds = std::max(max.feeds, s.feeds);
    }
    const Sample& start = samples.front();
    char text[1024];
    std::snprintf(text, sizeof text,
                  "%-14s %10s %12s %10s %10s\n"
                  "%-14s %10ld %12ld %10ld %10ld\n"
                  "%-14s %10d %12d %10d %10d\n"
                  "%-14s %10d %12d %10d %10d\n"
                  "%-14s %10lld %12lld %10lld %10lld\n",
                  "", "start", "after warm-up", "end", "max",  //
                  "VmRSS kB", start.rssKb, warm.rssKb, end.rssKb, max.rssKb,  //
                  "descriptors", start.fds, warm.fds, end.fds, max.fds,  //
                  "threads", start.threads, warm.threads, end.threads, max.threads,  //
                  "watchdog feeds", static_cast<long long>(start.feeds), static_cast<long long>(warm.feeds),
                  static_cast<long long>(end.feeds), static_cast<long long>(max.feeds));
    return text;
}

// Least-squares slope of resident memory over the actions of the samples
// after the warm-up, kB per 100 actions: a leak grows steadily, the
// allocator's steps do not.
double RssSlope(const std::vector<Sample>& samples, uint64_t fromActions) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples) {
        if (s.phase != "soak" || s.actions < fromActions || s.rssKb < 0) continue;
        const double x = static_cast<double>(s.actions), y = static_cast<double>(s.rssKb);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    return n >= 3 && d > 0 ? (n * sxy - sx * sy) / d * 100 : 0;
}

std::string Difference(const std::multiset<std::string>& before, const std::multiset<std::string>& after) {
    std::string text;
    std::multiset<std::string> gone = before, added = after;
    for (const std::string& t : before) {
        auto it = added.find(t);
        if (it != added.end()) {
            added.erase(it);
            gone.erase(gone.find(t));
        }
    }
    for (const std::string& t : gone) text += "  closed since: " + t + "\n";
    for (const std::string& t : added) text += "  opened since: " + t + "\n";
    return text;
}

// The board's logs and the servers' output beside the samples, to read after the run.
void KeepLogs(const BoardRun& run, const std::string& csv) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(csv).parent_path() / "soak-logs";
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const char* name : {"console.log", "kernel.log", "board.log"})
        fs::copy_file(run.At(std::string("/sim/") + name), dir / name, fs::copy_options::overwrite_existing, ec);
    for (const char* name : {"first.out", "second.out"})
        fs::copy_file(run.root() + "/" + name, dir / name, fs::copy_options::overwrite_existing, ec);
}

}  // namespace

TEST(Soak, AnHourOfUseLeavesNoLeakNoResetAndWorkingSettings) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    const auto soakFor = std::chrono::seconds(EnvNumber("SOAK_SECONDS", 25, 5, 7 * 24 * 3600));
    const uint64_t seed = static_cast<uint64_t>(EnvNumber("SOAK_SEED", 20261209, 0, 0x7FFFFFFF));
    const char* csvEnv = std::getenv("SOAK_CSV");
    const std::string csv = csvEnv != nullptr && *csvEnv != '\0' ? csvEnv : SOAK_CSV_DEFAULT;
    // Warm-up: a fifth of the run, at most two minutes, before the memory reference.
    const auto warmFor = std::min<std::chrono::seconds>(soakFor / 5, 120s);
    SCOPED_TRACE("SOAK_SEED=" + std::to_string(seed));

    BoardRun run;
    run.UseProgram(PATERM_EXE);
    // Two folders of silent files of 3, 10 and 30 s.
    for (const char* folder : {"/mmc", "/mmc/01First", "/mmc/02Second"})
        ASSERT_EQ(::mkdir(run.At(folder).c_str(), 0755), 0);
    const int lengths[3] = {115, 383, 1150};
    for (int f = 0; f < 3; ++f) {
        testsupport::WriteSilentMp3(run.At("/mmc/01First/0" + std::to_string(f + 1) + "a.mp3"), lengths[f]);
        testsupport::WriteSilentMp3(run.At("/mmc/02Second/0" + std::to_string(f + 1) + "b.mp3"), lengths[2 - f]);
    }
    // No fixed server: the terminal adopts whichever server announces.
    ASSERT_TRUE(run.Start({"--device-id", kDeviceId}));
    ASSERT_TRUE(run.Control(R"({"cmd":"dsp.source","tone":1000})").value("ok", false));
    Server first(run.root(), kDeviceId, "--announce 0 --bind 127.0.0.1", "first");
    Server second(run.root(), kDeviceId, "--announce 0 --bind 127.0.0.2", "second");
    ASSERT_TRUE(first.running() && second.running());
    Sampler sampler(run, std::chrono::milliseconds(EnvNumber("SOAK_SAMPLE_MS", 3000, 500, 60000)), csv);
    std::filesystem::create_directories(std::filesystem::path(csv).parent_path() / "soak-logs");
    Users users(run, first, second, sampler, seed,
                (std::filesystem::path(csv).parent_path() / "soak-logs" / "actions.log").string());
    // However the test ends, the board's logs are kept.
    struct LogKeeper {
        const BoardRun& run;
        const std::string& csv;
        ~LogKeeper() { KeepLogs(run, csv); }
    } keeper{run, csv};

    // The first server adopted: its reports arrive.
    ASSERT_TRUE(WaitUntil(
        [&] {
            users.AnnounceIfDue();
            return first.Output().find("status from 127.0.0.1 " + kDeviceId) != std::string::npos;
        },
        20s))
        << first.Output() << run.Console();
    // The CGI channel opens some seconds after the start.
    ASSERT_TRUE(WaitUntil(
        [&] {
            users.AnnounceIfDue();
            return users.WebSave(30, 0) &&
                   WaitUntil([&] { return simtest::ReadFile(run.At(kExtOptsFile)) == ExtOpts(30, 0); }, 500ms);
        },
        20s))
        << run.Console();

    // Each kind once, so that what is made once and kept is there before the baseline.
    sampler.SetPhase("warm-up");
    for (size_t i = 0; i < kKinds.size(); ++i) {
        users.Do(static_cast<Kind>(i));
        users.AnnounceIfDue();
        std::this_thread::sleep_for(400ms);
    }
    users.Do(Kind::Grant);
    users.Do(Kind::RfFile);
    std::this_thread::sleep_for(1500ms);
    sampler.SetPhase("quiet");
    ASSERT_TRUE(users.Quiet()) << run.Console();
    Sample baseline;
    ASSERT_TRUE(Stable(sampler, users, &baseline));
    const std::multiset<std::string> baselineFds = Descriptors(baseline.pid);

    // The random phase.
    sampler.SetPhase("soak");
    const Clock::time_point soakBegin = Clock::now();
    Sample warm;
    bool warmTaken = false;
    while (Clock::now() - soakBegin < soakFor) {
        if (!warmTaken && Clock::now() - soakBegin >= warmFor) {
            warm = sampler.Now();
            warmTaken = true;
        }
        users.Do(users.Next());
        const Clock::time_point next = Clock::now() + users.Pause();
        while (Clock::now() < next) {
            users.AnnounceIfDue();
            std::this_thread::sleep_for(100ms);
        }
    }
    const uint64_t actions = sampler.actions();

    // The quiet point at the end.
    sampler.SetPhase("quiet");
    ASSERT_TRUE(users.Quiet()) << "activity does not stop\n" << run.Console();
    Sample end;
    ASSERT_TRUE(Stable(sampler, users, &end)) << "descriptors or threads do not settle";
    const std::multiset<std::string> endFds = Descriptors(end.pid);
    EXPECT_TRUE(WaitUntil([&] { return simtest::ReadFile(run.At(kExtOptsFile)) == users.lastSaved(); }, 5s))
        << "the last web save of the soak is not what the settings file holds";

    // Still working: a broadcast, a file, a web save.
    sampler.SetPhase("check");
    ASSERT_TRUE(users.Key(kBroadcastKey));
    bool streaming = false;
    for (int attempt = 0; attempt < 4 && !streaming; ++attempt) {
        std::this_thread::sleep_for(500ms);
        first.Command("grant 77");
        streaming = WaitUntil([&] { return DspOpen(run); }, 4s);
    }
    EXPECT_TRUE(streaming) << "no broadcast after the soak: a stuck state\n" << run.Console();
    users.Key(kBroadcastKey);
    EXPECT_TRUE(WaitUntil([&] { return !DspOpen(run); }, 10s)) << "the broadcast key no longer stops";
    const int64_t decoded = DecoderBytes(run);
    ASSERT_TRUE(users.Rf(1));
    EXPECT_TRUE(WaitUntil([&] { return DecoderBytes(run) > decoded + 20000; }, 10s))
        << "no file plays after the soak: a stuck state\n" << run.Console();
    users.Rf(kRfStopKey);
    EXPECT_TRUE(WaitUntil([&] { return DecoderIdle(run); }, 10s)) << "the stop key no longer stops";
    EXPECT_TRUE(WaitUntil([&] { return users.WebSave(4321, 1); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return simtest::ReadFile(run.At(kExtOptsFile)) == ExtOpts(4321, 1); }, 10s))
        << "a web save after the soak is not stored";
    sampler.Stop();

    // The figures.
    const std::vector<Sample> samples = sampler.samples();
    ASSERT_FALSE(samples.empty());
    if (!warmTaken) warm = baseline;
    EXPECT_TRUE(sampler.written()) << csv;
    // A leak of a kilobyte per action exceeds this over an hour's 3600 actions.
    const long boundKb = 1024 + static_cast<long>(actions) * 16 / 100;
    const long growthKb = end.rssKb - warm.rssKb;
    const uint64_t soakActions = actions - warm.actions;
    std::printf("soak: %lld s, seed %llu, %llu actions (%llu after the warm-up), %zu samples in %s\n",
                static_cast<long long>(soakFor.count()), static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(actions), static_cast<unsigned long long>(soakActions), samples.size(),
                csv.c_str());
    std::printf("%s", Summary(samples, warm, end).c_str());
    std::printf("baseline at the first quiet point: %d descriptors, %d threads; at the last: %d, %d\n", baseline.fds,
                baseline.threads, end.fds, end.threads);
    std::printf("VmRSS growth after the warm-up: %ld kB (%.1f kB per 100 actions), bound %ld kB%s\n", growthKb,
                soakActions > 0 ? growthKb * 100.0 / static_cast<double>(soakActions) : 0.0, boundKb,
                kSanitized ? " (not judged under a sanitizer)" : "");
    std::printf("VmRSS trend over the samples after the warm-up: %.2f kB per 100 actions\n",
                RssSlope(samples, warm.actions));
    std::printf("actions:");
    for (size_t i = 0; i < kKinds.size(); ++i)
        std::printf("%s %s %llu", i == 0 ? "" : ",", kKinds[i].name,
                    static_cast<unsigned long long>(users.Done(static_cast<Kind>(i))));
    std::printf("\nstatus reports: first server %zu, second server %zu; streams received: %zu, %zu\n",
                e2etest::Count(first.Output(), "status from"), e2etest::Count(second.Output(), "status from"),
                e2etest::Count(first.Output(), "stream: "), e2etest::Count(second.Output(), "stream: "));
    std::fflush(stdout);

    // The claims.
    const sim::Json st = run.Status();
    EXPECT_EQ(st.value("program_starts", 0), 1)
        << "the program restarted (" << st.value("last_exit", std::string()) << ")\n" << run.Console();
    const sim::Json* resets = simtest::Member(st, "resets");
    EXPECT_TRUE(resets != nullptr && resets->empty()) << st.dump();
    for (const Sample& s : samples) EXPECT_EQ(s.pid, baseline.pid) << "at " << s.seconds << " s";
    EXPECT_GT(end.feeds, baseline.feeds) << "the watchdog is fed throughout";
    EXPECT_EQ(end.fds, baseline.fds) << "descriptors at the quiet point\n" << Difference(baselineFds, endFds);
    EXPECT_EQ(end.threads, baseline.threads) << "threads at the quiet point";
    if (!kSanitized) {
        EXPECT_LT(growthKb, boundKb) << "resident memory grew after the warm-up";
    }
    // The settings files: whole records, no rewrite left half-done.
    EXPECT_EQ(simtest::ReadFile(run.At(kExtOptsFile)), ExtOpts(4321, 1));
    EXPECT_EQ(simtest::ReadFile(run.At("/opt/lpc3250/chncfg")).size(), 8u);
    EXPECT_FALSE(simtest::Exists(run.At("/opt/lpc3250/chncfg.new")));
    EXPECT_FALSE(simtest::Exists(run.At("/opt/lpc3250/sysExtOpts.new")));
    const sim::Json kernel = run.Control(R"({"cmd":"kernel.log","from":0})");
    EXPECT_EQ(kernel.value("bugs", -1), 0) << "the emulated kernel reported bugs";
    first.Close();
    second.Close();
}
