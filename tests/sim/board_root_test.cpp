// Which directories paterm-sim takes as a board root, the power-on wipe of
// /tmp against links, the EEPROM options a prepared root makes void, and
// the getopt_long parser's repeated use and long forms.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/eeprom.h"
#include "board/sim/options.h"
#include "board/sim/result.h"
#include "board/sim/root_layout.h"
#include "board/sim/unique_fd.h"
#include "sim_harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct SimRun {
    int status = -1;
    std::string err;
};

// paterm-sim with args, its standard error collected; killed after 10 s.
SimRun RunSim(std::vector<std::string> args) {
    args.insert(args.begin(), PATERM_SIM_EXE);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    sim::UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(writeEnd.Get(), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.Reset();
    SimRun run;
    char chunk[512];
    auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{readEnd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        ssize_t n = ::read(readEnd.Get(), chunk, sizeof chunk);
        if (n <= 0) break;
        run.err.append(chunk, static_cast<size_t>(n));
    }
    ::kill(pid, SIGKILL);  // gone already, unless it hung
    ::waitpid(pid, &run.status, 0);
    return run;
}

TEST(BoardRoot, NewEmptyAndPreparedDirectoriesAreTaken) {
    simtest::TempDir dir;
    sim::Result<std::string> fresh = sim::ResolveRoot(dir.path() + "/a/./b/../new");
    ASSERT_TRUE(fresh) << fresh.error().Text();
    EXPECT_EQ(fresh.value(), dir.path() + "/a/new");
    EXPECT_TRUE(fs::is_directory(fresh.value()));

    sim::Result<std::string> empty = sim::ResolveRoot(fresh.value());
    EXPECT_TRUE(empty) << empty.error().Text();

    // An earlier board's root, or one prepared by hand: EEPROM and card files.
    const std::string prepared = dir.path() + "/prepared";
    simtest::WriteFile(prepared + "/dev/i2c-eeprom0", std::string(256, '\xFF'));
    simtest::WriteFile(prepared + "/mmc/music/a.mp3", "ID3");
    simtest::WriteFile(prepared + "/opt/lpc3250/chncfg", "");
    ::mkdir((prepared + "/tmp").c_str(), 0755);
    ::mkdir((prepared + "/sim").c_str(), 0755);
    ::mkdir((prepared + "/etc").c_str(), 0755);
    sim::Result<std::string> taken = sim::ResolveRoot(prepared);
    EXPECT_TRUE(taken) << taken.error().Text();
}

TEST(BoardRoot, ADirectoryWithOtherEntriesIsRefusedUntouched) {
    simtest::TempDir home;
    simtest::WriteFile(home.path() + "/.profile", "keep");
    ::mkdir((home.path() + "/Documents").c_str(), 0755);
    ::mkdir((home.path() + "/tmp").c_str(), 0755);
    simtest::WriteFile(home.path() + "/tmp/work", "keep");
    const std::vector<std::string> before = Entries(home.path());

    sim::Result<std::string> root = sim::ResolveRoot(home.path());
    ASSERT_FALSE(root);
    const std::string message = root.error().Text();
    EXPECT_NE(message.find(".profile"), std::string::npos) << message;
    EXPECT_NE(message.find("Documents"), std::string::npos) << message;
    const size_t held = message.find("holds ");
    ASSERT_NE(held, std::string::npos) << message;
    EXPECT_EQ(message.substr(held, message.find(" (", held) - held).find("tmp"), std::string::npos)
        << "tmp is the terminal's own: " << message;
    EXPECT_EQ(Entries(home.path()), before);

    // The program's entry point refuses it the same way, before any board starts.
    SimRun run = RunSim({"--root", home.path(), "--quiet"});
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << run.status;
    EXPECT_NE(run.err.find("is no board root"), std::string::npos) << run.err;
    EXPECT_EQ(simtest::ReadFile(home.path() + "/tmp/work"), "keep");
    EXPECT_EQ(Entries(home.path()), before);

    EXPECT_FALSE(sim::ResolveRoot("/"));
    EXPECT_FALSE(sim::ResolveRoot(home.path() + "/.profile"));  // a file, no directory
}

TEST(BoardRoot, EepromOptionsForAnExistingEepromAreReportedAsIgnored) {
    simtest::TempDir dir;
    const std::string eeprom = dir.path() + sim::kEepromNode;
    simtest::WriteFile(eeprom, std::string(256, '\xFF'));
    SimRun run = RunSim({"--root", dir.path(), "--device-id", "XX00000002", "--server-ip", "10.0.0.1",
                         "--device-id", "XX00000003", "--program", dir.path() + "/no-program", "--quiet"});
    EXPECT_NE(run.err.find("--device-id, --server-ip ignored"), std::string::npos) << run.err;
    EXPECT_EQ(simtest::ReadFile(eeprom), std::string(256, '\xFF'));

    sim::Options options;
    options.eepromOptionsGiven = {"--watchdog-flag"};
    EXPECT_EQ(sim::IgnoredEepromOptions(eeprom, options), "--watchdog-flag");
    EXPECT_EQ(sim::IgnoredEepromOptions(dir.path() + "/dev/none", options), "");  // will be created with them
}

TEST(BoardRoot, PowerOnReplacesALinkedTmpWithoutTouchingItsTarget) {
    simtest::TempDir dir, outside;
    sim::RootLayout root(dir.path());
    sim::Result<> prepared = root.Prepare();
    ASSERT_TRUE(prepared) << prepared.error().Text();
    simtest::WriteFile(outside.path() + "/sub/precious", "keep");
    fs::remove(dir.path() + "/tmp");
    fs::create_directory_symlink(outside.path(), dir.path() + "/tmp");
    sim::Result<> emptied = root.EmptyTmp();
    ASSERT_TRUE(emptied) << emptied.error().Text();
    EXPECT_FALSE(fs::is_symlink(dir.path() + "/tmp"));
    EXPECT_TRUE(fs::is_empty(dir.path() + "/tmp"));
    EXPECT_EQ(simtest::ReadFile(outside.path() + "/sub/precious"), "keep");
}

sim::ParseOutcome Parse(std::vector<const char*> args, sim::Options* options, std::string* error) {
    args.insert(args.begin(), "paterm-sim");
    return sim::ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(OptionsParser, ParsesAgainAfterAnErrorAndTakesLongForms) {
    sim::Options bad;
    std::string error;
    EXPECT_EQ(Parse({"--root", "r", "--quiet=1"}, &bad, &error), sim::ParseOutcome::kError);
    EXPECT_NE(error.find("--quiet"), std::string::npos) << error;
    // getopt_long moves "stray" behind the options: only in its own copy.
    const char* const strayFirst[] = {"paterm-sim", "stray", "--root", "r"};
    EXPECT_EQ(sim::ParseOptions(4, strayFirst, &bad, &error), sim::ParseOutcome::kError);
    EXPECT_NE(error.find("stray"), std::string::npos) << error;
    EXPECT_STREQ(strayFirst[1], "stray");

    sim::Options o;
    ASSERT_EQ(Parse({"--root=r", "--watchdog-flag=0", "--server-ip", "10.1.2.3", "--device-id=AB12345678"}, &o, &error),
              sim::ParseOutcome::kRun)
        << error;
    EXPECT_EQ(o.root, "r");
    EXPECT_EQ(o.watchdogFlag, 0);
    EXPECT_EQ(o.deviceId, "AB12345678");
    EXPECT_EQ(o.eepromOptionsGiven, (std::vector<std::string>{"--watchdog-flag", "--server-ip", "--device-id"}));
}

}  // namespace
