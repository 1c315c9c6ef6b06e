// posix_spawn of a host tool with its output piped to the console.
#include "board/sim/tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "board/sim/unique_fd.h"

extern char** environ;

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

}  // namespace

int ToolRunner::Run(const std::vector<std::string>& argv, const std::string& cwd) {
    if (argv.empty()) return -1;
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    UniqueFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    UniqueFd inRead(in[0]), inWrite(in[1]);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, inRead.Get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, outWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, outWrite.Get(), STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&setup.actions, cwd.c_str());
    // The board blocks its stop signals and ignores SIGPIPE; a tool must not inherit that.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return -1;
        if (posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ) != 0) return -1;
        running_.insert(pid);
    }
    outWrite.Reset();
    inWrite.Reset();  // the tool reads end of file at once

    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(outRead.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (console_) console_->Append(chunk, static_cast<size_t>(n));
    }
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
