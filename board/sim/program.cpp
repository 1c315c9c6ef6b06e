// Starting, watching and killing the program process.
#include "board/sim/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace sim {
namespace {

// The board's environment with PATERM_ROOT replaced.
std::vector<std::string> ProgramEnvironment(const std::string& root) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PATERM_ROOT=", 12) != 0) env.emplace_back(*e);
    env.push_back("PATERM_ROOT=" + root);
    return env;
}

// The pty's master reads EIO once no process holds the slave any more,
// after what was written has been read.
void Pump(int fd, Console* console) {
    UniqueFd owned(fd);
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        console->Append(chunk, static_cast<size_t>(n));
    }
}

// A console pty: *master for the board, *slave for the program. Raw, so the
// program's bytes arrive as written (no "\n" to "\r\n", no echo of input,
// no signal characters).
Result<> OpenConsolePty(UniqueFd* master, UniqueFd* slave) {
    master->Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[64];
    if (!*master || ::grantpt(master->Get()) != 0 || ::unlockpt(master->Get()) != 0 ||
        ::ptsname_r(master->Get(), name, sizeof name) != 0)
        return Error::FromErrno("open a console pty");
    slave->Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode;
    if (!*slave || ::tcgetattr(slave->Get(), &mode) != 0)
        return Error::FromErrno(std::string("open the console pty ") + name);
    ::cfmakeraw(&mode);
    if (::tcsetattr(slave->Get(), TCSANOW, &mode) != 0)
        return Error::FromErrno(std::string("make the console pty ") + name + " raw");
    return {};
}

}  // namespace

Result<> ProgramProcess::Start(const std::string& program, const std::string& root, Console* console) {
    FinishPump();  // the previous run's pump, should a caller not have reaped it
    UniqueFd master, slave;
    if (Result<> pty = OpenConsolePty(&master, &slave); !pty) return pty;

    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> env = ProgramEnvironment(root);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string argv0 = program;
    char* argv[] = {argv0.data(), nullptr};
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) return Error::FromErrno("fork for " + program);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) _exit(127);  // the board died before prctl
        // Its own session: a Ctrl-C meant for the board does not reach the
        // program behind the board's back; the board ends it.
        ::setsid();
        // Standard input is the console too, as on the terminal; the
        // program reads none, and nothing is ever typed into it.
        ::dup2(slave.Get(), STDIN_FILENO);
        ::dup2(slave.Get(), STDOUT_FILENO);
        ::dup2(slave.Get(), STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::chdir(root.c_str()) != 0) _exit(127);
        ::execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    pid_ = pid;
    slave.Reset();  // the program's exit then ends the pump
    pump_ = std::thread(Pump, master.Release(), console);
    return {};
}

void ProgramProcess::FinishPump() {
    // The pty's slave closes when the process is gone, which ends the pump.
    if (pump_.joinable()) pump_.join();
}

bool ProgramProcess::Exited(int* status) {
    if (pid_ <= 0) return false;
    pid_t done = ::waitpid(pid_, status, WNOHANG);
    if (done != pid_) return false;
    pid_ = -1;
    FinishPump();
    return true;
}

int ProgramProcess::Kill() {
    int status = 0;
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    FinishPump();
    return status;
}

}  // namespace sim
