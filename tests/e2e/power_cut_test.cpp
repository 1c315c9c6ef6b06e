// Power cuts at seeded random instants while the terminal writes what must
// survive one: the advanced settings saved from the web page, the channel
// settings rewritten after a panel key, an application archive from a peer
// and an upgrade package from the server. After each cut the board powers
// on and the files hold the old record or the new one, byte for byte, and
// the application tree is the old one or the new one, whole.
//
// REPETITIONS (default 10) sets the cuts per scenario, POWERCUT_SEED the
// first seed (cut i uses seed + i); a failure names its seed. Each cut's
// instant lies within the operation's length as measured on an uncut run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tests/cgi/cgi_run.h"
#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using simtest::BoardRun;
using simtest::WaitUntil;
using Tree = std::map<std::string, std::string>;

int Repetitions() {
    const char* text = std::getenv("REPETITIONS");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 10;
    return n >= 1 && n <= 10000 ? static_cast<int>(n) : 10;
}

uint64_t FirstSeed() {
    const char* text = std::getenv("POWERCUT_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 20261208;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A cut somewhere in the operation, and a little past its end.
int WindowFor(Clock::duration measured) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(measured).count() * 5 / 4 + 20);
}

// The real program on a board whose power the test cuts.
class CutBoard {
public:
    bool Start(const std::vector<std::string>& args = {}) {
        run.UseProgram(PATERM_EXE);
        return run.Start(args) && WaitStarted();
    }
    // Settings loaded by the latest start: its device ID line follows the
    // board's last power-on or reset line (a start cut short prints none).
    bool WaitStarted() {
        return WaitUntil(
            [&] {
                if (!run.Status().value("program_running", false)) return false;
                const std::string console = run.Console();
                const size_t reset = console.rfind("[board] reset"), powerOn = console.rfind("[board] power-on");
                size_t start = 0;
                if (reset != std::string::npos) start = reset;
                if (powerOn != std::string::npos && (reset == std::string::npos || powerOn > reset)) start = powerOn;
                return console.find("device ID is", start) != std::string::npos;
            },
            20s);
    }
    size_t Cuts() {
        const sim::Json st = run.Status();
        size_t n = 0;
        if (const sim::Json* resets = simtest::Member(st, "resets"))
            for (const sim::Json& r : *resets) n += r.value("cause", std::string()) == "power cut";
        return n;
    }
    // The board's chosen instant (ms from now), or -1.
    int64_t CutWithin(uint64_t seed, int withinMs) {
        const sim::Json reply = run.Control(R"({"cmd":"power.cut","seed":)" + std::to_string(seed) +
                                            R"(,"within_ms":)" + std::to_string(withinMs) + "}");
        return reply.value("ok", false) ? reply.value("after_ms", int64_t{-1}) : -1;
    }
    // The cut has happened and the program has started again.
    bool WaitCutAndPowerOn(size_t cuts) {
        return WaitUntil([&] { return Cuts() >= cuts; }, 30s) && WaitStarted();
    }
    std::string Read(const std::string& terminalPath) const { return simtest::ReadFile(run.At(terminalPath)); }

    BoardRun run;
};

// --- the application tree -------------------------------------------------

bool IsSetting(const std::string& rel) {
    return rel == "chncfg" || rel == "sysExtOpts" || rel == "devcfg" || rel == "usr/etc/boa/www.passwd" ||
           (rel.size() > 4 && rel.compare(rel.size() - 4, 4, ".new") == 0);
}

// The tree's files, settings left out (they are checked on their own).
Tree Snapshot(const std::string& dir) {
    Tree entries;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return entries;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir).string();
        if (IsSetting(rel) || it->is_directory()) continue;
        entries[rel] = it->is_regular_file() ? simtest::ReadFile(it->path().string()) : "other";
    }
    return entries;
}

