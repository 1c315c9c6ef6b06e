// posix_spawn of a program with a fixed environment and its output piped
// to the console; each run logged with its argument vector.
#include "board/sim/tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "board/sim/fd_io.h"
#include "board/sim/unique_fd.h"

namespace sim {
namespace {

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// The child's standard streams and directory, and the signal state it must
// not inherit: the board blocks its stop signals and ignores SIGPIPE.
void Configure(SpawnSetup* setup, int in, int out, const std::string& cwd) {
    posix_spawn_file_actions_adddup2(&setup->actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup->actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup->actions, out, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&setup->actions, cwd.c_str());
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&setup->attr, &none);
    posix_spawnattr_setsigdefault(&setup->attr, &defaults);
    posix_spawnattr_setflags(&setup->attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// "tar zxvf /r/x.tgz": the vector as one line; blank or empty arguments quoted.
std::string FormatArgv(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty()) line += ' ';
        bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
        line += quote ? "\"" + arg + "\"" : arg;
    }
    return line;
}

}  // namespace

std::vector<std::string> ToolRunner::Environment(const std::string& cwd) {
    // Nothing of the board's own environment: no proxy can divert a
    // download, and no host setting reaches the tools.
    return {"PATH=/usr/bin:/bin", "HOME=" + cwd, "LC_ALL=C"};
}

int ToolRunner::Run(const std::vector<std::string>& argv, const std::string& cwd) {
    if (argv.empty()) return -1;
    int status = Spawn(argv, cwd);
    if (log_) log_->Add(LogKind::kRun, FormatArgv(argv) + " -> " + DescribeExitStatus(status));
    return status;
}

int ToolRunner::Spawn(const std::vector<std::string>& argv, const std::string& cwd) {
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    UniqueFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    UniqueFd inRead(in[0]), inWrite(in[1]);

    SpawnSetup setup;
    Configure(&setup, inRead.Get(), outWrite.Get(), cwd);
    std::vector<char*> args = Pointers(argv);
    const std::vector<std::string> environment = Environment(cwd);
    std::vector<char*> env = Pointers(environment);
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return -1;
        if (posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), env.data()) != 0) return -1;
        running_.insert(pid);
    }
    outWrite.Reset();
    inWrite.Reset();  // the program reads end of file at once

    Drain(outRead.Get());
    return Reap(pid);
}

void ToolRunner::Drain(int fd) {
    char chunk[4096];
    for (;;) {  // until the program and its children close the pipe
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (console_) console_->Append(chunk, static_cast<size_t>(n));
    }
}

int ToolRunner::Reap(pid_t pid) {
    // Wait without reaping, forget the pid, then reap: KillAll can never
    // hit a reused pid.
    siginfo_t info;
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_.erase(pid);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

void ToolRunner::KillRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (pid_t pid : running_) ::kill(pid, SIGKILL);
}

void ToolRunner::KillAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (pid_t pid : running_) ::kill(pid, SIGKILL);
}

}  // namespace sim
