// paterm-sim: the terminal's board on a PC. Keeps the terminal's filesystem
// under --root, serves the program's devices, clock and shell, and runs the
// program through its power cycles until stopped (control "stop", SIGTERM
// or SIGINT), when it kills the program and exits 0. Refuses a root that
// holds anything but the terminal's tree, and says which EEPROM options an
// existing EEPROM file makes void.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "board/sim/control_server.h"
#include "board/sim/eeprom.h"
#include "board/sim/options.h"
#include "board/sim/result.h"
#include "board/sim/root_layout.h"
#include "board/sim/simulated_board.h"
#include "board/sim/unique_fd.h"

namespace {

// The program as an absolute path (the child changes directory before it
// starts it); by default "paterm" beside this executable.
sim::Result<std::string> ResolveProgram(const std::string& program) {
    std::string path = program;
    if (path.empty()) {
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return sim::Error::FromErrno("find this executable's directory");
        self[n] = '\0';
        path = std::string(self);
        path = path.substr(0, path.rfind('/')) + "/paterm";
    }
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved) || ::access(resolved, X_OK) != 0)
        return sim::Error::FromErrno("no executable program " + path + " (see --program)");
    return std::string(resolved);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "paterm-sim: %s\n", message.c_str());
    return 1;
}

void WarnIgnoredEepromOptions(const sim::Options& options) {
    const std::string eeprom = options.root + sim::kEepromNode;
    const std::string ignored = sim::IgnoredEepromOptions(eeprom, options);
    if (!ignored.empty())
        std::fprintf(stderr, "paterm-sim: %s ignored: the EEPROM file %s already exists\n", ignored.c_str(),
                     eeprom.c_str());
}

// Where the board is and how to talk to it.
void PrintBanner(const sim::Options& options, const std::string& controlPath) {
    std::printf("paterm-sim: board root %s, program %s\n", options.root.c_str(), options.program.c_str());
    std::printf("control: %s \xE2\x80\x94 paterm-simctl --root %s status\n", controlPath.c_str(),
                options.root.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    switch (sim::ParseOptions(argc, argv, &options, &error)) {
    case sim::ParseOutcome::kHelp:
        std::fputs(sim::UsageText(), stdout);
        return 0;
    case sim::ParseOutcome::kError:
        std::fprintf(stderr, "paterm-sim: %s\n%s", error.c_str(), sim::UsageText());
        return 2;
    case sim::ParseOutcome::kRun:
        break;
    }
    sim::Result<std::string> root = sim::ResolveRoot(options.root);
    if (!root) return Fail(root.error().Text());
    options.root = root.value();
    WarnIgnoredEepromOptions(options);
    sim::Result<std::string> program = ResolveProgram(options.program);
    if (!program) return Fail(program.error().Text());
    options.program = program.value();

    // A closed console reader must not kill the board; the stop signals are
    // taken through a signalfd by the supervising loop. Threads started
    // from here on inherit the mask.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    sim::UniqueFd signalFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!signalFd) return Fail(sim::Error::FromErrno("signalfd for SIGTERM and SIGINT").Text());

    // The banner comes before the first power-on, so that the board's lines
    // and the program's output follow it.
    const std::string controlPath = options.root + "/sim/control";
    if (!options.quiet) PrintBanner(options, controlPath);
    std::fflush(stdout);
    sim::SimulatedBoard board(options);
    if (sim::Result<> started = board.Start(); !started) return Fail(started.error().Text());
    sim::ControlServer control(&board.controls());
    if (sim::Result<> listening = control.Start(controlPath); !listening) return Fail(listening.error().Text());

    board.Run(signalFd.Get());
    board.Shutdown();
    control.Stop();
    ::unlink(controlPath.c_str());
    return 0;
}