// Two application trees to install in turn, as archives; each carries the
// board's wget so the terminal can still download after running it.
class Releases {
public:
    explicit Releases(const std::string& wgetTgz) {
        for (int v = 0; v < 2; ++v) {
            const std::string top = dir_.path() + "/" + std::to_string(v) + "/lpc3250";
            fs::create_directories(top + "/usr/bin");
            fs::create_directories(top + "/lib");
            fs::copy_file(wgetTgz, top + "/usr/bin/wget.tgz");
            simtest::WriteFile(top + "/release", "release " + std::to_string(v) + "\n");
            simtest::WriteFile(top + "/usr/bin/paterm", std::string(200000, static_cast<char>('p' + v)));
            // Large once unpacked, small to send: the unpacking is most of the installation.
            for (int i = 0; i < 6; ++i)
                simtest::WriteFile(top + "/lib/bulk" + std::to_string(i), std::string(1 << 20, static_cast<char>('a' + v + i)));
            trees_[v] = Snapshot(top);
            const std::string tgz = Archive(v);
            ok_ = ok_ && std::system(("tar czf " + tgz + " -C " + dir_.path() + "/" + std::to_string(v) + " lpc3250").c_str()) == 0;
        }
    }
    bool ok() const { return ok_; }
    std::string Archive(int v) const { return dir_.path() + "/app" + std::to_string(v) + ".tgz"; }
    std::string Package(int v) const { return dir_.path() + "/app" + std::to_string(v) + ".bin"; }
    const Tree& TreeOf(int v) const { return trees_[v]; }
    const std::string& dir() const { return dir_.path(); }

private:
    simtest::TempDir dir_;
    Tree trees_[2];
    bool ok_ = true;
};

// The tree the terminal holds now: the one it had, or the one being
// installed; -1 for the factory's, -2 for anything else.
int InstalledTree(const CutBoard& board, const Releases& releases, const Tree& factory) {
    const Tree now = Snapshot(board.run.At("/opt/lpc3250"));
    if (now == releases.TreeOf(0)) return 0;
    if (now == releases.TreeOf(1)) return 1;
    return now == factory ? -1 : -2;
}

// A thread joined however the scope is left.
class Joined {
public:
    explicit Joined(std::thread t) : t_(std::move(t)) {}
    ~Joined() { Join(); }
    Joined(const Joined&) = delete;
    Joined& operator=(const Joined&) = delete;
    void Join() {
        if (t_.joinable()) t_.join();
    }

private:
    std::thread t_;
};

// --- the operations ---------------------------------------------------------

std::string ExtOpts(int delay, int autoFlag) {
    return std::string{static_cast<char>(delay & 0xFF), static_cast<char>(delay >> 8), static_cast<char>(autoFlag),
                       0, 0, 0, 0, 0};
}

// The web page's save, as the web server runs the program; true once the
// program answered.
bool WebSave(const CutBoard& board, int delay, int autoFlag) {
    cgitest::CgiRequest request;
    request.method = "POST";
    request.contentType = "application/x-www-form-urlencoded";
    request.body = std::string("auto_enabled=") + (autoFlag ? "enable" : "disable") + "&delay=" + std::to_string(delay);
    return cgitest::RunCgi(EXTOPTS_EXE, request, board.run.root()).exitCode == 0;
}

int RunPeer(const std::string& args, const std::string& log) {
    const std::string command = std::string(PATERM_PEER_EXE) +
                                " --terminal 127.0.0.1 --id PT00000001 --timeout 500 --tries 6 --install-wait 3000 " +
                                args + " >" + log + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string GroupKey(int key) {
    return R"({"cmd":"panel.send","payload":[4,129,)" + std::to_string(key) + ",1]}";
}

// The terminal's panel frames of one kind so far, tallied as they come (a
// reply lists at most 1000, and the board keeps only the newest).
class PanelTally {
public:
    explicit PanelTally(CutBoard& board) : board_(board) {}
    size_t operator()(const std::string& hex) {
        for (int page = 0; page < 100; ++page) {
            const sim::Json reply =
                board_.run.Control(R"({"cmd":"panel.frames","from":)" + std::to_string(next_) + "}");
            const sim::Json* frames = simtest::Member(reply, "frames");
            if (frames == nullptr || frames->empty()) break;
            for (const sim::Json& f : *frames) {
                ++seen_[f.value("hex", std::string())];
                lastMs_[f.value("hex", std::string())] = f.value("ms", int64_t{0});
            }
            next_ = reply.value("next", next_);
        }
        return seen_[hex];
    }
    // Board time of the latest frame of that kind (-1: none yet).
    int64_t LastMs(const std::string& hex) {
        (*this)(hex);
        auto it = lastMs_.find(hex);
        return it == lastMs_.end() ? -1 : it->second;
    }

private:
    CutBoard& board_;
    uint64_t next_ = 0;
    std::map<std::string, size_t> seen_;
    std::map<std::string, int64_t> lastMs_;
};

// The panel announces itself once the terminal's panel task has said hello
// (once each start, after the board's latest reset), so that its keys count.
bool AnnouncePanel(CutBoard& board, PanelTally& frames) {
    const sim::Json st = board.run.Status();
    const sim::Json* resets = simtest::Member(st, "resets");
    const int64_t started = resets != nullptr && !resets->empty() ? resets->back().value("ms", int64_t{0}) : 0;
    if (!WaitUntil([&] { return frames.LastMs("02 00") >= started; }, 10s)) return false;
    // The refresh that follows the announce shows the central control took it.
    const size_t acks = frames("02 01 00"), refreshes = frames("04 05 05 00");
    return board.run.Control(R"({"cmd":"panel.send","payload":[0,128]})").value("ok", false) &&
           WaitUntil([&] { return frames("02 01 00") > acks; }, 10s) &&
           WaitUntil([&] { return frames("04 05 05 00") > refreshes; }, 10s);
}

}  // namespace

