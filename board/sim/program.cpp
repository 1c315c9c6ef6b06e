// Starting, watching and killing the program process.
#include "board/sim/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

bool ProgramProcess::Start(const std::string& program, const std::string& root, Console* console,
                           std::string* error) {
    FinishPump();  // the previous run's pump, should a caller not have reaped it
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    UniqueFd outRead(out[0]), outWrite(out[1]), inRead(in[0]), inWrite(in[1]);

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
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) _exit(127);  // the board died before prctl
        ::dup2(inRead.Get(), STDIN_FILENO);
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        ::dup2(outWrite.Get(), STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::chdir(root.c_str()) != 0) _exit(127);
        ::execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    pid_ = pid;
    outWrite.Reset();
    inWrite.Reset();  // the program's standard input reads end of file
    pump_ = std::thread(Pump, outRead.Release(), console);
    return true;
}

void ProgramProcess::FinishPump() {
    // The pipe closes when the process is gone, which ends the pump.
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