TEST(PowerCut, AWebSettingsSaveLeavesTheOldRecordOrTheNew) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    CutBoard board;
    ASSERT_TRUE(board.Start()) << board.run.Console();
    const std::string file = "/opt/lpc3250/sysExtOpts";
    // The CGI channel opens some seconds after each start: a save of a
    // value the file does not hold yet shows when.
    const auto ready = [&](int delay) {
        return WaitUntil(
            [&] {
                WebSave(board, delay, 0);
                return WaitUntil([&] { return board.Read(file) == ExtOpts(delay, 0); }, 200ms);
            },
            15s);
    };
    ASSERT_TRUE(ready(5000)) << board.Read(file).size();
    const Clock::time_point begin = Clock::now();
    ASSERT_TRUE(WebSave(board, 7, 1));
    ASSERT_TRUE(WaitUntil([&] { return board.Read(file) == ExtOpts(7, 1); }, 5s));
    // Tens of milliseconds: a wider window lets some cuts come after the save.
    const int window = std::max(WindowFor(Clock::now() - begin), 100);

    int sawNew = 0;
    for (int i = 0; i < Repetitions(); ++i) {
        const uint64_t seed = FirstSeed() + i;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) + " ms");
        const std::string old = board.Read(file);
        const int delay = 10 + i % 1000;
        const std::string fresh = ExtOpts(delay, i % 2);
        ASSERT_GE(board.CutWithin(seed, window), 0);
        WebSave(board, delay, i % 2);  // a cut may end the exchange
        ASSERT_TRUE(board.WaitCutAndPowerOn(static_cast<size_t>(i) + 1)) << board.run.Console();
        const std::string now = board.Read(file);
        ASSERT_TRUE(now == old || now == fresh) << "sysExtOpts holds " << now.size() << " bytes of neither record";
        sawNew += now == fresh;
        ASSERT_TRUE(ready(5001 + i)) << "no save after the power-on";
    }
    EXPECT_GT(sawNew, 0) << "no cut came after the save: the window misses the operation";
    std::printf("web settings save: %d cuts survived, %d after the save, window %d ms\n", Repetitions(), sawNew, window);
}

TEST(PowerCut, AChannelSettingsRewriteLeavesTheOldRecordOrTheNew) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    CutBoard board;
    ASSERT_TRUE(board.Start()) << board.run.Console();
    const std::string file = "/opt/lpc3250/chncfg";
    PanelTally frames(board);
    ASSERT_TRUE(AnnouncePanel(board, frames));
    // A group key toggles its group; the once-a-second check writes the file.
    const auto withGroup = [](std::string cfg, int group) {
        cfg[4 + group / 8] = static_cast<char>(cfg[4 + group / 8] ^ (1 << (group % 8)));
        return cfg;
    };
    std::string old = board.Read(file);
    ASSERT_EQ(old.size(), 8u);
    const Clock::time_point begin = Clock::now();
    ASSERT_TRUE(board.run.Control(GroupKey(1)).value("ok", false));
    ASSERT_TRUE(WaitUntil([&] { return board.Read(file) == withGroup(old, 0); }, 5s)) << board.run.Console();
    // The check runs once a second: the write comes up to a second after the key.
    const int window = std::max(WindowFor(Clock::now() - begin), 1600);

    int sawNew = 0;
    for (int i = 0; i < Repetitions(); ++i) {
        const uint64_t seed = FirstSeed() + i;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) + " ms");
        old = board.Read(file);
        const int group = i % 10;
        const std::string fresh = withGroup(old, group);
        const int64_t cutAt = board.CutWithin(seed, window);
        ASSERT_GE(cutAt, 0);
        board.run.Control(GroupKey(group + 1));
        ASSERT_TRUE(board.WaitCutAndPowerOn(static_cast<size_t>(i) + 1)) << board.run.Console();
        const std::string now = board.Read(file);
        ASSERT_TRUE(now == old || now == fresh) << "chncfg holds " << now.size() << " bytes of neither record";
        sawNew += now == fresh;
        ASSERT_TRUE(AnnouncePanel(board, frames));
    }
    EXPECT_GT(sawNew, 0) << "no cut came after the rewrite: the window misses the operation";
    std::printf("channel settings rewrite: %d cuts survived, %d after the rewrite, window %d ms\n", Repetitions(), sawNew,
                window);
}

TEST(PowerCut, APeerDownloadLeavesTheOldApplicationOrTheWholeNewOne) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    CutBoard board;
    ASSERT_TRUE(board.Start()) << board.run.Console();
    Releases releases(board.run.At("/opt/lpc3250/usr/bin/wget.tgz"));
    ASSERT_TRUE(releases.ok());
    const Tree factory = Snapshot(board.run.At("/opt/lpc3250"));
    const std::string chncfg = board.Read("/opt/lpc3250/chncfg");
    const std::string log = releases.dir() + "/peer.log";
    // The peer runs beside the test, which watches its output for the end.
    const auto download = [&](int v) {
        return std::thread([&, v] {
            RunPeer("--block 4000 download app " + releases.Archive(v) + " end", log);  // a cut may leave it unanswered
        });
    };
    // The last block acknowledged: the end follows at once, and the terminal
    // installs before it answers.
    const auto ended = [&] {
        const std::string out = simtest::ReadFile(log);
        unsigned got = 0, count = 0;
        for (size_t at = out.find("block "); at != std::string::npos; at = out.find("block ", at + 1))
            if (std::sscanf(out.c_str() + at, "block %u of %u", &got, &count) == 2 && got == count) return true;
        return false;
    };
    // The uncut run: from the last block to the new tree in place.
    std::this_thread::sleep_for(700ms);  // the peer socket opens after the start
    auto peer = std::make_unique<Joined>(download(0));
    ASSERT_TRUE(WaitUntil(ended, 20s)) << simtest::ReadFile(log);
    const Clock::time_point begin = Clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] { return InstalledTree(board, releases, factory) == 0 && !simtest::Exists(board.run.At("/opt/upgrade")); },
        20s));
    const int window = WindowFor(Clock::now() - begin);
    peer->Join();
    ASSERT_EQ(InstalledTree(board, releases, factory), 0) << simtest::ReadFile(log) << board.run.Console();

    int current = 0, sawNew = 0;
    for (int i = 0; i < Repetitions(); ++i) {
        const uint64_t seed = FirstSeed() + i;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) + " ms");
        const int next = 1 - current;
        std::this_thread::sleep_for(700ms);
        std::remove(log.c_str());
        peer = std::make_unique<Joined>(download(next));
        const bool done = WaitUntil(ended, 20s);
        const int64_t cutAt = done ? board.CutWithin(seed, window) : -1;
        peer->Join();
        ASSERT_TRUE(done) << simtest::ReadFile(log);
        ASSERT_GE(cutAt, 0);
        ASSERT_TRUE(board.WaitCutAndPowerOn(static_cast<size_t>(i) + 1)) << board.run.Console();
        const int now = InstalledTree(board, releases, factory);
        ASSERT_TRUE(now == current || now == next) << "the application tree is neither the old nor the new one";
        EXPECT_EQ(board.Read("/opt/lpc3250/chncfg"), chncfg);
        // The new tree brings no advanced settings: the start makes them.
        EXPECT_TRUE(WaitUntil([&] { return board.Read("/opt/lpc3250/sysExtOpts").size() == 8; }, 5s));
        sawNew += now == next;
        current = now;
    }
    EXPECT_GT(sawNew, 0) << "no cut came after the installation: the window misses it";
    std::printf("peer download: %d cuts survived, %d after the installation, window %d ms\n", Repetitions(), sawNew,
                window);
}

TEST(PowerCut, AServerUpgradeLeavesTheOldApplicationOrTheWholeNewOne) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    CutBoard board;
    ASSERT_TRUE(board.Start({"--server-ip", "127.0.0.1"})) << board.run.Console();
    Releases releases(board.run.At("/opt/lpc3250/usr/bin/wget.tgz"));
    ASSERT_TRUE(releases.ok());
    for (int v = 0; v < 2; ++v)
        ASSERT_EQ(std::system((std::string(PATERM_PACK_EXE) + " build -o " + releases.Package(v) + " --app " +
                               releases.Archive(v) + " >/dev/null")
                                  .c_str()),
                  0);
    const Tree factory = Snapshot(board.run.At("/opt/lpc3250"));
    const std::string chncfg = board.Read("/opt/lpc3250/chncfg");
    const std::string extOpts = board.Read("/opt/lpc3250/sysExtOpts");
    const std::string urlLine = "receive server upgrade app url";
    // The server sends the URL once the terminal's command socket is open,
    // then serves the package; it runs beside the test's waiting.
    const auto upgrade = [&](int v) {
        return std::thread([&, v] {
            const std::string command = std::string(PATERM_SERVER_EXE) +
                                        " --announce 0 --terminal 127.0.0.1 --id PT00000001 --http-port 80 wait 6 , upgrade " +
                                        releases.Package(v) + " /pkg/app.bin , wait 4 >/dev/null 2>&1";
            (void)!std::system(command.c_str());
        });
    };
    const auto urlsSeen = [&] { return Count(board.run.Console(), urlLine); };

    // The uncut run: from the URL's arrival to the new tree in place (the
    // reboot a second later is no part of the installation).
    auto server = std::make_unique<Joined>(upgrade(0));
    ASSERT_TRUE(WaitUntil([&] { return urlsSeen() == 1; }, 20s)) << board.run.Console();
    const Clock::time_point begin = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return InstalledTree(board, releases, factory) == 0; }, 20s));
    const int window = WindowFor(Clock::now() - begin);
    ASSERT_TRUE(WaitUntil([&] { return board.run.Status().value("program_starts", 0) >= 2; }, 20s));
    server->Join();
    ASSERT_TRUE(board.WaitStarted());
    ASSERT_EQ(InstalledTree(board, releases, factory), 0);

    int current = 0, sawNew = 0;
    for (int i = 0; i < Repetitions(); ++i) {
        const uint64_t seed = FirstSeed() + i;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) + " ms");
        const int next = 1 - current;
        const size_t urls = urlsSeen();
        server = std::make_unique<Joined>(upgrade(next));
        const bool sent = WaitUntil([&] { return urlsSeen() > urls; }, 20s);
        const int64_t cutAt = sent ? board.CutWithin(seed, window) : -1;
        server->Join();
        ASSERT_TRUE(sent) << board.run.Console();
        ASSERT_GE(cutAt, 0);
        ASSERT_TRUE(board.WaitCutAndPowerOn(static_cast<size_t>(i) + 1)) << board.run.Console();
        const int now = InstalledTree(board, releases, factory);
        ASSERT_TRUE(now == current || now == next) << "the application tree is neither the old nor the new one";
        EXPECT_EQ(board.Read("/opt/lpc3250/chncfg"), chncfg);
        EXPECT_EQ(board.Read("/opt/lpc3250/sysExtOpts"), extOpts);
        sawNew += now == next;
        current = now;
    }
    EXPECT_GT(sawNew, 0) << "no cut came after the installation: the window misses it";
    std::printf("server upgrade: %d cuts survived, %d after the installation, window %d ms\n", Repetitions(), sawNew,
                window);
}
